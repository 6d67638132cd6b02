#!/usr/bin/env bash
# Plants small faults in the product, one at a time, and sees whether the
# 32-bit suite notices: a plain mutation tester after the regex-based ones.
#
#   tools/mutants.sh [--seed S] [--list] [BASE] [N]
#
# On the lines of the product's sources (the folders that the top-level
# CMakeLists.txt adds, but tests/ and tools/: the ones tebo_wrapper.dll is
# built from) that changed since BASE, tools/mutants.py lists the mutants: a
# comparison or logical operator swapped, an integer constant moved by one, a
# call statement dropped, a flag dropped from an A | B expression, an if's or
# while's condition negated. It draws N of them (default 30) with the seed S
# (default: a new one, printed, so that a run can be repeated). For each, this
# script writes the mutated file, rebuilds build/x86 incrementally (configured
# as TEBO_ARCH=x86 tools/run-tests.sh does), runs the x86 suite through CTest
# (TEBO_MUTANT_TIMEOUT seconds a test, default 120; a run stops at the first
# failure) and puts the file back, and counts the mutant as killed (a test
# failed), survived (all passed) or not compiled. A mutant whose DLL comes out
# byte for byte the same as the unmutated one is not tested: it survives as
# an equivalent. Each survivor is printed with its diff, and the run closes
# with the line
#   mutants: N run, K killed, S survived, C did not compile
# --list prints every candidate and builds nothing.
#
# BASE defaults to the merge-base of HEAD with origin/main, or HEAD~1 where
# there is no origin/main or HEAD is on it; on the merged change, name the
# commit before it (for example tools/mutants.sh main~1 30).
#
# It needs a machine that runs 32-bit x86 programs (tools/arch.sh) and a
# clean work tree for the product's sources; it changes one file at a time,
# puts it back after each mutant and on any way out (Ctrl-C included), and
# never commits. The unmutated suite runs first and must pass. A mutant
# costs a rebuild and a suite run, about a minute or more each.
set -eu
cd "$(dirname "$0")/.."
. tools/arch.sh

seed=$RANDOM$RANDOM
list=no
while [ $# -gt 0 ]; do
  case "$1" in
  --seed) seed=$2; shift 2 ;;
  --list) list=yes; shift ;;
  -*) echo "usage: $0 [--seed S] [--list] [BASE] [N]" >&2; exit 2 ;;
  *) break ;;
  esac
done
if [ $# -ge 1 ]; then
  base=$1
elif git rev-parse -q --verify origin/main >/dev/null &&
     [ "$(git merge-base origin/main HEAD)" != "$(git rev-parse HEAD)" ]; then
  base=$(git merge-base origin/main HEAD)
else
  base=HEAD~1
fi
count=${2:-30}
case "$count" in
'' | *[!0-9]*) echo "error: N=$count: give a number of mutants" >&2; exit 2 ;;
esac
git rev-parse -q --verify "$base^{commit}" >/dev/null ||
  { echo "error: BASE $base is not a commit" >&2; exit 2; }

# The product's folders, as the top-level CMakeLists.txt adds them.
dirs=$(sed -n 's/^add_subdirectory(\([A-Za-z_]*\))$/\1/p' CMakeLists.txt |
         grep -v -x -e tests -e tools)
