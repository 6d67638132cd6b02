#!/usr/bin/env bash
# Makes the release of the 32-bit plug-in: installs what is missing, builds
# build/x86 as the test command does, which packs
# build/x86/tebo_wrapper-<version>-win32.zip (tools/release), runs the 32-bit
# test suite on that build (the DLL packed is the one its tests load) and
# prints the zip's size and SHA-256; a failed test leaves no zip behind to
# publish. Where this machine cannot run 32-bit programs it says so, and of
# the suite only the checks of the DLL file and of the zip run. The native
# checks (fuzz run, mutagen) are left to the test command. The same commit
# gives the same zip in any folder.
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
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
zip=$dir/tebo_wrapper-$version-win32.zip
if reason=$(tebo_skip_reason x86); then
  echo "== testing x86: only the checks of the DLL file and of the zip: the rest of the 32-bit suite is skipped, since $reason"
  checked="the DLL file and the zip checked, the 32-bit suite not run"
else
  (tebo_wine_env x86) || exit 1
  echo "== testing x86 in $dir (the whole 32-bit suite)"
  checked="the 32-bit suite passed"
fi
if ! (cd "$dir" && ctest --output-on-failure -j2 --timeout 300) >"$dir/release-tests.log" 2>&1; then
  grep -E "Failed|\*\*\*|tests passed" "$dir/release-tests.log" >&2 || true
  rm -f "$zip"
  echo "error: tests failed (the whole log is in $dir/release-tests.log); no zip" >&2
  exit 1
fi
grep -E "tests passed" "$dir/release-tests.log"
echo "$zip: $(stat -c %s "$zip") bytes, $checked"
(cd "$dir" && sha256sum "${zip##*/}" release/tebo_wrapper.dll)
