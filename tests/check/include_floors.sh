#!/usr/bin/env bash
# The package checker's rooms (folders of tools/stub-check) stand on floors, and an #include only points
# down: a room includes its own headers and those of rooms on lower floors, never one beside it or above.
# This table is the one place the floors are written; each line is a floor, the lowest first ("." is the
# folder itself, main.cpp).
#
#   include_floors.sh [SOURCE_DIR]   (default: tools/stub-check beside this script's tree)
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/../../tools/stub-check" && pwd)}
floors=(
  "text"                     # UTF-8 and UTF-16, case folding, escaping, places; results and identifiers
  "io findings"              # files and standard streams; findings as data
  "registry module options"  # registry states and the emulator session; the module file; the command line parser
  "scripts"                  # a script read through the interpreter's trace
  "checks"                   # the package, its runs and checks; the pipeline Check and the report as data
  "report"                   # the report rendered as text, JSON and SARIF
  "manifest"                 # assembly manifests, written and checked
  "export new"               # the other verbs
  "cli lsp"                  # the check verb: the request, Check, the renderers; the language server
  "."                        # main.cpp: the verbs' dispatch
)
declare -A floor
for i in "${!floors[@]}"; do
  for room in ${floors[$i]}; do floor[$room]=$i; done
done
bad=0
cd "$root" || exit 2
while IFS= read -r file; do
  file=${file#./}
  room=$(dirname "$file")
  if [[ -z ${floor[$room]+x} ]]; then
    echo "$file: the room $room/ stands on no floor: add it to the table in $0"
    bad=1
    continue
  fi
  while IFS= read -r target; do
    to=${target%%/*}
    [[ $target == */* ]] || to=.
    [[ -n ${floor[$to]+x} ]] || continue  # a header of the module or the platform, outside the checker
    [[ $to == "$room" ]] && continue
    if ((floor[$to] > floor[$room])); then
      echo "$file includes $target: $to/ stands above $room/"
      bad=1
    elif ((floor[$to] == floor[$room])); then
      echo "$file includes $target: $to/ stands beside $room/, on the same floor"
      bad=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find . -name '*.h' -o -name '*.cpp' | sort)
if ((bad)); then
  echo "include floors: some includes point up or sideways"
  exit 1
fi
echo "include floors: every include of $root points down"
