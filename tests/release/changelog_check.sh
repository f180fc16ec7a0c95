#!/usr/bin/env bash
# CHANGELOG.md against the version a build carries: it is in the Keep a
# Changelog form (the title, an [Unreleased] section first, then one section
# per release, "## [X.Y.Z] - YYYY-MM-DD", newest first, with the six kinds of
# subsection only), and its newest release is VERSION. So a version bumped
# without its section, or a section for a release the build is not, fails.
#
#   changelog_check.sh CHANGELOG VERSION [RESULT_XML]
#
# Prints each problem and exits 1 when there is one; with RESULT_XML also
# writes the one case as the test runner counts it.
set -uo pipefail
[[ $# -ge 2 ]] || { echo "usage: $0 CHANGELOG VERSION [RESULT_XML]" >&2; exit 2; }
changelog=$1 version=$2 xml=${3:-}
source "$(dirname "$0")/../support/test_results.sh"

problems=$(python3 - "$changelog" "$version" <<'EOF'
import re, sys
path, version = sys.argv[1], sys.argv[2]
try:
    lines = open(path, encoding="utf-8").read().splitlines()
except OSError as e:
    sys.exit(print(f"cannot be read: {e.strerror}"))
problems = []
kinds = {"Added", "Changed", "Deprecated", "Removed", "Fixed", "Security"}
release = re.compile(r"## \[(\d+\.\d+\.\d+)\] - (\d{4}-\d{2}-\d{2})")
if not lines or lines[0] != "# Changelog":
    problems.append('the first line is not "# Changelog"')
sections = []  # (line number, version or "Unreleased")
for n, line in enumerate(lines, 1):
    if line.startswith("## "):
        m = release.fullmatch(line)
        if line == "## [Unreleased]":
            sections.append((n, "Unreleased"))
        elif m:
            sections.append((n, m.group(1)))
        else:
            problems.append(f'line {n}: "{line}" is neither "## [Unreleased]" nor "## [X.Y.Z] - YYYY-MM-DD"')
    elif line.startswith("### ") and line[4:] not in kinds:
        problems.append(f'line {n}: "{line}" is none of ### {", ".join(sorted(kinds))}')
names = [v for _, v in sections]
if names[:1] != ["Unreleased"] or names.count("Unreleased") != 1:
    problems.append("there is not one [Unreleased] section, before every release")
released = [v for v in names if v != "Unreleased"]
key = lambda v: tuple(map(int, v.split(".")))
if released != sorted(released, key=key, reverse=True) or len(set(released)) != len(released):
    problems.append(f"the releases are not each once, newest first: {', '.join(released)}")
if version not in released:
    problems.append(f"no section \"## [{version}] - YYYY-MM-DD\" for the version the build carries")
elif released[0] != version:
    problems.append(f"the newest release is {released[0]}, but the build carries {version}")
print("\n".join(problems))
EOF
)
if [[ -n $problems ]]; then
  fail Changelog.HasTheBuildsVersion "$changelog: $(sed ':a;N;$!ba;s/\n/; /g' <<<"$problems")"
else
  pass Changelog.HasTheBuildsVersion
fi
[[ -z $xml ]] || write_results "$xml" Changelog
((failures == 0))
