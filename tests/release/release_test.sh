#!/usr/bin/env bash
# The release: scripts/release.sh run in two clones of this tree's last commit,
# in two temporary folders of different names and depths, each signing with the
# same throwaway certificate. Then:
#   - every file the release promises is there, the sample's module is the
#     64-bit module, SHA256SUMS and the archive's checksum hold, the archive
#     holds exactly the tree, in byte order of names, with the commit's time;
#   - both dist/ folders are the same, byte for byte (archive included);
#   - every Windows file carries an Authenticode signature that osslsigncode
#     verifies against the certificate, and that does not verify against an
#     unrelated one;
#   - a clone with an uncommitted change is refused, and its dist/ is left as
#     it was; every argument is checked before anything is built (paths from
#     the folder run in, the certificate and key one readable pair, an output
#     folder replaced only when an earlier release wrote all it holds).
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
         lib/cmake/Stub/StubConfig.cmake include/stub/stub_engine.h include/stub/stub_engine.tlb \
         include/stub/stub_host.h include/stub/stub_categories.h \
         x86/StubHost.dll x64/StubHost.dll x86/StubHost.Assembly.manifest x64/StubHost.Assembly.manifest \
         x86/list_packages.exe x64/list_packages.exe include/stub/stub_catalog.idl \
         include/stub/stub_catalog.h include/stub/stub_catalog_i.c include/stub/stub_catalog.tlb \
         samples/src/catalog/CMakeLists.txt \
         samples/src/engine/CMakeLists.txt samples/src/host/CMakeLists.txt samples/src/client/CMakeLists.txt \
         "linux-$(uname -m)/stub-check" docs/package-authors.md docs/hosts.md docs/engines.md \
         samples/Aurora.dll samples/Aurora/Style.rgs samples/Aurora/StyleText.rgs README.txt SHA256SUMS; do
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

# Two clones in two folders, the same bytes.
if out=$(diff -r "$dist_a" "$dist_b" 2>&1); then
  pass Release.TwoClonesGiveTheSameBytes
else
  fail Release.TwoClonesGiveTheSameBytes "$(head -n 5 <<<"$out")"
fi

# Signatures: every Windows file verifies against the signer, none against a stranger.
bad=()
for f in $(cd "$dist_a/$tree" && find x86 x64 samples -maxdepth 1 -name '*.dll' -o -maxdepth 1 -name '*.exe'); do
  osslsigncode verify -CAfile "$keys/signer.pem" -in "$dist_a/$tree/$f" \
    >"$first/verify.log" 2>&1 || bad+=("$f (does not verify: $(grep -m1 -i 'fail\|error' "$first/verify.log"))")
  osslsigncode verify -CAfile "$keys/stranger.pem" -in "$dist_a/$tree/$f" \
    >"$first/verify.log" 2>&1 && bad+=("$f (verifies against an unrelated certificate)")
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
# what an earlier release wrote. Each row: the folder to run in, the
# arguments, and 0 (accepted, with --dry-run) or the words of the refusal.
other=$second/other
mkdir -p "$other/stub-user" "$second/run"
echo keep >"$other/notes.txt"
echo keep >"$other/stub-user/stub-notes.txt"
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
)
wrong=()
for row in "${rows[@]}"; do
  IFS='|' read -r dir args want <<<"$row"
  # shellcheck disable=SC2086
  (cd "$dir" && "$clone_a/scripts/release.sh" --dry-run $args) >"$second/out.log" 2>&1 </dev/null
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
