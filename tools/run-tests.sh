#!/usr/bin/env bash
# Installs what is missing, builds the plug-in, the test doubles, the tests
# and the demo tools with warnings as errors, for 32-bit (x86) and 64-bit
# (x64) Windows, each in a folder of its own, and runs every test of both
# under Wine through CTest. Where this machine cannot run 32-bit programs
# (tools/arch.sh finds out), the 32-bit build's file checks still run and its
# other tests are reported as skipped. Closes with a line per build and a
# total of passed, failed and skipped tests.
#   TEBO_ARCH=x86|x64|all  chooses the architectures by hand (tools/arch.sh)
#   BUILD_DIR=...          the parent of the build folders (default: build,
#                          so build/x86 and build/x64)
#   TEBO_TEST_LOAD=N       makes the machine busy while the tests run: N
#                          CPU-burning processes at normal priority, started
#                          after the builds and stopped once the tests have
#                          ended, failed or been interrupted. The suite must
#                          pass this way as it does on an idle machine.
set -eu
cd "$(dirname "$0")/.."
. tools/arch.sh
tebo_plan test
bash tools/install-deps.sh
for arch in $tebo_runs; do
  (tebo_wine_env "$arch") || exit 1
done
parent=${BUILD_DIR:-build}
load=${TEBO_TEST_LOAD:-0}
case "$load" in
'' | *[!0-9]*) echo "error: TEBO_TEST_LOAD=$load: give the number of busy processes" >&2; exit 2 ;;
esac
# The native tests (fuzz run, mutagen) are the same for both builds: they go
# with the last one, which runs wherever anything does.
last=${tebo_builds##* }
for arch in $tebo_builds; do
  echo "== building $arch into $parent/$arch"
  native=OFF
  [ "$arch" = "$last" ] && native=ON
  tebo_build "$arch" "$parent/$arch" -DTEBO_NATIVE_TESTS=$native
done
# The busy processes: plain shell loops, each a process of its own, ended by
# their ids on any way out of this script.
burners=()
stop_load() {
  if [ ${#burners[@]} -gt 0 ]; then
    kill "${burners[@]}" 2>/dev/null || true
    wait "${burners[@]}" 2>/dev/null || true
    echo "== load: stopped the $load CPU-burning processes that ran beside the tests"
    burners=()
  fi
}
trap stop_load EXIT
trap 'stop_load; exit 130' INT
trap 'stop_load; exit 143' TERM
for ((i = 0; i < load; i++)); do
  bash -c 'while :; do :; done' &
  burners+=($!)
done
[ "$load" -gt 0 ] && echo "== load: $load CPU-burning processes run beside the tests"
status=0
results=()
for arch in $tebo_builds; do
  echo "== testing $arch in $parent/$arch"
  rm -f "$parent/$arch/ctest-results.xml"
  (cd "$parent/$arch" &&
     ctest --output-on-failure -j2 --timeout 300 --output-junit ctest-results.xml) ||
    status=1
  results+=("$arch=$parent/$arch/ctest-results.xml")
done
stop_load
echo "== summary"
python3 tools/test-summary.py "${results[@]}" || status=1
exit $status
