#!/usr/bin/env bash
# Packages the extension as stub-rgs-VERSION.vsix (or the path given), with
# the npm packages `npm ci` installed: nothing is fetched. Every file in the
# archive carries the time of the last commit that changed this folder, and
# the files go in in name order, so two builds of one commit are the same
# bytes.
#
#   editors/vscode/build.sh [OUTPUT.vsix]
set -euo pipefail
cd "$(dirname "$0")"
if [[ ! -x node_modules/.bin/vsce ]]; then
  echo "build.sh: node_modules is missing; run 'npm ci' here (scripts/setup.sh does)" >&2
  exit 1
fi
version=$(node -p 'require("./package.json").version')
out=${1:-stub-rgs-$version.vsix}
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct -- . 2>/dev/null || true)}
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-315532800}
# The archive keeps each file's mode: the same modes whatever the umask.
umask 022
node_modules/.bin/vsce package --no-update-package-json --no-git-tag-version \
  --allow-missing-repository --skip-license --out "$out"
