#!/usr/bin/env bash
# The package catalog (StubHost.dll) under Wine: the sample engine and the
# catalog registered with regsvr32; six packages made by `stub-check new`
# and registered: two that work, one whose module was deleted afterwards,
# one whose script's identifier was broken afterwards, one whose server path
# ends in a point the file system ignores, and one whose module file was
# replaced by the engine's; one more kept unregistered in a folder with its
# assembly manifest. Then
#   - VBScript (cscript) lists the registered packages with For Each over
#     FindRegistered(), creates both classes of the working ones (the engine
#     objects report the package's module path; the states become working),
#     and is refused the broken ones with an error that names their state
#     and what to do, without a box or a wait;
#   - JScript lists the same packages through an Enumerator (Count and Item
#     where the script engine's Enumerator refuses the collection);
#   - the C sample list_packages, built on the public header alone, lists
#     them; a C client (CONTRACT_EXE) fetches a list's Item as a property
#     and finds error objects for null result pointers and ISupportErrorInfo
#     on the enumerator;
#   - FindInFolder finds the unregistered one, with its version-independent
#     ProgIDs from the manifest, whether the folder is named with a point
#     after it, relatively, with forward slashes or with \\?\ (the module
#     path always in its normal full form); refuses a file, a path with a null
#     character in it, and names a path too long to list in a text a person
#     can read; a folder package of the other architecture and one whose
#     module path is too long keep their identifiers and ProgIDs;
#   - hosts survive any package: with the test engine (TEST_ENGINE_DLL) in
#     the sample engine's place, packages whose engine crashes, ends its
#     process, never answers or shows a box, and a DLL that crashes as it
#     loads (FOREIGN_DLL), are each tried in a probe (PROBE_EXE beside the
#     catalog) by VBScript and by the C sample, which report each state and
#     are left running with no probe behind; a creation with no verdict yet
#     is probed first; a second run takes every verdict from memory and
#     starts no probe; and a 64-bit host tries a 32-bit package (with
#     OTHER_PROBE_EXE and OTHER_STUB_DLL, where 32-bit programs run);
#   - regsvr32 /u removes the catalog's keys and type library, nothing else,
#     and the C sample then lists through the catalog's assembly manifest,
#     named by the sample application manifest (LIST_MANIFEST).
#
#   catalog_test.sh RESULT_XML ARCH STUB_CHECK_EXE ENGINE_DLL CATALOG_DLL LIST_EXE WORK_DIR \
#                   CONTRACT_EXE LIST_MANIFEST TEST_ENGINE_DLL FOREIGN_DLL PROBE_EXE \
#                   OTHER_PROBE_EXE OTHER_STUB_DLL
#
# ARCH is win32 or win64. Writes its cases as JUnit XML and exits non-zero on failure.
set -uo pipefail
[[ $# -eq 14 ]] || {
  echo "usage: $0 RESULT_XML ARCH STUB_CHECK_EXE ENGINE_DLL CATALOG_DLL LIST_EXE WORK_DIR CONTRACT_EXE LIST_MANIFEST" \
       "TEST_ENGINE_DLL FOREIGN_DLL PROBE_EXE OTHER_PROBE_EXE OTHER_STUB_DLL" >&2
  exit 2
}
absolute() { [[ $1 == /* ]] && printf '%s' "$1" || printf '%s/%s' "$PWD" "$1"; }
xml=$(absolute "$1") arch=$2 checker=$(absolute "$3") engine=$(absolute "$4")
catalog=$(absolute "$5") lister=$(absolute "$6") work=$(absolute "$7")
contract=$(absolute "$8") list_manifest=$(absolute "$9")
test_engine=$(absolute "${10}") foreign=$(absolute "${11}") probe=$(absolute "${12}")
other_probe=$(absolute "${13}") other_stub=$(absolute "${14}")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wine-env.sh"
source "$here/../support/test_results.sh"
trap 'write_results "$xml" Catalog' EXIT

stub_wine_use "$arch" || exit 2
if ! stub_wine_runs; then
  echo "catalog_test: $STUB_WINE_SKIP" >&2
  exit 125
fi
stub_wine_prefix || exit 1
module_arch=$([[ $arch == win64 ]] && echo x64 || echo x86)
other_arch=$([[ $arch == win64 ]] && echo x86 || echo x64)

rm -rf "$work"
mkdir -p "$work/packages" "$work/folder" "$work/foreign" "$work/bin" "$work/log"
out=$work/log/out err=$work/log/err
# Every program under a time limit: a box nobody answers would hold it (124).
run() { timeout 60 bash -c 'source "$0"; out=$1 err=$2; shift 2; stub_wine_run "$@"' \
          "$here/../../scripts/wine-env.sh" "$out" "$err" "$@"; }
windows_path() { stub_windows_path "$1"; }
lower() { tr '[:upper:]' '[:lower:]'; }
classes='HKLM\Software\Classes'
catalog_class='{799822C2-F9D8-4F91-86DE-B4C383EEFF08}'
catalog_library='{D8E6D6C7-8446-4F05-95F9-23E816F25C09}'

# The catalog with its probe beside it, as the release ships them.
cp "$engine" "$catalog" "$probe" "$work/bin/"
engine_path=$(windows_path "$work/bin/$(basename "$engine")")
catalog_path=$(windows_path "$work/bin/$(basename "$catalog")")
registered=()
cleanup() {
  local module
  # Gneiss's own module back in place, so that it removes what it registered.
  [[ -f $work/packages/Gneiss.stub ]] && cp "$work/packages/Gneiss.stub" "$work/packages/Gneiss.dll"
  [[ -f $work/survive/SurvForeign.stub ]] && cp "$work/survive/SurvForeign.stub" "$work/survive/SurvForeign.dll"
  for module in "${registered[@]}"; do run regsvr32 /u /s "$module"; done
  # The engine's classes, which this test pointed at the test engines, in both views.
  local id view
  for id in '{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}' '{3AE615F3-1D9A-234C-A151-BDB84CD94B17}'; do
    for view in /reg:64 /reg:32; do run reg delete "$classes\\CLSID\\$id" /f "$view"; done
  done
}
trap 'cleanup; write_results "$xml" Catalog' EXIT

# ---- Set-up: the engine, the catalog, the packages ---------------------------------
problems=()
for module in "$engine_path" "$catalog_path"; do
  run regsvr32 /s "$module" || problems+=("regsvr32 $module exits $?")
  registered+=("$module")
done
run reg query "$classes\\CLSID\\$catalog_class\\InprocServer32" /v ThreadingModel
grep -q 'ThreadingModel *REG_SZ *Both$' "$out" || problems+=("no ThreadingModel Both")
run reg query "$classes\\Stub.PackageCatalog\\CLSID" /ve
grep -q "$catalog_class" "$out" || problems+=("Stub.PackageCatalog names no CLSID")
run reg query "$classes\\TypeLib\\$catalog_library\\1.0\\0\\win32" /ve
[[ "$(lower <"$out")" == *"$(lower <<<"$catalog_path")"* ]] || problems+=("no type library registered")

cd "$work/packages"
for name in Amber Birch Cobalt Dune Flint Gneiss; do
  run "$checker" new "$name" --arch "$module_arch" || problems+=("new $name: $(cat "$err")")
  run regsvr32 /s "$(windows_path "$work/packages/$name.dll")" || problems+=("regsvr32 $name exits $?")
  registered+=("$(windows_path "$work/packages/$name.dll")")
done
# Broken after registration: Cobalt's module deleted, Dune's identifier unreadable.
rm -f Cobalt.dll
perl -pi -e "s/^(\t\tForceRemove )\{[0-9A-F-]+\}/\${1}{D0E-NOT-AN-IDENTIFIER}/" Dune/Style.rgs
perl -pi -e "s/(CLSID = s ')\{[0-9A-F-]+\}/\${1}{D0E-NOT-AN-IDENTIFIER}/" Dune/Style.rgs
# Flint's classes name its module with a point after it: the module itself
# (and its package folder) is Flint's all the same.
for script in Flint/Style.rgs Flint/StyleText.rgs; do
  id=$(grep -m1 -o "CLSID = s '{[0-9A-F-]*}'" "$script" | grep -o '{.*}')
  run reg add "$classes\\CLSID\\$id\\InprocServer32" /ve /d "$(windows_path "$work/packages/Flint.dll.")" /f ||
    problems+=("reg add of Flint's server: $(cat "$err")")
done
# Gneiss's module file is the engine's: a DLL that serves neither package class.
cp Gneiss.dll Gneiss.stub && cp "$engine" Gneiss.dll
# Kept unregistered in a folder, beside its assembly manifest.
cd "$work/folder"
run "$checker" new Ember --arch "$module_arch" || problems+=("new Ember: $(cat "$err")")
run "$checker" export --format manifest Ember.dll || problems+=("export Ember: $(cat "$err")")
cp "$out" Ember.Assembly.manifest
# The same package again, each in a folder of its own: where its module path
# is too long, and with its module's machine field saying the other
# architecture (all the checks read of it).
deep=$work/deep/$(printf 'p%.0s' {1..150})/$(printf 'q%.0s' {1..100})
mkdir -p "$deep" && cp -r Ember Ember.dll Ember.Assembly.manifest "$deep/"
cp -r Ember Ember.dll Ember.Assembly.manifest "$work/foreign/"
perl -e 'open(my $f, "+<:raw", $ARGV[0]) or die; seek($f, 0x3C, 0); read($f, my $at, 4);
         seek($f, unpack("V", $at) + 4, 0); print $f pack("v", hex $ARGV[1]);' \
  "$work/foreign/Ember.dll" "$([[ $other_arch == x86 ]] && echo 14C || echo 8664)" ||
  problems+=("the foreign module's machine field was not written")
if [[ ${#problems[@]} == 0 ]]; then
  pass Catalog.RegistersItselfAndThePackages
else
  fail Catalog.RegistersItselfAndThePackages "$(printf '%s; ' "${problems[@]}")"
  exit 1
fi
mine() { grep -E '^(Amber|Birch|Cobalt|Dune|Ember|Flint|Gneiss|refused)\|' "$out"; }
module_of() { windows_path "$work/packages/$1.dll"; }

# ---- VBScript: For Each, both classes created, broken ones refused -----------------
cat >"$work/list.vbs" <<'EOF'
' NAME|STATE|what Try answers, then for one that Try created its module path,
' its two engine objects' names and module paths and the states after
' creating them; for any other the error CreateStyle answers (and, for a
' folder's, each class's KIND=CLASSID=PROGID=VERSION-INDEPENDENT PROGID).
' With a folder: its packages, or "refused|ERROR|DESCRIPTION" where FindInFolder refuses it
' (in the folder's path, <NUL> stands for a null character and <LONG> for
' 40,000 letters d).
Dim catalog, packages, p, s, t, c, line, folder
Set catalog = CreateObject("Stub.PackageCatalog")
If WScript.Arguments.Count > 0 Then
  folder = Replace(Replace(WScript.Arguments(0), "<NUL>", Chr(0)), "<LONG>", String(40000, "d"))
  On Error Resume Next
  Set packages = catalog.FindInFolder(folder)
  If Err.Number <> 0 Then
    WScript.Echo "refused|" & Hex(Err.Number) & "|" & Err.Description
    WScript.Quit 0
  End If
  On Error GoTo 0
Else
  Set packages = catalog.FindRegistered()
End If
For Each p In packages
  line = p.Name & "|" & p.State & "|" & p.Try(20000)
  If p.State = "working" Then
    line = line & "|" & p.ModulePath
    Set s = p.CreateStyle()
    Set t = p.CreateStyleText()
    line = line & "|" & s.EngineName & "|" & s.ModulePath & "|" & t.EngineName & "|" & t.ModulePath & "|" & p.State
    For Each c In p.Classes
      line = line & "|" & c.Kind & "=" & c.State & "=" & c.VersionIndependentProgId
    Next
  Else
    On Error Resume Next
    Set s = p.CreateStyle()
    line = line & "|" & Hex(Err.Number) & "|" & Err.Description
    On Error GoTo 0
    If WScript.Arguments.Count > 0 Then
      For Each c In p.Classes
        line = line & "|" & c.Kind & "=" & c.ClassId & "=" & c.ProgId & "=" & c.VersionIndependentProgId
      Next
    End If
  End If
  WScript.Echo line
Next
EOF
started=$SECONDS
rc=0
run cscript //nologo "$(windows_path "$work/list.vbs")" || rc=$?
took=$((SECONDS - started))
listed=$(mine | lower)
problems=()
[[ $rc == 0 ]] || problems+=("cscript exits $rc (124: it waited)")
for name in Amber Birch Flint; do
  module=$(module_of "$name")
  want="$name|ready|true|$module|styleengine|$module|styletextengine|$module|working|style=working=$name.Style|text=working=$name.StyleText"
  grep -qxF "$(lower <<<"$want")" <<<"$listed" || problems+=("no line '$want'")
done
grep -q '^cobalt|module-missing|false|80040201|package cobalt was not created: it is module-missing (.*cobalt.dll); install the package again' <<<"$listed" ||
  problems+=("Cobalt is not refused as module-missing")
grep -q '^dune|bad-identifier|false|80040201|package dune was not created: it is bad-identifier (.*style.rgs: {d0e-); correct the class identifier' <<<"$listed" ||
  problems+=("Dune is not refused as bad-identifier")
grep -qxF 'gneiss|ready|false|80040111|package gneiss was not created: it is create-failed (0x80040111); the module file serves no class its scripts name, so it is not a package module: replace it with a copy of stub.dll.' <<<"$listed" ||
  problems+=("Gneiss is not refused as a module file that is no package module")
[[ $(wc -l <<<"$listed") == 6 ]] || problems+=("$(wc -l <<<"$listed") lines of ours")
if [[ ${#problems[@]} == 0 ]]; then
  pass Catalog.VBScriptListsCreatesAndRefuses
else
  fail Catalog.VBScriptListsCreatesAndRefuses \
    "$(printf '%s; ' "${problems[@]}") printed: $(tr '\n' ' ' <"$out") $(head -c 300 "$err")"
fi
echo "catalog_test: the VBScript listing took ${took}s"
# The control: created directly, without the catalog's checks, the broken
# package's module shows its box, and in this prefix the box waits.
echo 'Set o = CreateObject("Dune.Style")' >"$work/direct.vbs"
rc=0
timeout 15 bash -c 'source "$0"; out=$1 err=$2; shift 2; stub_wine_run "$@"' \
  "$here/../../scripts/wine-env.sh" "$out" "$err" cscript //nologo "$(windows_path "$work/direct.vbs")" || rc=$?
if [[ $rc == 124 ]]; then
  pass Catalog.ControlADirectCreationWaitsOnABox
else
  fail Catalog.ControlADirectCreationWaitsOnABox "cscript exits $rc, not held by a box: $(head -c 300 "$out")"
fi

# ---- JScript: an Enumerator over the same list --------------------------------------
cat >"$work/list.js" <<'EOF'
// NAME|STATE of every registered package, through an Enumerator; where the
// script engine refuses the list, "enumerator|NUMBER" and then Count and Item.
var packages = new ActiveXObject("Stub.PackageCatalog").FindRegistered();
try {
  for (var e = new Enumerator(packages); !e.atEnd(); e.moveNext()) {
    WScript.Echo(e.item().Name + "|" + e.item().State);
  }
} catch (x) {
  WScript.Echo("enumerator|" + (x.number >>> 0).toString(16));
  for (var i = 0; i < packages.Count; i++) {
    WScript.Echo(packages.Item(i).Name + "|" + packages.Item(i).State);
  }
}
EOF
rc=0
run cscript //nologo "$(windows_path "$work/list.js")" || rc=$?
expected=$'Amber|ready\nBirch|ready\nCobalt|module-missing\nDune|bad-identifier\nFlint|ready\nGneiss|ready'
if [[ $rc == 0 && "$(mine)" == "$expected" ]] && ! grep -q '^enumerator|' "$out"; then
  pass Catalog.JScriptEnumeratorLists
else
  fail Catalog.JScriptEnumeratorLists "exit $rc, printed: $(tr '\n' ' ' <"$out") $(head -c 300 "$err")"
fi

# ---- C on the public header alone; FindInFolder --------------------------------------
rc=0
run "$lister" || rc=$?
expected=$(printf 'Amber|ready|registry|%s|\nBirch|ready|registry|%s|\nCobalt|module-missing|registry|%s|%s\nDune|bad-identifier|registry|%s|%s: {D0E-\nFlint|ready|registry|%s|\nGneiss|ready|registry|%s|' \
  "$(module_of Amber)" "$(module_of Birch)" "$(module_of Cobalt)" "$(module_of Cobalt)" \
  "$(module_of Dune)" "$(windows_path "$work/packages/Dune/Style.rgs")" "$(module_of Flint)" \
  "$(module_of Gneiss)")
if [[ $rc == 0 && "$(mine | lower)" == "$(lower <<<"$expected")" ]]; then
  pass Catalog.CClientListsOnThePublicHeader
else
  fail Catalog.CClientListsOnThePublicHeader "exit $rc, printed: $(tr '\n' ' ' <"$out") $(head -c 300 "$err"); expected $(tr '\n' ' ' <<<"$expected")"
fi
# Late-bound and early-bound promises of the catalog beyond the sample's use.
rc=0
run "$contract" || rc=$?
promised='item-property|0x00000000|9
null-count|0x80004003|Count was given a null pointer for its result: pass the address of a variable to receive it.
enumerator-errorinfo|0x00000000|0x00000000
null-next|0x80004003|IEnumVARIANT::Next was given a null pointer for its result: pass the address of a variable to receive it.'
if [[ $rc == 0 && "$(tr -d '\r' <"$out")" == "$promised" ]]; then
  pass Catalog.ItemAsAPropertyAndErrorObjectsForNullPointers
else
  fail Catalog.ItemAsAPropertyAndErrorObjectsForNullPointers "exit $rc, printed: $(tr '\n' ' ' <"$out") $(head -c 300 "$err")"
fi
# FindInFolder: FOLDER|WHAT IT ANSWERS (a point after the folder's name is
# one the file system ignores; a relative folder is taken against the current
# directory; a long path's text keeps its first and last 60 characters; ? and
# * stand for any character and any text).
folder=$(windows_path "$work/folder")
module=$(windows_path "$work/folder/Ember.dll")
found="Ember|ready|True|$module|StyleEngine|$module|StyleTextEngine|$module|working|style=working=Ember.Style|text=working=Ember.StyleText"
script_id() { grep -m1 -o "CLSID = s '{[0-9A-F-]*}'" "$1" | grep -o '{.*}'; }
classes_of() {  # NAME FOLDER: the class fields a folder package's listing ends with
  printf 'style=%s=%s.Style.1=%s.Style|text=%s=%s.StyleText.1=%s.StyleText' \
    "$(script_id "$2/$1/Style.rgs")" "$1" "$1" "$(script_id "$2/$1/StyleText.rgs")" "$1" "$1"
}
refused="False|80040201|Package"
long="$folder\\<LONG>\\Nowhere"
long_text=${long/<LONG>/$(printf '%*s' 40000 '' | tr ' ' d)}
long_text="${long_text:0:60}...${long_text: -60}"
folder_cases=(
  "$folder|$found"
  "$folder.|$found"
  "$folder<NUL>\\Other|refused|80070057|FindInFolder was given a path with a null character in it (after $folder), which names no folder: pass the folder's path alone."
  "$long|refused|800700??|The folder $long_text cannot be listed (0x800700??): name a folder that is there and readable."
  ".\\folder|$found"
  "${folder//\\//}|$found"
  "\\\\?\\$folder|$found"
  "$module|refused|8007010B|FindInFolder was given $module, which is a file, not a folder: name the folder the packages are kept in."
  "$(windows_path "$work/foreign")|Ember|other-architecture|$refused Ember was not created: it is other-architecture ($other_arch); install the package's module built for this kind of process (x86 or x64).|$(classes_of Ember "$work/foreign")"
  "$(windows_path "$deep")|Ember|path-too-long|$refused Ember was not created: it is path-too-long (*\\Ember.dll); move the packages' folder to where their module paths have fewer than 260 characters; nothing needs registering.|$(classes_of Ember "$deep")"
)
problems=()
cd "$work"
for row in "${folder_cases[@]}"; do
  rc=0
  run cscript //nologo "$(windows_path "$work/list.vbs")" "${row%%|*}" || rc=$?
  # The expected text is a pattern: its backslashes stand for themselves.
  want=$(lower <<<"${row#*|}")
  [[ $rc == 0 && "$(mine | lower)" == ${want//\\/\\\\} ]] ||
    problems+=("${row%%|*}: exit $rc, printed: $(head -c 400 "$out") $(head -c 300 "$err")")
done
if [[ ${#problems[@]} == 0 ]]; then
  pass Catalog.FindInFolderFindsAnUnregisteredPackage
else
  fail Catalog.FindInFolderFindsAnUnregisteredPackage "$(printf '%s; ' "${problems[@]}")"
fi

# ---- Hosts survive any package ---------------------------------------------------------
# The test engine in the sample engine's place: by the name of the package
# that creates it, it crashes (...Crash), ends its process with 3 (...Exit),
# never answers (...Stall) or shows a box nobody can answer (...Box).
problems=()
cp "$test_engine" "$work/bin/"
for id in '{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}' '{3AE615F3-1D9A-234C-A151-BDB84CD94B17}'; do
  run reg add "$classes\\CLSID\\$id\\InprocServer32" /ve /d "$(windows_path "$work/bin/$(basename "$test_engine")")" /f ||
    problems+=("the test engine could not be registered")
done
mkdir -p "$work/survive" && cd "$work/survive"
for name in SurvFine SurvCrash SurvExit SurvStall SurvBox SurvForeign FirstCrash; do
  run "$checker" new "$name" --arch "$module_arch" || problems+=("new $name: $(cat "$err")")
  run regsvr32 /s "$(windows_path "$work/survive/$name.dll")" || problems+=("regsvr32 $name exits $?")
  registered+=("$(windows_path "$work/survive/$name.dll")")
done
# SurvForeign's module is a DLL that crashes as it is loaded.
cp SurvForeign.dll SurvForeign.stub && cp "$foreign" SurvForeign.dll
cat >"$work/survive.vbs" <<'EOF'
' NAME|TRY|STATE|DETAIL|REMEMBERED|what CreateStyle answers, for the packages
' named Surv... (each tried first) and First... (created without a trial),
' then "probes|N". With an argument, the remembered verdicts are forgotten first.
' (REMEMBERED is read after the trial, or for First... before the creation.)
Dim catalog, p, s, line, remembered
Set catalog = CreateObject("Stub.PackageCatalog")
If WScript.Arguments.Count > 0 Then catalog.ForgetVerdicts
For Each p In catalog.FindRegistered()
  line = ""
  ' This run's packages: earlier runs' removals leave class keys without a server.
  If InStr(p.ModulePath, "\survive\") = 0 Then
  ElseIf Left(p.Name, 4) = "Surv" Then
    line = p.Name & "|" & p.Try(4000)
  ElseIf Left(p.Name, 5) = "First" Then
    line = p.Name & "|-"
  End If
  If line <> "" Then
    remembered = p.Remembered
    On Error Resume Next
    Set s = p.CreateStyle()
    line = line & "|" & p.State & "|" & p.Detail & "|" & remembered & "|"
    If Err.Number = 0 Then
      line = line & "created"
    Else
      line = line & Hex(Err.Number) & " " & Err.Description
    End If
    On Error GoTo 0
    WScript.Echo line
  End If
Next
WScript.Echo "probes|" & catalog.ProbesStarted
EOF
probes_left() {
  # Without pgrep the check could not fail: say so, and it does.
  command -v pgrep >/dev/null || { echo "pgrep is not installed (procps)"; return; }
  pgrep -f "$(basename "$work")\\\\bin\\\\StubProbe" || true
}
survivors() { grep -E '^(Surv|First|probes\|)' "$out" | tr -d '\r'; }
engine_text=$(windows_path "$work/bin/$(basename "$test_engine")")
# What each package must come to: NAME|TRY|STATE|DETAIL|REMEMBERED|CREATESTYLE,
# CREATESTYLE as a pattern; REMEMBERED (a placeholder here) is given by the run.
# The test engine's objects have no IDispatch: the one created here is
# refused for that, after its creation.
refusal="80040201 Package"
survive_cases=(
  "FirstCrash|-|crashed|$engine_text: 0xC0000005|*|$refusal FirstCrash was not created: it is crashed ($engine_text: 0xC0000005); *"
  "SurvBox|False|timed-out|4000 ms|*|$refusal SurvBox was not created: it is timed-out (4000 ms); *"
  "SurvCrash|False|crashed|$engine_text: 0xC0000005|*|$refusal SurvCrash was not created: it is crashed ($engine_text: 0xC0000005); *"
  "SurvExit|False|exited|3|*|$refusal SurvExit was not created: it is exited (3); *"
  "SurvFine|True|working||*|80004002 The engine object was created but has no IDispatch*"
  "SurvForeign|False|create-failed|0x80070005|*|80070005 Package SurvForeign was not created: it is create-failed (0x80070005); *"
  "SurvStall|False|timed-out|4000 ms|*|$refusal SurvStall was not created: it is timed-out (4000 ms); *"
)
# One run of a host: its lines must match the cases, with REMEMBERED and the
# probes it started as given, and no probe may be left running after it.
check_survivors() {  # check_survivors TEST LINES REMEMBERED PROBES
  local test=$1 lines=$2 remembered=$3 probes=$4 row i=0 got left
  left=$(probes_left)
  local -a printed
  mapfile -t printed <<<"$lines"
  local -a wrong=()
  for row in "${survive_cases[@]}"; do
    got=${printed[$i]:-}
    i=$((i + 1))
    IFS='|' read -r n t st d _ c <<<"$row"
    # The CREATESTYLE pattern's backslashes stand for themselves.
    [[ $got == "$n|$t|$st|$d|$remembered|"${c//\\/\\\\} ]] || wrong+=("got '$got' for '$n|$t|$st|$d|$remembered|$c'")
  done
  [[ ${printed[$i]:-} == "probes|$probes" ]] || wrong+=("got '${printed[$i]:-}' for probes|$probes")
  [[ -z $left ]] || wrong+=("probes left running: $left")
  if ((${#wrong[@]} == 0)); then pass "$test"; else fail "$test" "$(printf '%s; ' "${wrong[@]}")"; fi
}
if ((${#problems[@]})); then
  fail Catalog.VBScriptSurvivesEveryPackage "$(printf '%s; ' "${problems[@]}")"
else
  rc=0
  run cscript //nologo "$(windows_path "$work/survive.vbs")" forget || rc=$?
  [[ $rc == 0 ]] || echo "catalog_test: survive.vbs exits $rc: $(head -c 300 "$err")"
  check_survivors Catalog.VBScriptSurvivesEveryPackage "$(survivors)" False 7
  # The second run: every verdict from memory, no probe started.
  rc=0
  run cscript //nologo "$(windows_path "$work/survive.vbs")" || rc=$?
  check_survivors Catalog.ASecondRunTakesEveryVerdictFromMemory "$(survivors)" True 0
  # The C sample tries each package as well, forgotten first, and lives.
  run cscript //nologo "$(windows_path "$work/survive.vbs")" forget >/dev/null
  rc=0
  run "$lister" --try 4000 || rc=$?
  left=$(probes_left)
  c_states=$(tr -d '\r' <"$out" | awk -F'|' '$4 ~ /\\survive\\/ { printf "%s|%s ", $1, $2 }')
  want='FirstCrash|crashed SurvBox|timed-out SurvCrash|crashed SurvExit|exited SurvFine|working SurvForeign|create-failed SurvStall|timed-out '
  if [[ $rc == 0 && $c_states == "$want" && -z $left ]]; then
    pass Catalog.CClientSurvivesEveryPackage
  else
    fail Catalog.CClientSurvivesEveryPackage "exit $rc, states '$c_states' (expected '$want'), left: $left; $(head -c 300 "$err")"
  fi
fi

# A 64-bit host tries a 32-bit package kept in a folder: in a 32-bit probe
# (FOLDER\..\x86\StubProbe.exe), whose engine is the 32-bit test engine,
# registered in the 32-bit view.
other_root=$(cd "$(dirname "$other_stub")/../.." 2>/dev/null && pwd)
other_engine=$other_root/tests/e2e/$(basename "$test_engine")
if [[ $arch != win64 ]]; then
  skip Catalog.A64BitHostTriesA32BitPackage "a 32-bit host: 64-bit programs do not run in a 32-bit prefix"
elif [[ ! -f $other_probe || ! -f $other_stub || ! -f $other_engine ]]; then
  skip Catalog.A64BitHostTriesA32BitPackage "the x86 build is not there ($other_probe)"
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  skip Catalog.A64BitHostTriesA32BitPackage "this machine runs no 32-bit programs"
else
  problems=()
  mkdir -p "$work/x86" "$work/cross" && cp "$other_probe" "$other_engine" "$work/x86/"
  for id in '{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}' '{3AE615F3-1D9A-234C-A151-BDB84CD94B17}'; do
    run reg add "$classes\\CLSID\\$id\\InprocServer32" /ve /d "$(windows_path "$work/x86/$(basename "$test_engine")")" /f /reg:32 ||
      problems+=("the 32-bit test engine could not be registered")
  done
  cd "$work/cross"
  run "$checker" new Cross --arch "$module_arch" || problems+=("new Cross: $(cat "$err")")
  cp "$other_stub" Cross.dll
  run "$checker" export --format manifest Cross.dll || problems+=("export Cross: $(cat "$err")")
  cp "$out" Cross.Assembly.manifest
  cat >"$work/cross.vbs" <<'EOF'
' STATE before|TRY|STATE after|what CreateStyle answers, for the one package of the folder.
Dim p, line
For Each p In CreateObject("Stub.PackageCatalog").FindInFolder(WScript.Arguments(0))
  line = p.State & "|" & p.Try(20000) & "|" & p.State
  On Error Resume Next
  p.CreateStyle
  line = line & "|" & Hex(Err.Number)
  WScript.Echo line
Next
EOF
  rc=0
  run cscript //nologo "$(windows_path "$work/cross.vbs")" "$(windows_path "$work/cross")" || rc=$?
  got=$(tr -d '\r' <"$out")
  [[ $got == "other-architecture|True|working|80040201" ]] || problems+=("printed '$got' $(head -c 300 "$err")")
  [[ -z $(probes_left) ]] || problems+=("probes left running")
  if ((${#problems[@]} == 0)); then
    pass Catalog.A64BitHostTriesA32BitPackage
  else
    fail Catalog.A64BitHostTriesA32BitPackage "$(printf '%s; ' "${problems[@]}")"
  fi
fi
cd "$work"

# ---- regsvr32 /u: the catalog's keys and type library go, the engine stays; ---------
# ---- then the catalog without registration ------------------------------------------
problems=()
# Another copy's /u leaves this copy's registration alone.
mkdir -p "$work/other" && cp "$catalog" "$work/other/"
run regsvr32 /u /s "$(windows_path "$work/other/$(basename "$catalog")")" || problems+=("/u of another copy exits $?")
run reg query "$classes\\CLSID\\$catalog_class\\InprocServer32" /ve
[[ "$(lower <"$out")" == *"$(lower <<<"$catalog_path")"* ]] || problems+=("/u of another copy removed the class")
run reg query "$classes\\TypeLib\\$catalog_library\\1.0\\0\\win32" /ve ||
  problems+=("/u of another copy removed the type library")
run regsvr32 /u /s "$catalog_path" || problems+=("regsvr32 /u exits $?")
for key in "CLSID\\$catalog_class" Stub.PackageCatalog Stub.PackageCatalog.1 "TypeLib\\$catalog_library"; do
  run reg query "$classes\\$key" && problems+=("$key is still there")
done
run reg query "$classes\\CLSID\\{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}\\InprocServer32" /ve ||
  problems+=("the engine's class went too")
# Registration-free: the C sample with the sample application manifest the
# build writes for it, StubHost.dll and its manifest beside it, lists as before.
mkdir -p "$work/regfree"
cp "$catalog" "$(dirname "$catalog")/StubHost.Assembly.manifest" "$lister" "$work/regfree/"
cp "$list_manifest" "$work/regfree/$(basename "$lister").manifest"
run "$work/regfree/$(basename "$lister")" || problems+=("registration-free list_packages exits $?")
[[ "$(mine | lower)" == "$(lower <<<"$expected")" ]] ||
  problems+=("registration-free list_packages printed $(tr '\n' ' ' <"$out") $(head -c 300 "$err")")
if [[ ${#problems[@]} == 0 ]]; then
  pass Catalog.UnregisterRemovesOnlyItsOwnAndRegistrationFreeWorks
else
  fail Catalog.UnregisterRemovesOnlyItsOwnAndRegistrationFreeWorks "$(printf '%s; ' "${problems[@]}")"
fi
[[ $failures == 0 ]]
