#!/usr/bin/env bash
# Packages without registration, under Wine, in a fresh prefix of their own
# where nothing of them is ever registered: two packages made by
# `stub-check new` in an application's folder, each with its assembly
# manifest beside its module, and
#   - a client whose application manifest names both creates both classes of
#     both packages by identifier, by ProgID and by version-independent
#     ProgID, and each engine object is told its own package's module path:
#     with the sample engine registration-free too (its own manifest named in
#     the application manifest) and with the engine registered by regsvr32;
#   - the registry is the same before and after each: the packages write no key;
#   - without the application manifest nothing is found (class not registered);
#   - a manifest naming a wrong identifier: that class is not registered, and
#     `stub-check check --manifest` says so before anything runs;
#   - the sample host finds the folder's packages through the host library
#     (no categories, no registry), creates both packages' classes through
#     their manifests, and tells the broken ones in another folder by state.
#
#   regfree_test.sh RESULT_XML ARCH STUB_CHECK_EXE ENGINE_DLL ENGINE_MANIFEST C_CLIENT_EXE HOST_EXE WORK_DIR
#
# ARCH is win32 or win64. Writes its cases as JUnit XML and exits non-zero on
# failure; exits 125 (skipped) where this machine cannot run ARCH.
set -uo pipefail
[[ $# -eq 9 ]] || {
  echo "usage: $0 RESULT_XML ARCH STUB_CHECK_EXE ENGINE_DLL ENGINE_MANIFEST C_CLIENT_EXE HOST_EXE WORK_DIR PROBE_EXE" >&2
  exit 2
}
absolute() { [[ $1 == /* ]] && printf '%s' "$1" || printf '%s/%s' "$PWD" "$1"; }
xml=$(absolute "$1") arch=$2 checker=$(absolute "$3") engine=$(absolute "$4")
engine_manifest=$(absolute "$5") client=$(absolute "$6") host=$(absolute "$7") work=$(absolute "$8")
probe=$(absolute "$9")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/wine-env.sh"
source "$here/../support/test_results.sh"
trap 'write_results "$xml" RegFree' EXIT

# A prefix of this test's own, made afresh: nothing of the packages or the
# engine can be in its registry from an earlier run.
rm -rf "$work"
mkdir -p "$work/log"
STUB_WINEPREFIX=$work/prefix
stub_wine_use "$arch" || exit 2
if ! stub_wine_runs; then
  echo "regfree_test: $STUB_WINE_SKIP" >&2
  exit 125
fi
stub_wine_prefix || exit 1
wineserver -p >/dev/null 2>&1 </dev/null
trap 'stub_wine_stop; write_results "$xml" RegFree' EXIT
module_arch=$([[ $arch == win64 ]] && echo x64 || echo x86)
assembly_arch=$([[ $arch == win64 ]] && echo amd64 || echo x86)

out=$work/log/out err=$work/log/err
run() { timeout 60 "$STUB_WINE" "$@" >"$out.raw" 2>"$err.raw" </dev/null; local rc=$?
        tr -d '\r' <"$out.raw" >"$out"; tr -d '\r' <"$err.raw" >"$err"; return $rc; }
windows_path() { stub_windows_path "$1"; }
lower() { tr '[:upper:]' '[:lower:]'; }
new_guid() { printf '{%s}' "$(tr a-z A-Z </proc/sys/kernel/random/uuid)"; }

# ---- The application's folder -------------------------------------------------------
app=$work/app
mkdir -p "$app"
cp "$client" "$app/client.exe"
# The host with its probe beside it, as the release ships them.
cp "$host" "$app/host.exe" && cp "$probe" "$app/"
cp "$engine" "$engine_manifest" "$app/"
packages=(Lumen Quill)
declare -A STYLE TEXT
for name in "${packages[@]}"; do
  if ! run "$checker" new "$name" --dir "$(windows_path "$app")" --arch "$module_arch"; then
    fail RegFree.PackagesMade "new $name: $(cat "$out" "$err")"
    exit 1
  fi
  STYLE[$name]=$(sed -n "s/.*ForceRemove \({[^}]*}\).*/\1/p" "$app/$name/Style.rgs")
  TEXT[$name]=$(sed -n "s/.*ForceRemove \({[^}]*}\).*/\1/p" "$app/$name/StyleText.rgs")
done

# Each package's assembly manifest, as its author ships it: exported by the
# checker, saved beside the module as ASSEMBLY.manifest, the assembly named
# NAME.Assembly by default. Quill's author names its assembly Tarvo.Quill,
# which the host library finds by the file element naming Quill.dll.
declare -A ASSEMBLY=([Lumen]=Lumen.Assembly [Quill]=Tarvo.Quill)
export_manifest() {  # export_manifest FOLDER NAME [ASSEMBLY]
  local assembly=${3:-$2.Assembly}
  run "$checker" export --format manifest ${3:+--assembly-name "$3"} "$(windows_path "$1/$2.dll")" &&
    cp "$out" "$1/$assembly.manifest"
}
for name in "${packages[@]}"; do
  if ! export_manifest "$app" "$name" "${ASSEMBLY[$name]}"; then
    fail RegFree.PackagesMade "export --format manifest $name.dll: $(cat "$out" "$err")"
    exit 1
  fi
done

# The version an assembly's manifest gives it (a package's is its module's
# version), from the manifest in the application's folder or the broken one.
assembly_version() {  # assembly_version NAME
  local file
  for file in "$app/$1.manifest" "${broken:-$app}/$1.manifest"; do
    [[ -f $file ]] || continue
    sed -n '/<assemblyIdentity /{s/.* version="\([^"]*\)".*/\1/p;q}' "$file"
    return
  done
  echo 1.0.0.0
}

# An application manifest naming the assemblies given, at their versions.
application_manifest() {  # application_manifest NAME...
  local name
  printf '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
  printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\n'
  printf '  <assemblyIdentity type="win32" name="Client" version="1.0.0.0" processorArchitecture="%s"/>\n' \
    "$assembly_arch"
  for name in "$@"; do
    printf '  <dependency><dependentAssembly>\n'
    printf '    <assemblyIdentity type="win32" name="%s" version="%s" processorArchitecture="%s"/>\n' \
      "$name" "$(assembly_version "$name")" "$assembly_arch"
    printf '  </dependentAssembly></dependency>\n'
  done
  printf '</assembly>\n'
}

# ---- What the client must print ---------------------------------------------------
# Every name of both classes of both packages: identifier, ProgID, version-independent ProgID.
names=()
for name in "${packages[@]}"; do
  names+=("${STYLE[$name]}" "$name.Style.1" "$name.Style" "${TEXT[$name]}" "$name.StyleText.1" "$name.StyleText")
done
# One line per name: NAME|ENGINE|MODULE PATH. The identifier CLSIDFromProgID
# answers through a manifest is not the class's own (it changes from run to
# run), so it is left out of the comparison.
expected_lines() {
  local name entry kind
  for entry in "${names[@]}"; do
    for name in "${packages[@]}"; do
      kind=
      case $entry in
        "${STYLE[$name]}" | "$name.Style.1" | "$name.Style") kind=StyleEngine ;;
        "${TEXT[$name]}" | "$name.StyleText.1" | "$name.StyleText") kind=StyleTextEngine ;;
      esac
      [[ -n $kind ]] && printf '%s|%s|%s\n' "$entry" "$kind" "$(windows_path "$app/$name.dll")"
    done
  done
}
client_lines() { awk -F'|' '{ if (NF == 4) print $1 "|" $3 "|" $4; else print }' "$1"; }
# The identifiers CLSIDFromProgID answered for the ProgIDs, for the log.
progid_answers() { awk -F'|' 'NF == 4 && $1 !~ /^\{/ { print $1 " -> " $2 }' "$1"; }

# The classes' registry, as reg export writes it, machine's and user's (a
# fresh prefix has no HKCU\Software\Classes: its absence is what is noted).
# Fails when the machine's cannot be exported.
snapshot() {  # snapshot FILE
  local key n=0
  : >"$1"
  for key in 'HKLM\Software\Classes' 'HKCU\Software\Classes'; do
    n=$((n + 1))
    if ! run reg query "$key" /ve && [[ $key == HKCU* ]]; then
      echo "no key $key" >>"$1"
      continue
    fi
    run reg export "$key" "$(windows_path "$work/log/export$n.reg")" /y || return 1
    iconv -f UTF-16LE -t UTF-8 "$work/log/export$n.reg" | tr -d '\r' >>"$1"
  done
}
# Whether the registry holds anything of the packages.
package_keys() {
  local name key
  for name in "${packages[@]}"; do
    for key in "CLSID\\${STYLE[$name]}" "CLSID\\${TEXT[$name]}" "$name.Style.1" "$name.Style" \
               "$name.StyleText.1" "$name.StyleText"; do
      run reg query "HKLM\\Software\\Classes\\$key" && printf '%s ' "$key"
    done
  done
}

# Runs the client over every name and compares; CASE names the result.
check_client() {  # check_client CASE
  local test=$1 rc=0 printed=$work/log/$1.out
  local problems=()
  snapshot "$work/log/before.txt" || problems+=("reg export failed: $(cat "$out" "$err")")
  run "$app/client.exe" "${names[@]}" || rc=$?
  cp "$out" "$printed"
  snapshot "$work/log/after.txt" || problems+=("reg export failed: $(cat "$out" "$err")")
  [[ $rc == 0 ]] || problems+=("client exit $rc")
  [[ "$(client_lines "$printed" | lower)" == "$(expected_lines | lower)" ]] ||
    problems+=("printed: $(client_lines "$printed" | tr '\n' ' ') expected: $(expected_lines | tr '\n' ' ')")
  if ! diff "$work/log/before.txt" "$work/log/after.txt" >"$work/log/diff.txt"; then
    problems+=("the registry changed: $(head -c 2000 "$work/log/diff.txt")")
  fi
  if ((${#problems[@]} == 0)); then
    pass "$test"
    echo "  CLSIDFromProgID through the manifest: $(progid_answers "$printed" | tr '\n' ';')"
  else
    fail "$test" "$(printf '%s; ' "${problems[@]}")"
  fi
}

# ---- Nothing registered at all: the engine registration-free too ---------------------
leftover=$(package_keys)
run reg query 'HKLM\Software\Classes\CLSID\{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}' &&
  leftover+="the style engine"
if [[ -n $leftover ]]; then
  fail RegFree.FreshPrefixHoldsNothing "registered already: $leftover"
else
  pass RegFree.FreshPrefixHoldsNothing
fi

# Without an application manifest nothing of the packages is found.
rc=0
run "$app/client.exe" "${STYLE[Lumen]}" Lumen.Style.1 || rc=$?
if [[ $rc == 1 ]] && grep -q "^${STYLE[Lumen]}|error CoCreateInstance 0x80040154$" "$out" &&
   grep -q '^Lumen.Style.1|error CLSIDFromProgID 0x800401F3$' "$out"; then
  pass RegFree.WithoutTheApplicationManifestNothingIsFound
else
  fail RegFree.WithoutTheApplicationManifestNothingIsFound "exit $rc: $(cat "$out" "$err")"
fi

application_manifest "${ASSEMBLY[@]}" StubSampleEngine.Assembly >"$app/client.exe.manifest"
check_client RegFree.EngineRegistrationFreeBothPackagesCreated

# ---- The engine registered the usual way ----------------------------------------------
mkdir -p "$work/engine"
cp "$engine" "$work/engine/"
engine_path=$(windows_path "$work/engine/$(basename "$engine")")
if run regsvr32 /s "$engine_path"; then
  application_manifest "${ASSEMBLY[@]}" >"$app/client.exe.manifest"
  check_client RegFree.EngineRegisteredBothPackagesCreated
else
  fail RegFree.EngineRegisteredBothPackagesCreated "regsvr32 of the engine: $(cat "$out" "$err")"
fi
leftover=$(package_keys)
if [[ -z $leftover ]]; then
  pass RegFree.PackagesWriteNoKey
else
  fail RegFree.PackagesWriteNoKey "in the registry: $leftover"
fi

# ---- The sample host finds the folder's packages -------------------------------------
# Through the host library: no categories, nothing registered of the packages.
host_expected() {  # host_expected: the package lines the host must print for the app folder
  local name
  for name in "${packages[@]}"; do
    printf 'package state=working module=%s\n' "$(windows_path "$app/$name.dll")"
    printf '  style state=working clsid=%s progid=%s.Style.1 threading=Apartment description="%s Style"\n' \
      "${STYLE[$name]}" "$name" "$name"
    printf '  text state=working clsid=%s progid=%s.StyleText.1 threading=Both description="%s Text Style"\n' \
      "${TEXT[$name]}" "$name" "$name"
  done
}
check_host() {  # check_host CASE [HOST_OPTION]
  local test=$1 rc=0
  # Each run probes both packages anew (the engine's place changes between runs).
  run "$app/host.exe" ${2:+"$2"} --time-limit 20 --forget --folder "$(windows_path "$app")" || rc=$?
  local expected
  expected=$(printf 'folder path=%s\n' "$(windows_path "$app")"; host_expected
             echo "summary packages=2 working=2 not-working=0 probes=2")
  if [[ $rc == 0 && "$(sed 1d "$out" | lower)" == "$(lower <<<"$expected")" ]]; then
    pass "$test"
  else
    fail "$test" "exit $rc: $(cat "$out" "$err") expected: $expected"
  fi
}
rm -f "$app/host.exe.manifest"
check_host RegFree.HostCreatesFolderPackagesEngineRegistered
check_host RegFree.HostCreatesFolderPackagesInTheMultithreadedApartment --mta
run regsvr32 /u /s "$engine_path"
# The engine registration-free: named in the host's own manifest, found behind
# each package's activation context.
application_manifest StubSampleEngine.Assembly >"$app/host.exe.manifest"
check_host RegFree.HostCreatesFolderPackagesEngineRegistrationFree

# ---- Broken packages in a folder of their own -----------------------------------------
# Each is Lumen's module and scripts under another name with its manifest:
# one whose manifest names a wrong style identifier, one without a manifest,
# one whose manifest (NAME.manifest, the other name the library looks for) is no XML;
# and those of the table below, whose manifests the library's screen refuses
# before the system's activation-context code sees them (Wine's faults on the
# first two: a stack overflow, and a null read that hangs in winedbg), or
# which are no files. Fine, a good package, is listed beside them all.
broken=$work/broken
mkdir -p "$broken"
cp "$client" "$broken/client.exe"
cp "$host" "$broken/host.exe" && cp "$probe" "$broken/"
cp "$engine" "$engine_manifest" "$broken/"
application_manifest StubSampleEngine.Assembly >"$broken/host.exe.manifest"
# NAME MAKER RESULT: how its NAME.Assembly.manifest is made from Fine's, and
# the result the host must give with bad-manifest.
screened_table=(
  "Deep      deep            0x800736B4"
  "NoClsid   no_clsid        0x800736B2"
  "BadVer    bad_version     0x8007370A"
  "TwoDecl   two_declarations 0x800736E8"
  "MfDir     folder          0x80070150"
  "MfFifo    fifo            0x800700DE"
  "MfLoop    loop            0x80070781"
)
manifest_deep() {  # 200,000 elements nested in the file element
  { sed '/<\/file>/,$d' "$1"
    yes '<x>' | head -n 200000 | tr -d '\n'; yes '</x>' | head -n 200000 | tr -d '\n'
    sed -n '/<\/file>/,$p' "$1"; } >"$2"
}
manifest_no_clsid() { sed '0,/clsid="[^"]*"/s///' "$1" >"$2"; }
manifest_bad_version() { sed '/^  <assemblyIdentity /s/version="[^"]*"/version="1.0.x"/' "$1" >"$2"; }
manifest_two_declarations() { sed '1a <?xml version="1.0" encoding="UTF-8"?>' "$1" >"$2"; }
manifest_folder() { mkdir "$2"; }
manifest_fifo() { mkfifo "$2"; }
manifest_loop() { ln -s "$2.other" "$2"; ln -s "$2" "$2.other"; }
screened_names=()
for row in "${screened_table[@]}"; do read -r name _ <<<"$row"; screened_names+=("$name"); done
for name in Wrong NoManifest BadXml Fine "${screened_names[@]}"; do
  cp "$app/Lumen.dll" "$broken/$name.dll"
  mkdir -p "$broken/$name"
  cp "$app/Lumen/"*.rgs "$broken/$name/"
done
# Wrong's manifest as exported, then its style's identifier changed.
export_manifest "$broken" Wrong || fail RegFree.PackagesMade "export Wrong.dll: $(cat "$out" "$err")"
sed -i "s/${STYLE[Lumen]}/$(new_guid)/" "$broken/Wrong.Assembly.manifest"
printf 'this is not a manifest\n' >"$broken/BadXml.manifest"
export_manifest "$broken" Fine || fail RegFree.PackagesMade "export Fine.dll: $(cat "$out" "$err")"
for row in "${screened_table[@]}"; do
  read -r name maker _ <<<"$row"
  sed -e "s/Fine/$name/g" "$broken/Fine.Assembly.manifest" >"$work/log/$name.source"
  "manifest_$maker" "$work/log/$name.source" "$broken/$name.Assembly.manifest"
done
application_manifest Wrong.Assembly StubSampleEngine.Assembly >"$broken/client.exe.manifest"

# The wrong identifier: the class the script names is not registered, and the
# checker predicted it from the files alone.
rc=0
run "$broken/client.exe" "${STYLE[Lumen]}" "${TEXT[Lumen]}" || rc=$?
created=$(cat "$out")
crc=0
run "$checker" check --manifest "$(windows_path "$broken/Wrong.Assembly.manifest")" \
  "$(windows_path "$broken/Wrong.dll")" || crc=$?
if [[ $rc == 1 ]] && grep -q "^${STYLE[Lumen]}|error CoCreateInstance 0x80040154$" <<<"$created" &&
   grep -q "^${TEXT[Lumen]}|.*|StyleTextEngine|" <<<"$created" &&
   [[ $crc != 0 ]] && grep -qi "${STYLE[Lumen]}" "$out" "$err"; then
  pass RegFree.WrongIdentifierIsNotRegisteredAsTheCheckerSays
else
  fail RegFree.WrongIdentifierIsNotRegisteredAsTheCheckerSays \
    "client exit $rc: $created; checker exit $crc: $(cat "$out" "$err")"
fi

# The host tells each broken package by its state and loads none of them.
rc=0
timeout 120 "$STUB_WINE" "$broken/host.exe" --time-limit 20 --forget --folder "$(windows_path "$broken")" \
  >"$out.raw" 2>"$err.raw" </dev/null || rc=$?
tr -d '\r' <"$out.raw" >"$out"
tr -d '\r' <"$err.raw" >"$err"
B=$(windows_path "$broken")
problems=()
[[ $rc == 1 ]] || problems+=("exit $rc")
grep -q "^package state=bad-manifest module=$(sed 's/\\/\\\\/g' <<<"$B")\\\\BadXml.dll$" "$out" ||
  problems+=("BadXml is not bad-manifest")
grep -q "^package state=manifest-missing module=.*\\\\NoManifest.dll$" "$out" ||
  problems+=("NoManifest is not manifest-missing")
grep -q "^  style state=not-in-manifest manifest=.*\\\\Wrong.Assembly.manifest clsid=${STYLE[Lumen]} " "$out" ||
  problems+=("Wrong's style is not not-in-manifest")
grep -q "^  text state=working clsid=${TEXT[Lumen]} progid=Lumen.StyleText.1 " "$out" ||
  problems+=("Wrong's text style was not created")
grep -q "^package state=working module=.*\\\\Fine.dll$" "$out" || problems+=("Fine is not working")
for row in "${screened_table[@]}"; do
  read -r name _ result <<<"$row"
  grep -qF "package state=bad-manifest module=$B\\$name.dll" "$out" &&
    grep -qF "  style state=bad-manifest manifest=$B\\$name.Assembly.manifest result=$result " "$out" ||
    problems+=("$name is not bad-manifest with result $result")
done
total=$((4 + ${#screened_table[@]}))
grep -q "^summary packages=$total working=1 not-working=$((total - 1)) probes=[0-9]*\$" "$out" || problems+=("summary")
if ((${#problems[@]} == 0)); then
  pass RegFree.HostTellsBrokenFolderPackages
  grep 'bad-manifest' "$out" | head -n 2
else
  fail RegFree.HostTellsBrokenFolderPackages "$(printf '%s; ' "${problems[@]}") output: $(cat "$out" "$err")"
fi

# A folder so deep that its package's module path has 1,040 characters: the
# host lists it as too long, without a fault (Wine's GetLongPathNameW
# overflows its own buffer on such a path).
deep=$work/deep
D=$(windows_path "$deep")
segment=$(printf '%*s' 200 '' | tr ' ' d)
while (( ${#D} + 201 + 10 < 1040 )); do deep+=/$segment; D+=\\$segment; done
deep+=/x
D+=\\x
while (( ${#D} + 9 < 1040 )); do deep+=f; D+=f; done  # then \Long.dll
mkdir -p "$deep/Long"
cp "$app/Lumen.dll" "$deep/Long.dll"
cp "$app/Lumen/"*.rgs "$deep/Long/"
rc=0
timeout 60 "$STUB_WINE" "$app/host.exe" --time-limit 20 --folder "$D" >"$out.raw" 2>"$err.raw" </dev/null || rc=$?
tr -d '\r' <"$out.raw" >"$out"
if [[ $rc == 1 ]] && grep -qF "package state=path-too-long module=$D\\Long.dll" "$out" &&
   grep -q '^  style state=path-too-long length=1040 ' "$out"; then
  pass RegFree.HostListsAFolderPackageWhosePathIsTooLong
else
  fail RegFree.HostListsAFolderPackageWhosePathIsTooLong "exit $rc: $(head -c 3000 "$out" "$err.raw")"
fi

[[ $failures == 0 ]]
