#!/usr/bin/env bash
# Builds, against an installed release only, the tiny consumer host
# (tests/release/consumer/host) and the release's own samples (host, engine
# and client under PREFIX/samples/src), for each architecture, with CMake and
# mingw-w64:
#
#   build_host.sh PREFIX [WORK_DIR]
#
# PREFIX holds both architectures' share of the release (cmake --install
# build/windows-x64 --component release --prefix PREFIX, and the same for
# windows-x86). The consumer asks find_package(Stub MAJOR.MINOR) of the
# release's own version, read from its package version file; the package must
# refuse the major versions before and after it. Exits non-zero after the
# builds if any failed, having printed the failed ones' logs.
set -uo pipefail
prefix=$(cd "$1" && pwd) || exit 2
work=${2:-$(mktemp -d)}
mkdir -p "$work"
here=$(cd "$(dirname "$0")" && pwd)
version=$(sed -n 's/^set(PACKAGE_VERSION "\([0-9.]*\)")$/\1/p' "$prefix/lib/cmake/Stub/StubConfigVersion.cmake" 2>/dev/null)
[[ -n $version ]] || { echo "FAILED: no PACKAGE_VERSION in $prefix/lib/cmake/Stub/StubConfigVersion.cmake"; exit 1; }
IFS=. read -r major minor _ <<<"$version"
wanted=$major.$minor
refused=($((major + 1)).0)
((major > 0)) && refused+=($((major - 1)).0)

# configure_and_build NAME SOURCE ARCH [CMAKE_ARGS...]: a fresh build folder each time.
configure_and_build() {
  local name=$1 source=$2 arch=$3 triplet
  shift 3
  triplet=$([[ $arch == x64 ]] && echo x86_64-w64-mingw32 || echo i686-w64-mingw32)
  local build=$work/$name-$arch
  rm -rf "$build"
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
        -DCMAKE_C_COMPILER="$triplet-gcc-posix" -DCMAKE_CXX_COMPILER="$triplet-g++-posix" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release "$@" \
        >"$build.log" 2>&1 </dev/null &&
    cmake --build "$build" >>"$build.log" 2>&1 </dev/null
}

# The PE format objdump gives each architecture's programs.
declare -A FORMAT=([x64]=pei-x86-64 [x86]=pei-i386)
failed=0
for arch in x64 x86; do
  for project in consumer sample engine client catalog; do
    args=()
    case $project in
      consumer) source=$here/host args=(-DSTUB_VERSION_WANTED="$wanted") ;;
      sample) source=$prefix/samples/src/host ;;
      *) source=$prefix/samples/src/$project ;;
    esac
    if ! configure_and_build "$project" "$source" "$arch" "${args[@]}"; then
      echo "FAILED: $project host for $arch:"; cat "$work/$project-$arch.log"; failed=1; continue
    fi
    for exe in "$work/$project-$arch"/*.exe "$work/$project-$arch"/*.dll; do
      [[ -e $exe ]] || continue
      if ! objdump -f "$exe" | grep -q "file format ${FORMAT[$arch]}"; then
        echo "FAILED: $exe is not ${FORMAT[$arch]}"; failed=1
      fi
    done
    echo "ok: $project for $arch ($(cd "$work/$project-$arch" && ls *.exe *.dll 2>/dev/null | tr '\n' ' '))"
  done
  # A release answers only for its own major version: a consumer written
  # against the one before or after must not build against it.
  for other in "${refused[@]}"; do
    if configure_and_build version "$here/host" "$arch" -DSTUB_VERSION_WANTED="$other"; then
      echo "FAILED: find_package(Stub $other) was satisfied by release $version for $arch"; failed=1
    elif ! grep -q "requested version \"$other\"" "$work/version-$arch.log"; then
      echo "FAILED: find_package(Stub $other) failed for $arch, but not on the version:"
      cat "$work/version-$arch.log"; failed=1
    else
      echo "ok: find_package(Stub $other) refused by release $version for $arch"
    fi
  done
done
exit $failed
