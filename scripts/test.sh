#!/usr/bin/env bash
# Runs every test: the unit tests over the emulated platform under
# AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, the script interpreter under libFuzzer for a minute,
# clang-tidy over the host build's sources, and for
# each Windows architecture the module checks and, under Wine, the unit tests
# on the real registry and COM runtime and the end-to-end tests, and last the
# release, built twice from two clones and signed. Ends with one line:
# "N passed, N failed".
#
# The Linux stages never need Wine. A Wine stage runs where this machine can
# run its architecture; where it cannot (some kernels run no 32-bit programs),
# the stage says so and why, its module checks that need no Wine still run,
# and the skip neither passes nor fails the run.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
results=$root/build/test-results
rm -rf "$results"
mkdir -p "$results"

scripts/build.sh || exit 1

status=0
skipped=()
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

# Runs a build's ctest tests (those ARGS select); their programs leave XML
# results in the build's test-results folder, gathered here under the step's name.
ctest_step() {  # ctest_step NAME BUILD_DIR [CTEST_ARGS...]
  local name=$1 dir=$2; shift 2
  rm -f "$dir"/test-results/*.xml
  step "$name" ctest --test-dir "$dir" --output-on-failure --timeout 300 "$@"
  for f in "$dir"/test-results/*.xml; do
    [[ -f "$f" ]] && cp "$f" "$results/$name-$(basename "$f")"
  done
}

# The sources laid out as .clang-format says.
step format scripts/format.sh --check

# The set-up script's decisions, with stand-ins for apt and dpkg.
step setup tests/setup/setup_test.sh "$results/setup.xml"
# The editor extension: its grammar's scopes and its .vsix.
step editor tests/editor/grammar_test.sh "$results/editor.xml"
ctest_step host build/host
step host-tsan build/host-tsan/tests/unit_tests --gtest_brief=1 --gtest_filter='*Concurrency*' \
  --gtest_output="xml:$results/host-tsan.xml"

# The script interpreter, then the checker's readers, under libFuzzer, briefly
# (STUB_FUZZ_SECONDS each, default 60).
step fuzz env STUB_TEST_RESULTS="$results" fuzz/run.sh "${STUB_FUZZ_SECONDS:-60}"
# clang-tidy over the host build's sources (.clang-tidy; about a minute on two cores).
step tidy env STUB_TEST_RESULTS="$results" scripts/tidy.sh

# Windows, one architecture at a time, each in its own prefix with a persistent
# wineserver whose output is kept off every pipe.
source scripts/wine-env.sh
wine_stage() {  # wine_stage NAME ARCH BUILD_DIR
  local name=$1 arch=$2 dir=$3
  stub_wine_use "$arch"
  if ! stub_wine_runs; then
    echo "== $name: Wine stage SKIPPED: $STUB_WINE_SKIP"
    skipped+=("$name Wine stage ($STUB_WINE_SKIP)")
    ctest_step "$name-module" "$dir" -R '^e2e_module_'
    return
  fi
  if ! stub_wine_prefix; then
    echo "== $name: FAILED (no Wine prefix)"
    status=1
    return
  fi
  wineserver -p >/dev/null 2>&1 </dev/null
  trap stub_wine_stop EXIT
  ctest_step "$name" "$dir"
  stub_wine_stop
  trap - EXIT
}
wine_stage windows-x86 win32 build/windows-x86
wine_stage windows-x64 win64 build/windows-x64

# The release (scripts/release.sh) from two clones of the last commit, signed
# with a throwaway certificate: the same bytes from both, signatures that verify.
step release tests/release/release_test.sh "$results/release.xml"

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
# Cases a shell test could not run on this machine, each with its reason.
for f in "$results"/*.xml; do
  [[ -f "$f" ]] || continue
  while IFS= read -r line; do
    skipped+=("$(sed -n 's/.*<testcase name="\([^"]*\)"><skipped message="\([^"]*\)".*/\1 (\2)/p' <<<"$line")")
  done < <(grep -o '<testcase name="[^"]*"><skipped message="[^"]*"' "$f")
done
for s in "${skipped[@]}"; do
  echo "skipped, not counted: $s"
done
echo "$((total - failed)) passed, $failed failed"
exit $status
