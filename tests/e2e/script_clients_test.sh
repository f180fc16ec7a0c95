#!/usr/bin/env bash
# Script clients under Wine: the sample engine registered with regsvr32, a
# package made by `stub-check new` registered with regsvr32, and then
#   - a VBScript run by cscript creates both classes by versioned and by
#     version-independent ProgID and reads, through Automation, which engine
#     it got and the module path that engine object was given, which must be
#     the installed module's;
#   - a C client resolves both version-independent ProgIDs (CLSIDFromProgID)
#     to the classes the scripts name;
#   - a package whose version-independent keys lack their CLSID (as packages
#     made before `new` wrote it) fails CreateObject, and registering it again
#     with corrected scripts mends it;
#   - another engine file registered over the sample engine takes its classes
#     and type library; the sample's regsvr32 /u then leaves them to it, and
#     the same the other way round once the sample is registered back;
#   - the engine's regsvr32 /u removes its classes and type library.
#
#   script_clients_test.sh RESULT_XML ARCH STUB_CHECK_EXE ENGINE_DLL C_CLIENT_EXE WORK_DIR
#
# ARCH is win32 or win64. Writes its cases as JUnit XML and exits non-zero on failure.
set -uo pipefail
[[ $# -eq 6 ]] || {
  echo "usage: $0 RESULT_XML ARCH STUB_CHECK_EXE ENGINE_DLL C_CLIENT_EXE WORK_DIR" >&2
  exit 2
}
absolute() { [[ $1 == /* ]] && printf '%s' "$1" || printf '%s/%s' "$PWD" "$1"; }
xml=$(absolute "$1") arch=$2 checker=$(absolute "$3") engine=$(absolute "$4")
client=$(absolute "$5") work=$(absolute "$6")
here=$(cd "$(dirname "$0")" && pwd)
# Wine takes arguments and file names in the locale's character set.
export LC_ALL=C.UTF-8
source "$here/../../scripts/wine-env.sh"
source "$here/../support/test_results.sh"
trap 'write_results "$xml" ScriptClients' EXIT

stub_wine_use "$arch" || exit 2
if ! stub_wine_runs; then
  echo "script_clients_test: $STUB_WINE_SKIP" >&2
  exit 125
fi
stub_wine_prefix || exit 1
module_arch=$([[ $arch == win64 ]] && echo x64 || echo x86)

rm -rf "$work"
mkdir -p "$work/src" "$work/engine" "$work/log"
out=$work/log/out err=$work/log/err

run() { stub_wine_run "$@"; }
windows_path() { stub_windows_path "$1"; }
classes='HKLM\Software\Classes'
key_exists() { run reg query "$1"; }
# The default value of a key, or nothing.
default_value() { run reg query "$1" /ve && sed -n 's/^ *(Default) *REG_SZ *//p' "$out"; }
lower() { tr '[:upper:]' '[:lower:]'; }

style_engine='{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}'
text_engine='{3AE615F3-1D9A-234C-A151-BDB84CD94B17}'
library='{F02D170B-16D7-4D04-B7EC-139FCCAC94E6}'

# ---- The sample engine registers itself ---------------------------------------------
cp "$engine" "$work/engine/"
engine_path=$(windows_path "$work/engine/$(basename "$engine")")
engines_before=()
for id in "$style_engine" "$text_engine"; do
  key_exists "$classes\\CLSID\\$id" && engines_before+=("$id")
done
packages=()
cleanup() {
  for package in "${packages[@]}"; do run regsvr32 /u /s "$package"; done
  run regsvr32 /u /s "$engine_path"
  [[ -z ${other_path-} ]] || run regsvr32 /u /s "$other_path"
  for id in "$style_engine" "$text_engine"; do
    [[ " ${engines_before[*]-} " == *" $id "* ]] || run reg delete "$classes\\CLSID\\$id" /f
  done
}
trap 'cleanup; write_results "$xml" ScriptClients' EXIT

rc=0
run regsvr32 /s "$engine_path" || rc=$?
problems=()
[[ $rc == 0 ]] || problems+=("regsvr32 exits $rc")
for id in "$style_engine" "$text_engine"; do
  server=$(default_value "$classes\\CLSID\\$id\\InprocServer32")
  [[ "$(lower <<<"$server")" == "$(lower <<<"$engine_path")" ]] ||
    problems+=("CLSID\\$id\\InprocServer32 is '$server'")
  run reg query "$classes\\CLSID\\$id\\InprocServer32" /v ThreadingModel
  grep -q 'ThreadingModel *REG_SZ *Both$' "$out" || problems+=("CLSID\\$id has no ThreadingModel Both")
done
# One type library serves both architectures; it registers as a 32-bit one.
typelib=$(default_value "$classes\\TypeLib\\$library\\1.0\\0\\win32")
[[ "$(lower <<<"$typelib")" == "$(lower <<<"$engine_path")" ]] ||
  problems+=("the type library is registered as '$typelib'")
if [[ ${#problems[@]} == 0 ]]; then
  pass ScriptClients.SampleEngineRegisters
else
  fail ScriptClients.SampleEngineRegisters "$(printf '%s; ' "${problems[@]}")"
fi

# ---- A package made by `new`, registered --------------------------------------------
cd "$work/src"
if ! run "$checker" new Vesper --arch "$module_arch"; then
  fail ScriptClients.ProgIdsCreateTheClasses "new Vesper: $(cat "$out" "$err")"
  exit 1
fi
module=$(windows_path "$work/src/Vesper.dll")
rc=0
run regsvr32 /s "$module" || rc=$?
packages+=("$module")
[[ $rc == 0 ]] || { fail ScriptClients.ProgIdsCreateTheClasses "regsvr32 Vesper.dll exits $rc"; exit 1; }
class_of() { sed -n "s/.*CLSID = s '\({[^']*}\)'.*/\1/p" "$1" | head -n 1; }
style_class=$(class_of Vesper/Style.rgs) text_class=$(class_of Vesper/StyleText.rgs)

# The VBScript: each ProgID named on its command line, one line each:
# PROGID|ENGINE NAME|MODULE PATH, or PROGID|error NUMBER|DESCRIPTION. (Wine's
# cscript exits 0 after a script error, and For Each over WScript.Arguments
# is one: the lines, not the exit code, tell.)
cat >"$work/create.vbs" <<'EOF'
Dim i, name, engine
For i = 0 To WScript.Arguments.Count - 1
  name = WScript.Arguments(i)
  On Error Resume Next
  Set engine = Nothing
  Set engine = CreateObject(name)
  If Err.Number <> 0 Then
    WScript.Echo name & "|error " & Err.Number & "|" & Err.Description
  Else
    WScript.Echo name & "|" & engine.EngineName & "|" & engine.ModulePath
    If Err.Number <> 0 Then WScript.Echo name & "|error " & Err.Number & "|" & Err.Description
  End If
  Err.Clear
  On Error GoTo 0
Next
EOF
script=$(windows_path "$work/create.vbs")
# expected_lines PROGID...: each ProgID's line is its expected engine and the module path.
expected_lines() {
  local name
  for name in "$@"; do
    case $name in
      *.StyleText*) printf '%s|StyleTextEngine|%s\n' "$name" "$module" ;;
      *) printf '%s|StyleEngine|%s\n' "$name" "$module" ;;
    esac
  done
}
progids=(Vesper.Style.1 Vesper.Style Vesper.StyleText.1 Vesper.StyleText)
run cscript //nologo "$script" "${progids[@]}"
if [[ "$(lower <"$out")" == "$(expected_lines "${progids[@]}" | lower)" ]]; then
  pass ScriptClients.VBScriptCreatesBothClassesByEitherProgId
else
  fail ScriptClients.VBScriptCreatesBothClassesByEitherProgId \
    "cscript printed '$(tr '\n' ' ' <"$out")' $(head -c 300 "$err"), expected '$(expected_lines "${progids[@]}" | tr '\n' ' ')'"
fi

# The C client: the version-independent ProgIDs resolve to the scripts' classes.
rc=0
run "$client" Vesper.Style Vesper.StyleText || rc=$?
expected=$(printf 'Vesper.Style|%s|StyleEngine|%s\nVesper.StyleText|%s|StyleTextEngine|%s\n' \
  "$style_class" "$module" "$text_class" "$module")
if [[ $rc == 0 && "$(lower <"$out")" == "$(lower <<<"$expected")" ]]; then
  pass ScriptClients.CClientResolvesVersionIndependentProgIds
else
  fail ScriptClients.CClientResolvesVersionIndependentProgIds \
    "exit $rc, printed '$(tr '\n' ' ' <"$out")', expected '$(tr '\n' ' ' <<<"$expected")'"
fi

# ---- A package of the old layout, and registering it again ------------------------
# Its version-independent keys hold CurVer only.
if ! run "$checker" new Lumen --arch "$module_arch"; then
  fail ScriptClients.RegisteringAgainMendsAnOldPackage "new Lumen: $(cat "$out" "$err")"
  exit 1
fi
cp -R Lumen "$work/Lumen.mended"
perl -0pi -e "s/\t\tCLSID = s '[^']*'\n(\t\tCurVer)/\$1/g" Lumen/Style.rgs Lumen/StyleText.rgs
lumen=$(windows_path "$work/src/Lumen.dll")
problems=()
grep -q CurVer Lumen/Style.rgs && [[ $(grep -c 'CLSID = s' Lumen/Style.rgs) == 1 ]] ||
  problems+=("the old layout was not made")
run regsvr32 /s "$lumen" || problems+=("regsvr32 of the old layout failed")
packages+=("$lumen")
run cscript //nologo "$script" Lumen.Style Lumen.StyleText.1
old=$(cat "$out")
[[ $(sed -n 1p <<<"$old") == 'Lumen.Style|error 429|'* ]] ||
  problems+=("CreateObject(\"Lumen.Style\") of the old layout gave '$(sed -n 1p <<<"$old")'")
[[ $(sed -n 2p <<<"$old") == 'Lumen.StyleText.1|StyleTextEngine|'* ]] ||
  problems+=("CreateObject(\"Lumen.StyleText.1\") of the old layout gave '$(sed -n 2p <<<"$old")'")
cp "$work/Lumen.mended/"*.rgs Lumen/
run regsvr32 /s "$lumen" || problems+=("registering again failed")
run cscript //nologo "$script" Lumen.Style Lumen.StyleText
module=$lumen
[[ "$(lower <"$out")" == "$(expected_lines Lumen.Style Lumen.StyleText | lower)" ]] ||
  problems+=("after registering again cscript printed '$(tr '\n' ' ' <"$out")'")
if [[ ${#problems[@]} == 0 ]]; then
  pass ScriptClients.RegisteringAgainMendsAnOldPackage
else
  fail ScriptClients.RegisteringAgainMendsAnOldPackage "$(printf '%s; ' "${problems[@]}")"
fi

# ---- A package in folders named outside any one ANSI code page ----------------------
# Made there by the Windows checker and registered: the module finds its
# scripts beside it, and a client creates the class, whatever the path's characters.
problems=()
far=$work/Пакеты/パッケージ
if ! run "$checker" new Fjord --dir "$(windows_path "$far")" --arch "$module_arch"; then
  problems+=("new Fjord --dir $far: $(cat "$out" "$err")")
else
  fjord=$(windows_path "$far/Fjord.dll")
  packages+=("$fjord")
  run regsvr32 /s "$fjord" || problems+=("regsvr32 exits $?")
  fjord_class=$(class_of "$far/Fjord/Style.rgs")
  key_exists "$classes\\CLSID\\$fjord_class\\InprocServer32" || problems+=("CLSID\\$fjord_class is not registered")
  rc=0
  run "$client" Fjord.Style || rc=$?
  [[ $rc == 0 && "$(cut -d'|' -f1-3 "$out" | lower)" == "$(lower <<<"Fjord.Style|$fjord_class|StyleEngine")" ]] ||
    problems+=("the client exits $rc and prints '$(tr '\n' ' ' <"$out")'")
  run regsvr32 /u /s "$fjord" || problems+=("regsvr32 /u exits $?")
  key_exists "$classes\\CLSID\\$fjord_class\\InprocServer32" &&
    problems+=("CLSID\\$fjord_class\\InprocServer32 stays after regsvr32 /u")
fi
if [[ ${#problems[@]} == 0 ]]; then
  pass ScriptClients.PackageInJapaneseAndCyrillicFoldersRegisters
else
  fail ScriptClients.PackageInJapaneseAndCyrillicFoldersRegisters "$(printf '%s; ' "${problems[@]}")"
fi

# ---- Another engine over the sample, and back ---------------------------------------
for package in "${packages[@]}"; do run regsvr32 /u /s "$package"; done
packages=()
mkdir -p "$work/other"
cp "$engine" "$work/other/"
other_path=$(windows_path "$work/other/$(basename "$engine")")
# registered_to PATH: what of the engine registration does not name PATH.
registered_to() {
  local id
  for id in "$style_engine" "$text_engine"; do
    [[ "$(default_value "$classes\\CLSID\\$id\\InprocServer32" | lower)" == "$(lower <<<"$1")" ]] ||
      echo "CLSID\\$id is not served by $1; "
  done
  [[ "$(default_value "$classes\\TypeLib\\$library\\1.0\\0\\win32" | lower)" == "$(lower <<<"$1")" ]] ||
    echo "the type library is not registered as $1; "
}
problem=""
run regsvr32 /s "$other_path" || problem+="regsvr32 of the other engine exits $?; "
run regsvr32 /u /s "$engine_path" || problem+="the sample's regsvr32 /u exits $?; "
problem+=$(registered_to "$other_path")
run regsvr32 /s "$engine_path" || problem+="registering the sample back exits $?; "
run regsvr32 /u /s "$other_path" || problem+="the other engine's regsvr32 /u exits $?; "
problem+=$(registered_to "$engine_path")
if [[ -z $problem ]]; then
  pass ScriptClients.UnregisteringLeavesAnotherEnginesKeys
else
  fail ScriptClients.UnregisteringLeavesAnotherEnginesKeys "$problem"
fi

# ---- The engine removes itself ------------------------------------------------------
rc=0
run regsvr32 /u /s "$engine_path" || rc=$?
problems=()
[[ $rc == 0 ]] || problems+=("regsvr32 /u exits $rc")
for id in "$style_engine" "$text_engine"; do
  key_exists "$classes\\CLSID\\$id" && problems+=("CLSID\\$id is still there")
done
key_exists "$classes\\TypeLib\\$library" && problems+=("the type library is still registered")
if [[ ${#problems[@]} == 0 ]]; then
  pass ScriptClients.SampleEngineUnregisters
else
  fail ScriptClients.SampleEngineUnregisters "$(printf '%s; ' "${problems[@]}")"
fi
[[ $failures == 0 ]]
