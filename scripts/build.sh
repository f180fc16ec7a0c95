#!/usr/bin/env bash
# Builds every target the tests and the demo use: the host build over the
# emulated platform (AddressSanitizer and UndefinedBehaviorSanitizer), the
# ThreadSanitizer build, the fuzzing build (clang, libFuzzer), and the 32-bit
# Windows module with its tests; then
# makes the private Wine prefix under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${STUB_JOBS:-$(nproc)}

for preset in host host-tsan fuzz windows; do
  echo "build: $preset"
  log=build/$preset.log
  mkdir -p build
  targets=()
  [[ $preset == fuzz ]] && targets=(--target script_fuzzer)
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"; } \
      >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "build: $preset failed (full log: $log)"
    exit 1
  fi
done

source scripts/wine-env.sh
stub_wine_prefix
echo "build: done (Wine prefix: $WINEPREFIX)"
