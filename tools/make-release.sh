#!/usr/bin/env bash
# Makes the release of the 32-bit plug-in: installs what is missing, builds
# build/x86 as the test command does (its tests included: the DLL packed is
# the one they load), which packs build/x86/tebo_wrapper-<version>-win32.zip
# (tools/release), checks the zip (CTest test release_zip) and prints its
# size and SHA-256. The same commit gives the same zip in any folder.
#   BUILD_DIR=...          the parent of the build folder (default: build)
#   SOURCE_DATE_EPOCH=...  the time of the zip's entries (default: the
#                          commit's)
set -eu
cd "$(dirname "$0")/.."
. tools/arch.sh
bash tools/install-deps.sh
dir=${BUILD_DIR:-build}/x86
# A zip of changes that no commit holds cannot be made again by anyone.
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
  echo "warning: the working tree has changes that are not committed: this zip is not the one its commit gives" >&2
fi
echo "== building x86 into $dir"
tebo_build x86 "$dir" -DTEBO_NATIVE_TESTS=OFF
if ! check=$(cd "$dir" && ctest -R '^release_zip$' --output-on-failure 2>&1); then
  echo "$check" >&2
  echo "error: the release zip failed its check" >&2
  exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
zip=$dir/tebo_wrapper-$version-win32.zip
echo "$zip: $(stat -c %s "$zip") bytes, checked"
(cd "$dir" && sha256sum "${zip##*/}" release/tebo_wrapper.dll)
