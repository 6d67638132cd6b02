#!/usr/bin/env bash
# Builds the native fuzzers with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer), replays every seed and every kept regression
# case, then fuzzes each target for a bounded time.
#   fuzz/run-fuzz.sh [SECONDS_PER_TARGET] [BUILD_DIR]
# Defaults: 60 seconds, build-fuzz. A finding is written to
# BUILD_DIR/findings/; once fixed, copy it into fuzz/regressions/TARGET/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=$(realpath -m "${2:-$root/build-fuzz}")

command -v clang++ >/dev/null || { echo "clang++ missing: run tools/install-deps.sh" >&2; exit 1; }
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null

# Fuzzer, its corpus folder under fuzz/corpus and fuzz/regressions.
targets="tag_logic_fuzzer:tag_logic media_fuzzer:media"
mkdir -p "$build/findings"
status=0
for entry in $targets; do
  fuzzer=${entry%%:*}
  corpus=${entry#*:}
  exe="$build/$fuzzer"
  if [ ! -x "$exe" ]; then
    echo "$fuzzer: not built (its sources are absent), skipped"
    continue
  fi
  log="$build/$fuzzer.log"
  # Replay: the seeds and every regression case, each once.
  cases=("$root/fuzz/corpus/$corpus"/*)
  if [ -d "$root/fuzz/regressions/$corpus" ]; then
    cases+=("$root/fuzz/regressions/$corpus"/*)
  fi
  if ! "$exe" "${cases[@]}" >"$log" 2>&1; then
    echo "$fuzzer: a seed or regression case fails; see $log" >&2
    tail -n 30 "$log" >&2
    status=1
    continue
  fi
  # Fuzz for the given time, growing a working corpus kept in the build
  # folder (the repository's seeds stay as they are).
  work="$build/corpus/$corpus"
  mkdir -p "$work"
  if "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$build/findings/$fuzzer-" -print_final_stats=1 \
       "$work" "$root/fuzz/corpus/$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$fuzzer: ${runs:-?} runs in ${seconds}s, no finding"
  else
    echo "$fuzzer: FINDING; reproducer in $build/findings/, log $log" >&2
    grep -E 'ERROR|SUMMARY|^[A-Za-z].*$' "$log" | grep -v '^INFO\|^#' | tail -n 30 >&2
    status=1
  fi
done
exit $status
