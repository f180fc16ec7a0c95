#!/usr/bin/env bash
# The editor extension (editors/vscode): its registry-script grammar and its
# package.
#   - snapshots: the scopes the grammar gives the sample package's scripts,
#     scripts of the checker's corpus and of the interpreter's differential
#     set, and of tests/editor/broken.rgs and edges.rgs, equal to
#     tests/editor/snapshots;
#   - broken text: every line of broken.rgs but HKCR, { and } (its lines 1,
#     2 and 11) holds a token scoped invalid.illegal, and no line of
#     edges.rgs (valid text that is easy to misread) does;
#   - real scripts: no token of any script in the folder STUB_REALWORLD_SCRIPTS
#     (default /work/shared/realworld/scripts) is scoped invalid; skipped, and
#     said, where there is no such folder. Those scripts are read in a
#     temporary folder and nothing of them is kept;
#   - the package: editors/vscode/build.sh, run there and in a copy of the
#     folder made now (the commit's time given, as build.sh takes it from git),
#     makes the same bytes, holding the grammar, the language configuration
#     and the client.
#
#   tests/editor/grammar_test.sh [RESULT_XML]
#   tests/editor/grammar_test.sh --update      writes the snapshots anew
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
ext=$root/editors/vscode
snapshots=$root/tests/editor/snapshots
update=0
[[ ${1-} == --update ]] && { update=1; shift; }
result=${1:-$root/build/test-results/editor.xml}
realworld=${STUB_REALWORLD_SCRIPTS:-/work/shared/realworld/scripts}
mkdir -p "$(dirname "$result")"
source "$root/tests/support/test_results.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/stub-editor-test.XXXXXX")
trap 'write_results "$result" EditorGrammar; rm -rf "$work"' EXIT

scripts=(
  samples/Aurora/Style.rgs samples/Aurora/StyleText.rgs tests/editor/broken.rgs tests/editor/edges.rgs
  tests/check/packages/binary-digit/Chestnut/Style.rgs
  tests/check/packages/brace-token/Ash/StyleText.rgs
  tests/check/packages/byte-order-mark/Juniper/Style.rgs
  tests/check/packages/misspelled-keywords/Spruce/Style.rgs
  tests/check/packages/root-typo/Birch/Style.rgs
  tests/check/packages/text-after-last-brace/Alder/Style.rgs
  tests/check/packages/unquoted-module-blank/Nimbus/Style.rgs
  tests/registrar/differential/case_insensitive.rgs
  tests/registrar/differential/keywords_as_names.rgs
  tests/registrar/differential/values_binary.rgs
  tests/registrar/differential/values_multi.rgs
)

if [[ ! -x $ext/node_modules/.bin/vscode-tmgrammar-snap ]]; then
  fail set-up "no npm packages in editors/vscode/node_modules: run scripts/setup.sh (npm ci there)"
  exit 1
fi
snap() {  # snap ARGS...: the snapshot tool over this grammar
  (cd "$ext" && node_modules/.bin/vscode-tmgrammar-snap -g syntaxes/rgs.tmLanguage.json -s source.rgs "$@")
}
# invalid_lines SNAPFILE: "LINE: TEXT" of each source line with an invalid scope.
invalid_lines() {
  awk '/^>/ { n++; text = substr($0, 2); next }
       /^#.* invalid\./ && n != seen { print n ": " text; seen = n }' "$1"
}

# Snapshots, copied beside their scripts as the tool expects.
for s in "${scripts[@]}"; do
  mkdir -p "$(dirname "$work/snap/$s")"
  cp "$root/$s" "$work/snap/$s"
  [[ -f $snapshots/$s.snap ]] && cp "$snapshots/$s.snap" "$work/snap/$s.snap"
done
if ((update)); then
  snap -u "$work/snap/**/*.rgs" >/dev/null || exit 1
  for s in "${scripts[@]}"; do
    mkdir -p "$(dirname "$snapshots/$s")"
    cp "$work/snap/$s.snap" "$snapshots/$s.snap"
  done
  trap 'rm -rf "$work"' EXIT
  echo "grammar_test: wrote ${#scripts[@]} snapshots in tests/editor/snapshots"
  exit 0
