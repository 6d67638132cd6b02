#!/usr/bin/env bash
# Runs the benchmark program under Wine in the build folder's private prefix,
# twice: against the scriptable tag-library stand-in, and against the demo's
# mp3infp.dll reading a real sample MP3 file.
#   tests/bench/run-bench.sh [BUILD_DIR] [extra tebo_bench arguments]
# The build folder must hold a full build (tools/run-tests.sh makes one).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$root/build}")
shift || true
bench="$build/tests/bin/tebo_bench.exe"
[ -f "$bench" ] || { echo "no $bench: build first" >&2; exit 1; }
export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
"$root/tools/wine-prefix.sh" start "$WINEPREFIX"
trap '"$root/tools/wine-prefix.sh" stop "$WINEPREFIX"' EXIT
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs: $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n1), $(wine --version)"
wine "$bench" "$@"
sample="$build/demo/samples/01-morning-light.mp3"
if [ -f "$build/demo/mp3infp.dll" ] && [ -f "$sample" ]; then
  echo
  wine "$bench" --tags "Z:$build/demo/mp3infp.dll" --file "Z:$sample" "$@"
fi
