#!/usr/bin/env bash
# The release: scripts/release.sh run in two clones of this tree's last commit,
# in two temporary folders of different names and depths, each signing with the
# same throwaway certificate. Then:
#   - every file the release promises is there, the sample's module is the
#     64-bit module, its CHANGELOG.md has a section for its version, SHA256SUMS and the archive's checksum hold, the archive
#     holds exactly the tree, in byte order of names, with the commit's time;
#   - both dist/ folders are the same, byte for byte (archive included);
#   - every Windows file carries an Authenticode signature that osslsigncode
#     verifies against the certificate, and that does not verify against an
#     unrelated one, and README.txt names the certificate; every PE file in
#     the archive carries the release's version resource;
#   - the second run replaces the first's output, and on a full disk (a small
#     tmpfs) a run fails leaving the earlier release whole and naming where
#     the complete new one is; a user's files inside an earlier release, at
#     any depth, make it refuse before building;
#   - a clone with an uncommitted change is refused, and its dist/ is left as
#     it was; every argument is checked before anything is built (paths from
#     the folder run in, the certificate and key one readable pair, an output
#     folder replaced only when an earlier release wrote all it holds, and
#     unchanged; the programs the run needs on PATH).
#
#   tests/release/release_test.sh [RESULT_XML]
#
# Writes a one-line-summary JUnit file in the form the test runner counts
# (default build/test-results/release.xml) and exits non-zero on failure. The
# temporary folders are removed when every check passes and kept otherwise.
# Tests the last commit: uncommitted changes of this tree are not in it.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
result=${1:-$root/build/test-results/release.xml}
mkdir -p "$(dirname "$result")"

source "$root/tests/support/test_results.sh"
finish() {
  write_results "$result" Release
  if ((failures == 0)); then
    rm -rf "$first" "$second"
  else
    echo "release test: kept $first and $second" >&2
  fi
  ((failures == 0))
  exit
}

first=$(mktemp -d "${TMPDIR:-/tmp}/stub-release-a.XXXXXX")
second=$(mktemp -d "${TMPDIR:-/tmp}/stub-release-second-run.XXXXXX")
commit=$(git -C "$root" rev-parse HEAD)
clone_a=$first/src
clone_b=$second/deeper/folder/stub
keys=$first/keys

# A throwaway code-signing certificate, and an unrelated one that must not verify.
mkdir -p "$keys"
for who in signer stranger; do
  if ! openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Stub release test $who" \
         -addext "extendedKeyUsage=codeSigning" -keyout "$keys/$who.key" \
         -out "$keys/$who.pem" >"$keys/$who.log" 2>&1; then
    fail Release.Builds "openssl could not make a certificate: $(tail -n 3 "$keys/$who.log")"
    finish
  fi
done

for clone in "$clone_a" "$clone_b"; do
  mkdir -p "$(dirname "$clone")"
  if ! { git clone -q --no-hardlinks "$root" "$clone" &&
         git -C "$clone" checkout -q --detach "$commit"; } >"$clone.log" 2>&1; then
    fail Release.Builds "git clone into $clone failed: $(tail -n 3 "$clone.log")"
    finish
  fi
  # The second run replaces an earlier release: a copy of the first's output.
  [[ $clone == "$clone_b" ]] && cp -a "$clone_a/dist" "$clone_b/dist"
  echo "release test: scripts/release.sh in $clone"
  if ! "$clone/scripts/release.sh" --sign-cert "$keys/signer.pem" --sign-key "$keys/signer.key" \
         >>"$clone.log" 2>&1 </dev/null; then
    fail Release.Builds "release.sh in $clone failed: $(tail -n 5 "$clone.log")"
    finish
  fi
done
pass Release.Builds

dist_a=$clone_a/dist
dist_b=$clone_b/dist
tree=$(cd "$dist_a" && find . -mindepth 1 -maxdepth 1 -type d -name 'stub-*' -printf '%P\n')
if [[ -z $tree ]]; then
  fail Release.HoldsEverything "no stub-VERSION folder in $dist_a"
  finish
fi

