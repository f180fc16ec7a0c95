#!/usr/bin/env bash
# A release used as its users would, with nothing but its own contents: the
# archive unpacked into a fresh folder away from the tree, and for each
# Windows architecture this machine's Wine runs, in a fresh private prefix:
#   1. the sample engine registered with regsvr32;
#   2. a package made by the release's checker (`new`) and checked clean;
#   3. its MSI built with wixl from the checker's WiX export, and installed;
#   4. the sample client creating both classes, each engine object told the
#      installed module's path;
#   5. the sample host listing the package as working;
#   6. the package removed: gone from the host's list after the MSI's removal,
#      and a second package removed with regsvr32 /u listed as a stale entry.
# Also: every path the shipped documents name is in the release, and the
# release's samples and a small consumer host build with CMake and mingw-w64
# against its CMake package alone, and README.txt's build command works as
# printed.
#
#   release_alone_test.sh ZIP RESULT_XML
set -uo pipefail
[[ $# -eq 2 ]] || { echo "usage: $0 ZIP RESULT_XML" >&2; exit 2; }
zip=$(realpath "$1") xml=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/tests/support/test_results.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/stub-release-alone.XXXXXX")
finish() {
  write_results "$xml" ReleaseAlone
  if ((failures == 0)); then rm -rf "$work"; else echo "release-alone test: kept $work" >&2; fi
}
trap finish EXIT

mkdir -p "$work/unpacked"
if ! (cd "$work/unpacked" && unzip -q "$zip"); then
  fail ReleaseAlone.Unpacks "unzip $zip failed"
  exit 1
fi
rel=$(ls -d "$work"/unpacked/stub-*/ | head -n 1)
rel=${rel%/}
pass ReleaseAlone.Unpacks

# Every path a shipped document names in backquotes, of the release's own
# folders or its top-level files, is there; and no document names the source
# tree's folders.
missing=()
while IFS= read -r path; do
  path=${path%%[ :,]*}
  [[ -e $rel/$path || -e $rel/${path%/} ]] || missing+=("$path")
done < <(cd "$rel" && find . -name '*.md' -o -name README.txt | xargs cat |
           grep -ohE '`((x86|x64|linux-[a-z0-9_]+|include|lib|samples|docs)/[^` ]*|CHANGELOG\.md|README\.txt|SHA256SUMS)`' |
           tr -d '`' | sort -u)
tree_paths=$(cd "$rel" && find . -name '*.md' -o -name README.txt | xargs grep -ohE '`(scripts|build|tests|src|bench|fuzz)/[^` ]*`' | sort -u | tr '\n' ' ')
if ((${#missing[@]})); then
  fail ReleaseAlone.DocumentsNameWhatShips "named but not shipped: ${missing[*]}"
elif [[ -n $tree_paths ]]; then
  fail ReleaseAlone.DocumentsNameWhatShips "source-tree paths named: $tree_paths"
else
  pass ReleaseAlone.DocumentsNameWhatShips
fi
"$here/guide_examples.sh" "$rel" >"$work/guide.log" 2>&1 && pass ReleaseAlone.GuideShowsWhatNewWrites || fail ReleaseAlone.GuideShowsWhatNewWrites "$(head -c 2000 "$work/guide.log")"

# The CMake package stands alone: a consumer host and the release's own samples.
if "$root/tests/release/consumer/build_host.sh" "$rel" "$work/consumer" >"$work/consumer.log" 2>&1; then
  pass ReleaseAlone.BuildsAgainstItsCMakePackage
else
  fail ReleaseAlone.BuildsAgainstItsCMakePackage "$(grep -A5 FAILED "$work/consumer.log" | head -n 20)"
fi

# README.txt's build command, exactly as printed (its indented cmake lines),
# in a fresh unpacking of the archive, makes a 64-bit sample host.
mkdir -p "$work/fresh"
(cd "$work/fresh" && unzip -q "$zip")
fresh=$work/fresh/$(basename "$rel")
commands=$(sed -n '/^Building the samples/,$p' "$fresh/README.txt" | grep '^  cmake ')
if [[ $(grep -c . <<<"$commands") -lt 2 ]]; then
  fail ReleaseAlone.ReadmeBuildCommandWorks "README.txt prints no build command: [$commands]"
elif ! (cd "$fresh" && bash -euc "$commands") >"$work/readme-build.log" 2>&1 </dev/null; then
  fail ReleaseAlone.ReadmeBuildCommandWorks "$(tail -n 15 "$work/readme-build.log")"
elif ! objdump -f "$fresh"/build-host/package_host.exe 2>/dev/null | grep -q pei-x86-64; then
  fail ReleaseAlone.ReadmeBuildCommandWorks "no 64-bit package_host.exe: $(ls "$fresh"/build-host)"
else
  pass ReleaseAlone.ReadmeBuildCommandWorks
fi

# ---- Under Wine ----------------------------------------------------------------------
source "$root/scripts/wine-env.sh"
export STUB_WINEPREFIX=$work/wineprefix
out=$work/out err=$work/err
run() { stub_wine_run "$@"; }
windows_path() { stub_windows_path "$1"; }
source "$root/tests/e2e/msi.sh"

for arch in win64 win32; do
  stub_wine_use "$arch"
  a=$([[ $arch == win64 ]] && echo x64 || echo x86)
  if ! stub_wine_runs; then
    echo "release-alone test: $a under Wine SKIPPED: $STUB_WINE_SKIP"
    continue
  fi
  stub_wine_prefix || { fail "ReleaseAlone.$a.Prefix" "no Wine prefix"; continue; }
  wineserver -p >/dev/null 2>&1 </dev/null || true
  T=ReleaseAlone.$a
  pkg=$work/packages-$a
  mkdir -p "$pkg"

  # 1. The sample engine.
  if run regsvr32 /s "$(windows_path "$rel/$a/StubSampleEngine.dll")"; then
    pass "$T.EngineRegisters"
  else
    fail "$T.EngineRegisters" "regsvr32 StubSampleEngine.dll: $(cat "$out" "$err")"
  fi

  # 2. A package from the release's checker, which takes its module from the release.
  problem=
  for name in Fjord Skerry; do
    (cd "$pkg" && "$rel/linux-$(uname -m)/stub-check" new "$name" --arch "$a") >"$out" 2>&1 ||
      problem+="new $name: $(cat "$out"); "
  done
  cmp -s "$pkg/Fjord.dll" "$rel/$a/Stub.dll" || problem+="Fjord.dll is not $a/Stub.dll; "
  # The checker never ends without a word; a Windows run that did (seen now
  # and then under Wine on a loaded machine) is tried once more, and said.
  rc=0
  (cd "$pkg" && run "$rel/$a/stub-check.exe" check Fjord.dll) || rc=$?
  if ((rc != 0)) && [[ ! -s $out && ! -s $err ]]; then
    echo "release-alone test: the Windows checker ended with $rc and printed nothing; running it once more"
    rc=0
    (cd "$pkg" && run "$rel/$a/stub-check.exe" check Fjord.dll) || rc=$?
  fi
  ((rc == 0)) || problem+="check (Windows checker) exit $rc: $(tail -n 5 "$out") $(tail -n 5 "$err"); "
  [[ -z $problem ]] && pass "$T.NewPackageChecksClean" || fail "$T.NewPackageChecksClean" "$problem"

  # 3. Its MSI, from the checker's WiX export.
  problem=
  (cd "$pkg" && "$rel/linux-$(uname -m)/stub-check" export --format wxs Fjord.dll >Fjord.wxs 2>"$err") ||
    problem+="export: $(cat "$err"); "
  [[ -z $problem ]] && { (cd "$pkg" && msi_build Fjord "$a") >"$work/wixl.log" 2>&1 || problem+="wixl: $(tail -n 5 "$work/wixl.log"); "; }
  [[ -z $problem ]] && { run msiexec /i "$(windows_path "$pkg/Fjord.msi")" /qn || problem+="msiexec /i: exit $?; "; }
  [[ -z $problem ]] && pass "$T.MsiInstalls" || fail "$T.MsiInstalls" "$problem"
  run reg query "HKLM\\Software\\Classes\\Fjord.Style.1\\CLSID" /ve
  clsid=$(sed -n 's/^ *(Default) *REG_SZ *//p' "$out")
  run reg query "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /ve
  installed=$(sed -n 's/^ *(Default) *REG_SZ *//p' "$out")

  # 4. The sample client: both classes, each engine object told the installed path.
  problem=
  if ! run "$rel/$a/demo_client.exe" Fjord.Style.1 Fjord.StyleText.1; then
    problem="demo_client exits non-zero: $(cat "$out" "$err" | tr '\n' ' ')"
  elif [[ $(grep -c '^  got  ' "$out") != 2 ]]; then
    problem="not two engine objects: $(tr '\n' ' ' <"$out")"
  elif [[ -z $installed || $(sed -n 's/^  module path   //p' "$out" | sort -u) != "$installed" ]]; then
    problem="engine objects told '$(sed -n 's/^  module path   //p' "$out" | sort -u | tr '\n' '|')', installed at '$installed'"
  fi
  [[ -z $problem ]] && pass "$T.ClientCreatesBothClasses" || fail "$T.ClientCreatesBothClasses" "$problem"

  # 5. The sample host lists it as working.
  run "$rel/$a/package_host.exe" --time-limit 20
  # A value with a blank is quoted.
  if grep -qxF -e "package state=working module=$installed" \
       -e "package state=working module=\"$installed\"" "$out"; then
    pass "$T.HostListsItWorking"
  else
    fail "$T.HostListsItWorking" "$(tr '\n' ' ' <"$out")"
  fi

  # 5b. The package catalog: StubHost.dll registered, and the C sample lists
  #     the package through it.
  problem=
  run regsvr32 /s "$(windows_path "$rel/$a/StubHost.dll")" || problem+="regsvr32 StubHost.dll: exit $?; "
  run "$rel/$a/list_packages.exe" || problem+="list_packages exits $?: $(cat "$err"); "
  grep -qxF "Fjord|ready|registry|$installed|" "$out" || problem+="Fjord not listed ready: $(tr '\n' ' ' <"$out"); "
  run regsvr32 /s /u "$(windows_path "$rel/$a/StubHost.dll")" || problem+="regsvr32 /u StubHost.dll: exit $?; "
  [[ -z $problem ]] && pass "$T.CatalogListsIt" || fail "$T.CatalogListsIt" "$problem"

  # 6. Removed: the MSI's removal takes its classes away; regsvr32 /u leaves
  #    a stale entry the host recognises.
  problem=
  run msiexec /x "$(windows_path "$pkg/Fjord.msi")" /qn || problem+="msiexec /x: exit $?; "
  skerry=$(windows_path "$pkg/Skerry.dll")
  run regsvr32 /s "$skerry" || problem+="regsvr32 Skerry.dll: exit $?; "
  run regsvr32 /s /u "$skerry" || problem+="regsvr32 /u Skerry.dll: exit $?; "
  run "$rel/$a/package_host.exe" --time-limit 20
  grep -qF "Fjord" "$out" && problem+="Fjord still listed after msiexec /x; "
  grep -q '^package state=no-server' "$out" && grep -q 'Skerry' "$out" ||
    problem+="Skerry not listed as a stale entry: $(tr '\n' ' ' <"$out"); "
  [[ -z $problem ]] && pass "$T.RemovedPackagesGoOrAreStale" || fail "$T.RemovedPackagesGoOrAreStale" "$problem"
  stub_wine_stop
done
((failures == 0))
