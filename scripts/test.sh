#!/usr/bin/env bash
# Runs every test: the unit tests over the emulated platform under
# AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, and, under Wine, the unit tests on the real registry and COM
# runtime, the end-to-end tests and the module checks; and the script
# interpreter under libFuzzer for a minute. Ends with
# one line: "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
results=$root/build/test-results
rm -rf "$results"
mkdir -p "$results"

scripts/build.sh || exit 1

status=0
step() {  # step NAME COMMAND...: runs one group of tests, keeps going on failure
  local name=$1; shift
  echo "== $name"
  if ! "$@"; then
    echo "== $name: FAILED"
    status=1
  fi
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# Runs a build's ctest tests; their gtest programs leave XML results in the
# build's test-results folder, gathered here under the step's name.
ctest_step() {  # ctest_step NAME BUILD_DIR
  rm -f "$2"/test-results/*.xml
  step "$1" ctest --test-dir "$2" --output-on-failure --timeout 300
  for f in "$2"/test-results/*.xml; do
    [[ -f "$f" ]] && cp "$f" "$results/$1-$(basename "$f")"
  done
}

ctest_step host build/host
step host-tsan build/host-tsan/tests/unit_tests --gtest_brief=1 --gtest_filter='*Concurrency*' \
  --gtest_output="xml:$results/host-tsan.xml"

# The script interpreter under libFuzzer, briefly (STUB_FUZZ_SECONDS, default 60).
step fuzz env STUB_TEST_RESULTS="$results" fuzz/run.sh "${STUB_FUZZ_SECONDS:-60}"

# Windows: a persistent wineserver for the run, its output kept off every pipe.
source scripts/wine-env.sh
stub_wine_prefix
wineserver -p >/dev/null 2>&1 </dev/null
trap stub_wine_stop EXIT
ctest_step windows build/windows

# Summary over every result file: gtest XML, and one-line files written by the
# shell-script tests in the same form.
total=0 failed=0
for f in "$results"/*.xml; do
  [[ -f "$f" ]] || continue
  head=$(grep -m1 -o '<testsuites[^>]*>' "$f") || continue
  t=$(sed -n 's/.* tests="\([0-9]*\)".*/\1/p' <<<"$head")
  fl=$(sed -n 's/.* failures="\([0-9]*\)".*/\1/p' <<<"$head")
  er=$(sed -n 's/.* errors="\([0-9]*\)".*/\1/p' <<<"$head")
  dis=$(sed -n 's/.* disabled="\([0-9]*\)".*/\1/p' <<<"$head")
  total=$((total + ${t:-0} - ${dis:-0}))
  failed=$((failed + ${fl:-0} + ${er:-0}))
done
# A program that crashed leaves no result file: the run still counts as failed.
[[ $status -ne 0 && $failed -eq 0 ]] && failed=1
echo "$((total - failed)) passed, $failed failed"
exit $status
