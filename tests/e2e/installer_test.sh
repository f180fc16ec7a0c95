#!/usr/bin/env bash
# Packages installed without self-registration, under Wine: a package made by
# `stub-check new`, its keys exported by `stub-check export`, installed
#   - from an MSI built with wixl out of the exported WiX fragment (two
#     packages from two MSIs, so that removing one shows what stays shared),
#   - with `reg import` of the exported .reg text, which must write exactly
#     what `regsvr32` writes for the same path (the package registering,
#     activating and unregistering itself on the way),
# each time created by a client, and removed again.
#
# The sample client also works with an engine that answers IStubTarget only
# (MINIMAL_ENGINE_DLL, put in the sample engine's place for a moment).
#
#   installer_test.sh RESULT_XML ARCH STUB_CHECK_EXE ENGINE_DLL CLIENT_EXE WORK_DIR MINIMAL_ENGINE_DLL
#
# ARCH is win32 or win64 (the Wine prefix and the module's architecture).
# Writes a one-line-summary JUnit file in the form the test runner counts and
# exits non-zero on failure.
set -uo pipefail
[[ $# -eq 7 ]] || {
  echo "usage: $0 RESULT_XML ARCH STUB_CHECK_EXE ENGINE_DLL CLIENT_EXE WORK_DIR MINIMAL_ENGINE_DLL" >&2
  exit 2
}
absolute() { [[ $1 == /* ]] && printf '%s' "$1" || printf '%s/%s' "$PWD" "$1"; }
xml=$(absolute "$1") arch=$2 checker=$(absolute "$3") engine=$(absolute "$4")
client=$(absolute "$5") work=$(absolute "$6") minimal_engine=$(absolute "$7")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wine-env.sh"
source "$here/msi.sh"

source "$here/../support/test_results.sh"
trap 'write_results "$xml" Installer' EXIT

stub_wine_use "$arch" || exit 2
if ! stub_wine_runs; then
  echo "installer_test: $STUB_WINE_SKIP" >&2
  exit 125
fi
stub_wine_prefix || exit 1
if ! command -v wixl >/dev/null; then
  fail Installer.MsiBuilds "wixl is not installed (scripts/setup.sh installs it)"
  exit 1
fi
module_arch=$([[ $arch == win64 ]] && echo x64 || echo x86)

rm -rf "$work"
mkdir -p "$work/src" "$work/log"
out=$work/log/out err=$work/log/err

run() { stub_wine_run "$@"; }
windows_path() { stub_windows_path "$1"; }
classes='HKLM\Software\Classes'
key_exists() { run reg query "$1"; }

# The whole machine-wide classes key (or KEY) as text, to compare the registry before and after.
installer_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Installer'
dump_classes() {  # dump_classes FILE [KEY]
  rm -f "$1.utf16"
  stub_wine_reg export "${2:-$classes}" "$(windows_path "$1.utf16")" /y || return 1
  [[ -f $1.utf16 ]] || { echo "reg export of ${2:-$classes} said it succeeded but wrote no file" >"$err"; return 1; }
  iconv -f UTF-16LE -t UTF-8 "$1.utf16" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' >"$1"
}

# The engine the package's classes hand their objects out from.
style_engine='{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}'
text_engine='{3AE615F3-1D9A-234C-A151-BDB84CD94B17}'
styles_category='{390F9E99-171D-4A3B-A185-A0E495BA86D0}'
texts_category='{FD8ABB6D-B549-4A66-94A9-3C360CD70490}'
mkdir -p "$work/engine"
cp "$engine" "$minimal_engine" "$work/engine/"
engine_path=$(windows_path "$work/engine/$(basename "$engine")")
engines_before=()
use_engine() {  # use_engine PATH: registers the engine classes as served by PATH
  for id in "$style_engine" "$text_engine"; do
    run reg add "$classes\\CLSID\\$id\\InprocServer32" /ve /d "$1" /f
    run reg add "$classes\\CLSID\\$id\\InprocServer32" /v ThreadingModel /d Both /f
  done
}
for id in "$style_engine" "$text_engine"; do
  key_exists "$classes\\CLSID\\$id" && engines_before+=("$id")
done
use_engine "$engine_path"
cleanup() {
  for id in "$style_engine" "$text_engine"; do
    [[ " ${engines_before[*]-} " == *" $id "* ]] || run reg delete "$classes\\CLSID\\$id" /f
  done
}
trap 'cleanup; write_results "$xml" Installer' EXIT

# The class identifier a script names.
class_of() { sed -n "s/.*CLSID = s '\({[^']*}\)'.*/\1/p" "$1" | head -n 1; }

# Creates both classes of package NAME through its ProgIDs; checks that each
# engine object was told MODULE_PATH. Answers a failure text, or nothing.
activate() {  # activate NAME MODULE_PATH
  local name=$1 path=$2 rc=0 paths
  run "$client" "$name.Style.1" "$name.StyleText.1" || rc=$?
  if [[ $rc != 0 ]]; then
    echo "the client exits $rc: $(cat "$out" "$err" | tr '\n' ' ')"
    return
  fi
  grep -q 'got           a StyleEngine object' "$out" && grep -q 'got           a StyleTextEngine object' "$out" ||
    { echo "not both engine objects: $(tr '\n' ' ' <"$out")"; return; }
  paths=$(sed -n 's/^  module path   //p' "$out" | sort -u)
  [[ $paths == "$path" ]] || echo "the engine objects were told '$(tr '\n' '|' <<<"$paths")', not '$path'"
}

# ---- Two packages made by `new`, each checked clean ------------------------------
cd "$work/src"
made=1
for name in Fjord Skerry; do
  if ! run "$checker" new "$name" --arch "$module_arch"; then
    fail Installer.NewPackageChecksClean "new $name: $(cat "$out" "$err")"
    made=0
    continue
  fi
  rc=0
  run "$checker" check "$name.dll" || rc=$?
  if [[ $rc != 0 ]]; then
    fail Installer.NewPackageChecksClean "check $name.dll exits $rc: $(tail -n 5 "$out")"
    made=0
  fi
done
((made)) || exit 1
fjord_style=$(class_of Fjord/Style.rgs) fjord_text=$(class_of Fjord/StyleText.rgs)
skerry_style=$(class_of Skerry/Style.rgs) skerry_text=$(class_of Skerry/StyleText.rgs)
ids=$(printf '%s\n' "$fjord_style" "$fjord_text" "$skerry_style" "$skerry_text")
if [[ $(sort -u <<<"$ids" | grep -c '^{[0-9A-F-]\{36\}}$') != 4 ]]; then
  fail Installer.NewPackageChecksClean "the two packages' identifiers are not four distinct ones: $ids"
  exit 1
fi
pass Installer.NewPackageChecksClean

dump_classes "$work/log/before.txt" || { fail Installer.RegistryReadable "reg export: $(cat "$err")"; exit 1; }
dump_classes "$work/log/before-installer.txt" "$installer_key" ||
  { fail Installer.RegistryReadable "reg export: $(cat "$err")"; exit 1; }

# ---- MSIs from the exported fragments -------------------------------------------------
built=1
for name in Fjord Skerry; do
  if ! run "$checker" export --format wxs "$name.dll"; then
    fail Installer.MsiBuilds "export --format wxs $name.dll: $(cat "$err")"
    built=0
    continue
  fi
  cp "$out" "$name.wxs"
  if ! msi_build "$name" "$module_arch" >"$work/log/wixl-$name.txt" 2>&1; then
    fail Installer.MsiBuilds "wixl for $name: $(cat "$work/log/wixl-$name.txt")"
    built=0
  fi
done
((built)) && pass Installer.MsiBuilds
((built)) || exit 1

# The module's file version, as the checker reads it from the file, is in the
# MSI's File table (Windows Installer's file replacement rules compare it).
problem=""
for name in Fjord Skerry; do
  run "$checker" check "$name.dll"
  version=$(sed -n 's/^Module file: .*; version \([0-9.]*\)$/\1/p' "$out")
  row=$(msiinfo export "$name.msi" File | tr -d '\r' | awk -F'\t' -v id="$name.module" '$1 == id { print $5 }')
  [[ -n $version && $row == "$version" ]] ||
    problem+="$name.msi's File table gives the module the version '$row', the module file '$version'; "
done
[[ -z $problem ]] && pass Installer.MsiFileVersion || fail Installer.MsiFileVersion "$problem"

installed=1
for name in Fjord Skerry; do
  rc=0
  run msiexec /i "$(windows_path "$work/src/$name.msi")" /qn || rc=$?
  [[ $rc == 0 ]] || { fail Installer.MsiInstallActivates "msiexec /i $name.msi exits $rc: $(cat "$err")"; installed=0; }
done
if ((installed)); then
  problem=""
  for name in Fjord Skerry; do
    run reg query "$classes\\CLSID\\$(class_of $name/Style.rgs)\\InprocServer32" /ve
    path=$(sed -n 's/^ *(Default) *REG_SZ *//p' "$out")
    [[ $path == *"\\Tarvo $name\\$name.dll" ]] || { problem+="$name's InprocServer32 is '$path'; "; continue; }
    problem+=$(activate "$name" "$path")
  done
  [[ -z $problem ]] && pass Installer.MsiInstallActivates || fail Installer.MsiInstallActivates "$problem"

  # An engine without the sample's interface: the client reports both creations
  # and the installed module that told the engine its path, and succeeds.
  use_engine "$(windows_path "$work/engine/$(basename "$minimal_engine")")"
  run reg query "$classes\\CLSID\\$fjord_style\\InprocServer32" /ve
  path=$(sed -n 's/^ *(Default) *REG_SZ *//p' "$out")
  rc=0
  run "$client" Fjord.Style.1 Fjord.StyleText || rc=$?
  problem=""
  [[ $rc == 0 ]] || problem+="the client exits $rc; "
  [[ $(grep -c '^  created       an engine object' "$out") == 2 ]] || problem+="not two creations reported; "
  [[ $(grep -c '^  no IStubSampleEngine (0x80004002)' "$out") == 2 ]] || problem+="the missing interface not named; "
  [[ $(grep -cxF "  package       $path (loaded; it tells its engine this path)" "$out") == 2 ]] ||
    problem+="the installed module '$path' not reported twice; "
  grep -q '^  module path ' "$out" && problem+="a module path read from an engine that cannot tell it; "
  [[ -z $problem ]] && pass Installer.ClientReportsAnyEngine ||
    fail Installer.ClientReportsAnyEngine "$problem$(tr '\n' ' ' <"$out")"
  use_engine "$engine_path"
fi

# Removing one package leaves the shared categories to the other (and to packages
# registered by regsvr32, which the installer does not count).
rc=0
run msiexec /x "$(windows_path "$work/src/Fjord.msi")" /qn || rc=$?
problem=""
[[ $rc == 0 ]] || problem+="msiexec /x Fjord.msi exits $rc; "
for id in "$fjord_style" "$fjord_text"; do
  key_exists "$classes\\CLSID\\$id" && problem+="Fjord's class $id stays; "
done
key_exists "$classes\\Fjord.Style.1" && problem+="Fjord.Style.1 stays; "
for category in "$styles_category" "$texts_category"; do
  key_exists "$classes\\Component Categories\\$category" || problem+="the category $category went with Fjord; "
done
key_exists "$classes\\CLSID\\$skerry_style\\Implemented Categories\\$styles_category" ||
  problem+="Skerry is no longer in Tarvo Styles; "
run reg query "$classes\\CLSID\\$skerry_style\\InprocServer32" /ve
problem+=$(activate Skerry "$(sed -n 's/^ *(Default) *REG_SZ *//p' "$out")")
[[ -z $problem ]] && pass Installer.MsiRemovalKeepsSharedCategories ||
  fail Installer.MsiRemovalKeepsSharedCategories "$problem"

rc=0
run msiexec /x "$(windows_path "$work/src/Skerry.msi")" /qn || rc=$?
dump_classes "$work/log/after-msi.txt"
dump_classes "$work/log/after-msi-installer.txt" "$installer_key"
if [[ $rc != 0 ]]; then
  fail Installer.MsiRemovalRestoresRegistry "msiexec /x Skerry.msi exits $rc"
elif diff -u "$work/log/before.txt" "$work/log/after-msi.txt" >"$work/log/msi.diff"; [[ -n $(
       # Windows Installer's own bookkeeping keys, made empty by the first install, may
       # stay, and so do the shared categories (never removed, as by regsvr32 /u).
       grep -E '^[-+]' "$work/log/msi.diff" | grep -vE '^(---|\+\+\+) ' |
         grep -vE '^\+(\[HKEY_LOCAL_MACHINE\\Software\\Classes\\Installer(\\(Features|Products|UpgradeCodes))?\])?$' |
         grep -vE '^\+(\[HKEY_LOCAL_MACHINE\\Software\\Classes\\Component Categories\\\{('"${styles_category:1:36}|${texts_category:1:36}"')\}\]|"409"="Tarvo (Styles|Texts)")?$')
     ]]; then
  fail Installer.MsiRemovalRestoresRegistry "the classes key differs from before: $(head -n 30 "$work/log/msi.diff")"
elif diff -u "$work/log/before-installer.txt" "$work/log/after-msi-installer.txt" >"$work/log/msi-installer.diff"; [[ -n $(
       # The installer's own keys: only the empty ones the package authors' guide names may stay.
       grep -E '^[-+]' "$work/log/msi-installer.diff" | grep -vE '^(---|\+\+\+) ' |
         grep -vE '^\+(\[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\(UpgradeCodes|UserData(\\S-1-5-18(\\(Components|Products))?)?)\])?$')
     ]]; then
  fail Installer.MsiRemovalRestoresRegistry "Windows Installer's keys differ from before: $(head -n 30 "$work/log/msi-installer.diff")"
elif [[ -e "$WINEPREFIX/drive_c/Program Files/Tarvo Fjord" || -e "$WINEPREFIX/drive_c/Program Files/Tarvo Skerry" ]]; then
  fail Installer.MsiRemovalRestoresRegistry "the install folders stay: $(ls "$WINEPREFIX/drive_c/Program Files")"
else
  pass Installer.MsiRemovalRestoresRegistry
fi

# ---- The .reg text against regsvr32, for the same path ------------------------------
mkdir -p "$work/reg"
cp -r Fjord.dll Fjord "$work/reg/"
module=$(windows_path "$work/reg/Fjord.dll")
remove_fjord_keys() {
  for key in "CLSID\\$fjord_style" "CLSID\\$fjord_text" Fjord.Style Fjord.Style.1 Fjord.StyleText Fjord.StyleText.1; do
    run reg delete "$classes\\$key" /f
  done
  for category in "$styles_category" "$texts_category"; do
    grep -qF "Component Categories\\$category]" "$work/log/before.txt" ||
      run reg delete "$classes\\Component Categories\\$category" /f
  done
}
if ! run "$checker" export --module-path "$module" Fjord.dll; then
  fail Installer.RegImportMatchesRegsvr32 "export --module-path $module: $(cat "$err")"
else
  cp "$out.raw" "$work/reg/Fjord.reg"  # as the tool wrote it, line ends included
  rc=0
  run regsvr32 /s "$module" || rc=$?
  rc3=0
  dump_classes "$work/log/regsvr32.txt" || rc3=$?
  # The package new made also registers, activates and unregisters itself.
  problem=$(activate Fjord "$module")
  rc_u=0
  run regsvr32 /u /s "$module" || rc_u=$?
  [[ $rc == 0 && $rc_u == 0 ]] || problem+="regsvr32 exits $rc, regsvr32 /u exits $rc_u; "
  for key in Fjord.Style.1 Fjord.StyleText.1 "CLSID\\$fjord_style\\InprocServer32" "CLSID\\$fjord_text\\InprocServer32"; do
    key_exists "$classes\\$key" && problem+="$key stays after regsvr32 /u; "
  done
  [[ -z $problem ]] && pass Installer.NewPackageSelfRegisters || fail Installer.NewPackageSelfRegisters "$problem"
  remove_fjord_keys
  rc2=0
  run reg import "$(windows_path "$work/reg/Fjord.reg")" || rc2=$?
  dump_classes "$work/log/reg-import.txt" || rc3=$?
  if [[ $rc != 0 || $rc2 != 0 || $rc3 != 0 ]]; then
    fail Installer.RegImportMatchesRegsvr32 "regsvr32 exits $rc, reg import exits $rc2, reg export exits $rc3: $(cat "$err")"
  elif ! diff -u "$work/log/regsvr32.txt" "$work/log/reg-import.txt" >"$work/log/reg.diff"; then
    fail Installer.RegImportMatchesRegsvr32 "reg import writes other keys than regsvr32: $(head -n 30 "$work/log/reg.diff")"
  else
    pass Installer.RegImportMatchesRegsvr32
  fi
  problem=$(activate Fjord "$module")
  [[ -z $problem ]] && pass Installer.RegImportActivates || fail Installer.RegImportActivates "$problem"
  remove_fjord_keys
fi
((failures == 0))
