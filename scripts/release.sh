#!/usr/bin/env bash
# Builds a release from this tree and writes it to dist/:
#
#   scripts/release.sh [--out DIR] [--allow-dirty] [--dry-run]
#                      [--sign-cert CERT.pem --sign-key KEY.pem [--sign-pass-file FILE]
#                       [--timestamp URL]...]
#
# Every build is made afresh in its own folder under build/release (release
# configuration, only the targets the release holds): the module for 32-bit
# and 64-bit Windows, the package checker for both and for this Linux machine
# (statically linked). dist/ then holds
#
#   stub-VERSION/             the release tree (layout in its README.txt, what
#                             changed in its CHANGELOG.md)
#   stub-VERSION.zip          the same tree as one archive
#   stub-VERSION.zip.sha256   the archive's checksum, as sha256sum writes it
#
# and the tree's SHA256SUMS lists every other file of the tree.
#
# The output depends only on the committed sources: no time stamps (file and
# archive times are the last commit's time, or SOURCE_DATE_EPOCH when set), no
# build paths, a fixed order in the archive; two runs from two clones give the
# same bytes. A tree with uncommitted changes is refused, since its release
# would match no commit; --allow-dirty builds it anyway.
#
# Paths are taken from the folder the script is run in. The output folder
# (default dist/ in this tree) is replaced whole, so it must be new, empty, or
# one that an earlier run of this script wrote and nobody changed since: it
# recognises its own by the file .stub-release it writes there, which holds
# the checksum of every file it wrote, and refuses a folder that holds any
# other file, at any depth, or one of its files changed. The new release is
# copied beside the output folder, on the same file system, and swapped in
# only when complete: if anything fails, the output folder is as it was and
# the message says where the complete new release is. Every argument is
# checked before anything is built: the programs the run needs, the output
# folder (that a folder can be made where it goes), the tree, and that the
# certificate and key can be read and belong together. --dry-run stops after
# the checks.
#
# README.txt says whether the build is signed, and by whose certificate.
#
# With --sign-cert and --sign-key (PEM files; --sign-pass-file for an
# encrypted key) every Windows file is signed with Authenticode (SHA-256,
# osslsigncode) before the checksums are taken. The signature's signing time
# is the same fixed time, so signing with the same key gives the same bytes;
# --timestamp URL adds a countersignature from that time-stamping server
# (RFC 3161), which makes the signed files differ from run to run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
here=$PWD
jobs=${STUB_JOBS:-$(nproc)}

usage() {
  sed -n '3,6p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
die() { echo "release: $*" >&2; exit 1; }
# An option's value as an absolute path, read from where the script was run.
from_here() { (cd "$here" && realpath -m -- "$1"); }
value() {  # value OPTION ARGS...: the option's value, or usage when it has none
  [[ $# -ge 2 && -n $2 ]] || { echo "release: $1 needs a value" >&2; usage; }
}

out=$root/dist
allow_dirty=0 dry_run=0
cert='' key='' pass_file=''
timestamps=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --out) value "$@"; out=$(from_here "$2"); shift 2 ;;
    --allow-dirty) allow_dirty=1; shift ;;
    --dry-run) dry_run=1; shift ;;
    --sign-cert) value "$@"; cert=$(from_here "$2"); shift 2 ;;
    --sign-key) value "$@"; key=$(from_here "$2"); shift 2 ;;
    --sign-pass-file) value "$@"; pass_file=$(from_here "$2"); shift 2 ;;
    --timestamp) value "$@"; timestamps+=(-ts "$2"); shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "release: unknown argument: $1" >&2; usage ;;
  esac
done
cd "$root"