# What the release promises, and the sample's module as the 64-bit one.
missing=()
for f in x86/Stub.dll x64/Stub.dll x86/stub-check.exe x64/stub-check.exe \
         x86/StubSampleEngine.dll x64/StubSampleEngine.dll x86/demo_client.exe x64/demo_client.exe \
         x86/StubSampleEngine.Assembly.manifest x64/StubSampleEngine.Assembly.manifest \
         x86/package_host.exe x64/package_host.exe lib/x86/libstubhost.a lib/x64/libstubhost.a \
         x86/StubProbe.exe x64/StubProbe.exe lib/x86/StubProbe.exe lib/x64/StubProbe.exe \
         lib/cmake/Stub/StubConfig.cmake include/stub/stub_engine.h include/stub/stub_engine.tlb \
         include/stub/stub_host.h include/stub/stub_categories.h \
         x86/StubHost.dll x64/StubHost.dll x86/StubHost.Assembly.manifest x64/StubHost.Assembly.manifest \
         x86/list_packages.exe x64/list_packages.exe include/stub/stub_catalog.idl \
         include/stub/stub_catalog.h include/stub/stub_catalog_i.c include/stub/stub_catalog.tlb \
         samples/src/catalog/CMakeLists.txt \
         samples/src/engine/CMakeLists.txt samples/src/host/CMakeLists.txt samples/src/client/CMakeLists.txt \
         "linux-$(uname -m)/stub-check" docs/package-authors.md docs/hosts.md docs/engines.md \
         samples/Aurora.dll samples/Aurora/Style.rgs samples/Aurora/StyleText.rgs README.txt \
         CHANGELOG.md SHA256SUMS; do
  [[ -s $dist_a/$tree/$f ]] || missing+=("$f")
