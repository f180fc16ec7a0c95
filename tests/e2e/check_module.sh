#!/usr/bin/env bash
# Checks of the shipped module file.
#
#   check_module.sh tables DLL OBJDUMP PE_FORMAT RESULT_XML
#     The file is a PE image of the expected format (pei-i386 for 32-bit,
#     pei-x86-64 for 64-bit Windows) within the 64 KiB size budget, the export
#     table names exactly the expected entry points, undecorated, and every
#     import comes from a system DLL that any Windows has.
#   check_module.sh reproducible DLL BUILD_DIR SOURCE_DIR SCRATCH_BUILD_DIR TOOLCHAIN BUILD_TYPE GENERATOR RESULT_XML
#     A second build of the same sources, in another build folder, gives the
#     same bytes as DLL (first brought up to date in BUILD_DIR, so that both
#     builds see the same sources).
#
# Each check writes a one-line-summary JUnit file in the form the test runner
# counts, and exits non-zero on failure.
set -uo pipefail

# Entry points the module exports; extend when new exports are added.
expected_exports=(
  DllCanUnloadNow
  DllGetClassObject
  DllInstall
  DllRegisterServer
  DllUnregisterServer
)
# The shipped module's size budget, in bytes (it is linked stripped).
size_budget=65536
# Another shipped DLL (StubHost.dll) names its own exports and budget.
[[ -n ${STUB_CHECK_EXPORTS-} ]] && read -ra expected_exports <<<"$STUB_CHECK_EXPORTS"
size_budget=${STUB_CHECK_SIZE_BUDGET:-$size_budget}
# DLLs the module may import from (compared without regard to case).
allowed_imports=(kernel32.dll user32.dll advapi32.dll ole32.dll oleaut32.dll msvcrt.dll)

source "$(dirname "$0")/../support/test_results.sh"

check_tables() {
  local dll=$1 objdump=$2 format=$3 dump size
  if ! dump=$("$objdump" -p "$dll" 2>&1); then
    fail E2EModule.Readable "objdump could not read $dll: $dump"
    return
  fi
  if grep -q "file format $format\$" <<<"$dump"; then
    pass E2EModule.IsPEOfItsArchitecture
  else
    fail E2EModule.IsPEOfItsArchitecture \
      "$dll is not a $format file: $(grep -m1 'file format' <<<"$dump")"
  fi
  size=$(stat -c %s "$dll")
  if ((size <= size_budget)); then
    pass E2EModule.FitsSizeBudget
  else
    fail E2EModule.FitsSizeBudget "$dll is $size bytes, over the budget of $size_budget"
  fi

  # Export names: the lines "[   n] Name" after the name-pointer table header.
  local exports expected
  exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                 on && /^[[:space:]]*$/ {on = 0}
                 on {sub(/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]*/, ""); print}' <<<"$dump" |
            LC_ALL=C sort)
  expected=$(printf '%s\n' "${expected_exports[@]}" | LC_ALL=C sort)
  if [[ "$exports" == "$expected" ]]; then
    pass E2EModule.ExportsExactlyTheEntryPoints
  else
    fail E2EModule.ExportsExactlyTheEntryPoints \
      "exports are [$(tr '\n' ' ' <<<"$exports")], expected [$(tr '\n' ' ' <<<"$expected")]"
  fi

  local imports bad=() name allowed ok
  imports=$(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$dump" | tr -d '\r')
  if [[ -z "$imports" ]]; then
    fail E2EModule.ImportsOnlySystemDlls "no import table found"
    return
  fi
  while read -r name; do
    ok=0
    for allowed in "${allowed_imports[@]}"; do
      [[ "${name,,}" == "$allowed" ]] && ok=1
    done
    ((ok)) || bad+=("$name")
  done <<<"$imports"
  if ((${#bad[@]} == 0)); then
    pass E2EModule.ImportsOnlySystemDlls
  else
    fail E2EModule.ImportsOnlySystemDlls "unexpected imports: ${bad[*]}"
  fi
}

check_reproducible() {
  local dll=$1 first=$2 source=$3 scratch=$4 toolchain=$5 build_type=$6 generator=$7 log
  rm -rf "$scratch"
  log=$scratch.log
  if ! cmake --build "$first" --target stub -j 2 >"$log" 2>&1 </dev/null; then
    fail E2EModule.RebuildIsByteIdentical "bringing $dll up to date failed (log: $log)"
    return
  fi
  if ! { cmake -S "$source" -B "$scratch" -G "$generator" -DCMAKE_BUILD_TYPE="$build_type" \
           --toolchain "$toolchain" && cmake --build "$scratch" --target stub -j 2; } \
         >>"$log" 2>&1 </dev/null; then
    fail E2EModule.RebuildIsByteIdentical "second build failed (log: $log)"
    return
  fi
  local rebuilt
  rebuilt=$(find "$scratch" -name "$(basename "$dll")" -type f | head -n 1)
  if [[ -z "$rebuilt" ]]; then
    fail E2EModule.RebuildIsByteIdentical "second build made no $(basename "$dll")"
  elif cmp -s "$dll" "$rebuilt"; then
    pass E2EModule.RebuildIsByteIdentical
    rm -rf "$scratch" "$log"
  else
    fail E2EModule.RebuildIsByteIdentical "$dll and $rebuilt differ: $(cmp "$dll" "$rebuilt" 2>&1 | head -n 1)"
  fi
}

mode=${1:-}
case $mode in
  tables)
    [[ $# -eq 5 ]] || { echo "usage: $0 tables DLL OBJDUMP PE_FORMAT RESULT_XML" >&2; exit 2; }
    check_tables "$2" "$3" "$4"
    write_results "$5" E2EModuleTables
    ;;
  reproducible)
    [[ $# -eq 9 ]] || {
      echo "usage: $0 reproducible DLL BUILD_DIR SOURCE_DIR SCRATCH_DIR TOOLCHAIN BUILD_TYPE" \
           "GENERATOR RESULT_XML" >&2
      exit 2
    }
    check_reproducible "$2" "$3" "$4" "$5" "$6" "$7" "$8"
    write_results "$9" E2EModuleReproducible
    ;;
  *)
    echo "usage: $0 tables|reproducible ..." >&2
    exit 2
    ;;
esac
((failures == 0))
