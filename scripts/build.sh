#!/usr/bin/env bash
# Builds the presets the tests and the demo use, or those named:
#
#   scripts/build.sh [PRESET...]
#
# By default: the host build over the emulated platform (AddressSanitizer and
# UndefinedBehaviorSanitizer), the ThreadSanitizer build, the fuzzing build
# (clang, libFuzzer), and the Windows module with its tests for 32-bit (x86)
# and 64-bit (x64) Windows. Building needs no Wine: the prefixes are made when
# a Wine stage first runs.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${STUB_JOBS:-$(nproc)}
presets=("$@")
[[ ${#presets[@]} -gt 0 ]] || presets=(host host-tsan fuzz windows-x86 windows-x64)

mkdir -p build
for preset in "${presets[@]}"; do
  echo "build: $preset"
  log=build/$preset.log
  targets=()
  [[ $preset == fuzz ]] && targets=(--target script_fuzzer check_fuzzer host_fuzzer lsp_fuzzer)
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"; } \
      >"$log" 2>&1 </dev/null; then
    tail -n 60 "$log"
    echo "build: $preset failed (full log: $log)"
    exit 1
  fi
done
echo "build: done"