fi
missing=$(for s in "${scripts[@]}"; do [[ -f $snapshots/$s.snap ]] || echo "$s"; done)
if [[ -n $missing ]]; then
  fail snapshots "no snapshot of: $(tr '\n' ' ' <<<"$missing")(write them with --update)"
elif out=$(snap "$work/snap/**/*.rgs" 2>&1); then
  pass snapshots
else
  fail snapshots "scopes differ from tests/editor/snapshots (--update writes them anew): $(grep -v "run successfully" <<<"$out" | head -n 40)"
fi

# The fixtures' scopes made afresh, whatever the snapshots hold.
mkdir "$work/fixtures"
cp "$root/tests/editor/broken.rgs" "$root/tests/editor/edges.rgs" "$work/fixtures/"
snap -u "$work/fixtures/*.rgs" >/dev/null 2>&1
marked=$(invalid_lines "$work/fixtures/broken.rgs.snap" | cut -d: -f1 | tr '\n' ' ')
lines=$(wc -l <"$root/tests/editor/broken.rgs")
wanted=$(seq 1 "$lines" | grep -vxE '1|2|11' | tr '\n' ' ')
edges=$(invalid_lines "$work/fixtures/edges.rgs.snap")
if [[ $marked != "$wanted" ]]; then
  fail broken-text-marked "lines of broken.rgs marked invalid: $marked; wanted: $wanted"
elif [[ ! -f $work/fixtures/edges.rgs.snap || -n $edges ]]; then
  fail broken-text-marked "valid lines of edges.rgs marked invalid: $edges"
else
  pass broken-text-marked
fi

# Real scripts: their scopes are made in the temporary folder and dropped.
if [[ ! -d $realworld ]] || ! compgen -G "$realworld/*.rgs" >/dev/null; then
  skip real-scripts-valid "no real scripts in $realworld (set STUB_REALWORLD_SCRIPTS to a folder of .rgs files)"
else
  mkdir -p "$work/real"
  cp "$realworld"/*.rgs "$work/real/"
  count=$(ls "$work/real" | wc -l)
  if ! out=$(snap -u "$work/real/*.rgs" 2>&1); then
    fail real-scripts-valid "the snapshot tool failed: $(tail -n 5 <<<"$out")"
  else
    found=$(for f in "$work"/real/*.rgs.snap; do
      invalid_lines "$f" | sed "s|^|$(basename "${f%.snap}"):|"
    done)
    if [[ -z $found ]]; then
      pass real-scripts-valid
      echo "grammar_test: $count scripts of $realworld, no token scoped invalid"
    else
      fail real-scripts-valid "tokens scoped invalid in scripts of $realworld: $(head -n 20 <<<"$found")"
    fi
  fi
fi

# The package: the same bytes from two builds, whatever the files' times.
if ! out=$("$ext/build.sh" "$work/first.vsix" 2>&1); then
  fail package "build.sh failed: $(tail -n 10 <<<"$out")"
else
  # The second from a copy: other folder, every file's time new, no git.
  mkdir "$work/copy"
  find "$ext" -mindepth 1 -maxdepth 1 ! -name node_modules ! -name '*.vsix' -exec cp -r {} "$work/copy/" \;
  ln -s "$ext/node_modules" "$work/copy/node_modules"
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct -- editors/vscode) \
    "$work/copy/build.sh" "$work/second.vsix" >/dev/null 2>&1
  listing=$(unzip -Z1 "$work/first.vsix" 2>/dev/null)
  absent=$(for f in extension/package.json extension/extension.js extension/language-configuration.json \
      extension/syntaxes/rgs.tmLanguage.json extension/node_modules/vscode-languageclient/package.json; do
    grep -qxF "$f" <<<"$listing" || echo "$f"
  done)
  if [[ -n $absent ]]; then
    fail package "the .vsix lacks: $absent"
  elif ! cmp -s "$work/first.vsix" "$work/second.vsix"; then
    fail package "two builds of the .vsix differ"
  else
    pass package
  fi
fi
exit $((failures > 0))
