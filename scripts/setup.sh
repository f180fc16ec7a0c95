#!/usr/bin/env bash
# Installs what the project needs on Debian 12, in two steps:
#
#  1. the host toolchain and test libraries, the mingw-w64 cross compilers and
#     tools for 32-bit (i686) and 64-bit (x86_64) Windows, 64-bit Wine, and the
#     release and installer tools. Setup fails if any of these cannot be had.
#  2. 32-bit Wine (wine32:i386). It may fail: its i386 packages sometimes lag
#     the amd64 ones on a mirror, and some kernels cannot run it anyway. Setup
#     then says why and still succeeds; the tests and the demo skip the 32-bit
#     Wine stage and say so.
#
# A package index that fails to download (a mirror in the middle of a sync) is
# retried a few times, then left out: the lists already there are used.
# Run as root, or it prints the commands to run. apt-get, dpkg, dpkg-query and
# id are called by name, so a test can put stand-ins before them on PATH.
# STUB_SETUP_TRIES (default 3) and STUB_SETUP_PAUSE (seconds, default 15) set
# the retries of the index download.
set -uo pipefail

base=(
  cmake ninja-build g++ clang libclang-rt-14-dev python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-tools
  wine wine64
  git openssl osslsigncode wixl msitools libxml2-utils time unzip
  nlohmann-json3-dev
)
wine32=(wine32:i386)
tries=${STUB_SETUP_TRIES:-3}
pause=${STUB_SETUP_PAUSE:-15}
export DEBIAN_FRONTEND=noninteractive

missing_of() {  # missing_of PACKAGE...: prints those not installed, one a line
  local p status
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || status=
    [[ $status == "install ok installed" ]] || echo "$p"
  done
}

# apt's own reason: its error lines, or its last lines when it printed none.
reason_of() {  # reason_of LOGFILE
  local r
  r=$(grep -E '^(E:|Err:)| : Depends: |held broken packages' "$1" | sed 's/^ *//' | sort -u | head -n 8)
  [[ -n $r ]] || r=$(tail -n 3 "$1")
  printf '%s\n' "$r"
}

mapfile -t need_base < <(missing_of "${base[@]}")
mapfile -t need_wine32 < <(missing_of "${wine32[@]}")
need_i386=0
if [[ ${#need_wine32[@]} -gt 0 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_i386=1
fi

if [[ ${#need_base[@]} -eq 0 && ${#need_wine32[@]} -eq 0 ]]; then
  echo "setup: everything is installed"
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing: ${need_base[*]} ${need_wine32[*]}"
  echo "setup: run as root (sudo $0), or these commands:"
  [[ $need_i386 -eq 1 ]] && echo "  dpkg --add-architecture i386"
  echo "  apt-get update"
  [[ ${#need_base[@]} -gt 0 ]] &&
    echo "  apt-get install -y --no-install-recommends ${need_base[*]}"
  [[ ${#need_wine32[@]} -gt 0 ]] &&
    echo "  apt-get install -y --no-install-recommends ${need_wine32[*]}   # 32-bit Wine, optional"
  exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT

if [[ $need_i386 -eq 1 ]] && ! dpkg --add-architecture i386; then
  echo "setup: 'dpkg --add-architecture i386' failed; 32-bit Wine will not be installed"
  need_wine32=()
fi

# Index download: a failed index is retried, then left out with a word.
echo "setup: updating the package lists"
for ((try = 1; ; try++)); do
  if apt-get update -q >"$log" 2>&1; then
    break
  fi
  if ((try >= tries)); then
    failed=$(grep -oE 'Failed to fetch [^ ]+' "$log" | awk '{print $4}' | sort -u | tr '\n' ' ')
    echo "setup: 'apt-get update' failed $tries times; going on with the package lists there are."
    echo "setup: index that failed: ${failed:-(apt named none)}"
    reason_of "$log" | sed 's/^/setup:   /'
    break
  fi
  echo "setup: 'apt-get update' failed (try $try of $tries); trying again in ${pause}s"
  sleep "$pause"
done

install() {  # install PACKAGE...: apt-get install, its output in $log
  apt-get install -y -q --no-install-recommends "$@" >"$log" 2>&1
}

if [[ ${#need_base[@]} -gt 0 ]]; then
  echo "setup: installing ${need_base[*]}"
  if ! install "${need_base[@]}"; then
    echo "setup: FAILED: these packages could not be installed: ${need_base[*]}"
    echo "setup: apt said:"
    reason_of "$log" | sed 's/^/setup:   /'
    echo "setup: once the package mirror answers again, run again: sudo $0"
    exit 1
  fi
fi

if [[ ${#need_wine32[@]} -gt 0 ]]; then
  echo "setup: installing 32-bit Wine (${need_wine32[*]})"
  if ! install "${need_wine32[@]}"; then
    why=$(reason_of "$log" | tr '\n' ' ' | sed 's/ *$//')
    echo "setup: 32-bit Wine could not be installed (apt: $why); the tests and the demo will skip the 32-bit Wine stage. Run 'sudo $0' again later to add it."
  fi
fi
echo "setup: done"
