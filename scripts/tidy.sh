#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy at the top of the tree) over the sources of the
# host build: the module (src/), the checker (tools/) and the host library's
# portable parts (sdk/), as compile_commands.json of build/host compiles them.
#
#   scripts/tidy.sh [FILE-REGEX]
#
# Configures the host preset first if it has no compile commands. Prints each
# finding; exits 1 when there is one. STUB_JOBS sets the parallel runs; with
# STUB_TEST_RESULTS, the run is also written there as tidy.xml, the one case
# Tidy.NoFindings, in the form scripts/test.sh counts.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${STUB_JOBS:-$(nproc)}
filter=${1:-"$root/(src|tools|sdk)/"}
if [[ ! -f build/host/compile_commands.json ]]; then
  cmake --preset host >build/host-tidy-configure.log 2>&1 || { tail -n 30 build/host-tidy-configure.log; exit 1; }
fi
# The compile commands hold generated headers (the checker's module_sources.h),
# which configuring writes; the switch rules are the compiler's own warnings.
out=$(run-clang-tidy -quiet -p build/host -j "$jobs" \
        -extra-arg=-Wswitch-enum -extra-arg=-Wcovered-switch-default \
        -extra-arg=-Wno-unknown-warning-option "$filter" 2>&1) || true
# Without its colours, one line per finding, each once (a header's finding comes from every includer).
findings=$(sed -E 's/\x1b\[[0-9;]*m//g' <<<"$out" | grep -E '^/.*: (warning|error): ' | sort -u || true)
source tests/support/test_results.sh
if [[ -n $findings ]]; then
  echo "$findings"
  fail Tidy.NoFindings "$(wc -l <<<"$findings") finding(s), the first: $(head -n 1 <<<"$findings")"
else
  pass Tidy.NoFindings
fi
[[ -n ${STUB_TEST_RESULTS-} ]] && write_results "$STUB_TEST_RESULTS/tidy.xml" Tidy
((failures == 0))
