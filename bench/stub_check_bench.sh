#!/usr/bin/env bash
# Times the package checker (Linux build) on a package whose two scripts hold
# 2,000 keys with two values each, against the checker on the sample package
# (start-up and the fixed work of a check), in alternating rounds; then, with
# /usr/bin/time, the time and peak memory of pathological inputs against
# the same for the sample package: a package whose Style.rgs is just under the
# 8 MiB the checker reads of a script, of junk (letters, braces, quotes,
# percent signs, blanks), the same junk without its percent signs (so that all
# of it is prepared and read, not refused at its first unknown %name%), the
# sample package checked from a 20 MB regedit export (UTF-16, as regedit writes
# it), and a valid 50 MB script (check, --format json and export), which is
# past the limit. Prints
# "name value" lines (milliseconds, KiB of peak resident memory, bytes; medians
# of the rounds).
#
#   bench/stub_check_bench.sh CHECKER
set -euo pipefail
checker=$1
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work" <<'PY'
import os, sys
work = sys.argv[1]
os.makedirs(f"{work}/Big", exist_ok=True)
def script(prog, clsid, first, count):
    lines = ["HKCR", "{", f"\t{prog} = s 'Benchmark'", "\t{", f"\t\tCLSID = s '{clsid}'", "\t}",
             "\tNoRemove CLSID", "\t{", f"\t\tForceRemove {clsid} = s 'Benchmark'", "\t\t{",
             "\t\t\tInprocServer32 = s '%Module%'", "\t\t\t{", "\t\t\t\tval ThreadingModel = s 'Both'",
             "\t\t\t}", "\t\t}", "\t}", "\tNoRemove StubCheckBench", "\t{"]
    for k in range(first, first + count):
        lines.append(f"\t\tKey{k} = s 'Key {k}'\n\t\t{{\n\t\t\tval Number = d {k}\n"
                     f"\t\t\tval Server = s '%Module%'\n\t\t}}")
    return "\n".join(lines + ["\t}", "}", ""])
open(f"{work}/Big/Style.rgs", "w").write(
    script("Big.Style.1", "{C0DEBEEF-1111-4A00-8000-000000000001}", 0, 1000))
open(f"{work}/Big/StyleText.rgs", "w").write(
    script("Big.StyleText.1", "{C0DEBEEF-2222-4A00-8000-000000000002}", 1000, 1000))
# 20 MB of junk after an identifier block, so that the module loads and runs it.
import random
random.seed(20)
os.makedirs(f"{work}/Junk", exist_ok=True)
alphabet = b"abcdefghijklmnopqrstuvwxyz{}='% \n\t"
table = bytes(alphabet[i % len(alphabet)] for i in range(256))
head = ("HKCR\n{\n\tJunk.Style.1 = s 'Junk'\n\t{\n\t\tCLSID = s "
        "'{C0DEBEEF-3333-4A00-8000-000000000003}'\n\t}\n}\n").encode()
# Just under the 8 MiB the checker reads of a script, so that all of it is read.
open(f"{work}/Junk/Style.rgs", "wb").write(
    head + random.randbytes(8 * 1024 * 1024 - len(head) - 1).translate(table))
open(f"{work}/Junk/StyleText.rgs", "w").write(
    script("Junk.StyleText.1", "{C0DEBEEF-4444-4A00-8000-000000000004}", 0, 1))
os.makedirs(f"{work}/Plain", exist_ok=True)
open(f"{work}/Plain/Style.rgs", "wb").write(open(f"{work}/Junk/Style.rgs", "rb").read().replace(b"%", b"x"))
open(f"{work}/Plain/StyleText.rgs", "w").write(open(f"{work}/Junk/StyleText.rgs").read())

# A valid 50 MB script: the 2,000-key layout grown to some 554,000 keys. The
# checker refuses it unread (past its 8 MiB limit); the figures show what that costs.
os.makedirs(f"{work}/Huge", exist_ok=True)
huge = script("Huge.Style.1", "{C0DEBEEF-5555-4A00-8000-000000000005}", 0, 554000)
open(f"{work}/Huge/Style.rgs", "w").write(huge)
open(f"{work}/Huge/StyleText.rgs", "w").write(
    script("Huge.StyleText.1", "{C0DEBEEF-6666-4A00-8000-000000000006}", 0, 1))
