#!/usr/bin/env bash
# Fuzzes the registry script interpreter for a while: fuzz/run.sh [SECONDS]
# (default 60). Builds the libFuzzer target with the "fuzz" preset (clang,
# AddressSanitizer, UndefinedBehaviorSanitizer), copies the seed corpus into the
# build tree (the checked-in corpus is never written to; inputs found there
# accumulate from run to run), and fails on any crash, leak, sanitizer report
# or broken invariant. Crashing inputs are kept as build/fuzz-work/artifacts/*.
# With STUB_TEST_RESULTS set, writes one gtest-style result line there.
# STUB_FUZZ_BUILD overrides the build directory (default build/fuzz).
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${STUB_FUZZ_BUILD:-build/fuzz}
work=build/fuzz-work

if [[ $build == build/fuzz ]]; then
  cmake --preset fuzz >/dev/null || exit 1
fi
cmake --build "$build" --target script_fuzzer -j2 || exit 1

mkdir -p "$work/corpus" "$work/artifacts"
cp -n fuzz/corpus/* "$work/corpus/"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build/fuzz/script_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" \
  >"$work/last-run.log" 2>&1
status=$?
grep -E '^(stat::number_of_executed_units|stat::new_units_added|Done )' "$work/last-run.log"
if [[ $status -ne 0 ]]; then
  tail -n 40 "$work/last-run.log"
  echo "script_fuzzer FAILED (exit $status); inputs in $work/artifacts/"
fi

if [[ -n ${STUB_TEST_RESULTS:-} ]]; then
  mkdir -p "$STUB_TEST_RESULTS"
  failures=$([[ $status -eq 0 ]] && echo 0 || echo 1)
  printf '<testsuites tests="1" failures="%s" errors="0" disabled="0" name="script_fuzzer">\n</testsuites>\n' \
    "$failures" >"$STUB_TEST_RESULTS/script_fuzzer.xml"
fi
exit $status
