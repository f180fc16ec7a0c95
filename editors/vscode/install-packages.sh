#!/usr/bin/env bash
# Installs the extension's npm packages (its client's runtime, the packager and
# the grammar test tools) exactly as package-lock.json names them, with
# `npm ci`; does nothing while node_modules is up to date. Run as root (by
# scripts/setup.sh), it leaves node_modules owned by whoever owns this folder.
set -uo pipefail
cd "$(dirname "$0")"
[[ node_modules/.package-lock.json -nt package-lock.json ]] && exit 0
echo "setup: installing the editor extension's npm packages (npm ci in editors/vscode)"
if ! out=$(npm ci --no-audit --no-fund 2>&1); then
  echo "setup: FAILED: npm ci in editors/vscode: $(tail -n 3 <<<"$out" | tr '\n' ' ')"
  exit 1
fi
owner=$(stat -c %u:%g .)
if [[ $(id -u) -eq 0 && -d node_modules && $(stat -c %u:%g node_modules) != "$owner" ]]; then
  chown -R "$owner" node_modules
fi
