#!/usr/bin/env bash
# Runs the package checker over the corpus of packages and compares each
# report (its output, then its error stream), and the checker's exit code,
# with the expected report checked in.
#
#   run_corpus.sh RESULT_XML [RUNNER...] CHECKER
#
# RUNNER is what starts a Windows program (scripts/wine-run win64); the same
# expected reports serve the Linux and the Windows builds. STUB_CHECK_UPDATE=1
# rewrites the expected reports instead of comparing.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
xml=$1
shift
command=("$@")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cases=0 failures=0 body=""
while read -r name args; do
  [[ -z $name || $name == \#* ]] && continue
  cases=$((cases + 1))
  # The arguments are words; a Windows path keeps its backslashes.
  read -r -a words <<<"$args"
  (cd "$here/packages" && "${command[@]}" "${words[@]}" >"$out/$name.raw" 2>"$out/$name.err" </dev/null)
  rc=$?
  # What the checker says on its error stream (a refused command line) is part of the report.
  { tr -d '\r' <"$out/$name.raw"; tr -d '\r' <"$out/$name.err"; echo "(exit code $rc)"; } >"$out/$name.txt"
  expected=$here/expected/$name.txt
  if [[ ${STUB_CHECK_UPDATE:-} == 1 ]]; then
    cp "$out/$name.txt" "$expected"
  fi
  if diff -u "$expected" "$out/$name.txt" >"$out/$name.diff" 2>&1; then
    body+="    <testcase name=\"$name\" classname=\"stub_check_corpus\"/>"$'\n'
  else
    failures=$((failures + 1))
    echo "== $name: the report differs from expected/$name.txt"
    head -n 40 "$out/$name.diff"
    cat "$out/$name.err"
    detail=$(head -n 40 "$out/$name.diff" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g')
    body+="    <testcase name=\"$name\" classname=\"stub_check_corpus\"><failure message=\"report differs\">$detail</failure></testcase>"$'\n'
  fi
done <"$here/cases.txt"
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo "<testsuites tests=\"$cases\" failures=\"$failures\" disabled=\"0\" errors=\"0\" name=\"AllTests\">"
  echo "  <testsuite name=\"stub_check_corpus\" tests=\"$cases\" failures=\"$failures\" disabled=\"0\" errors=\"0\">"
  printf '%s' "$body"
  echo "  </testsuite>"
  echo "</testsuites>"
} >"$xml"
echo "stub-check corpus: $((cases - failures)) of $cases reports as expected"
[[ $failures -eq 0 ]]
