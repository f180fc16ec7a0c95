#!/usr/bin/env bash
# Runs the host-listing benchmark, or with --probing the probing one, under
# Wine for one architecture and keeps its figures in a file:
#
#   bench/host_listing/run.sh win32|win64 OUT_FILE [--probing] [ARGUMENT...]
#
# Builds host_listing or host_probing (preset windows-x86 or windows-x64; the
# probing one with StubProbe.exe copied beside it), runs it in the
# architecture's private prefix with a persistent wineserver for the run, and
# writes the program's "name value" lines to OUT_FILE; its problems, if any,
# go to OUT_FILE.err and fail the script. Where this machine cannot run the
# architecture, it writes the reason to OUT_FILE.skipped and succeeds.
# Arguments go to the program: --packages=1000 --rounds=5 for either,
# --threads=4 --warm-rounds=9 for host_probing (a short check: --packages=50
# --rounds=1).
set -euo pipefail
cd "$(dirname "$0")/../.."
arch=${1:?usage: bench/host_listing/run.sh win32|win64 OUT_FILE [--probing] [ARGUMENT...]}
out=${2:?usage: bench/host_listing/run.sh win32|win64 OUT_FILE [--probing] [ARGUMENT...]}
shift 2
program=host_listing
if [[ ${1:-} == --probing ]]; then
  program=host_probing
  shift
fi
name=$([[ $arch == win32 ]] && echo x86 || echo x64)
build=build/windows-$name
rm -f "$out" "$out.err" "$out.skipped"

cmake --preset "windows-$name" >/dev/null
cmake --build "$build" --target "$program" -j2 >/dev/null

source scripts/wine-env.sh
stub_wine_use "$arch"
if ! stub_wine_runs; then
  echo "$program: $name skipped: $STUB_WINE_SKIP"
  echo "$STUB_WINE_SKIP" >"$out.skipped"
  exit 0
fi
stub_wine_prefix
wineserver -p >/dev/null 2>&1 </dev/null || true
trap stub_wine_stop EXIT
status=0
scripts/wine-run "$arch" "$build/bench/host_listing/$program.exe" "$@" >"$out" 2>"$out.err" || status=$?
if [[ $status -ne 0 ]]; then
  echo "$program: $name failed (exit $status):"
  cat "$out.err"
  exit 1
fi
echo "$program: $name done"
