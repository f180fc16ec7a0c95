#!/usr/bin/env bash
# The sample host under Wine, against packages installed in the ways a user's
# machine holds them: working ones, and ones that can no longer work (removed
# with regsvr32 /u, module file deleted, package folder deleted, a script
# deleted, a module of the other architecture, a script whose identifier does
# not parse, a module path of 260 characters), one registered again with new
# identifiers, one whose classes require a category of their container (which
# a host that offers none must not list), one whose engine never answers, and
# one installed from the MSI an author builds out of `stub-check export
# --format wxs`. The host must list each of ours with the right state, pair
# each style with its text style, load no package whose module would show a
# box, give up on the one that does not answer within its time limit, and
# never stop at a broken one; it runs in both apartment kinds, and once more
# with an engine class missing.
#
#   host_test.sh RESULT_XML ARCH STUB_DLL ENGINE_DLL HOST_EXE SAMPLE_DIR CHECKER_EXE
#                PROBE_EXE FOREIGN_DLL RUNNER...
#
# ARCH is the host's architecture as it prints it (x86 or x64); CHECKER_EXE is
# stub-check built for it; PROBE_EXE the probe the host tries packages in,
# put beside it; FOREIGN_DLL a DLL that crashes as it loads; RUNNER starts a Windows program in the build's Wine
# prefix (scripts/wine-run win64); wixl builds the MSI on Linux. Writes a
# JUnit file in the form the test runner counts, and exits non-zero on failure.
#
# Other packages in the prefix are left alone: only the lines about this run's
# packages are compared.
set -uo pipefail
xml=$1 arch=$2 stub_dll=$3 engine_dll=$4 host_exe=$5 sample=$6 checker=$7 probe_exe=$8 foreign_dll=$9
shift 9
runner=("$@")
source "$(dirname "$0")/msi.sh"
other_arch=$([[ $arch == x64 ]] && echo x86 || echo x64)

source "$(dirname "$0")/../support/test_results.sh"

