# Sourced by the shell tests: keeps their cases and writes them as the XML
# results that scripts/test.sh adds up, one file per test program.
#
#   pass NAME                  a case that passed
#   fail NAME DETAIL           a case that failed, and why
#   skip NAME WHY              a case that could not run here, and why (not counted)
#   write_results FILE SUITE   the cases so far as FILE, suite SUITE
#
# `failures` counts the failed cases, for the test's exit code.
failures=0
skips=0
cases=()
pass() { echo "ok: $1"; cases+=("<testcase name=\"$1\"/>"); }
fail() {
  echo "FAILED: $1: $2" >&2
  failures=$((failures + 1))
  cases+=("<testcase name=\"$1\"><failure message=\"$(
    sed -e 's/&/\&amp;/g' -e 's/"/\&quot;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' <<<"$2")\"/></testcase>")
}
skip() {
  echo "skipped: $1: $2"
  skips=$((skips + 1))
  cases+=("<testcase name=\"$1\"><skipped message=\"$(
    sed -e 's/&/\&amp;/g' -e 's/"/\&quot;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' <<<"$2")\"/></testcase>")
}
write_results() {
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<testsuites tests=\"${#cases[@]}\" failures=\"$failures\" errors=\"0\" disabled=\"$skips\" name=\"$2\">"
    echo "<testsuite name=\"$2\" tests=\"${#cases[@]}\" failures=\"$failures\" errors=\"0\" disabled=\"$skips\">"
    printf '%s\n' "${cases[@]}"
    echo "</testsuite>"
    echo "</testsuites>"
  } >"$1"
}