# Its module file, for export: laid out as a Windows DLL as far as the checker
# reads one (headers, one section, Stub.dll's five exports; no code).
import struct
b = bytearray(0x400)
b[0:2] = b"MZ"
struct.pack_into("<I", b, 0x3C, 0x40)
b[0x40:0x44] = b"PE\0\0"
struct.pack_into("<HH", b, 0x44, 0x8664, 1)
struct.pack_into("<HHH", b, 0x54, 0xF0, 0x2022, 0x20B)
struct.pack_into("<I", b, 0x58 + 112, 0x1000)
struct.pack_into("<IIII", b, 0x58 + 0xF0 + 8, 0x200, 0x1000, 0x200, 0x200)
struct.pack_into("<II", b, 0x200 + 24, 5, 0)
struct.pack_into("<I", b, 0x200 + 32, 0x1040)
at = 0x280
for i, n in enumerate(["DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer",
                       "DllUnregisterServer", "DllInstall"]):
    struct.pack_into("<I", b, 0x240 + 4 * i, 0x1000 + at - 0x200)
    b[at:at + len(n)] = n.encode()
    at += len(n) + 1
open(f"{work}/Huge.dll", "wb").write(b)

# A 20 MB regedit export: ProgID-like keys with a value, a number and a CLSID subkey.
lines, size, i = ["Windows Registry Editor Version 5.00", ""], 0, 0
while size < 10 * 1024 * 1024:
    block = [f"[HKEY_CLASSES_ROOT\\Vendor{i % 97}.Thing{i}]", f'@="Thing number {i}"',
             f'"Count"=dword:{i:08x}', f"[HKEY_CLASSES_ROOT\\Vendor{i % 97}.Thing{i}\\CLSID]",
             f'@="{{C0DE{i:04x}-1111-4A00-8000-000000000000}}"', ""]
    lines += block
    size += sum(len(l) + 2 for l in block)
    i += 1
open(f"{work}/machine.reg", "wb").write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))
open(f"{work}/machine_keys.txt", "w").write(str(2 * i))
PY
now() { date +%s%N; }
big=() sample=()
for round in 1 2 3 4 5 6 7; do
  t0=$(now)
  rc=0
  "$checker" "$work/Big" >"$work/big.txt" || rc=$?  # the folder alone: no module file beside it
  t1=$(now)
  [[ $rc -eq 0 ]] || { echo "stub_check_bench: the large package did not check clean" >&2; cat "$work/big.txt" >&2; exit 1; }
  "$checker" "$root/samples/Aurora" >/dev/null
  t2=$(now)
  big+=($(( (t1 - t0) / 1000 ))) sample+=($(( (t2 - t1) / 1000 )))
done
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
echo "check_keys 2000"
echo "check_large_ms $(awk "BEGIN { print $(median "${big[@]}") / 1000 }")"
echo "check_sample_ms $(awk "BEGIN { print $(median "${sample[@]}") / 1000 }")"

# Pathological inputs: elapsed time and peak resident memory (GNU time), three
# rounds each, taking turns with the sample package.
measure() {  # measure NAME ARGS...: appends "ms kib" of one run to $work/NAME
  local name=$1 rc=0
  shift
  local t0 t1
  t0=$(now)
  /usr/bin/time -f "%M" -o "$work/time.txt" "$checker" "$@" >"$work/out.txt" 2>&1 || rc=$?
  t1=$(now)
  [[ $rc -le 2 && ( -s $work/out.txt || $name == huge_* ) ]] || { echo "stub_check_bench: $name: exit $rc" >&2; cat "$work/out.txt" >&2; exit 1; }
  # GNU time writes a line about a non-zero exit first; the figure is the last line.
  echo "$(( (t1 - t0) / 1000000 )) $(tail -n1 "$work/time.txt")" >>"$work/$name"
}
for round in 1 2 3; do
  measure junk "$work/Junk"  # the folder alone: no module file beside it
  measure plain "$work/Plain"
  measure sample_alone "$root/samples/Aurora"
  measure registry --registry "$work/machine.reg" "$root/samples/Aurora"
  measure huge_check "$work/Huge"
  measure huge_json --format json "$work/Huge"
  measure huge_export export --format wxs "$work/Huge.dll"
done
column_median() { median $(cut -d' ' -f"$2" "$work/$1"); }
echo "check_junk_bytes $(stat -c %s "$work/Junk/Style.rgs")"
echo "check_junk_ms $(column_median junk 1)"
echo "check_junk_kib $(column_median junk 2)"
echo "check_plain_bytes $(stat -c %s "$work/Plain/Style.rgs")"
echo "check_plain_ms $(column_median plain 1)"
echo "check_plain_kib $(column_median plain 2)"
echo "check_registry_bytes $(stat -c %s "$work/machine.reg")"
echo "check_registry_keys $(cat "$work/machine_keys.txt")"
echo "check_registry_ms $(column_median registry 1)"
echo "check_registry_kib $(column_median registry 2)"
echo "check_huge_bytes $(stat -c %s "$work/Huge/Style.rgs")"
for verb in check json export; do
  echo "check_huge_${verb}_ms $(column_median "huge_$verb" 1)"
  echo "check_huge_${verb}_kib $(column_median "huge_$verb" 2)"
done
echo "check_sample_alone_ms $(column_median sample_alone 1)"
echo "check_sample_kib $(column_median sample_alone 2)"
