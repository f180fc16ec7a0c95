#!/usr/bin/env bash
# Installs what the project needs on Debian 12, in two steps:
#
#  1. the host toolchain and test libraries, the mingw-w64 cross compilers and
#     tools for 32-bit (i686) and 64-bit (x86_64) Windows, 64-bit Wine, and the
#     release and installer tools. Setup fails if any of these cannot be had.
#     Then the editor extension's npm packages (editors/vscode/install-packages.sh)
#     and the SARIF Multitool the tests validate the checker's SARIF with
#     (tests/check/sarif/install-packages.sh).
#  2. 32-bit Wine (wine32:i386). Its i386 packages sometimes lag the amd64
#     ones on a mirror: an amd64 "Multi-Arch: same" package installed from a
#     suite whose i386 index failed has no i386 twin of its version, and apt
#     refuses with broken packages. Setup then installs it again with each such
#     package moved to the newest version both architectures can have, and
#     names each one moved. If that fails too (and some kernels cannot run
#     32-bit Wine anyway), setup says why and still succeeds; the tests and the
#     demo skip the 32-bit Wine stage and say so.
#
# A package index that fails to download (a mirror in the middle of a sync) is
# retried a few times, then left out: the lists already there are used.
# Run as root, or it prints the commands to run. apt-get, apt-cache, dpkg,
# dpkg-query and id are called by name, so a test can put stand-ins before them
# on PATH.
# STUB_SETUP_TRIES (default 3) and STUB_SETUP_PAUSE (seconds, default 15) set
# the retries of the index download.
set -uo pipefail

base=(
  cmake ninja-build g++ clang clang-tidy libclang-rt-14-dev python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-tools
  wine wine64
  git openssl osslsigncode wixl msitools libxml2-utils time unzip
  nlohmann-json3-dev procps clang-format neovim
)
wine32=(wine32:i386)
command -v npm >/dev/null || base+=(nodejs npm)
editor_packages=$(dirname "$0")/../editors/vscode/install-packages.sh
sarif_packages=$(dirname "$0")/../tests/check/sarif/install-packages.sh
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

# Installed "Multi-Arch: same" packages of the machine's own architecture, as
# NAME VERSION lines.
multiarch_installed() {
  dpkg-query -W -f='${Package}\t${Architecture}\t${Version}\t${Multi-Arch}\t${db:Status-Status}\n' 2>/dev/null |
    awk -F'\t' '$4 == "same" && $2 != "i386" && $5 == "installed" { print $1, $3 }'
}

# apt-cache policy's version tables as NAME VERSION lines, newest first, NAME
# as policy heads it: bare for the machine's own architecture, else NAME:i386.
policy_versions() {  # policy_versions NAME...
  apt-cache policy "$@" 2>/dev/null | awk '
    /^[^ ].*:$/   { name = substr($0, 1, length($0) - 1); next }
    /^ \*\*\* /    { print name, $2; next }
    /^     [^ ]/  { print name, $1 }'
}

# The installed multi-arch packages whose version has no i386 twin to be had,
# where the newest version both architectures can have is older than the
# installed one, as lines of NAME INSTALLED SHARED. Where that version is newer,
# apt moves both architectures up to it by itself; where there is none, there
# is nothing to move to: both are left out.
twinless() {
  local installed names
  installed=$(multiarch_installed)
  [[ -n $installed ]] || return 0
  mapfile -t names < <(awk '{ print $1 }' <<<"$installed")
  awk 'FNR == NR { have[$1] = $2; order[++n] = $1; next }
       $1 ~ /:i386$/ { twin[substr($1, 1, length($1) - 5), $2] = 1; next }
       { own[$1] = own[$1] " " $2 }
       END {
         for (i = 1; i <= n; i++) {
           p = order[i]
           if ((p, have[p]) in twin) continue
           k = split(own[p], v, " "); older = 0
           for (j = 1; j <= k; j++) {
             if ((p, v[j]) in twin) { if (older) print p, have[p], v[j]; break }
             if (v[j] == have[p]) older = 1
           }
         }
       }' <(printf '%s\n' "$installed") <(policy_versions "${names[@]}" "${names[@]/%/:i386}")
}

mapfile -t need_base < <(missing_of "${base[@]}")
mapfile -t need_wine32 < <(missing_of "${wine32[@]}")
need_i386=0
if [[ ${#need_wine32[@]} -gt 0 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_i386=1
fi

if [[ ${#need_base[@]} -eq 0 && ${#need_wine32[@]} -eq 0 ]]; then
  echo "setup: everything is installed"
  "$editor_packages" && "$sarif_packages"
  exit
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
  echo "  $editor_packages"
  echo "  $sarif_packages"
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

# 32-bit Wine refused for broken packages: installed again with each package
# that has no i386 twin moved to a version both architectures have. Says what
# it moved once that install succeeds; fails, its output in $log, otherwise.
install_wine32_with_twins() {
  local moves pins=() name from to
  grep -qE 'generated breaks|held broken packages' "$log" || return 1
  moves=$(twinless)
  [[ -n $moves ]] || return 1
  while read -r name from to; do pins+=("$name=$to"); done <<<"$moves"
  echo "setup: apt refused for broken packages; trying again with ${pins[*]}"
  install --allow-downgrades "${need_wine32[@]}" "${pins[@]}" || return 1
  while read -r name from to; do
    echo "setup: moved back $name from $from to $to: the mirror has no i386 $name $from, and 32-bit Wine needs both architectures at one version"
  done <<<"$moves"
}

if [[ ${#need_wine32[@]} -gt 0 ]]; then
  echo "setup: installing 32-bit Wine (${need_wine32[*]})"
  if ! install "${need_wine32[@]}" && ! install_wine32_with_twins; then
    why=$(reason_of "$log" | tr '\n' ' ' | sed 's/ *$//')
    echo "setup: 32-bit Wine could not be installed (apt: $why); the tests and the demo will skip the 32-bit Wine stage. Run 'sudo $0' again later to add it."
  fi
fi
"$editor_packages" || exit 1
"$sarif_packages" || exit 1
echo "setup: done"
