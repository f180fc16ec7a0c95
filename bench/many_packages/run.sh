#!/usr/bin/env bash
# Runs the many-packages benchmark under Wine for one architecture and keeps its
# figures in a file:
#
#   bench/many_packages/run.sh win32|win64 OUT_FILE [ARGUMENT...]
#
# Builds what it needs (preset windows-x86 or windows-x64), runs
# many_packages.exe in the architecture's private prefix with a persistent
# wineserver for the run, and writes the program's "name value" lines to
# OUT_FILE; its problems, if any, go to OUT_FILE.err and fail the script.
# Where this machine cannot run the architecture, it writes the reason to
# OUT_FILE.skipped and succeeds. Arguments go to the program (see
# many_packages_main.cpp: --sizes=10,100,1000 --rounds=3 --host-packages=100
# --host-seconds=20 --clients=3).
set -euo pipefail
cd "$(dirname "$0")/../.."
arch=${1:?usage: bench/many_packages/run.sh win32|win64 OUT_FILE [ARGUMENT...]}
out=${2:?usage: bench/many_packages/run.sh win32|win64 OUT_FILE [ARGUMENT...]}
shift 2
name=$([[ $arch == win32 ]] && echo x86 || echo x64)
build=build/windows-$name
rm -f "$out" "$out.err" "$out.skipped"

cmake --preset "windows-$name" >/dev/null
cmake --build "$build" --target many_packages -j2 >/dev/null

source scripts/wine-env.sh
stub_wine_use "$arch"
if ! stub_wine_runs; then
  echo "many_packages: $name skipped: $STUB_WINE_SKIP"
  echo "$STUB_WINE_SKIP" >"$out.skipped"
  exit 0
fi
stub_wine_prefix
# A persistent server for the run, its output kept off every pipe (it answers
# non-zero when the prefix's server is already running, which is fine).
wineserver -p >/dev/null 2>&1 </dev/null || true
trap stub_wine_stop EXIT
started=$(date +%s)
status=0
scripts/wine-run "$arch" "$build/bench/many_packages/many_packages.exe" "$@" >"$out" 2>"$out.err" \
  || status=$?
echo "run_seconds $(( $(date +%s) - started ))" >>"$out"
if [[ $status -ne 0 ]]; then
  echo "many_packages: $name failed (exit $status):"
  cat "$out.err"
  exit 1
fi
echo "many_packages: $name done in $(( $(date +%s) - started )) s"
