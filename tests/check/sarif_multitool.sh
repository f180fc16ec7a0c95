#!/usr/bin/env bash
# The checker's SARIF logs of the whole corpus (run_corpus.sh, each case with
# --format sarif) validated with Microsoft's SARIF Multitool against SARIF's
# own rules and GitHub code scanning's ingestion rules: any error fails. The
# Multitool is installed by scripts/setup.sh (npm ci in tests/check/sarif);
# without it, or without the Windows build the corpus needs, the test is
# skipped (exit 77).
#
#   sarif_multitool.sh RESULT_XML [RUNNER...] CHECKER
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
xml=$1
shift
source "$here/../support/test_results.sh"
tool=$here/sarif/node_modules/@microsoft/sarif-multitool-linux/Sarif.Multitool
if [[ ! -x $tool ]]; then
  echo "SARIF Multitool: SKIPPED: $tool is not installed (scripts/setup.sh installs it)"
  exit 77
fi
work=$(mktemp -d)
trap 'write_results "$xml" StubCheckSarif; rm -rf "$work"' EXIT
mkdir -p "$work/logs"
STUB_CHECK_SARIF_DIR=$work/logs bash "$here/run_corpus.sh" "$work/corpus.xml" "$@" >"$work/corpus.out" 2>&1
rc=$?
if [[ $rc == 77 ]]; then
  cat "$work/corpus.out"
  trap 'rm -rf "$work"' EXIT
  exit 77
fi
# One run over all the logs; the Multitool exits 0 whatever it finds, so its verdict is the lines
# "FILE(LINE,COLUMN): error RULE: ...", each naming its log.
"$tool" validate --rule-kind "Gh;Sarif" -o "$work/validation.sarif" "$work"/logs/*.sarif >"$work/validation.txt" 2>&1
grep -q 'files\? scanned' "$work/validation.txt" || fail "multitool" "it did not run: $(tail -n 3 "$work/validation.txt")"
for log in "$work"/logs/*.sarif; do
  name=$(basename "$log" .sarif)
  errors=$(grep -F "$log(" "$work/validation.txt" | grep ': error ')
  if [[ ! -s $log ]]; then
    fail "$name" "the checker wrote no SARIF log"
  elif [[ -n $errors ]]; then
    fail "$name" "$(wc -l <<<"$errors") error(s): $(head -n 5 <<<"$errors" | sed "s|$work/logs/||")"
  else
    pass "$name"
  fi
done
echo "SARIF Multitool: $((${#cases[@]} - failures)) of ${#cases[@]} logs without errors"
((failures == 0))
