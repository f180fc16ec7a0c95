#!/usr/bin/env bash
# The demo: a sample package, laid out the way a package author ships one, is
# registered with regsvr32 under Wine, its two classes are created by a client,
# and it is removed again. Then a new package made by stub-check is installed
# from an MSI built out of its exported keys, used, and removed.
#
#   scripts/demo.sh
#
# Runs the 32-bit module where this machine can run 32-bit programs, and the
# 64-bit one otherwise (STUB_DEMO_ARCH=win32 or win64 chooses). Builds what it
# needs first. Everything Wine touches lives in the architecture's private
# prefix under build/; the demo's files go to build/demo.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEMO=$ROOT/build/demo
PACKAGES=$DEMO/Packages

# Fixed identifiers of the sample package (in samples/Aurora/*.rgs) and of the
# engine classes the sample engine serves.
STYLE_CLSID='{049E8873-D5B5-4B2A-853D-BB5599647387}'
TEXT_CLSID='{5703306D-8619-43E8-8C59-A0F2CC622E1E}'
STYLE_ENGINE='{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}'
TEXT_ENGINE='{3AE615F3-1D9A-234C-A151-BDB84CD94B17}'
STYLES_CATEGORY='{390F9E99-171D-4A3B-A185-A0E495BA86D0}'
TEXTS_CATEGORY='{FD8ABB6D-B549-4A66-94A9-3C360CD70490}'
CLASSES='HKLM\Software\Classes'

heading() { printf '\n== %s ==\n\n' "$1"; }
say() { printf '%s\n' "$*"; }

