#!/usr/bin/env bash
# The language server under a real client, headless Neovim (lsp_client.lua), on a package whose Style.rgs
# leaves %Module% unquoted: the diagnostics are the check's own findings for that script (the codes, lines
# and columns `check --format json` gives), the quick fix's unsaved edit updates them to those of the
# fixed script, a script outside a package gets one diagnostic, and stopping the client ends the server.
# Then the protocol's failures over a raw pipe: each gets its JSON-RPC error and the server goes on.
#
#   lsp_neovim.sh RESULT_XML CHECKER
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
xml=$1
checker=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
source "$here/../support/test_results.sh"
work=$(mktemp -d)
trap 'write_results "$xml" StubCheckLspNeovim; rm -rf "$work"' EXIT

# The module copy: a file laid out as Stub.dll as far as the checker reads one (headers, one section, its
# five exports); the runs are the module's own code, built into the checker.
python3 "$here/../support/fake_module.py" "$work/P/Fern.dll" || exit 1
cp -R "$here/packages/unquoted-module/Fern" "$work/P/Fern"
mkdir -p "$work/loose" && cp "$work/P/Fern/Style.rgs" "$work/loose/notes.rgs"

# The check's findings for Style.rgs as "CODE LINE COLUMN" lines, sorted, as the client writes them.
findings() {
  "$checker" check --format json "$1" | python3 -c '
import json, sys
rows = ["%s %d %d" % (f["code"], max(f["line"], 1), max(f["column"], 1)) for f in json.load(sys.stdin)["findings"]
        if f["file"] in ("", "Style.rgs")]
print("\n".join(sorted(rows)))'
}
# The lines of `out` after TITLE up to the next line that is no finding.
section() { awk -v t="$2" '$0==t{on=1;next} on&&NF!=3{on=0} on' "$1"; }

if ! command -v nvim >/dev/null; then
  skip neovim "no nvim here (scripts/setup.sh installs Debian's neovim)"
else
  before=$(findings "$work/P/Fern")
  (cd "$work/P/Fern" && STUB_CHECKER=$checker STUB_LSP_OUT=$work/out STUB_LSP_ALONE=$work/loose/notes.rgs \
     timeout 120 nvim --headless --clean -n -c "luafile $here/lsp_client.lua" Style.rgs >"$work/nvim.log" 2>&1)
  out=$work/out
  if [[ "$(section "$out" opened)" == "$before" && -n $before && $before == *unquoted-module* ]]; then
    pass neovim_open_shows_the_checks_findings
  else
    fail neovim_open_shows_the_checks_findings "expected:
$before
got:
$(cat "$out" 2>/dev/null) $(tail -5 "$work/nvim.log")"
  fi
  mkdir -p "$work/Q" && cp -R "$work/P/Fern" "$work/P/Fern.dll" "$work/Q/"
  sed -i "s/= s %Module%/= s '%Module%'/" "$work/Q/Fern/Style.rgs"
  after=$(findings "$work/Q/Fern")
  if grep -qx "quick-fix-applied" "$out" && [[ "$(section "$out" fixed)" == "$after" && $after != *unquoted-module* ]] &&
     grep -q "InprocServer32 = s '%Module%'" "$out" && cmp -s "$work/P/Fern/Style.rgs" "$here/packages/unquoted-module/Fern/Style.rgs"; then
    pass neovim_unsaved_quick_fix_updates_the_findings
  else
    fail neovim_unsaved_quick_fix_updates_the_findings "expected (the file on disk untouched):
$after
got:
$(cat "$out" 2>/dev/null)"
  fi
  if [[ "$(section "$out" alone)" == "not-in-package 1 1" ]]; then
    pass neovim_script_outside_a_package_gets_one_diagnostic
  else
    fail neovim_script_outside_a_package_gets_one_diagnostic "$(cat "$out" 2>/dev/null)"
  fi
  if grep -qx "exit 0" "$out"; then
    pass neovim_stop_ends_the_server
  else
    fail neovim_stop_ends_the_server "$(tail -3 "$out" 2>/dev/null)"
  fi
fi
# The protocol over a raw pipe, case by case (lsp_protocol.py).
while IFS= read -r line; do
  case $line in
    "ok: "*) pass "protocol_${line#ok: }" ;;
    "FAILED: "*) name=${line#FAILED: } && fail "protocol_${name%%:*}" "${name#*: }" ;;
    *) fail protocol "$line" ;;
  esac
done < <(python3 "$here/lsp_protocol.py" "$checker" "$work/P/Fern" 2>&1)
((failures == 0))
