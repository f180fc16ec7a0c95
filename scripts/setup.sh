#!/usr/bin/env bash
# Installs what the project needs on Debian 12: the host toolchain and test
# libraries, the mingw-w64 cross compilers for 32-bit (i686) and 64-bit
# (x86_64) Windows, 32-bit and 64-bit Wine, and wixl (MSI packages for the
# installer tests). Run as root, or it prints the
# command to run. 32-bit Wine installs on every kernel, though some kernels
# cannot run it; the tests then skip its stage and say so.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  wixl
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1

if [[ ${#missing[@]} -eq 0 && $need_i386 -eq 0 ]]; then
  echo "setup: everything is installed"
  exit 0
fi

cmd="dpkg --add-architecture i386 && apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "setup: missing: ${missing[*]}$([[ $need_i386 -eq 1 ]] && echo " and the i386 architecture")"
  echo "setup: run as root:"
  echo "  $cmd"
  exit 1
fi

echo "setup: installing ${missing[*]}"
[[ $need_i386 -eq 1 ]] && dpkg --add-architecture i386
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "setup: done"
