#!/usr/bin/env bash
# Times the package checker (Linux build) on a package whose two scripts hold
# 2,000 keys with two values each, against the checker on the sample package
# (start-up and the fixed work of a check), in alternating rounds; prints
# "name value" lines (milliseconds, medians of the rounds).
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
median() { printf '%s\n' "$@" | sort -n | sed -n 4p; }
echo "check_keys 2000"
echo "check_large_ms $(awk "BEGIN { print $(median "${big[@]}") / 1000 }")"
echo "check_sample_ms $(awk "BEGIN { print $(median "${sample[@]}") / 1000 }")"