files=$(git ls-files -- $(for d in $dirs; do echo "$d/*.cpp $d/*.h"; done))
echo "mutants of the lines of $(echo $dirs) changed since $base ($(git rev-parse --short "$base")), seed $seed"
build=build/x86
work=$(mktemp -d "${TMPDIR:-/tmp}/tebo-mutants.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ "$list" = yes ]; then
  python3 tools/mutants.py "$base" "$seed" 0 "$work" $files
  exit 0
fi

dirty=$(git status --porcelain --untracked-files=no -- $dirs)
if [ -n "$dirty" ]; then
  echo "error: the product's sources have changes that are not committed; commit or stash them first:" >&2
  echo "$dirty" >&2
  exit 1
fi
if ! tebo_runs_32bit; then
  echo "error: this machine cannot run 32-bit x86 programs (tools/arch.sh): the mutants need the 32-bit suite" >&2
  exit 1
fi

# The file under mutation and its original; restored on every way out. The
# builds and test runs are in the foreground: Ctrl-C ends them with this
# script, whose trap then runs.
mutated=
restore() {
  if [ -n "$mutated" ]; then
    cat "$work/original" >"$mutated"
    cmp -s "$work/original" "$mutated" ||
      echo "error: could not restore $mutated: its original is $work/original" >&2
    mutated=
  fi
}
finish() {
  restore
  # The test fixture's Wine server, should a run have stopped before its end.
  bash tools/wine-prefix.sh stop "$build/wineprefix" x86 >/dev/null 2>&1 || true
  [ -z "$(git status --porcelain --untracked-files=no -- $dirs)" ] ||
    echo "warning: the product's sources differ from HEAD after the run" >&2
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

python3 tools/mutants.py "$base" "$seed" "$count" "$work" $files
drawn=$(ls "$work" | sed -n 's/\.what$//p' | sort -n)
if [ -z "$drawn" ]; then
  echo "mutants: 0 run, 0 killed, 0 survived, 0 did not compile"
  exit 0
fi
dll=$build/plugin/tebo_wrapper.dll
timeout=${TEBO_MUTANT_TIMEOUT:-120}
failed_log=$build/Testing/Temporary/LastTestsFailed.log
suite() {
  rm -f "$failed_log"
  (cd "$build" && ctest -j2 --timeout "$timeout" --stop-on-failure) >"$work/ctest.log" 2>&1
}
echo "building $build and running its suite unmutated"
tebo_build x86 "$build" -DTEBO_NATIVE_TESTS=ON
if ! suite; then
  grep -E "Failed|Timeout|\*\*\*" "$work/ctest.log" >&2 || tail -n 20 "$work/ctest.log" >&2
  echo "error: the unmutated suite fails: fix that first" >&2
  exit 1
fi
original_dll=$(sha256sum <"$dll")

ran=0 killed=0 survived=0 broken=0 same=0
survivors=
for what in $drawn; do
  path=$(cat "$work/$what.path")
  ran=$((ran + 1))
  printf '%d/%d %s ... ' "$ran" "$(echo "$drawn" | wc -l)" "$(cat "$work/$what.what")"
  cp "$path" "$work/original"
  mutated=$path
  cat "$work/$what.src" >"$path"
  diff -u --label "a/$path" --label "b/$path" "$work/original" "$path" >"$work/$what.diff" || true
  if ! cmake --build "$build" -j2 >"$work/build.log" 2>&1; then
    verdict="did not compile"
    broken=$((broken + 1))
  elif [ "$(sha256sum <"$dll")" = "$original_dll" ]; then
    verdict="survived (the same DLL as unmutated: equivalent)"
    same=$((same + 1))
  elif suite; then
    verdict="survived"
  else
    verdict="killed by $(cut -d: -f2- "$failed_log" 2>/dev/null | paste -s -d, || true)"
    killed=$((killed + 1))
  fi
  restore
  echo "$verdict"
  if [ "${verdict%% *}" = survived ]; then
    survived=$((survived + 1))
    survivors+="--- $(cat "$work/$what.what") $verdict"$'\n'"$(cat "$work/$what.diff")"$'\n'
  fi
done
# Leave build/x86 built from the restored sources.
echo "rebuilding $build unmutated"
cmake --build "$build" -j2 >"$work/build.log" 2>&1 ||
  echo "warning: the rebuild of $build failed: see tools/run-tests.sh" >&2
if [ -n "$survivors" ]; then
  echo "survivors:"
  printf '%s' "$survivors"
fi
echo "mutants: $ran run, $killed killed, $survived survived, $broken did not compile"
[ "$same" -eq 0 ] || echo "($same of the survivors built the same DLL as the unmutated sources)"
