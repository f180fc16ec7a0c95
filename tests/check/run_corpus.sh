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
#
# The packages need real module files, and none is checked in: the corpus is
# copied to a scratch folder, and there every empty file becomes a copy of a
# built Stub.dll, and every file that holds only the line in $other_marker a
# copy of another program's DLL (the end-to-end tests' engine). They come from
# the first Windows build in STUB_CHECK_MODULES ("x64=BUILD_DIR x86=BUILD_DIR")
# that has both; with none built, the corpus is skipped (exit 77).
#
# The one line of a report that depends on the module's architecture is
# compared against expected/architecture-<arch>.txt (line 1 the text report's,
# line 2 the JSON report's) and stands in the expected reports as
# "{architecture line N}", so one expected report serves both architectures.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
xml=$1
shift
command=("$@")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

other_marker="corpus placeholder: another program's DLL"
arch="" stub="" other=""
for entry in ${STUB_CHECK_MODULES:-}; do
  dir=${entry#*=}
  if [[ -f $dir/src/exports/Stub.dll && -f $dir/tests/e2e/test_engine.dll ]]; then
    arch=${entry%%=*} stub=$dir/src/exports/Stub.dll other=$dir/tests/e2e/test_engine.dll
    break
  fi
done
if [[ -z $arch ]]; then
  echo "stub-check corpus: SKIPPED: no Windows build with Stub.dll and test_engine.dll among: ${STUB_CHECK_MODULES:-(none given)}"
  exit 77
fi
table=$here/expected/architecture-$arch.txt
# The corpus and the sample package, laid out as in the tree so that the
# relative paths of cases.txt hold.
mkdir -p "$out/tree/tests/check" "$out/tree/samples"
cp -R "$here/packages" "$out/tree/tests/check/packages"
cp -R "$here/../../samples/Aurora" "$out/tree/samples/Aurora"
find "$out/tree" -type f -empty -exec cp "$stub" {} \;
grep -rlxF "$other_marker" "$out/tree/tests/check/packages" | while read -r f; do cp "$other" "$f"; done
echo "stub-check corpus: module files from $stub and $other ($arch)"
normalize() {  # the architecture lines of this run as their stand-ins
  awk -v table="$table" 'BEGIN { while ((getline line < table) > 0) t[line] = ++n }
    { if ($0 in t) print "{architecture line " t[$0] "}"; else print }'
}
cases=0 failures=0 body=""
while read -r name args; do
  [[ -z $name || $name == \#* ]] && continue
  cases=$((cases + 1))
  # The arguments are words; a Windows path keeps its backslashes, and a word
  # in apostrophes keeps its blanks ('C:\Program Files\Tarvo\Nimbus.dll').
  words=() word="" quoted=0 started=0
  for ((i = 0; i < ${#args}; i++)); do
    c=${args:i:1}
    if [[ $c == "'" ]]; then
      quoted=$((1 - quoted)) started=1
    elif [[ $quoted == 0 && ( $c == " " || $c == $'\t' ) ]]; then
      [[ $started == 1 ]] && words+=("$word")
      word="" started=0
    else
      word+=$c started=1
    fi
  done
  [[ $started == 1 ]] && words+=("$word")
  (cd "$out/tree/tests/check/packages" && "${command[@]}" "${words[@]}" >"$out/$name.raw" 2>"$out/$name.err" </dev/null)
  rc=$?
  # What the checker says on its error stream (a refused command line) is part of the report.
  { tr -d '\r' <"$out/$name.raw" | normalize; tr -d '\r' <"$out/$name.err" | normalize
    echo "(exit code $rc)"; } >"$out/$name.txt"
  # A JSON report must parse as UTF-8 JSON whatever bytes the package holds.
  if [[ " ${words[*]} " == *" json "* ]] && command -v python3 >/dev/null &&
      ! python3 -c 'import json, sys; json.loads(open(sys.argv[1], "rb").read().decode("utf-8"))' \
        "$out/$name.raw" 2>>"$out/$name.err"; then
    echo "(the JSON report does not parse as UTF-8 JSON)" >>"$out/$name.txt"
  fi
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