readable() {  # readable WHAT FILE: a regular file this user can read, or die
  [[ -e $2 ]] || die "$1 $2 does not exist"
  [[ -f $2 ]] || die "$1 $2 is not a file"
  [[ -r $2 ]] || die "$1 $2 cannot be read (permissions)"
  [[ -s $2 ]] || die "$1 $2 is empty"
}
if [[ -n $cert || -n $key ]]; then
  [[ -n $cert && -n $key ]] || die "signing needs both --sign-cert and --sign-key"
  command -v osslsigncode >/dev/null || die "osslsigncode is missing (scripts/setup.sh installs it)"
  command -v openssl >/dev/null || die "openssl is missing (scripts/setup.sh installs it)"
  readable "the certificate" "$cert"
  readable "the key" "$key"
  [[ -z $pass_file ]] || readable "the pass file" "$pass_file"
  # The certificate and the key must be PEM, readable, and one pair: the
  # certificate's public key is the key's.
  cert_pub=$(openssl x509 -in "$cert" -noout -pubkey 2>&1) ||
    die "the certificate $cert is not a PEM certificate: $(head -n 1 <<<"$cert_pub")"
  key_pub=$(openssl pkey -in "$key" -pubout ${pass_file:+-passin "file:$pass_file"} \
              </dev/null 2>&1) ||
    die "the key $key cannot be read as a PEM private key${pass_file:+ with the pass file}: $(head -n 1 <<<"$key_pub")"
  [[ $cert_pub == "$key_pub" ]] || die "the key $key does not belong to the certificate $cert"