work=$(mktemp -d "$(dirname "$xml")/../e2e-host.XXXXXX")
work=$(cd "$work" && pwd)
windows_path() { local path=${1//\//\\}; printf 'Z:%s' "$path"; }
WORK=$(windows_path "$work")
# The host with its probe beside it, as a release ships them.
mkdir -p "$work/bin"
cp "$host_exe" "$probe_exe" "$work/bin/"
host_exe=$work/bin/$(basename "$host_exe")

# Runs a Windows program; its output lands in $work/out and $work/err with
# Windows line ends removed. Answers its exit code (124 if it had to be ended).
run() {
  local rc=0
  timeout 60 "${runner[@]}" "$@" >"$work/out.raw" 2>"$work/err.raw" </dev/null || rc=$?
  tr -d '\r' <"$work/out.raw" >"$work/out"
  tr -d '\r' <"$work/err.raw" >"$work/err"
  return $rc
}

CLASSES='HKLM\Software\Classes'
STYLES_CATEGORY='{390F9E99-171D-4A3B-A185-A0E495BA86D0}'
TEXTS_CATEGORY='{FD8ABB6D-B549-4A66-94A9-3C360CD70490}'
STYLE_ENGINE='{DFD9CAD9-C1BD-B14B-9829-00612EA98BCA}'
TEXT_ENGINE='{3AE615F3-1D9A-234C-A151-BDB84CD94B17}'
SAMPLE_STYLE='{049E8873-D5B5-4B2A-853D-BB5599647387}'
SAMPLE_TEXT='{5703306D-8619-43E8-8C59-A0F2CC622E1E}'

new_guid() { printf '{%s}' "$(tr a-z A-Z </proc/sys/kernel/random/uuid)"; }

# ---- Packages ------------------------------------------------------------------
# A package here is the sample package under another name, with fresh
# identifiers: NAME.dll and NAME\ in the work folder, ProgIDs NAME.Style.1 and
# NAME.StyleText.1, descriptions "NAME Style" and "NAME Text Style".
declare -A STYLE_ID TEXT_ID MODULE STYLE_THREADING TEXT_THREADING
names=()
layout() {  # layout NAME STYLE_THREADING TEXT_THREADING
  local name=$1
  names+=("$name")
  STYLE_ID[$name]=$(new_guid)
  TEXT_ID[$name]=$(new_guid)
  STYLE_THREADING[$name]=$2
  TEXT_THREADING[$name]=$3
  MODULE[$name]=$WORK\\$name.dll
  mkdir -p "$work/$name"
  cp "$stub_dll" "$work/$name.dll"
  sed -e "s/Aurora/$name/g" -e "s/$SAMPLE_STYLE/${STYLE_ID[$name]}/g" \
      -e "s/'Apartment'/'$2'/" "$sample/Style.rgs" >"$work/$name/Style.rgs"
  sed -e "s/Aurora/$name/g" -e "s/$SAMPLE_TEXT/${TEXT_ID[$name]}/g" \
      -e "s/'Both'/'$3'/" "$sample/StyleText.rgs" >"$work/$name/StyleText.rgs"
}

problems=""
problem() { problems+="$*"$'\n'; }

# Ways a package gets installed. Each notes a problem when the installation
# fails; one that puts the module elsewhere sets MODULE[NAME].
install_regsvr32() {
  local rc=0
  run regsvr32 /s "${MODULE[$1]}" || rc=$?
  [[ $rc == 0 ]] || problem "regsvr32 $1.dll exited $rc"
}
# From an MSI built out of the package's exported WiX fragment: the module
# goes to Program Files\Tarvo NAME, where its keys point. msiexec /x removes
# it at the end (or at cleanup, when the run stops before).
msi_installed=()
install_msi() {
  local name=$1 rc=0 path
  if ! run "$checker" export --format wxs "$WORK\\$name.dll"; then
    problem "export --format wxs $name.dll: $(cat "$work/err")"
    return
  fi
  cp "$work/out" "$work/$name.wxs"
  if ! (cd "$work" && msi_build "$name" "$arch") >"$work/wixl.txt" 2>&1; then
    problem "wixl for $name: $(cat "$work/wixl.txt")"
    return
  fi
  run msiexec /i "$(windows_path "$work/$name.msi")" /qn || rc=$?
  msi_installed+=("$name")
  if [[ $rc != 0 ]]; then
    problem "msiexec /i $name.msi exited $rc: $(cat "$work/err")"
    return
  fi
  run reg query "$CLASSES\\CLSID\\${STYLE_ID[$name]}\\InprocServer32" /ve
  path=$(sed -n 's/^ *(Default) *REG_SZ *//p' "$work/out")
  if [[ $path == *"\\Tarvo $name\\$name.dll" ]]; then
    MODULE[$name]=$path
  else
    problem "$name from its MSI has the module path '$path'"
  fi
}

# One reg add, tried a second time where the first fails: under a loaded
# machine Wine's reg has been seen to fail once with no word of why, which
# is the test bed's, not the host's. Says so when it took two.
reg_rc=0
reg_add() {
  reg_rc=0
  run reg add "$@" && return 0
  reg_rc=$?
  echo "host_test: reg add $1 failed once (exit $reg_rc): trying again" >&2
  run reg add "$@" || { reg_rc=$?; return 1; }
}
# Writes the keys regsvr32 would write, with reg add: for a module that cannot
# register itself (its path is too long for it to find its scripts).
install_keys() {
  local name=$1 kind id category progid description threading
  for kind in style text; do
    if [[ $kind == style ]]; then
      id=${STYLE_ID[$name]} category=$STYLES_CATEGORY progid=$name.Style.1
      description="$name Style" threading=${STYLE_THREADING[$name]}
    else
      id=${TEXT_ID[$name]} category=$TEXTS_CATEGORY progid=$name.StyleText.1
      description="$name Text Style" threading=${TEXT_THREADING[$name]}
    fi
    reg_add "$CLASSES\\CLSID\\$id" /ve /d "$description" /f &&
      reg_add "$CLASSES\\CLSID\\$id\\ProgID" /ve /d "$progid" /f &&
      reg_add "$CLASSES\\CLSID\\$id\\InprocServer32" /ve /d "${MODULE[$name]}" /f &&
      reg_add "$CLASSES\\CLSID\\$id\\InprocServer32" /v ThreadingModel /d "$threading" /f &&
      reg_add "$CLASSES\\CLSID\\$id\\Implemented Categories\\$category" /f ||
      problem "reg add of $name's keys failed (exit $reg_rc): $(cat "$work/out" "$work/err")"
  done
}

# What happens to a package after its installation, and the state the host
# must then give both its classes (with the fields that come with it).
after_none() { :; }
after_unregister() {
  local rc=0
  run regsvr32 /u /s "${MODULE[$1]}" || rc=$?
  [[ $rc == 0 ]] || problem "regsvr32 /u $1.dll exited $rc"
}
after_delete_module() { rm -f "$work/$1.dll"; }
after_delete_folder() { rm -rf "${work:?}/$1"; }
after_delete_script() { rm -f "$work/$1/StyleText.rgs"; }
# The style script names an identifier that does not parse: loading the
# module would stop on its "Invalid GUID!" box.
after_bad_identifier() { sed -i "s/${STYLE_ID[$1]}/{0123-BAD}/" "$work/$1/Style.rgs"; }
# The package's scripts get new identifiers: the registered classes are those
# of the old ones, which the module no longer serves.
declare -A OLD_STYLE_ID OLD_TEXT_ID
after_new_identifiers() {
  local name=$1
  OLD_STYLE_ID[$name]=${STYLE_ID[$name]} OLD_TEXT_ID[$name]=${TEXT_ID[$name]}
  STYLE_ID[$name]=$(new_guid) TEXT_ID[$name]=$(new_guid)
  sed -i "s/${OLD_STYLE_ID[$name]}/${STYLE_ID[$name]}/" "$work/$name/Style.rgs"
  sed -i "s/${OLD_TEXT_ID[$name]}/${TEXT_ID[$name]}/" "$work/$name/StyleText.rgs"
}
# ... and the package is registered again: the old class keys stay, pointing
# at the same module, beside the new ones.
after_register_again() { after_new_identifiers "$1"; install_regsvr32 "$1"; }
# Stamps the other architecture's machine into the module's file header: on
# disk it is then that architecture's module, registered in this one's view.
after_other_machine() {
  local file=$work/$1.dll offset machine
  offset=$(od -An -t u4 -j 60 -N 4 "$file" | tr -d ' ')
  machine=$([[ $other_arch == x64 ]] && printf '\x64\x86' || printf '\x4c\x01')
  printf '%s' "$machine" | dd of="$file" bs=1 seek=$((offset + 4)) conv=notrunc status=none
}

# The module and its folder moved into nested folders, so that the module's
# path is exactly 260 characters long: the module would be loaded, and could
# not name its package folder from its own name, cut to fit (measured).
install_long_path() {
  local name=$1 pad
  pad=$(printf '%*s' $((260 - ${#WORK} - ${#name} - 6)) '' | tr ' ' d)
  mkdir -p "$work/$pad"
  mv "$work/$name.dll" "$work/$name" "$work/$pad/"
  MODULE[$name]=$WORK\\$pad\\$name.dll
  install_keys "$name"
}

# Registers the package's classes as install_keys does, through a .reg file
# (reg add takes no value longer than a command line), with its server path
# LENGTH characters long: the module and its folder moved into nested folders
# that exist, up to about 4,000 characters (a Unix path's limit), else named
# in folders that do not. TYPE REG_EXPAND_SZ writes the path so (the .reg
# file is UTF-16: Wine reads the bytes of hex(2) in a byte-coded one as
# characters). A host must
# survive any length of registry data and refuse the load.
install_server_path() {  # install_server_path NAME LENGTH [TYPE]
  local name=$1 length=$2 type=${3:-REG_SZ} path=$WORK segment pad
  segment=$(printf '%*s' 200 '' | tr ' ' d)
  while ((${#path} + 1 + ${#name} + 4 + 201 <= length)); do path+="\\$segment"; done
  pad=$((length - ${#path} - 1 - ${#name} - 4 - 1))
  ((pad > 0)) && path+="\\$(printf '%*s' "$pad" '' | tr ' ' e)"
  path+="\\"
  while ((${#path} + ${#name} + 4 < length)); do path+=f; done
  path+="$name.dll"
  if ((length <= 4000)); then
    local unix=${path#Z:}
    unix=${unix//\\//}
    mkdir -p "$(dirname "$unix")"
    mv "$work/$name.dll" "$work/$name" "$(dirname "$unix")/"
  fi
  MODULE[$name]=$path
  local kind id category progid description threading data
  {
    printf 'Windows Registry Editor Version 5.00\n'
    for kind in style text; do
      if [[ $kind == style ]]; then
        id=${STYLE_ID[$name]} category=$STYLES_CATEGORY progid=$name.Style.1
        description="$name Style" threading=${STYLE_THREADING[$name]}
      else
        id=${TEXT_ID[$name]} category=$TEXTS_CATEGORY progid=$name.StyleText.1
        description="$name Text Style" threading=${TEXT_THREADING[$name]}
      fi
      printf '\n[HKEY_CLASSES_ROOT\\CLSID\\%s]\n@="%s"\n' "$id" "$description"
      printf '\n[HKEY_CLASSES_ROOT\\CLSID\\%s\\ProgID]\n@="%s"\n' "$id" "$progid"
      printf '\n[HKEY_CLASSES_ROOT\\CLSID\\%s\\InprocServer32]\n' "$id"
      if [[ $type == REG_EXPAND_SZ ]]; then
        data=$(printf '%s' "$path" | iconv -t UTF-16LE | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//')
        printf '@=hex(2):%s00,00\n' "$data"
      else
        printf '@="%s"\n' "${path//\\/\\\\}"
      fi
      printf '"ThreadingModel"="%s"\n' "$threading"
      printf '\n[HKEY_CLASSES_ROOT\\CLSID\\%s\\Implemented Categories\\%s]\n' "$id" "$category"
    done
  } | { printf '\xff\xfe'; iconv -t UTF-16LE; } >"$work/$name.reg"
  run reg import "$(windows_path "$work/$name.reg")" || problem "reg import of $name's keys failed: $(cat "$work/err")"
}
# The keys regsvr32 would write, the server path naming the module with points
# and blanks the file system ignores: after a folder's name, and after the
# file's. The loader opens the module by it, and the module names itself, and
# so its package folder, without them; the host must report it so.
install_dotted() {
  local name=$1
  MODULE[$name]="$WORK.\\$name.dll. ."
  install_keys "$name"
  MODULE[$name]=$WORK\\$name.dll
}
# The keys regsvr32 would write, the server's default value a number: no module path.
install_dword_server() {
  install_keys "$1"
  local id
  for id in "${STYLE_ID[$1]}" "${TEXT_ID[$1]}"; do
    run reg add "$CLASSES\\CLSID\\$id\\InprocServer32" /ve /t REG_DWORD /d 1 /f ||
      problem "reg add of $1's number failed: $(cat "$work/err")"
  done
}
# Both scripts name the style's identifier, and both classes are registered
# under it: the class key holds what the text style's registration wrote last.
install_same_identifier() {
  local name=$1
  sed -i "s/${TEXT_ID[$name]}/${STYLE_ID[$name]}/" "$work/$name/StyleText.rgs"
  TEXT_ID[$name]=${STYLE_ID[$name]}
  install_keys "$name"
}
# Both classes require a category of their container: the categories
# manager leaves them out for a host that offers none, and so must the host.
after_require_category() {
  local id
  for id in "${STYLE_ID[$1]}" "${TEXT_ID[$1]}"; do
    run reg add "$CLASSES\\CLSID\\$id\\Required Categories\\$(new_guid)" /f ||
      problem "reg add of $1's required category failed: $(cat "$work/err")"
  done
}
# A DLL that is no package module, with a package's folder and keys: it
# crashes as it is loaded.
install_foreign() { cp "$foreign_dll" "$work/$1.dll"; install_keys "$1"; }
# Something is there as the text style's script, but nothing a module can read.
after_script_folder() { rm -f "$work/$1/StyleText.rgs"; mkdir "$work/$1/StyleText.rgs"; }
after_script_fifo() { rm -f "$work/$1/StyleText.rgs"; mkfifo "$work/$1/StyleText.rgs"; }
after_script_loop() {
  rm -f "$work/$1/StyleText.rgs"
  ln -s StyleText.other "$work/$1/StyleText.rgs"
  ln -s StyleText.rgs "$work/$1/StyleText.other"
}

# The cases: NAME STYLE_THREADING TEXT_THREADING INSTALLED_BY AFTER STATE [DETAIL].
# INSTALLED_BY may carry arguments after colons (server_path:LENGTH:TYPE).
# A detail's %F stands for the package folder, %M for the other machine, %E
# for the engine's DLL.
cases_table=(
  "HostWorking Apartment Both      regsvr32   none          working"
  "HostFree    Free      Free      regsvr32   none          working"
  "HostRemoved Apartment Both      regsvr32   unregister    no-server"
  "HostNoFile  Apartment Both      regsvr32   delete_module module-missing"
  "HostNoDir   Apartment Both      regsvr32   delete_folder folder-missing folder=%F"
  "HostNoText  Apartment Both      regsvr32   delete_script script-missing script=%F\\StyleText.rgs"
  "HostOther   Apartment Both      regsvr32   other_machine other-architecture machine=%M"
  "HostMsi     Apartment Apartment msi        none          working"
  "HostBadId   Apartment Both      regsvr32   bad_identifier bad-identifier script=%F\\Style.rgs identifier={0123-BAD}"
  "HostAgain   Apartment Both      regsvr32   register_again working"
  "HostEdited  Apartment Both      regsvr32   new_identifiers stale"
  "HostNeeds   Apartment Both      regsvr32   require_category unlisted"
  "HostLong    Apartment Both      long_path  none          path-too-long length=260"
  "HostStall   Both      Both      regsvr32   none          timed-out limit-ms=5000"
  "HostCrash   Both      Both      regsvr32   none          crashed faulting-module=%E exception=0xC0000005"
  "HostExit    Both      Both      regsvr32   none          exited exit-code=3"
  "HostBox     Both      Both      regsvr32   none          timed-out limit-ms=5000"
  "HostForeign Both      Both      foreign    none          create-failed result=0x80070005 result-name=E_ACCESSDENIED"
  "HostPath1000 Apartment Both     server_path:1000 none    path-too-long length=1000"
  "HostPath1028 Apartment Both     server_path:1028 none    path-too-long length=1028"
  "HostPath1030 Apartment Both     server_path:1030 none    path-too-long length=1030"
  "HostPath1040 Apartment Both     server_path:1040 none    path-too-long length=1040"
  "HostPath1100 Apartment Both     server_path:1100 none    path-too-long length=1100"
  "HostPath4000 Apartment Both     server_path:4000 none    path-too-long length=4000"
  "HostPathExp  Apartment Both     server_path:33000:REG_EXPAND_SZ none path-too-long length=33000"
  "HostPath70k  Apartment Both     server_path:70000 none   path-too-long length=70000"
  "HostDword   Apartment Both      dword_server none        bad-server"
  "HostSameId  Both      Both      same_identifier none     same-identifier script=%F\\StyleText.rgs"
  "HostRgsDir  Apartment Both      regsvr32   script_folder script-unreadable script=%F\\StyleText.rgs"
  "HostRgsFifo Apartment Both      regsvr32   script_fifo   script-unreadable script=%F\\StyleText.rgs"
  "HostRgsLoop Apartment Both      regsvr32   script_loop   script-unreadable script=%F\\StyleText.rgs"
  "HostDotted  Apartment Both      dotted     none          working"
  "HostDotGone Apartment Both      dotted     delete_folder folder-missing folder=%F"
)

# ---- Output expected of the host ------------------------------------------------
# A field as the host writes it: quoted when it holds a blank or a quote or is empty.
field() {
  local value=$2
  if [[ -z $value || $value == - || $value == *[\ \"]* ]]; then
    printf ' %s="%s"' "$1" "${value//\"/\"\"}"
  else
    printf ' %s=%s' "$1" "$value"
  fi
}
# One package as the host lists it, a block joined into one line with " | ".
# With a server each package is one block; without, each class is its own.
declare -A STATE DETAIL
expected_block() {  # expected_block NAME [TEXT_STATE TEXT_DETAIL]
  local name=$1 state=${STATE[$1]} detail=${DETAIL[$1]:-}
  local text_state=${2:-$state} text_detail=${3-$detail}
  local style text
  [[ $state == unlisted ]] && return
  if [[ $state == no-server ]]; then
    printf 'package state=no-server module=- |   style state=no-server%s progid=- threading=-%s\n' \
      "$(field clsid "${STYLE_ID[$name]}")" "$(field description "$name Style")"
    printf 'package state=no-server module=- |   text state=no-server%s progid=- threading=-%s\n' \
      "$(field clsid "${TEXT_ID[$name]}")" "$(field description "$name Text Style")"
    return
  fi
  # A server key without a module path: each class alone, as registered.
  if [[ $state == bad-server ]]; then
    printf 'package state=bad-server module=- |   style state=bad-server%s%s%s%s\n' \
      "$(field clsid "${STYLE_ID[$name]}")" "$(field progid "$name.Style.1")" \
      "$(field threading "${STYLE_THREADING[$name]}")" "$(field description "$name Style")"
    printf 'package state=bad-server module=- |   text state=bad-server%s%s%s%s\n' \
      "$(field clsid "${TEXT_ID[$name]}")" "$(field progid "$name.StyleText.1")" \
      "$(field threading "${TEXT_THREADING[$name]}")" "$(field description "$name Text Style")"
    return
  fi
  # One class key for both: each class shows what the text style's keys wrote.
  if [[ $state == same-identifier ]]; then
    local kind registered
    registered="$(field clsid "${STYLE_ID[$name]}")$(field progid "$name.StyleText.1")"
    registered+="$(field threading "${TEXT_THREADING[$name]}")$(field description "$name Text Style")"
    printf 'package state=same-identifier%s' "$(field module "${MODULE[$name]}")"
    for kind in style text; do printf ' |   %s state=same-identifier%s%s' "$kind" "$detail" "$registered"; done
    printf '\n'
    return
  fi
  # Only classes the scripts no longer name: no pair in use.
  if [[ $state == stale ]]; then
    printf 'package state=stale%s%s\n' "$(field module "${MODULE[$name]}")" "$(stale_lines "$name")"
    return
  fi
  style="  style$(field state "$state")$detail$(field clsid "${STYLE_ID[$name]}")"
  style+="$(field progid "$name.Style.1")$(field threading "${STYLE_THREADING[$name]}")"
  style+="$(field description "$name Style")"
  text="  text$(field state "$text_state")$text_detail$(field clsid "${TEXT_ID[$name]}")"
  text+="$(field progid "$name.StyleText.1")$(field threading "${TEXT_THREADING[$name]}")"
  text+="$(field description "$name Text Style")"
  local package_state=$state
  [[ $state == working ]] && package_state=$text_state
  printf 'package%s%s | %s | %s%s\n' "$(field state "$package_state")" \
    "$(field module "${MODULE[$name]}")" "$style" "$text" "$(stale_lines "$name")"
}
# The classes of an earlier registration, which follow the pair in use.
stale_lines() {  # stale_lines NAME
  local name=$1
  [[ -n ${OLD_STYLE_ID[$name]:-} ]] || return 0
  printf ' |   style state=stale%s%s%s%s%s' "$(field current "${STYLE_ID[$name]}")" \
    "$(field clsid "${OLD_STYLE_ID[$name]}")" "$(field progid "$name.Style.1")" \
    "$(field threading "${STYLE_THREADING[$name]}")" "$(field description "$name Style")"
  printf ' |   text state=stale%s%s%s%s%s' "$(field current "${TEXT_ID[$name]}")" \
    "$(field clsid "${OLD_TEXT_ID[$name]}")" "$(field progid "$name.StyleText.1")" \
    "$(field threading "${TEXT_THREADING[$name]}")" "$(field description "$name Text Style")"
}

# The host's output as blocks, one line each, keeping only this run's packages.
our_blocks() {  # our_blocks OUTPUT_FILE
  local name
  for name in "${names[@]}"; do
    printf '%s\n%s\n%s\n' "${STYLE_ID[$name]}" "${TEXT_ID[$name]}" "$WORK\\$name."
  done >"$work/ids"
  awk '/^package / { if (block != "") print block; block = $0; next }
       /^  / { block = block " | " $0; next }
       { if (block != "") print block; block = "" }
       END { if (block != "") print block }' "$1" |
    grep -F -f "$work/ids" | LC_ALL=C sort
}

# ---- Set-up ------------------------------------------------------------------------
made_categories=()
# Removes the packages installed from MSIs; prints what went wrong, if anything.
uninstall_msis() {
  local name rc key
  for name in "${msi_installed[@]}"; do
    rc=0
    run msiexec /x "$(windows_path "$work/$name.msi")" /qn || rc=$?
    [[ $rc == 0 ]] || echo "msiexec /x $name.msi exited $rc: $(cat "$work/err")"
    for key in "CLSID\\${STYLE_ID[$name]}" "CLSID\\${TEXT_ID[$name]}" "$name.Style.1" "$name.StyleText.1"; do
      run reg query "$CLASSES\\$key" && echo "$key stays after msiexec /x $name.msi"
    done
  done
  msi_installed=()
}
# Removes what the MSIs installed, then deletes, in one import, every key this
# run may have made.
cleanup() {
  local name key
  uninstall_msis >&2
  {
    echo 'Windows Registry Editor Version 5.00'
    for name in "${names[@]}"; do
      for key in "CLSID\\${STYLE_ID[$name]}" "CLSID\\${TEXT_ID[$name]}" "$name.Style.1" \
                 "$name.Style" "$name.StyleText.1" "$name.StyleText" \
                 ${OLD_STYLE_ID[$name]:+"CLSID\\${OLD_STYLE_ID[$name]}"} \
                 ${OLD_TEXT_ID[$name]:+"CLSID\\${OLD_TEXT_ID[$name]}"}; do
        printf '\n[-HKEY_CLASSES_ROOT\\%s]\n' "$key"
      done
    done
    for key in "$STYLE_ENGINE" "$TEXT_ENGINE"; do printf '\n[-HKEY_CLASSES_ROOT\\CLSID\\%s]\n' "$key"; done
    for key in "${made_categories[@]}"; do
      printf '\n[-HKEY_CLASSES_ROOT\\Component Categories\\%s]\n' "$key"
    done
  } >"$work/cleanup.reg"
  run reg import "$(windows_path "$work/cleanup.reg")"
  rm -rf "$work"
}
trap 'cleanup; write_results "$xml" E2EHost' EXIT

for category in "$STYLES_CATEGORY" "$TEXTS_CATEGORY"; do
  run reg query "$CLASSES\\Component Categories\\$category" || made_categories+=("$category")
done
register_engine() {  # register_engine CLSID
  run reg add "$CLASSES\\CLSID\\$1\\InprocServer32" /ve /d "$(windows_path "$engine_dll")" /f &&
    run reg add "$CLASSES\\CLSID\\$1\\InprocServer32" /v ThreadingModel /d Both /f
}
register_engine "$STYLE_ENGINE" && register_engine "$TEXT_ENGINE" ||
  problem "the engine could not be registered"

for row in "${cases_table[@]}"; do
  [[ $row == \#* ]] && continue
  read -r name style_threading text_threading installed_by after state detail <<<"$row"
  layout "$name" "$style_threading" "$text_threading"
  detail=${detail//%M/$other_arch}
  detail=${detail//%E/$(windows_path "$engine_dll")}
  STATE[$name]=$state
  DETAIL[$name]=${detail:+ $detail}
  IFS=: read -r -a how <<<"$installed_by"
  "install_${how[0]}" "$name" "${how[@]:1}"
  detail=${detail//%F/${MODULE[$name]%.dll}}
  DETAIL[$name]=${detail:+ $detail}
  "after_$after" "$name"
done
if [[ -z $problems ]]; then
  pass E2EHost.PackagesInstalled
else
  fail E2EHost.PackagesInstalled "$problems"
fi

# The keys the MSI wrote equal those regsvr32 writes for a package of the
# same threading models, names, identifiers and module paths aside.
registered_keys() {  # registered_keys NAME: its class keys as reg query prints them
  local name=$1 id text
  for id in "${STYLE_ID[$name]}" "${TEXT_ID[$name]}" "$name.Style.1" "$name.Style" \
            "$name.StyleText.1" "$name.StyleText"; do
    [[ $id == \{* ]] && id="CLSID\\$id"
    run reg query "$CLASSES\\$id" /s
    text=$(<"$work/out")
    printf '%s\n' "${text//"${MODULE[$name]}"/MODULE}" |
      sed -e "s/${STYLE_ID[$name]}/{STYLE}/g" -e "s/${TEXT_ID[$name]}/{TEXT}/g" -e "s/$name/NAME/g"
  done
}
layout HostSame "${STYLE_THREADING[HostMsi]}" "${TEXT_THREADING[HostMsi]}"
install_regsvr32 HostSame
registered_keys HostSame >"$work/regsvr32.keys"
registered_keys HostMsi >"$work/msi.keys"
if diff "$work/regsvr32.keys" "$work/msi.keys" >"$work/diff"; then
  pass E2EHost.MsiKeysEqualWhatRegsvr32Writes
else
  fail E2EHost.MsiKeysEqualWhatRegsvr32Writes "$(cat "$work/diff")"
fi
run regsvr32 /u /s "${MODULE[HostSame]}"
STATE[HostSame]=no-server

# ---- The host ------------------------------------------------------------------------
# Runs the host with OPTIONS and compares this run's packages with EXPECTED
# (each class's remembered=yes aside: MEMORY says whether the verdicts must
# come from memory, yes, from probes started now, no, or from memory but for
# one package, one). Afterwards no probe
# may be left running. A host left waiting on a box waits for good: the runs
# after it are not made.
host_hung=""
probes_left() {
  # Without pgrep the check could not fail: say so, and it does.
  command -v pgrep >/dev/null || { echo "pgrep is not installed (procps)"; return; }
  pgrep -f "$(basename "$work")\\\\bin\\\\StubProbe" || true
}
check_host() {  # check_host TEST "OPTIONS" EXPECTED_FILE MEMORY
  local test=$1 options=$2 expected=$3 memory=$4 rc=0 left
  if [[ -n $host_hung ]]; then
    fail "$test" "not run: $host_hung"
    return
  fi
  # The time limit lets the host give up on the packages whose engine never answers.
  read -r -a arguments <<<"$options"
  run "$host_exe" "${arguments[@]}" --time-limit 5 || rc=$?
  left=$(probes_left)
  if [[ $rc == 124 ]]; then
    host_hung="the host did not finish with $options (a box while loading a module?)"
    fail "$test" "$host_hung"
    return
  fi
  if [[ $rc != 1 ]] || ! grep -q '^summary packages=' "$work/out"; then
    fail "$test" "host exit code $rc (expected 1: some packages do not work); output:
$(cat "$work/out" "$work/err")"
    return
  fi
  # Each verdict a probe gave is remembered: a second run takes them all from
  # memory and starts no probe; a run that forgot them starts one per package.
  local remembered probes
  remembered=$(our_blocks "$work/out" | tr '|' '\n' | grep -E '^ +(style|text) state=(working|create-failed|crashed|exited|timed-out) ' |
               grep -vc 'remembered=yes')
  probes=$(sed -n 's/^summary .* probes=\([0-9]*\)$/\1/p' "$work/out")
  if [[ $memory == yes && ( $remembered != 0 || $probes != 0 ) ]]; then
    fail "$test" "$remembered verdicts not from memory, $probes probes started"
    return
  fi
  if [[ $memory == one && ( $remembered != 2 || $probes != 1 ) ]]; then
    fail "$test" "$remembered verdicts not from memory, $probes probes started (expected 2 and 1)"
    return
  fi
  if [[ $memory == no ]] && grep -q 'remembered=yes' "$work/out"; then
    fail "$test" "verdicts came from memory after --forget"
    return
  fi
  if [[ -n $left ]]; then
    fail "$test" "probes left running after the host ended: $left"
    return
  fi
  # The host's own line first: the kind it compares modules with, and its apartment.
  if diff <(echo "host architecture=$arch apartment=${arguments[0]#--}"; cat "$expected") \
          <(head -n 1 "$work/out"; our_blocks "$work/out" | sed 's/ remembered=yes//g') >"$work/diff"; then
    pass "$test"
  else
    fail "$test" "$(cat "$work/diff")"
  fi
}

for name in "${names[@]}"; do expected_block "$name"; done | LC_ALL=C sort >"$work/expected"
check_host E2EHost.ListsEveryPackageInASingleThreadedApartment "--sta --forget" "$work/expected" no
check_host E2EHost.ListsEveryPackageInTheMultithreadedApartment "--mta --forget" "$work/expected" no
check_host E2EHost.ASecondRunTakesEveryVerdictFromMemory "--sta" "$work/expected" yes
# A value in the memory that is no verdict (any program may write there) is
# read as none: that package alone is probed again.
run reg add 'HKCU\Software\Stub\Probe Verdicts' /v "${MODULE[HostWorking]}" /t REG_BINARY /d 53505631ff /f
check_host E2EHost.AVerdictSpoiltIsProbedAgain "--sta" "$work/expected" one

# Without the text engine only the text styles of the working packages fail,
# at their creation, with the error the engine's activation gives.
run reg delete "$CLASSES\\CLSID\\$TEXT_ENGINE" /f
for name in "${names[@]}"; do
  if [[ ${STATE[$name]} == working ]]; then
    expected_block "$name" create-failed " result=0x80040154 result-name=REGDB_E_CLASSNOTREG"
  else
    expected_block "$name"
  fi
done | LC_ALL=C sort >"$work/expected"
# The engine changed, so every verdict is made anew.
check_host E2EHost.WithoutTheTextEngineOnlyTextStylesFail --sta "$work/expected" no

# Command lines the host cannot follow: exit 2, and the first line says what is wrong.
NOWHERE='Z:\no\such\folder'
refused_table=(
  "--time-limit abc|package_host: error: --time-limit abc is not a whole number of seconds from 0 to 86400"
  "--time-limit 90000|package_host: error: --time-limit 90000 is not a whole number of seconds from 0 to 86400"
  "--time-limit|package_host: error: --time-limit needs a number of seconds"
  "--time-limit 5 --time-limit 6|package_host: error: --time-limit is given twice"
  "--sta --mta|package_host: error: give one of --sta and --mta, once"
  "--folder $NOWHERE --folder $NOWHERE|package_host: error: --folder is given twice"
  "--bogus|package_host: error: unknown argument --bogus"
  "--folder $NOWHERE|package_host: error: the folder $NOWHERE cannot be listed: there is no such folder (0x80070003)"
  "--folder $(windows_path "$host_exe")|package_host: error: the folder $(windows_path "$host_exe") cannot be listed: it is not a folder (0x8007010B)"
)
refused=()
for row in "${refused_table[@]}"; do
  read -r -a arguments <<<"${row%%|*}"
  rc=0
  run "$host_exe" "${arguments[@]}" || rc=$?
  [[ $rc == 2 && "$(grep -m1 . "$work/err")" == "${row#*|}" ]] ||
    refused+=("${row%%|*}: exit $rc, said: $(head -n 2 "$work/err")")
done
if ((${#refused[@]} == 0)); then
  pass E2EHost.RefusedCommandLinesSayWhatIsWrong
else
  fail E2EHost.RefusedCommandLinesSayWhatIsWrong "$(printf '%s\n' "${refused[@]}")"
fi

uninstall_msis >"$work/uninstalled"
if [[ ! -s $work/uninstalled ]]; then
  pass E2EHost.MsiRemovalRemovesThePackage
else
  fail E2EHost.MsiRemovalRemovesThePackage "$(cat "$work/uninstalled")"
fi

[[ $failures == 0 ]]
