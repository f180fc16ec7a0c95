#!/usr/bin/env bash
# Installs Microsoft's SARIF Multitool (tests/check/sarif_multitool.sh runs it)
# exactly as package-lock.json names it, with `npm ci`; does nothing while
# node_modules is up to date. npm skips the package's postinstall, which only
# sets the program's run bit, so that is done here. Run as root (by
# scripts/setup.sh), it leaves node_modules owned by whoever owns this folder.
set -uo pipefail
cd "$(dirname "$0")" || exit 1
tool=node_modules/@microsoft/sarif-multitool-linux/Sarif.Multitool
[[ node_modules/.package-lock.json -nt package-lock.json && -x $tool ]] && exit 0
echo "setup: installing the SARIF Multitool (npm ci in tests/check/sarif)"
if ! out=$(npm ci --no-audit --no-fund 2>&1); then
  echo "setup: FAILED: npm ci in tests/check/sarif: $(tail -n 3 <<<"$out" | tr '\n' ' ')"
  exit 1
fi
chmod u+x "$tool" || exit 1
owner=$(stat -c %u:%g .)
if [[ $(id -u) -eq 0 && -d node_modules && $(stat -c %u:%g node_modules) != "$owner" ]]; then
  chown -R "$owner" node_modules
fi