done
[[ -s $dist_a/$tree.zip && -s $dist_a/$tree.zip.sha256 ]] || missing+=("$tree.zip or its .sha256")
if ((${#missing[@]})); then
  fail Release.HoldsEverything "missing from the release: ${missing[*]}"
elif ! cmp -s "$dist_a/$tree/samples/Aurora.dll" "$dist_a/$tree/x64/Stub.dll"; then
  fail Release.HoldsEverything "samples/Aurora.dll is not the 64-bit module"
else
  pass Release.HoldsEverything
fi

# The shipped CHANGELOG.md has the release's version as its newest section.
if "$root/tests/release/changelog_check.sh" "$dist_a/$tree/CHANGELOG.md" "${tree#stub-}" \
     >"$first/changelog.log" 2>&1; then
  pass Release.ChangelogHasItsVersion
else
  fail Release.ChangelogHasItsVersion "$(cat "$first/changelog.log")"
fi

# The checksums hold, and cover every file of the tree.
listed=$(awk '{print $2}' "$dist_a/$tree/SHA256SUMS" | LC_ALL=C sort)
present=$(cd "$dist_a/$tree" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort)
if ! out=$(cd "$dist_a/$tree" && sha256sum --quiet -c SHA256SUMS 2>&1); then
  fail Release.ChecksumsHold "SHA256SUMS: $out"
elif ! out=$(cd "$dist_a" && sha256sum --quiet -c "$tree.zip.sha256" 2>&1); then
  fail Release.ChecksumsHold "$tree.zip.sha256: $out"
elif [[ $listed != "$present" ]]; then
  fail Release.ChecksumsHold "SHA256SUMS lists [$(tr '\n' ' ' <<<"$listed")]," \
    "the tree holds [$(tr '\n' ' ' <<<"$present")]"
else
  pass Release.ChecksumsHold
fi

# The archive: the tree's files exactly, in byte order, each at the commit's time.
if out=$(python3 - "$dist_a" "$tree" "$(git -C "$root" log -1 --format=%ct "$commit")" <<'EOF' 2>&1
import os, sys, time, zipfile
dist, tree, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(epoch)[:5] + (time.gmtime(epoch)[5] // 2 * 2,)
files = sorted(os.path.relpath(os.path.join(d, f), dist)
               for d, _, fs in os.walk(os.path.join(dist, tree)) for f in fs)
archive = zipfile.ZipFile(os.path.join(dist, tree + ".zip"))
names = [i.filename for i in archive.infolist()]
problems = []
if names != sorted(names, key=str.encode):
    problems.append("entries not in byte order")
if sorted(names) != sorted(files):
    problems.append("entries %s, tree %s" % (names, files))
for info in archive.infolist():
    if info.date_time != stamp:
        problems.append("%s dated %s, not %s" % (info.filename, info.date_time, stamp))
    elif info.filename in files and archive.read(info) != open(os.path.join(dist, info.filename), "rb").read():
        problems.append("%s differs from the tree's file" % info.filename)
print("; ".join(problems))
sys.exit(1 if problems else 0)
EOF
); then
  pass Release.ArchiveIsTheTreeInAFixedOrderAndTime
else
  fail Release.ArchiveIsTheTreeInAFixedOrderAndTime "$out"
fi

# Two clones in two folders, the same bytes; the second replaced the earlier
# release it found and left nothing beside it.
if ! out=$(diff -r "$dist_a" "$dist_b" 2>&1); then
  fail Release.TwoClonesGiveTheSameBytes "$(head -n 5 <<<"$out")"
elif [[ -n $(cd "$clone_b" && ls -A | grep '^\.dist\.') ]]; then
  fail Release.TwoClonesGiveTheSameBytes "left beside dist/: $(cd "$clone_b" && ls -A | grep '^\.dist\.')"
else
  pass Release.TwoClonesGiveTheSameBytes
fi

# Every PE file in the archive carries a version resource with the release's
# file and product version, a company and a description, as binutils reads it.
version=${tree#stub-}
IFS=. read -r v1 v2 v3 v4 _ <<<"$version.0.0.0"
mkdir -p "$first/unzipped"
unzip -q -o "$dist_a/$tree.zip" -d "$first/unzipped"
bad=() count=0
while IFS= read -r -d '' f; do
  [[ $(head -c 2 "$f") == MZ ]] || continue
  count=$((count + 1))
  case $(objdump -f "$f" 2>/dev/null) in
    *pei-x86-64*) windres=x86_64-w64-mingw32-windres ;;
    *pei-i386*) windres=i686-w64-mingw32-windres ;;
    *) bad+=("${f#"$first/unzipped/"} (not a PE file objdump reads)"); continue ;;
  esac
  rc=$("$windres" -i "$f" -O rc 2>&1 | grep -v '^ *0x')
  missing=()
  for want in "FILEVERSION $v1, $v2, $v3, $v4" "PRODUCTVERSION $v1, $v2, $v3, $v4" \
              "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\""; do
    grep -qF -- "$want" <<<"$rc" || missing+=("$want")
  done
  for key in CompanyName FileDescription; do
    grep -qE "VALUE \"$key\", \"[^\"]+\"" <<<"$rc" || missing+=("$key")
  done
  ((${#missing[@]} == 0)) || bad+=("${f#"$first/unzipped/"} (no ${missing[*]})")
done < <(find "$first/unzipped" -type f -print0)
if ((${#bad[@]})); then
  fail Release.EveryWindowsFileHasItsVersion "${bad[*]}"
elif ((count < 15)); then
  fail Release.EveryWindowsFileHasItsVersion "only $count PE files in the archive"
else
  pass Release.EveryWindowsFileHasItsVersion
fi

# Signatures: every Windows file verifies against the signer, none against a stranger.
bad=()
for f in $(cd "$dist_a/$tree" && find x86 x64 samples -maxdepth 1 -name '*.dll' -o -maxdepth 1 -name '*.exe'); do
  osslsigncode verify -CAfile "$keys/signer.pem" -in "$dist_a/$tree/$f" \
    >"$first/verify.log" 2>&1 || bad+=("$f (does not verify: $(grep -m1 -i 'fail\|error' "$first/verify.log"))")
  osslsigncode verify -CAfile "$keys/stranger.pem" -in "$dist_a/$tree/$f" \
    >"$first/verify.log" 2>&1 && bad+=("$f (verifies against an unrelated certificate)")
done
# README.txt says it is signed, by the certificate's subject and fingerprint.
fingerprint=$(openssl x509 -in "$keys/signer.pem" -noout -fingerprint -sha256 | sed 's/^.*=//')
for want in "This build is signed" "CN=Stub release test signer" "$fingerprint"; do
  grep -qF -- "$want" "$dist_a/$tree/README.txt" || bad+=("README.txt does not say '$want'")
done
if ((${#bad[@]})); then
  fail Release.EveryWindowsFileIsSigned "${bad[*]}"
else
  pass Release.EveryWindowsFileIsSigned
fi

# The release used alone, as its users would, under Wine (its own result file).
if "$root/tests/release/release_alone_test.sh" "$dist_a/$tree.zip" \
     "$(dirname "$result")/release-alone.xml"; then
  pass Release.UsedAlone
else
  fail Release.UsedAlone "see the ReleaseAlone cases above"
fi

# A full disk: a tmpfs holding an earlier release and barely more. A user's
# files inside that release (at any depth) make the run refuse before it
# builds; without them, the run fails writing the new release, and leaves
# the earlier one whole, nothing beside it, and a message naming where the
# complete new release is, which holds and says it is unsigned.
disk=$second/disk
mkdir -p "$disk"
pages=$(du -s --block-size=4096 "$dist_a" | cut -f 1)
if ! mount -t tmpfs -o size=$(((pages + 64) * 4096)) stub-release-test "$disk" 2>"$second/mount.log"; then
  echo "release test: Release.FullDiskKeepsTheEarlierRelease SKIPPED: no tmpfs ($(cat "$second/mount.log"))"
else
  trap 'umount "$disk" 2>/dev/null' EXIT
  cp -a "$dist_a" "$disk/dist"
  mkdir -p "$disk/dist/$tree/mywork"
  echo mine >"$disk/dist/$tree/MY-NOTES.txt"
  echo mine >"$disk/dist/$tree/mywork/file.txt"
  problem=
  if "$clone_b/scripts/release.sh" --out "$disk/dist" >"$second/user-files.log" 2>&1 </dev/null; then
    problem+="a release with a user's files in it was replaced; "
  elif ! grep -qF "MY-NOTES.txt, $tree/mywork/file.txt" "$second/user-files.log"; then
    problem+="refused without naming the user's files: $(tail -n 1 "$second/user-files.log"); "
  elif grep -q "building" "$second/user-files.log"; then
    problem+="refused only after building; "
  fi
  rm -r "$disk/dist/$tree/MY-NOTES.txt" "$disk/dist/$tree/mywork"
  before=$(cd "$disk/dist" && find . -type f -exec sha256sum {} + | LC_ALL=C sort)
  dd if=/dev/zero of="$disk/filler" bs=4096 >/dev/null 2>&1
  truncate -s -8K "$disk/filler"
  "$clone_b/scripts/release.sh" --out "$disk/dist" >"$second/full.log" 2>&1 </dev/null
  code=$?
  complete=$(sed -n 's/.*the complete new release is in \([^ ]*\)$/\1/p' "$second/full.log" | tail -n 1)
  if ((code == 0)); then
    problem+="the run on a full disk succeeded; "
  elif [[ $(cd "$disk/dist" && find . -type f -exec sha256sum {} + | LC_ALL=C sort) != "$before" ]]; then
    problem+="the earlier release changed: $(tail -n 2 "$second/full.log"); "
  elif [[ -n $(ls -A "$disk" | grep -v '^dist$\|^filler$') ]]; then
    problem+="left on the disk: $(ls -A "$disk" | tr '\n' ' '); "
  elif ! grep -qF "$disk/dist is as it was" "$second/full.log" || [[ -z $complete ]]; then
    problem+="the message names no complete release: $(tail -n 2 "$second/full.log"); "
  elif ! (cd "$complete/$tree" && sha256sum --quiet -c SHA256SUMS) >/dev/null 2>&1 ||
       ! (cd "$complete" && sha256sum --quiet -c "$tree.zip.sha256") >/dev/null 2>&1; then
    problem+="$complete is not a complete release; "
  elif ! grep -q "This build is unsigned" "$complete/$tree/README.txt" ||
       ! grep -qF "sha256sum -c SHA256SUMS" "$complete/$tree/README.txt"; then
    problem+="README.txt of an unsigned build does not say so: $(grep -i -m1 signed "$complete/$tree/README.txt"); "
  fi
  umount "$disk"
  trap - EXIT
  [[ -z $problem ]] && pass Release.FullDiskKeepsTheEarlierRelease ||
    fail Release.FullDiskKeepsTheEarlierRelease "$problem"
fi

# An uncommitted change is refused before anything is built or removed.
before=$(cd "$dist_b" && find . -type f -exec sha256sum {} + | LC_ALL=C sort)
echo "// uncommitted" >>"$clone_b/src/exports/exports.cpp"
if "$clone_b/scripts/release.sh" >"$second/dirty.log" 2>&1 </dev/null; then
  fail Release.RefusesAnUncommittedTree "release.sh built a tree with an uncommitted change"
elif ! grep -q "uncommitted changes" "$second/dirty.log"; then
  fail Release.RefusesAnUncommittedTree "no reason given: $(tail -n 3 "$second/dirty.log")"
elif [[ $(cd "$dist_b" && find . -type f -exec sha256sum {} + | LC_ALL=C sort) != "$before" ]]; then
  fail Release.RefusesAnUncommittedTree "the refused run changed dist/"
else
  pass Release.RefusesAnUncommittedTree
fi

# Arguments are checked before anything is built, paths read from the folder
# the script is run in, and an output folder is replaced only when it holds
# what an earlier release wrote, unchanged; the programs the run needs are
# on PATH. Each row: the folder to run in, the arguments, 0 (accepted, with
# --dry-run) or the words of the refusal, and a program to take off PATH.
other=$second/other
mkdir -p "$other/stub-user" "$second/run"
echo keep >"$other/notes.txt"
echo keep >"$other/stub-user/stub-notes.txt"
# Earlier releases: with a user's file at the top of its tree and deeper, with
# a file of its own changed, and one whose marker only names its entries (as
# earlier versions of the script wrote it), proven by its own checksums.
for copy in notes deep changed names names-deep; do cp -a "$dist_a" "$second/earlier-$copy"; done
echo mine >"$second/earlier-notes/$tree/MY-NOTES.txt"
mkdir -p "$second/earlier-deep/$tree/mywork" "$second/earlier-names-deep/$tree/x64/mywork"
echo mine >"$second/earlier-deep/$tree/mywork/file.txt"
echo mine >"$second/earlier-names-deep/$tree/x64/mywork/file.txt"
echo mine >>"$second/earlier-changed/$tree/README.txt"
for copy in names names-deep; do
  printf '%s\n' .stub-release "$tree" "$tree.zip" "$tree.zip.sha256" >"$second/earlier-$copy/.stub-release"
done
# PATH without one program: links to every other one.
for tool in cmake ninja osslsigncode; do
  mkdir -p "$second/without-$tool"
  for dir in ${PATH//:/ }; do
    for f in "$dir"/*; do
      [[ -x $f && ${f##*/} != "$tool" && ! -e $second/without-$tool/${f##*/} ]] &&
        ln -s "$f" "$second/without-$tool/"
    done
  done
done
cp "$keys/signer.pem" "$keys/signer.key" "$second/run/"
echo junk >"$second/run/junk.pem"
: >"$second/run/empty.key"
rows=(
  "$second/run|--sign-cert signer.pem --sign-key signer.key --out fresh|0"
  "$second/run|--out $dist_a|0"
  "$second/run|--out $clone_a|would replace this tree"
  "$second/run|--out $(dirname "$clone_a")|would replace this tree"
  "$second/run|--out $other|holds files this script did not write"
  "$second/run|--out $other/notes.txt|is a file, not a folder"
  "$second/run|--out $other/notes.txt/dist|which is a file"
  "$second/run|--out $other/stub-user|holds files this script did not write"
  "$second/run|--sign-cert junk.pem --sign-key signer.key|is not a PEM certificate"
  "$second/run|--sign-cert signer.pem --sign-key empty.key|is empty"
  "$second/run|--sign-cert signer.pem --sign-key $keys/stranger.key|does not belong to the certificate"
  "$second/run|--sign-cert missing.pem --sign-key signer.key|does not exist"
  "$second/run|--out $second/earlier-notes|$tree/MY-NOTES.txt, which no release wrote"
  "$second/run|--out $second/earlier-deep|$tree/mywork/file.txt, which no release wrote"
  "$second/run|--out $second/earlier-changed|$tree/README.txt (changed since the release wrote it)"
  "$second/run|--out $second/earlier-names|0"
  "$second/run|--out $second/earlier-names-deep|$tree/x64/mywork/file.txt, which"
  "$second/run|--out /proc/x|cannot be written"
  "$second/run|--out fresh|missing from PATH: cmake|cmake"
  "$second/run|--out fresh|missing from PATH: ninja|ninja"
  "$second/run|--sign-cert signer.pem --sign-key signer.key|osslsigncode is missing|osslsigncode"
  "$second/run|--out fresh|0|osslsigncode"
)
wrong=()
for row in "${rows[@]}"; do
  IFS='|' read -r dir args want hidden <<<"$row"
  path=$PATH
  [[ -z $hidden ]] || path=$second/without-$hidden
  # shellcheck disable=SC2086
  (cd "$dir" && PATH=$path "$clone_a/scripts/release.sh" --dry-run $args) >"$second/out.log" 2>&1 </dev/null
  code=$?
  if [[ $want == 0 ]]; then
    [[ $code == 0 ]] || wrong+=("[$args] refused: $(tail -n 1 "$second/out.log")")
  elif [[ $code == 0 ]]; then
    wrong+=("[$args] accepted")
  elif ! grep -qF -- "$want" "$second/out.log"; then
    wrong+=("[$args] refused without '$want': $(tail -n 1 "$second/out.log")")
  fi
done
if ((${#wrong[@]})); then
  fail Release.ChecksEveryArgumentFirst "$(printf '%s; ' "${wrong[@]}")"
elif [[ ! -f $clone_a/scripts/release.sh || $(cat "$other/notes.txt" "$other/stub-user/stub-notes.txt") != $'keep\nkeep' ]]; then
  fail Release.ChecksEveryArgumentFirst "a refused run removed files"
else
  pass Release.ChecksEveryArgumentFirst
fi

finish