mkdir -p "$DEMO"
SCRATCH=$(mktemp -d "$DEMO/.scratch.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT

# ---- Architecture ---------------------------------------------------------------
source "$ROOT/scripts/wine-env.sh"
source "$ROOT/tests/e2e/msi.sh"
heading "Choosing the module"
if [[ -n ${STUB_DEMO_ARCH:-} ]]; then
  arch=$STUB_DEMO_ARCH
  stub_wine_use "$arch"
  stub_wine_runs || { say "Cannot run the $arch module here: $STUB_WINE_SKIP."; exit 1; }
  say "The ${arch#win}-bit module, as asked."
else
  arch=win32
  stub_wine_use win32
  if stub_wine_runs; then
    say "The 32-bit module: this machine runs 32-bit programs."
  else
    say "The 64-bit module: the 32-bit one cannot run here ($STUB_WINE_SKIP)."
    arch=win64
    stub_wine_use win64
    stub_wine_runs || { say "Nor can the 64-bit one: $STUB_WINE_SKIP."; exit 1; }
  fi
fi
preset=$([[ $arch == win32 ]] && echo windows-x86 || echo windows-x64)
BUILD=$ROOT/build/$preset

# ---- Build ------------------------------------------------------------------------
heading "Building the $preset target"
build_log=$SCRATCH/build.log
if ! {
  (cd "$ROOT" && cmake --preset "$preset") &&
  cmake --build "$BUILD" --target stub StubSampleEngine demo_client package_host StubProbe
} >"$build_log" 2>&1 </dev/null; then
  cat "$build_log"
  say "The build failed."
  exit 1
fi
STUB_DLL=$BUILD/src/exports/Stub.dll
ENGINE_DLL=$BUILD/samples/StubSampleEngine.dll
CLIENT_EXE=$BUILD/samples/demo_client.exe
# The sample host with the probe it tries packages in beside it, as a
# release ships them.
mkdir -p "$SCRATCH/host"
cp "$BUILD/samples/package_host.exe" "$BUILD/sdk/probe/StubProbe.exe" "$SCRATCH/host/"
HOST_EXE=$SCRATCH/host/package_host.exe
say "Stub.dll       $STUB_DLL"
say "engine         $ENGINE_DLL"
say "client         $CLIENT_EXE"
say "host           $HOST_EXE"

# ---- Wine ---------------------------------------------------------------------------
stub_wine_prefix
cleanup() {
  stub_wine_stop
  rm -rf "$SCRATCH"
}
trap cleanup EXIT
# One server for the whole demo keeps each wine command quick. Its output goes
# to /dev/null: Wine's helpers inherit it and would hold a pipe open for good.
# A server already running for this prefix (an earlier run, a test) answers
# with an error and serves this demo all the same.
wineserver -p >/dev/null 2>&1 </dev/null || true

# Runs a Windows program; its output lands in $SCRATCH/out and $SCRATCH/err.
out=$SCRATCH/out err=$SCRATCH/err
run() { stub_wine_run "$@"; }
windows_path() { stub_windows_path "$1"; }

# Shows a registry key with everything under it, or that it is absent.
show_key() {
  if run reg query "$1" /s; then
    grep -v '^$' "$SCRATCH/out" | sed -e 's/^HKEY_LOCAL_MACHINE\\Software\\Classes\\/  HKCR\\/' \
      -e 's/^    /      /'
  else
    say "  HKCR\\${1#"$CLASSES"\\}    (absent)"
  fi
}

key_exists() { run reg query "$1"; }

# ---- The package -----------------------------------------------------------------
heading "Laying out the package"
rm -rf "$PACKAGES" "$DEMO/Engine"
mkdir -p "$PACKAGES/Aurora" "$DEMO/Engine"
cp "$STUB_DLL" "$PACKAGES/Aurora.dll"
cp "$ROOT/samples/Aurora/Style.rgs" "$ROOT/samples/Aurora/StyleText.rgs" "$PACKAGES/Aurora/"
cp "$ENGINE_DLL" "$DEMO/Engine/"
MODULE=$(windows_path "$PACKAGES/Aurora.dll")
ENGINE=$(windows_path "$DEMO/Engine/StubSampleEngine.dll")
say "A copy of Stub.dll named after the package, and the package folder beside it:"
say
(cd "$DEMO" && find Packages | sort | sed 's/^/  /')
say
say "Style.rgs, as the package author wrote it (%Module% stands for the module's path):"
say
sed 's/^/  /' "$PACKAGES/Aurora/Style.rgs"

# ---- Engine --------------------------------------------------------------------------
heading "Registering the sample engine (the COM server the package's classes hand out)"
say "regsvr32 /s StubSampleEngine.dll"
rc=0
run regsvr32 /s "$ENGINE" || rc=$?
say "regsvr32 exit code: $rc$([[ $rc == 0 ]] && echo ' (success)')"
[[ $rc == 0 ]] || exit 1
for engine in "$STYLE_ENGINE" "$TEXT_ENGINE"; do
  show_key "$CLASSES\\CLSID\\$engine\\InprocServer32"
done

# Categories that were there before the demo stay when it tidies up.
categories_before=()
for category in "$STYLES_CATEGORY" "$TEXTS_CATEGORY"; do
  key_exists "$CLASSES\\Component Categories\\$category" && categories_before+=("$category")
done

# ---- Registration -------------------------------------------------------------------
heading "Registering the package: regsvr32 /s Aurora.dll"
rc=0
run regsvr32 /s "$MODULE" || rc=$?
say "regsvr32 exit code: $rc$([[ $rc == 0 ]] && echo ' (success)')"
[[ $rc == 0 ]] || exit 1
say
say "What the scripts wrote, and the categories the module entered its classes into:"
say
for key in "Aurora.Style.1" "Aurora.Style" "Aurora.StyleText.1" "Aurora.StyleText" \
           "CLSID\\$STYLE_CLSID" "CLSID\\$TEXT_CLSID" \
           "Component Categories\\$STYLES_CATEGORY" "Component Categories\\$TEXTS_CATEGORY"; do
  show_key "$CLASSES\\$key"
done

# ---- Use --------------------------------------------------------------------------------
heading "A client creates both classes: demo_client Aurora.Style.1 Aurora.StyleText"
rc=0
run "$CLIENT_EXE" Aurora.Style.1 Aurora.StyleText || rc=$?
cat "$SCRATCH/out" "$SCRATCH/err"
say
say "client exit code: $rc$([[ $rc == 0 ]] && echo ' (both classes created)')"
client_rc=$rc

# ---- A script --------------------------------------------------------------------------
heading "A script creates them by their version-independent ProgIDs: cscript aurora.vbs"
cat >"$SCRATCH/aurora.vbs" <<'EOF'
Dim name, engine
For Each name In Array("Aurora.Style", "Aurora.StyleText")
  Set engine = CreateObject(name)
  WScript.Echo name & ": a " & engine.EngineName & " object, made by " & engine.ModulePath
Next
EOF
sed 's/^/  /' "$SCRATCH/aurora.vbs"
say
run cscript //nologo "$(windows_path "$SCRATCH/aurora.vbs")" || true
sed 's/^/  /' "$SCRATCH/out"
grep -q '^Aurora.StyleText: a StyleTextEngine object' "$SCRATCH/out" || { cat "$SCRATCH/err"; client_rc=1; }

# ---- A host ------------------------------------------------------------------------------
# Runs the sample host, which knows no package by name: it lists what the
# component categories hold, pairs, checks and creates.
run_host() {
  rc=0
  run "$HOST_EXE" --sta || rc=$?
  sed 's/^/  /' "$SCRATCH/out"
  cat "$SCRATCH/err"
  say
  say "host exit code: $rc$([[ $rc == 0 ]] && echo ' (every package listed works)')"
}
heading "A host finds the package through the component categories: package_host --sta"
run_host

# ---- Removal ------------------------------------------------------------------------
heading "Removing the package: regsvr32 /u /s Aurora.dll"
rc=0
run regsvr32 /u /s "$MODULE" || rc=$?
say "regsvr32 exit code: $rc$([[ $rc == 0 ]] && echo ' (success)')"
say
say "The scripted keys are gone:"
say
for key in "Aurora.Style.1" "Aurora.Style" "Aurora.StyleText.1" "Aurora.StyleText" \
           "CLSID\\$STYLE_CLSID\\InprocServer32" "CLSID\\$TEXT_CLSID\\InprocServer32"; do
  show_key "$CLASSES\\$key"
done
say
say "Removal leaves the category entries (and the class keys that hold them):"
say
show_key "$CLASSES\\CLSID\\$STYLE_CLSID"
show_key "$CLASSES\\CLSID\\$TEXT_CLSID"
say
say "So the categories still list both classes; the host shows them as stale (no-server):"
say
run_host

# ---- A new package, installed from an MSI ------------------------------------------
# stub-check (its Linux release build, the one authors use) makes a package
# with fresh identifiers, checks it, and exports its keys as a WiX fragment;
# wixl builds the MSI, msiexec installs and removes it: no self-registration.
check_log=$SCRATCH/check-build.log
if ! { (cd "$ROOT" && cmake --preset host-release) &&
       cmake --build "$ROOT/build/host-release" --target stub-check; } \
    >"$check_log" 2>&1 </dev/null; then
  cat "$check_log"
  say "The checker's build failed."
  exit 1
fi
CHECKER=$ROOT/build/host-release/tools/stub-check/stub-check
module_arch=$([[ $arch == win32 ]] && echo x86 || echo x64)
NEW=$DEMO/New
rm -rf "$NEW"
heading "A new package in one command: stub-check new Fjord --arch $module_arch"
(cd "$DEMO" && "$CHECKER" new Fjord --dir New --arch "$module_arch" --module "$STUB_DLL") |
  sed "s|$STUB_DLL|Stub.dll|; s/^/  /"
say
rc=0
(cd "$DEMO" && "$CHECKER" check New/Fjord.dll) >"$SCRATCH/check.txt" || rc=$?
say "stub-check check New/Fjord.dll: $(grep '^Result:' "$SCRATCH/check.txt")"
FJORD_STYLE=$(sed -n "s/.*CLSID = s '\({[^']*}\)'.*/\1/p" "$NEW/Fjord/Style.rgs" | head -n 1)
FJORD_TEXT=$(sed -n "s/.*CLSID = s '\({[^']*}\)'.*/\1/p" "$NEW/Fjord/StyleText.rgs" | head -n 1)

heading "Its keys for an installer: stub-check export --format wxs Fjord.dll"
(cd "$NEW" && "$CHECKER" export --format wxs Fjord.dll) >"$NEW/Fjord.wxs"
grep -E '<(Component|File|Directory) |InprocServer32" Type|Component Categories' "$NEW/Fjord.wxs" |
  sed "s/^ */  /"
say
if ! command -v wixl >/dev/null; then
  say "wixl is not installed (scripts/setup.sh installs it): no MSI."
else
  heading "The MSI: wixl -a $module_arch -D SourceDir=. -o Fjord.msi product-Fjord.wxs Fjord.wxs"
  # product-Fjord.wxs: a product "Tarvo Fjord" installing the group into Program Files.
  (cd "$NEW" && msi_build Fjord "$module_arch") >"$SCRATCH/wixl.log" 2>&1 ||
    { cat "$SCRATCH/wixl.log"; exit 1; }
  say "  $(stat -c %s "$NEW/Fjord.msi") bytes"
  heading "Installing it: msiexec /i Fjord.msi /qn"
  rc=0
  run msiexec /i "$(windows_path "$NEW/Fjord.msi")" /qn || rc=$?
  say "msiexec exit code: $rc"
  show_key "$CLASSES\\CLSID\\$FJORD_STYLE\\InprocServer32"
  say
  rc=0
  run "$CLIENT_EXE" Fjord.Style.1 Fjord.StyleText.1 || rc=$?
  sed 's/^/  /' "$SCRATCH/out" "$SCRATCH/err"
  say "client exit code: $rc$([[ $rc == 0 ]] && echo ' (both classes created)')"
  [[ $rc == 0 ]] || client_rc=$rc
  heading "Removing it: msiexec /x Fjord.msi /qn"
  rc=0
  run msiexec /x "$(windows_path "$NEW/Fjord.msi")" /qn || rc=$?
  say "msiexec exit code: $rc; the installer removes every key it wrote but the shared categories:"
  for key in Fjord.Style.1 Fjord.StyleText.1 "CLSID\\$FJORD_STYLE" "CLSID\\$FJORD_TEXT"; do
    show_key "$CLASSES\\$key"
  done
fi

# ---- Tidy up ----------------------------------------------------------------------------
heading "Tidying up"
run regsvr32 /u /s "$ENGINE" || true
for key in "CLSID\\$STYLE_CLSID" "CLSID\\$TEXT_CLSID"; do
  run reg delete "$CLASSES\\$key" /f || true
done
for category in "$STYLES_CATEGORY" "$TEXTS_CATEGORY"; do
  if [[ " ${categories_before[*]-} " != *" $category "* ]]; then
    run reg delete "$CLASSES\\Component Categories\\$category" /f || true
  fi
done
say "Removed the sample engine (regsvr32 /u) and what the demo left in the registry."
say "The package stays in build/demo/Packages for a look."

# ---- Checking packages before shipping ---------------------------------------------
# stub-check (built above) runs the module's own code over an emulated
# registry, so it touches no registry at all.
heading "Checking packages with stub-check (the registry is not touched)"
say "The sample package (its findings and result):"
say
rc=0
"$CHECKER" "$PACKAGES/Aurora.dll" >"$SCRATCH/check.txt" || rc=$?
sed -n '/^Findings:/,$p' "$SCRATCH/check.txt" | sed 's/^/  /'
say "stub-check exit code: $rc"
say
say "A broken package from the checker's corpus: %Module% unquoted in Style.rgs:"
say
grep -n 'InprocServer32' "$ROOT/tests/check/packages/unquoted-module/Fern/Style.rgs" | sed 's/^/  line /'
say
rc=0
# The corpus keeps no module files: the demo's own copy of Stub.dll stands in.
rm -rf "$SCRATCH/corpus" && mkdir -p "$SCRATCH/corpus"
cp -R "$ROOT/tests/check/packages/unquoted-module" "$SCRATCH/corpus/"
cp "$PACKAGES/Aurora.dll" "$SCRATCH/corpus/unquoted-module/Fern.dll"
(cd "$SCRATCH/corpus" && "$CHECKER" unquoted-module/Fern.dll) >"$SCRATCH/check.txt" || rc=$?
sed -n '/^Findings:/,$p' "$SCRATCH/check.txt" | sed 's/^/  /'
say "stub-check exit code: $rc"

[[ $client_rc == 0 ]]
