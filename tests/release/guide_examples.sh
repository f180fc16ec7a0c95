#!/usr/bin/env bash
# The package authors' guide shows what the release's own `stub-check new`
# writes: each fenced block the guide marks with
#
#   <!-- new-example: output -->           what `new Fjord --dir Packages` prints
#   <!-- new-example: Fjord/Style.rgs -->  a file it makes (under Packages/)
#
# must equal what the release's Linux checker prints and writes, once the
# identifiers are numbered in order of appearance ({GUID-1}, ...), tabs are
# expanded to four columns, the folder holding the release reads as `…` and
# its version as VERSION. The guide must mark at least the output and one script.
#
#   guide_examples.sh RELEASE_DIR
#
# Prints the differences and exits 1 when the guide and the release disagree.
set -uo pipefail
[[ $# -eq 1 ]] || { echo "usage: $0 RELEASE_DIR" >&2; exit 2; }
rel=$(cd "$1" && pwd) || exit 2
guide=$rel/docs/package-authors.md
checker=$rel/linux-$(uname -m)/stub-check
work=$(mktemp -d "${TMPDIR:-/tmp}/stub-guide-examples.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The text as compared: identifiers numbered, tabs expanded, the release's place and version named.
normal() {
  expand -t4 | REL=$rel perl -pe '
    BEGIN { ($parent = $ENV{REL}) =~ s{/[^/]*$}{} }
    s/\Q$parent\E/…/g;
    s/\bstub-\d+(\.\d+)+\b/stub-VERSION/g;
    s/\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}/$n{uc $&} ||= "{GUID-" . ++$count . "}"/ge;'
}

(cd "$work" && "$checker" new Fjord --dir Packages) >"$work/output" 2>&1 ||
  { echo "guide_examples: stub-check new failed: $(cat "$work/output")"; exit 1; }

status=0 shown=0 scripts=0
while IFS= read -r what; do
  # The fenced block right after the marker.
  block=$(awk -v marker="<!-- new-example: $what -->" '
    $0 == marker { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$guide")
  case $what in
    output) actual=$work/output ;;
    *) actual=$work/Packages/$what; ((scripts += 1)) ;;
  esac
  ((shown += 1))
  if [[ ! -f $actual ]]; then
    echo "guide_examples: the guide shows $what, which new does not write"
    status=1
  elif ! diff -u --label "docs/package-authors.md ($what)" --label "new Fjord --dir Packages ($what)" \
         <(normal <<<"$block") <(normal <"$actual"); then
    status=1
  fi
done < <(sed -n 's/^<!-- new-example: \(.*\) -->$/\1/p' "$guide")
if ((shown == 0 || scripts == 0)) || ! grep -qx '<!-- new-example: output -->' "$guide"; then
  echo "guide_examples: the guide marks no example of new's output and scripts"
  status=1
fi
exit $status
