#!/usr/bin/env bash
# Fuzzes the registry script interpreter, the package checker's readers, the
# language server's message reader and the host library's readers, each for a
# while: fuzz/run.sh [SECONDS] (default 60 each). Builds the
# libFuzzer targets with the "fuzz" preset (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer), copies each seed corpus into the build tree (the
# checked-in corpora are never written to; inputs found there accumulate from
# run to run), and fails on any crash, leak, sanitizer report or broken
# invariant. Crashing inputs are kept as build/fuzz-work/artifacts/<target>-*.
# With STUB_TEST_RESULTS set, writes one gtest-style result file per target there.
# STUB_FUZZ_BUILD overrides the build directory (default build/fuzz).
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${STUB_FUZZ_BUILD:-build/fuzz}
work=build/fuzz-work

if [[ $build == build/fuzz ]]; then
  cmake --preset fuzz >/dev/null || exit 1
fi
cmake --build "$build" --target script_fuzzer check_fuzzer host_fuzzer lsp_fuzzer -j2 || exit 1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# fuzz_one TARGET SEED_CORPUS WORK_CORPUS: runs one target for the time given.
fuzz_one() {
  local target=$1 seeds=$2 corpus=$3 status
  mkdir -p "$corpus" "$work/artifacts"
  cp -n "$seeds"/* "$corpus/"
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" "$corpus" \
    >"$work/$target.log" 2>&1
  status=$?
  echo "$target:"
  grep -E '^(stat::number_of_executed_units|stat::new_units_added|Done )' "$work/$target.log"
  if [[ $status -ne 0 ]]; then
    tail -n 40 "$work/$target.log"
    echo "$target FAILED (# The language server's message reader: Content-Length framing.
fuzz_one lsp_fuzzer fuzz/lsp_corpus "$work/lsp-corpus" || status=1
exit $status); inputs in $work/artifacts/"
  fi
  if [[ -n ${STUB_TEST_RESULTS:-} ]]; then
    mkdir -p "$STUB_TEST_RESULTS"
    printf '<testsuites tests="1" failures="%s" errors="0" disabled="0" name="%s">\n</testsuites>\n' \
      "$([[ $status -eq 0 ]] && echo 0 || echo 1)" "$target" >"$STUB_TEST_RESULTS/$target.xml"
  fi
  return $status
}

status=0
# The interpreter (the checked-in corpus of fuzz/corpus is never written to;
# inputs found accumulate in the build tree from run to run).
fuzz_one script_fuzzer fuzz/corpus "$work/corpus" || status=1
# The package checker's readers: .reg exports, script bytes, whole packages,
# assembly manifests (the host library's reader, which the checker shares).
fuzz_one check_fuzzer fuzz/check_corpus "$work/check-corpus" || status=1
# The host library's identifier scan of package scripts.
fuzz_one host_fuzzer fuzz/host_corpus "$work/host-corpus" || status=1
# The language server's message reader: Content-Length framing.
fuzz_one lsp_fuzzer fuzz/lsp_corpus "$work/lsp-corpus" || status=1
exit $status
