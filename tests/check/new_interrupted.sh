#!/usr/bin/env bash
# `stub-check new` interrupted at any moment leaves nothing half made: runs it
# a few hundred times, each interrupted (SIGINT and SIGTERM in turn) after a
# random delay spread over the whole run, and checks after each that the
# folder holds either nothing of the package or all of it (NAME.dll whole,
# NAME/ with both scripts), and never the temporary .NAME.new-* folder. Stops
# adding runs after about 50 seconds.
#
#   new_interrupted.sh RESULT_XML CHECKER [RUNS]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
xml=$1
checker=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
runs=${3:-300}
source "$here/../support/test_results.sh"
work=$(mktemp -d)
trap 'write_results "$xml" StubCheckNewInterrupted; rm -rf "$work"' EXIT

# A module laid out as a Windows DLL as far as the checker reads one (headers,
# one section, Stub.dll's five exports), 24 MiB long so that writing its copy
# takes a while, as a real module's does on a slow disk.
python3 "$here/../support/fake_module.py" "$work/Stub.dll" $((24 * 1024 * 1024)) || exit 1
size=$(stat -c %s "$work/Stub.dll")

# How long an uninterrupted run takes, so that the delays cover all of it.
start=$(date +%s%N)
"$checker" new Probe --module "$work/Stub.dll" --dir "$work/probe" >/dev/null || { fail Setup "new: exit $?"; exit 1; }
span=$(( ($(date +%s%N) - start) / 1000 ))  # microseconds
(( span > 0 )) || span=1000
rm -rf "$work/probe"

deadline=$(( $(date +%s) + 50 ))
made=0 nothing=0 bad=0 done=0
for ((run = 0; run < runs && $(date +%s) < deadline; ++run)); do
  dir=$work/run$run
  signal=$([[ $((run % 2)) == 0 ]] && echo INT || echo TERM)
  # Random delays from 0 to a little past a whole run, in microseconds.
  delay=$(( (RANDOM * 32768 + RANDOM) % (span + span / 4) ))
  "$checker" new Int2 --module "$work/Stub.dll" --dir "$dir" >/dev/null 2>&1 &
  pid=$!
  sleep "$(printf '0.%06d' "$delay")" 2>/dev/null || sleep "$((delay / 1000000)).$(printf '%06d' $((delay % 1000000)))"
  kill -s "$signal" "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
  done=$((done + 1))
  left=$(cd "$dir" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' ' ')
  case "$left" in
    "") nothing=$((nothing + 1)) ;;
    "./Int2 ./Int2.dll ./Int2/Style.rgs ./Int2/StyleText.rgs ")
      if [[ $(stat -c %s "$dir/Int2.dll") == "$size" && -s $dir/Int2/Style.rgs && -s $dir/Int2/StyleText.rgs ]]; then
        made=$((made + 1))
      else
        bad=$((bad + 1))
        fail "run$run" "SIG$signal after ${delay}us left a package with a file cut short: $(ls -la "$dir" "$dir/Int2")"
      fi ;;
    *)
      bad=$((bad + 1))
      fail "run$run" "SIG$signal after ${delay}us left: $left" ;;
  esac
  rm -rf "$dir"
done
echo "new interrupted: $done runs (${span}us each uninterrupted): $nothing left nothing, $made left the whole package, $bad left a part"
((bad == 0)) && pass "InterruptedNewLeavesAllOrNothing"
# Runs that all ended one way say nothing about the window between.
if ((nothing == 0 || made == 0)); then
  fail "InterruptsSpreadOverTheRun" "the signals all came $( ((nothing == 0)) && echo after || echo before) the package was made: the delays miss the run"
else
  pass "InterruptsSpreadOverTheRun"
fi
((failures == 0))
