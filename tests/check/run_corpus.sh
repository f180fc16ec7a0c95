#!/usr/bin/env bash
# Runs the package checker over the corpus of packages and checks each report
# (its output, then its error stream, then "(exit code N)") against the lines
# its case is about, in expected/NAME.txt: every non-empty line there must be a
# whole line of the report, in the same order; the report's other lines are
# free. A report misses when a line is absent or out of order.
#
#   run_corpus.sh RESULT_XML [RUNNER...] CHECKER
#
# RUNNER is what starts a Windows program (scripts/wine-run win64); the same
# expected files serve the Linux and the Windows builds. STUB_CHECK_UPDATE=1
# writes the whole report of a case that has no expected file yet, to be cut
# down by hand to what the case is about; existing files are never rewritten.
# STUB_CHECK_SARIF_DIR=DIR also runs each case of the check verb with --format
# sarif (in place of any --format it gives) and keeps the log as DIR/NAME.sarif
# (sarif_multitool.sh validates them).
#
# The packages need real module files, and none is checked in: the corpus is
# copied to a scratch folder, and there every empty file becomes a copy of a
# built Stub.dll, every file that holds only the line in $other_marker a copy
# of another program's DLL (the end-to-end tests' engine), and the files
# holding $program_marker or $arm64_marker copies of Stub.dll with the DLL flag
# of the file header cleared (a program) or the machine set to ARM64. They come
# from the first Windows build in STUB_CHECK_MODULES ("x64=BUILD_DIR
# x86=BUILD_DIR") that has both; with none built, the corpus is skipped (exit 77).
#
# The one line of a report that depends on the module's architecture is
# compared against expected/architecture-<arch>.txt (line 1 the text report's,
# line 2 the JSON report's) and stands in the expected reports as
# "{architecture line N}", so one expected report serves both architectures.
# The module files' version (STUB_MODULE_VERSION, the build's X.Y.Z, which
# their version resource carries as X.Y.Z.0) stands in them as
# "version {module version}", so the expected reports hold no second copy of it.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
xml=$1
shift
command=("$@")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

other_marker="corpus placeholder: another program's DLL"
program_marker="corpus placeholder: Stub.dll marked as a program"
arm64_marker="corpus placeholder: Stub.dll built for ARM64"
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
# Writes the 16-bit little-endian value $3 at the offset $2 of the file header
# (the "PE\0\0" signature's offset, read at 0x3C, plus 4) of the file $1.
patch_header() {
  local header value
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  value=$(printf '\\x%02x\\x%02x' $(($3 & 255)) $(($3 >> 8)))
  printf "$value" | dd of="$1" bs=1 seek=$((header + 4 + $2)) conv=notrunc status=none
}
characteristics() {  # the file header's Characteristics field of $1
  local header
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tu2 -j$((header + 4 + 18)) -N2 "$1" | tr -d ' '
}
grep -rlxF "$program_marker" "$out/tree/tests/check/packages" | while read -r f; do
  cp "$stub" "$f" && patch_header "$f" 18 $(($(characteristics "$f") & ~0x2000))
done
grep -rlxF "$arm64_marker" "$out/tree/tests/check/packages" | while read -r f; do
  cp "$stub" "$f" && patch_header "$f" 0 $((0xAA64))
done
echo "stub-check corpus: module files from $stub and $other ($arch)"
IFS=. read -r v1 v2 v3 v4 _ <<<"${STUB_MODULE_VERSION:-}.0.0.0.0"
module_version="version ${v1:-0}.${v2:-0}.${v3:-0}.${v4:-0}"
normalize() {  # the architecture lines and the module version of this run as their stand-ins
  awk -v table="$table" -v version="$module_version" '
    BEGIN { while ((getline line < table) > 0) t[line] = ++n }
    {
      if ($0 in t) { print "{architecture line " t[$0] "}"; next }
      out = ""
      while ((i = index($0, version)) > 0) {
        after = substr($0, i + length(version), 1)
        out = out substr($0, 1, i - 1) (after ~ /[0-9.]/ ? version : "version {module version}")
        $0 = substr($0, i + length(version))
      }
      print out $0
    }'
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
  run() { (cd "$out/tree/tests/check/packages" && "${command[@]}" "${words[@]}" >"$out/$name.raw" 2>"$out/$name.err" </dev/null); }
  run
  rc=$?
  if [[ -n ${STUB_CHECK_SARIF_DIR:-} && ${words[0]} != new && ${words[0]} != export ]]; then
    sarif=(--format sarif) skip=0
    for word in "${words[@]}"; do
      if ((skip)); then skip=0; elif [[ $word == --format ]]; then skip=1; else sarif+=("$word"); fi
    done
    (cd "$out/tree/tests/check/packages" &&
      "${command[@]}" "${sarif[@]}" >"$STUB_CHECK_SARIF_DIR/$name.sarif" 2>/dev/null </dev/null)
  fi
  # Under Wine a program now and then ends at once without a word (the checker
  # itself always says something): such a run is tried once more, and said.
  if [[ ${#command[@]} -gt 1 && ! -s $out/$name.raw && ! -s $out/$name.err ]]; then
    echo "note: $name: the Windows run printed nothing and ended with $rc; running it once more"
    run
    rc=$?
  fi
  # What the checker says on its error stream (a refused command line) is part of the report.
  { tr -d '\r' <"$out/$name.raw" | normalize; tr -d '\r' <"$out/$name.err" | normalize
    echo "(exit code $rc)"; } >"$out/$name.txt"
  # A JSON report (or SARIF log) must parse as UTF-8 JSON whatever bytes the package holds.
  if [[ " ${words[*]} " == *" json "* || " ${words[*]} " == *" sarif "* ]] && command -v python3 >/dev/null &&
      ! python3 -c 'import json, sys; json.loads(open(sys.argv[1], "rb").read().decode("utf-8"))' \
        "$out/$name.raw" 2>>"$out/$name.err"; then
    echo "(the JSON report does not parse as UTF-8 JSON)" >>"$out/$name.txt"
  fi
  expected=$here/expected/$name.txt
  if [[ ${STUB_CHECK_UPDATE:-} == 1 && ! -e $expected ]]; then
    cp "$out/$name.txt" "$expected"
  fi
  # The expected lines in order, each matched to a later line of the report;
  # the first that finds none is the miss.
  # The bytes compare as they are, whatever the locale; a file that lists no
  # line asserts nothing and fails.
  if LC_ALL=C awk 'NR == FNR { if ($0 != "") want[++n] = $0; next }
          i < n && $0 == want[i + 1] { i++ }
          END { if (n == 0) { print "the expected file lists no line"; exit 1 }
                if (i < n) { print "expected line " i + 1 " not found (in this order): " want[i + 1]; exit 1 } }' \
        "$expected" "$out/$name.txt" >"$out/$name.diff" 2>&1; then
    body+="    <testcase name=\"$name\" classname=\"stub_check_corpus\"/>"$'\n'
  else
    failures=$((failures + 1))
    echo "== $name: the report misses lines of expected/$name.txt"
    cat "$out/$name.diff"
    echo "-- the report:"
    cat "$out/$name.txt"
    detail=$(sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' "$out/$name.diff")
    body+="    <testcase name=\"$name\" classname=\"stub_check_corpus\"><failure message=\"report misses expected lines\">$detail</failure></testcase>"$'\n'
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
