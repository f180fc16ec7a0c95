#!/usr/bin/env bash
# The checker's command line over a table of cases (cli_cases.txt): verbs,
# options and values, good and bad, each run in one scratch tree of packages
# made here. For each case: the exit code, a key phrase of what it prints (or,
# with a leading "!", a phrase it must not print), and that the tree holds
# afterwards exactly what it held before plus what the case is meant to make
# (which is then taken away again for the next case). A case that runs longer
# than 20 seconds has hung.
#
#   run_cli.sh RESULT_XML [RUNNER...] CHECKER
#
# RUNNER is what starts a Windows program (scripts/wine-run win64): the same
# table then runs the Windows checker, but for the cases marked "linux" and
# those that need POSIX devices or limits (full, fsize); without Wine the whole
# table is skipped (exit 77).
#
# The module files are laid out here as Windows DLLs as far as the checker
# reads one (headers, one section, Stub.dll's five exports): nothing is run
# from them, so no Windows build is needed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
xml=$1
shift
runner=("${@:1:$#-1}")
checker=$(cd "$(dirname "${!#}")" && pwd)/$(basename "${!#}")
source "$here/../support/test_results.sh"
trap 'write_results "$xml" StubCheckCli; rm -rf "$work"' EXIT
work=$(mktemp -d)
tree=$work/tree
mkdir -p "$tree"
cd "$tree" || exit 1
if [[ ${#runner[@]} -gt 0 ]]; then
  # The cases call the checker by one name: here a script that starts the
  # Windows checker through the runner, in a UTF-8 locale (Wine takes the
  # arguments and file names in the locale's character set).
  { echo '#!/usr/bin/env bash'
    printf 'export LC_ALL=C.UTF-8; exec'; printf ' %q' "${runner[@]}" "$checker"; echo ' "$@"'
  } >"$work/stub-check"
  chmod +x "$work/stub-check"
  checker=$work/stub-check
  "$checker" --help >/dev/null 2>"$work/runner.err"
  rc=$?
  if [[ $rc == 125 ]]; then
    echo "stub-check command line: SKIPPED: $(cat "$work/runner.err")"
    trap 'rm -rf "$work"' EXIT
    exit 77
  fi
fi

# ---- The scratch tree -------------------------------------------------------------------
python3 - <<'PY' || exit 1
import struct
def module(path, machine, dll=True, exports=True, version=None):
    b = bytearray(0x600 if version else 0x400)
    b[0:2] = b"MZ"
    struct.pack_into("<I", b, 0x3C, 0x40)
    b[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HH", b, 0x44, machine, 1)
    struct.pack_into("<HHH", b, 0x54, 0xF0, 0x2022 if dll else 0x0022, 0x20B)
    struct.pack_into("<I", b, 0x58 + 112, 0x1000 if exports else 0)
    size = 0x400 if version else 0x200
    struct.pack_into("<IIII", b, 0x58 + 0xF0 + 8, size, 0x1000, size, 0x200)
    names = ["DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer", "DllInstall"]
    struct.pack_into("<II", b, 0x200 + 24, 5, 0)
    struct.pack_into("<I", b, 0x200 + 32, 0x1040)
    at = 0x280
    for i, n in enumerate(names):
        struct.pack_into("<I", b, 0x240 + 4 * i, 0x1000 + at - 0x200)
        b[at:at + len(n)] = n.encode()
        at += len(n) + 1
    if version:
        # A version resource at 0x400 (RVA 0x1200): RT_VERSION, name 1, language
        # 0x409, then VS_VERSIONINFO with its fixed file information.
        struct.pack_into("<I", b, 0x58 + 112 + 16, 0x1200)
        r = 0x400
        struct.pack_into("<HHII", b, r + 12, 0, 1, 16, 0x80000018)
        struct.pack_into("<HHII", b, r + 0x18 + 12, 0, 1, 1, 0x80000030)
        struct.pack_into("<HHII", b, r + 0x30 + 12, 0, 1, 0x409, 0x48)
        struct.pack_into("<II", b, r + 0x48, 0x1258, 92)
        struct.pack_into("<HHH", b, r + 0x58, 92, 52, 0)
        b[r + 0x58 + 6:r + 0x58 + 38] = "VS_VERSION_INFO\0".encode("utf-16-le")
        major, minor, build, revision = version
        struct.pack_into("<IIII", b, r + 0x58 + 40, 0xFEEF04BD, 0x10000, major << 16 | minor, build << 16 | revision)
    open(path, "wb").write(b)
module("Stub.dll", 0x8664)
module("Stub32.dll", 0x14C)
module("StubV.dll", 0x8664, version=(1, 2, 3, 4))
module("StubV32.dll", 0x14C, version=(1, 2, 3, 4))
module("Prog.dll", 0x8664, dll=False)
module("Other.dll", 0x8664, exports=False)
open("Trunc.dll", "wb").write(open("Stub.dll", "rb").read()[:0x210])  # cut inside its exports
open("Text.dll", "w").write("not a module\n")
PY
"$checker" new Good --module Stub.dll >/dev/null || { fail Setup "new Good: exit $?"; exit 1; }
# Packages whose modules carry a version, for assembly manifests, and a
# manifest of the 64-bit one with one mistake in each of its variants.
"$checker" new Lark --module StubV.dll >/dev/null &&
  "$checker" new Lark32 --arch x86 --module StubV32.dll >/dev/null &&
  "$checker" export --format manifest Lark.dll >Lark.Assembly.manifest || { fail Setup "Lark's manifest: exit $?"; exit 1; }
python3 - <<'PY' || exit 1
import os, re
good = open("Lark.Assembly.manifest").read()
first = re.search(r'clsid="\{([0-9A-F-]{36})\}"', good).group(1)
other = first[:-1] + ("1" if first[-1] == "0" else "0")
variants = {
    "wrong-identifier": good.replace(first, other, 1),
    "wrong-progid": good.replace("<progid>Lark.Style</progid>", "<progid>Lark.Styles</progid>"),
    "wrong-threading": good.replace('threadingModel="Both"', 'threadingModel="Free"'),
    "wrong-architecture": good.replace('processorArchitecture="amd64"', 'processorArchitecture="x86"'),
    "wrong-file": good.replace('<file name="Lark.dll">', '<file name="Lark64.dll">'),
    "not-xml": good.replace("</file>", ""),
}
for name, text in variants.items():
    assert text != good, name
    os.makedirs("manifests/" + name)
    open("manifests/%s/Lark.Assembly.manifest" % name, "w").write(text)
os.makedirs("manifests/misnamed")
open("manifests/misnamed/Lark.manifest", "w").write(good)
PY
package() {  # package NAME: a copy of Good's module and scripts under NAME
  cp Stub.dll "$1.dll"
  mkdir -p "$1"
  cp Good/Style.rgs Good/StyleText.rgs "$1/"
}
package Fifo && rm Fifo/Style.rgs && mkfifo Fifo/Style.rgs
package Zero && rm Zero/Style.rgs && ln -s /dev/zero Zero/Style.rgs
package Loop && rm Loop/Style.rgs && ln -s Style.rgs Loop/Style.rgs
package Dangling && rm Dangling/Style.rgs && ln -s nowhere.rgs Dangling/Style.rgs
cp Stub.dll FileFolder.dll && echo "a file where the package folder belongs" >FileFolder
package Big && truncate -s 9M Big/Style.rgs
package Wide && iconv -f UTF-8 -t UTF-16LE Good/Style.rgs >Wide/Style.rgs
package Odd && sed -i "s/= s 'Good Style'/= s 'Odd\tStyle\nline two'/" Odd/Style.rgs
package Hklm && printf 'HKLM\n{\n\tNoRemove SOFTWARE\n\t{\n\t\tTarvoHklm = s %s\n\t}\n}\n' "'x'" >>Hklm/StyleText.rgs
package "$(printf 'Caf\xe9')"
package Unquoted && sed -i "s/'%Module%'/%Module%/" Unquoted/Style.rgs
# Names that would forge a report's lines or move a terminal, were they printed as they are.
package "$(printf 'nl\nFjord.dll: error: forged finding [load-fails]')"
package "$(printf 'Ctl\033[31m\r\177\001')"
package Trail && mv Trail.dll Trail.dll.  # Windows opens it as Trail.dll, beside Trail
package Deck && mv Deck.dll "$(printf 'Deck.dl\xc3\xa9')"  # an extension of four characters, five bytes
mkfifo Pipe.dll  # a module "file" that is a FIFO
truncate -s 257M Huge.reg  # past the limit of a registry export (sparse: no disk is used)
# Outside ASCII, and outside any one ANSI code page: a package made by new in a
# Japanese folder, and a copy of Lark (which has a version) named in Cyrillic.
"$checker" new Fjord --dir パッケージ --module Stub.dll >/dev/null || { fail Setup "new Fjord --dir パッケージ: exit $?"; exit 1; }
mkdir Пакеты2 && cp StubV.dll Пакеты2/Ёлка.dll && cp -R Lark Пакеты2/Ёлка
# A registry export with lines regedit reads as no key: a value before any key,
# a key line not closed, an indented one, and a key 600 levels deep.
printf 'Windows Registry Editor Version 5.00\r\n"early"="x"\r\n[HKEY_CLASSES_ROOT\\Foo\r\n"a"="b"\r\n  [HKEY_CLASSES_ROOT\\Bar]\r\n[HKEY_CLASSES_ROOT%s]\r\n' \
  "$(printf '\\a%.0s' {1..600})" >Odd.reg
snapshot() { find . -mindepth 1 | LC_ALL=C sort; }
before=$(snapshot)

# ---- The cases --------------------------------------------------------------------------
# Runs one case (its folder, way and arguments) with the checker; its exit code.
run_case() (
  cd "$dir" || exit 99
  c=$checker
  case $how in
    full) eval "timeout 20 \"\$c\" $args" >/dev/full 2>"$out.err" </dev/null ;;
    # The limit for the checker alone: its error stream goes through a pipe.
    fsize) { ulimit -f 0; eval "timeout 20 \"\$c\" $args" 2>&1 >/dev/null </dev/null; } | cat >"$out.err"
           exit "${PIPESTATUS[0]}" ;;
    # Standard output and error on a terminal: for the Windows checker a
    # console, which is written its own text rather than bytes.
    tty) timeout 20 script -qec "$(printf '%q' "$c") $args" /dev/null >"$out.std" 2>"$out.err" </dev/null ;;
    *) eval "timeout 20 \"\$c\" $args" >"$out.std" 2>"$out.err" </dev/null ;;
  esac
)
linux_only=0
while IFS='|' read -r name code expect leaves how args; do
  name=$(xargs <<<"$name")
  [[ -z $name || $name == \#* ]] && continue
  code=$(xargs <<<"$code") leaves=$(xargs <<<"$leaves") how=$(xargs <<<"$how")
  if [[ ${#runner[@]} -gt 0 && ( $how == linux || $how == full || $how == fsize ) ]]; then
    linux_only=$((linux_only + 1))
    continue
  fi
  expect=$(sed -e 's/^ *//' -e 's/ *$//' <<<"$expect")
  dir=. out=$work/out
  case $how in
    in:*) dir=${how#in:} ;;
  esac
  run_case
  rc=$?
  # Under Wine a program now and then ends at once, printing nothing at all
  # (seen about once in ten runs of the table on a loaded machine): the
  # checker itself never ends without a word, so such a run is tried once
  # more, and said.
  if [[ ${#runner[@]} -gt 0 && $rc != "$code" && ! -s $out.std && ! -s $out.err ]]; then
    echo "note: $name: the Windows run printed nothing and ended with $rc; running it once more"
    run_case
    rc=$?
  fi
  [[ $how == full || $how == fsize ]] && : >"$out.std"
  said=$(cat "$out.std" "$out.err")
  # A SARIF log is read as a CI system reads it: each result's rule, level, place
  # and remedy, said as "sarif RULE LEVEL URI:LINE:COLUMN remedy: REMEDY" for the phrase to match;
  # a run that failed, as "sarif failed LEVEL: MESSAGE" for each of its notifications.
  if [[ $how == sarif ]]; then
    said+=$'\n'$(python3 - "$out.std" <<'PY' 2>&1
import json, sys
log = json.loads(open(sys.argv[1], "rb").read().decode("utf-8"))
assert log["version"] == "2.1.0", log["version"]
for run in log["runs"]:
    rules = [rule["id"] for rule in run["tool"]["driver"]["rules"]]
    for r in run["results"]:
        assert rules[r["ruleIndex"]] == r["ruleId"] and r["level"] in ("error", "warning", "note"), r
        where = r.get("locations", [{}])[0].get("physicalLocation", {})
        region = where.get("region", {})
        # A fix must say the edit itself (artifactChanges); the remedy is the message's last line.
        assert all(fix.get("artifactChanges") for fix in r.get("fixes", [])), r
        lines = r["message"]["text"].split("\n")
        remedy = lines[-1][len("remedy: "):] if len(lines) > 1 and lines[-1].startswith("remedy: ") else ""
        print("sarif %s %s %s:%s:%s remedy: %s" % (r["ruleId"], r["level"], where.get("artifactLocation", {}).get("uri", ""),
                                               region.get("startLine", 0), region.get("startColumn", 0), remedy))
    for invocation in run.get("invocations", []):
        assert isinstance(invocation["executionSuccessful"], bool), invocation
        for n in invocation.get("toolExecutionNotifications", []):
            assert n["level"] in ("none", "note", "warning", "error"), n
            print("sarif %s %s: %s" % ("succeeded" if invocation["executionSuccessful"] else "failed",
                                       n["level"], n["message"]["text"]))
PY
)
  fi
  problem=""
  [[ $rc == 124 ]] && problem+="it hung (killed after 20 s); "
  [[ $rc == "$code" ]] || problem+="exit code $rc, not $code; "
  if [[ $expect == !* ]]; then
    grep -qF -- "${expect#!}" <<<"$said" && problem+="it says '${expect#!}'; "
  elif ! grep -qF -- "$expect" <<<"$said"; then
    problem+="it does not say '$expect'; "
  fi
  if [[ $leaves != - ]]; then
    for path in $leaves; do
      [[ -e $path ]] || problem+="$path was not made; "
      rm -rf -- "$path"
    done
  fi
  after=$(snapshot)
  if [[ $after != "$before" ]]; then
    problem+="the tree changed: $(diff <(echo "$before") <(echo "$after") | grep '^[<>]' | head -n 5 | tr '\n' ' ')"
    # Put it back for the cases that follow.
    comm -13 <(echo "$before") <(echo "$after") | tac | while read -r extra; do rm -rf -- "$extra"; done
  fi
  if [[ -z $problem ]]; then
    pass "$name"
  else
    fail "$name" "$problem$(head -c 600 <<<"$said")"
  fi
done <"$here/cli_cases.txt"
echo "stub-check command line: $(( ${#cases[@]} - failures )) of ${#cases[@]} cases as expected" \
     "$([[ ${#runner[@]} -gt 0 ]] && echo "($linux_only left to the Linux build)")"
((failures == 0))
