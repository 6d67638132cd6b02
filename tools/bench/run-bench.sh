#!/usr/bin/env bash
# Runs the benchmark program under Wine in the build folder's private prefix,
# twice: against the scriptable tag-library stand-in, and against the demo's
# mp3infp.dll reading a real sample MP3 file.
#   tools/bench/run-bench.sh [BUILD_DIR] [extra tebo_bench arguments]
# BUILD_DIR is a folder of a full build, build/x86 (the default) or build/x64
# (tools/run-tests.sh makes both); its name tells the architecture.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/arch.sh"
build=$(realpath -m "${1:-$root/build/x86}")
shift || true
arch=x86
[ "$(basename "$build")" = x64 ] && arch=x64
bench="$build/tools/bench/tebo_bench.exe"
[ -f "$bench" ] || { echo "no $bench: build first" >&2; exit 1; }
if reason=$(tebo_skip_reason "$arch"); then
  echo "cannot run the $arch benchmark: $reason" >&2
  exit 1
fi
tebo_wine_env "$arch"
export WINEPREFIX="$build/wineprefix"
bash "$root/tools/wine-prefix.sh" start "$WINEPREFIX" "$arch"
trap 'bash "$root/tools/wine-prefix.sh" stop "$WINEPREFIX" "$arch"' EXIT
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs: $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n1), $("$tebo_wine" --version), $arch"
"$tebo_wine" "$bench" "$@"
sample="$build/demo/samples/01-morning-light.mp3"
if [ -f "$build/demo/mp3infp.dll" ] && [ -f "$sample" ]; then
  echo
  "$tebo_wine" "$bench" --tags "Z:$build/demo/mp3infp.dll" --file "Z:$sample" "$@"
fi
