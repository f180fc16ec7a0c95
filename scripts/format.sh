#!/usr/bin/env bash
# Lays out the C and C++ sources as .clang-format says, with Debian's
# clang-format:
#
#   scripts/format.sh           rewrites every file that differs
#   scripts/format.sh --check   changes nothing; names each file that differs
#                               and exits 1 when there is one
#
# The sources are those git knows of; table rows kept in .inc files are laid
# out by hand, one row a line, and stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}
if ! command -v clang-format >/dev/null; then
  echo "format: clang-format is not installed (scripts/setup.sh installs it)" >&2
  exit 2
fi
mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
if [[ $mode == --check ]]; then
  differ=()
  for f in "${files[@]}"; do
    clang-format --style=file "$f" | cmp -s - "$f" || differ+=("$f")
  done
  if ((${#differ[@]})); then
    printf 'format: %s is not laid out as .clang-format says\n' "${differ[@]}" >&2
    echo "format: ${#differ[@]} of ${#files[@]} files differ; scripts/format.sh lays them out" >&2
    exit 1
  fi
  echo "format: all ${#files[@]} files laid out as .clang-format says"
elif [[ -z $mode ]]; then
  clang-format --style=file -i "${files[@]}"
else
  echo "usage: scripts/format.sh [--check]" >&2
  exit 2
fi