elif [[ -n $pass_file || ${#timestamps[@]} -gt 0 ]]; then
  die "--sign-pass-file and --timestamp need --sign-cert and --sign-key"
fi
# Every program the run needs, on PATH now rather than missing an hour in:
# the build tools, the compilers and resource compilers the toolchain files
# name, and the IDL compiler.
missing=()
for tool in git cmake ninja python3 perl sha256sum c++ \
            $(sed -n 's/^set(CMAKE_[A-Z]*_COMPILER \([^ )]*\))$/\1/p' cmake/toolchain-*-mingw.cmake); do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
command -v x86_64-w64-mingw32-widl >/dev/null || command -v i686-w64-mingw32-widl >/dev/null ||
  command -v widl >/dev/null || missing+=(widl)
((${#missing[@]} == 0)) || die "missing from PATH: ${missing[*]} (scripts/setup.sh installs them)"

# The output folder is replaced whole: never the tree, a folder above it, the
# build folders, a file, or a folder that holds anything but what an earlier
# release wrote, unchanged (every file under it, at any depth, proven by the
# checksums in its marker, or for a marker of the earlier kind that names
# only entries, by the release's own SHA256SUMS and archive checksum).
marker=.stub-release
case $out/ in
  "$root"/build/*) die "--out $out is inside the build folders" ;;
esac
[[ $root/ != "${out%/}"/* ]] || die "--out $out would replace this tree"
[[ ! -e $out || -d $out ]] || die "--out $out is a file, not a folder; name a folder"
up=$(dirname "$out")
while [[ ! -e $up ]]; do up=$(dirname "$up"); done
[[ -d $up ]] || die "--out $out lies under $up, which is a file"
# The new release is written beside the output folder, so that folder's
# parent (or the nearest one that exists) must take a new folder; asking the
# file system is the only true test (permissions say nothing to root, or of
# /proc or a read-only mount).
probe=$(mktemp -d "$up/.stub-release-probe.XXXXXX" 2>/dev/null) ||
  die "--out $out cannot be written: no folder can be made in $up"
rmdir "$probe"
only_a_release() {  # checked again just before the folder is replaced
  [[ ! -e $out || -d $out ]] || die "--out $out is a file, not a folder; name a folder"
  [[ -d $out && -n $(ls -A "$out") ]] || return 0
  [[ -f $out/$marker ]] ||
    die "--out $out holds files this script did not write; name a new or empty folder, or an earlier release's"
  local found
  found=$(python3 - "$out" "$marker" <<'EOF'
import hashlib, os, re, sys
out, marker = sys.argv[1], sys.argv[2]
proven, names, lists = {}, set(), set()
def read_sums(path, base):  # sha256sum's lines: "HASH  NAME"
    for line in open(path, encoding="utf-8", errors="replace").read().splitlines():
        if re.fullmatch(r"[0-9a-f]{64}  .+", line):
            proven[os.path.normpath(os.path.join(base, line[66:]))] = line[:64]
        elif line:
            names.add(line)
read_sums(os.path.join(out, marker), "")
if not proven:  # a marker that names entries only: their own checksum lists prove them
    for name in sorted(names):
        for sums, base in ((os.path.join(name, "SHA256SUMS"), name), (name, "")):
            if sums.endswith(("SHA256SUMS", ".sha256")) and os.path.isfile(os.path.join(out, sums)):
                lists.add(sums)
                read_sums(os.path.join(out, sums), base)
def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()
found = []
for folder, dirs, files in os.walk(out):
    for entry in dirs + files:
        path = os.path.join(folder, entry)
        rel = os.path.relpath(path, out)
        if rel == marker or rel in lists or (entry in dirs and not os.path.islink(path)):
            continue
        if os.path.islink(path) or not os.path.isfile(path):
            found.append(rel + " (not a regular file)")
        elif rel not in proven:
            found.append(rel)
        elif digest(path) != proven[rel]:
            found.append(rel + " (changed since the release wrote it)")
print(", ".join(sorted(found)[:3]) + (" and %d more" % (len(found) - 3) if len(found) > 3 else ""))
sys.exit(1 if found else 0)
EOF
  ) || die "--out $out holds $found, which no release wrote as it is; move it away or name another folder"
}
only_a_release

# ---- What is released ------------------------------------------------------------
git rev-parse --git-dir >/dev/null 2>&1 || die "not a git checkout: $root"
if [[ -n $(git status --porcelain) ]]; then
  if ((allow_dirty)); then
    echo "release: WARNING: the tree has uncommitted changes; this release matches no commit"
  else
    git status --short >&2
    die "the tree has uncommitted changes; commit them, or pass --allow-dirty"
  fi
fi
# The one version number, from the project's CMakeLists.txt.
version=$(sed -n 's/^project(StubModule VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[[ -n $version ]] || die "no project VERSION in CMakeLists.txt"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
commit=$(git rev-parse HEAD)
name=stub-$version
echo "release: $name from commit $commit, time $SOURCE_DATE_EPOCH"
if ((dry_run)); then
  echo "release: dry run: the arguments hold; would write $out/$name${cert:+, signed with $cert}"
  exit 0
fi

# ---- Builds ----------------------------------------------------------------------
# Paths of this checkout are written as "." and build folders as "build", so the
# binaries do not depend on where the tree is; the Windows and Linux programs
# are linked stripped (the module always is) and without a link time stamp.
builds=$root/build/release
rm -rf "$builds"
mkdir -p "$builds"
prefix_map="-ffile-prefix-map=$root=. -ffile-prefix-map=$builds=build"
build() {  # build NAME TARGETS [CMAKE_ARGS...]: a fresh release build of TARGETS (comma list)
  local name=$1 targets=$2; shift 2
  local dir=$builds/$name log=$builds/$name.log
  echo "release: building $name"
  if ! { cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
           -DCMAKE_CXX_FLAGS="$prefix_map" -DCMAKE_C_FLAGS="$prefix_map" "$@" &&
         cmake --build "$dir" -j "$jobs" --target ${targets//,/ }; } >"$log" 2>&1 </dev/null; then
    tail -n 40 "$log" >&2
    die "build $name failed (full log: $log)"
  fi
}
host_arch=$(uname -m)
# The Windows builds: everything but the tests; their install rules (component
# "release") lay out what ships of each architecture.
for arch in x86 x64; do
  build "windows-$arch" all --toolchain "$root/cmake/toolchain-$arch-mingw.cmake" \
    -DSTUB_TESTS=OFF -DCMAKE_EXE_LINKER_FLAGS=-s -DCMAKE_SHARED_LINKER_FLAGS=-s
done
build "linux-$host_arch" stub-check -DSTUB_TESTS=OFF -DCMAKE_EXE_LINKER_FLAGS="-static -s"

# ---- The release tree ------------------------------------------------------------
# Made in the build folder and moved to the output folder when complete, so a
# failure (in signing, say) leaves the output folder as it was.
stage=$builds/dist
tree=$stage/$name
mkdir -p "$tree/linux-$host_arch" "$tree/samples/Aurora"
for arch in x86 x64; do
  cmake --install "$builds/windows-$arch" --component release --prefix "$tree" \
    >"$builds/install-$arch.log" 2>&1 || { cat "$builds/install-$arch.log" >&2; die "install of $arch failed"; }
done
install -m 755 "$builds/linux-$host_arch/tools/stub-check/stub-check" \
  "$tree/linux-$host_arch/stub-check"
# The sample package, complete: its scripts and a copy of the 64-bit module
# named as the package (copied below, after signing, from the module it copies).
install -m 644 samples/Aurora/Style.rgs samples/Aurora/StyleText.rgs "$tree/samples/Aurora/"
# What changed in each release, this one's section included.
install -m 644 CHANGELOG.md "$tree/"
# Fixed permissions: programs and nothing else executable.
find "$tree" -type d -exec chmod 755 {} +
find "$tree" -type f -exec chmod 644 {} +
find "$tree" -type f \( -name '*.exe' -o -path "*/linux-$host_arch/*" \) -exec chmod 755 {} +

# ---- Signing ---------------------------------------------------------------------
if [[ -n $cert ]]; then
  sign_args=(-certs "$cert" -key "$key" -h sha256 -n "Stub $version" -time "$SOURCE_DATE_EPOCH")
  [[ -z $pass_file ]] || sign_args+=(-readpass "$pass_file")
  for file in $(cd "$tree" && find x86 x64 -name '*.dll' -o -name '*.exe' | LC_ALL=C sort); do
    echo "release: signing $file"
    if ! osslsigncode sign "${sign_args[@]}" "${timestamps[@]}" -in "$tree/$file" \
           -out "$tree/$file.signed" >"$builds/sign.log" 2>&1; then
      cat "$builds/sign.log" >&2
      rm -f "$tree/$file.signed"
      die "signing $file failed"
    fi
    mv "$tree/$file.signed" "$tree/$file"
  done
  # What README.txt says of the signature, from the certificate that made it.
  subject=$(openssl x509 -in "$cert" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
  issuer=$(openssl x509 -in "$cert" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//')
  fingerprint=$(openssl x509 -in "$cert" -noout -fingerprint -sha256 | sed 's/^.*=//')
  signature="This build is signed: every Windows file (.dll, .exe) carries an
Authenticode signature (SHA-256) by the holder of the certificate
  $subject
issued by $issuer, SHA-256 fingerprint
  $fingerprint"
  ((${#timestamps[@]} == 0)) || signature+=$'\n'"Each signature is countersigned by a time-stamping server."
else
  signature="This build is unsigned: its Windows files carry no Authenticode signature,
so Windows names no publisher for them. Signatures come only with a
code-signing certificate, which the one who builds a release gives the
release script. Check this copy with its checksums instead: in this folder
  sha256sum -c SHA256SUMS
and in the folder of the archive, with the stub-$version.zip.sha256
published beside it:
  sha256sum -c stub-$version.zip.sha256"
fi
python3 - "$tree/README.txt" "$version" "$commit" "$host_arch" "$signature" <<'README'
import sys
out, version, commit, arch, signature = sys.argv[1:6]
text = open("scripts/release-readme.txt", encoding="utf-8").read()
for key, value in (("VERSION", version), ("COMMIT", commit), ("HOST_ARCH", arch), ("SIGNATURE", signature)):
    text = text.replace("@%s@" % key, value)
open(out, "w", encoding="utf-8").write(text)
README
chmod 644 "$tree/README.txt"
install -m 644 "$tree/x64/Stub.dll" "$tree/samples/Aurora.dll"

# ---- Checksums, times and the archive -----------------------------------------------
(cd "$tree" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort |
   xargs -d '\n' sha256sum >SHA256SUMS)
chmod 644 "$tree/SHA256SUMS"
find "$tree" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

# The archive: entries in byte order of their names, each with the fixed time,
# fixed permissions and no owner or extra fields, compressed at one level.
python3 - "$stage" "$name" "$SOURCE_DATE_EPOCH" <<'EOF'
import os, sys, time, zipfile
out, name, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
# A zip entry's time is a local date and time from 1980 on; the UTC form is used.
stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
tree = os.path.join(out, name)
names = []
for folder, _, files in os.walk(tree):
    for f in files:
        names.append(os.path.relpath(os.path.join(folder, f), out))
with zipfile.ZipFile(os.path.join(out, name + ".zip"), "w") as archive:
    for entry in sorted(names, key=lambda n: n.encode()):
        info = zipfile.ZipInfo(entry.replace(os.sep, "/"), date_time=stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3  # Unix, so the permissions below are read
        mode = 0o755 if os.stat(os.path.join(out, entry)).st_mode & 0o100 else 0o644
        info.external_attr = (0o100000 | mode) << 16
        with open(os.path.join(out, entry), "rb") as f:
            archive.writestr(info, f.read(), compresslevel=9)
EOF
(cd "$stage" && sha256sum "$name.zip" >"$name.zip.sha256")
# The marker: the names an earlier version of this script looks for, and the
# checksum of every file written, which proves that a later run may replace it.
{
  printf '%s\n' "$marker" "$name" "$name.zip" "$name.zip.sha256"
  (cd "$stage" && find . -type f ! -name "$marker" -printf '%P\n' | LC_ALL=C sort |
     xargs -d '\n' sha256sum)
} >"$stage/$marker"
touch -d "@$SOURCE_DATE_EPOCH" "$stage/$name.zip" "$stage/$name.zip.sha256" "$stage/$marker"
chmod 644 "$stage/$name.zip" "$stage/$name.zip.sha256" "$stage/$marker"

# ---- Into the output folder ------------------------------------------------------
# The complete release is copied beside the output folder, onto its file
# system, and only then swapped in by two renames, which need no space; the
# earlier release goes last. Whatever fails, the output folder is whole (the
# earlier release or the new one) and the message says where the complete new
# release is.
only_a_release
parent=$(dirname "$out")
mkdir -p "$parent" || die "cannot make $parent; the complete new release is in $stage"
next=$(mktemp -d "$parent/.$(basename "$out").new.XXXXXX") ||
  die "cannot write beside $out; it is as it was, and the complete new release is in $stage"
if ! cp -a "$stage/." "$next/" 2>"$builds/copy.log" || ! chmod 755 "$next"; then
  rm -rf "$next"
  die "writing the new release beside $out failed ($(head -n 1 "$builds/copy.log"));" \
    "$out is as it was, and the complete new release is in $stage"
fi
only_a_release
earlier=
if [[ -e $out ]]; then
  earlier=$(mktemp -u "$parent/.$(basename "$out").earlier.XXXXXX")
  mv -T "$out" "$earlier" ||
    die "cannot move $out aside; it is as it was, and the complete new release is in $next"
fi
if ! mv -T "$next" "$out"; then
  [[ -z $earlier ]] || mv -T "$earlier" "$out"
  die "cannot move the new release to $out; the complete new release is in $next"
fi
[[ -z $earlier ]] || rm -rf "$earlier"
echo "release: wrote $out/$name, $name.zip and $name.zip.sha256"
