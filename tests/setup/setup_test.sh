#!/usr/bin/env bash
# scripts/setup.sh's decisions, with stand-ins for apt-get, apt-cache, dpkg,
# dpkg-query, id and npm first on PATH: nothing on the machine is changed. Each case states
# what the stand-ins answer and what setup must do: its exit code, the words
# it must say, and which apt calls it makes.
#
#   tests/setup/setup_test.sh [RESULT_XML]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
result=${1:-$root/build/test-results/setup.xml}
mkdir -p "$(dirname "$result")"
source "$root/tests/support/test_results.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/stub-setup-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
fake=$work/bin
mkdir -p "$fake"

# The stand-ins log every call to $FAKE_LOG and answer from these settings:
#   FAKE_INSTALLED  packages dpkg-query reports installed ("all" for every one)
#   FAKE_UPDATE     "ok", "fail" (every time) or "once" (fails the first time)
#   FAKE_BROKEN     a package whose installation apt refuses
#   FAKE_FIXED      a NAME=VERSION that, named with FAKE_BROKEN, lets apt install it
#   FAKE_MULTIARCH  installed amd64 "Multi-Arch: same" packages: NAME=VERSION,...
#   FAKE_POLICY     the versions each architecture can have, newest first:
#                   NAME=V1/V2,NAME:i386=V2,... (the installed one is marked)
#   FAKE_UID        what id -u answers
cat >"$fake/dpkg-query" <<'STUB'
#!/usr/bin/env bash
if [[ $* == *'${Multi-Arch}'* ]]; then  # the listing of every package
  IFS=, read -ra rows <<<"$FAKE_MULTIARCH"
  for row in "${rows[@]}"; do
    printf '%s\tamd64\t%s\tsame\tinstalled\n' "${row%%=*}" "${row#*=}"
  done
  printf 'wine\tamd64\t8.0~repack-4\tforeign\tinstalled\n'
  exit 0
fi
p=${!#}
if [[ $FAKE_INSTALLED == all || " $FAKE_INSTALLED " == *" $p "* ]]; then
  printf 'install ok installed'
else
  echo "dpkg-query: no packages found matching $p" >&2; exit 1
fi
STUB
cat >"$fake/dpkg" <<'STUB'
#!/usr/bin/env bash
echo "dpkg $*" >>"$FAKE_LOG"
[[ $1 == --print-foreign-architectures ]] && [[ $FAKE_INSTALLED == all ]] && echo i386
exit 0
STUB
cat >"$fake/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_LOG"
case $1 in
  update)
    if [[ $FAKE_UPDATE == fail || ($FAKE_UPDATE == once && ! -e $FAKE_LOG.updated) ]]; then
      touch "$FAKE_LOG.updated"
      echo "Err:4 http://mirror.test/debian-security bookworm-security/main i386 Packages"
      echo "E: Failed to fetch http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    if [[ -n $FAKE_BROKEN && " $* " == *" $FAKE_BROKEN "* &&
          ! (-n $FAKE_FIXED && " $* " == *" $FAKE_FIXED "*) ]]; then
      echo "Some packages could not be installed."
      echo " $FAKE_BROKEN : Depends: libbrotli1:i386 (>= 0.6.0) but it is not going to be installed"
      echo "E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages."
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi ;;
esac
exit 0
STUB
cat >"$fake/apt-cache" <<'STUB'
#!/usr/bin/env bash
echo "apt-cache $*" >>"$FAKE_LOG"
[[ $1 == policy ]] || exit 0
shift
IFS=, read -ra rows <<<"$FAKE_POLICY"
IFS=, read -ra installed <<<"$FAKE_MULTIARCH"
for name in "$@"; do
  for row in "${rows[@]}"; do
    [[ ${row%%=*} == "$name" ]] || continue
    have=
    for i in "${installed[@]}"; do [[ ${i%%=*} == "$name" ]] && have=${i#*=}; done
    IFS=/ read -ra versions <<<"${row#*=}"
    arch=amd64; [[ $name == *:i386 ]] && arch=i386
    echo "$name:"
    echo "  Installed: ${have:-(none)}"
    echo "  Candidate: ${versions[0]}"
    echo "  Version table:"
    for v in "${versions[@]}"; do
      if [[ $v == "$have" ]]; then echo " *** $v 500"; else echo "     $v 500"; fi
      echo "        500 http://mirror.test/debian bookworm/main $arch Packages"
      [[ $v == "$have" ]] && echo "        100 /var/lib/dpkg/status"
    done
  done
done
exit 0
STUB
printf '#!/usr/bin/env bash\necho "${FAKE_UID:-0}"\n' >"$fake/id"
# npm (the editor extension's packages): logged, nothing installed.
printf '#!/usr/bin/env bash\necho "npm $*" >>"$FAKE_LOG"\n' >"$fake/npm"
chmod +x "$fake"/*

# case NAME EXIT 'SETTINGS' 'MUST SAY' 'APT CALLS' ['WINE32 LINES']
# APT CALLS are the apt-get verbs in order; empty means no apt-get call at all.
# WINE32 LINES, when given, are the whole apt-get lines naming wine32, in order.
case_() {
  local name=$1 want=$2 settings=$3 say=$4 calls=$5 lines=${6-} out code log=$work/$1.log
  rm -f "$log" "$log.updated"
  out=$(env FAKE_LOG="$log" FAKE_INSTALLED="" FAKE_UPDATE=ok FAKE_BROKEN="" FAKE_FIXED="" \
        FAKE_MULTIARCH="" FAKE_POLICY="" FAKE_UID=0 $settings \
        STUB_SETUP_PAUSE=0 PATH="$fake:$PATH" bash "$root/scripts/setup.sh" 2>&1)
  code=$?
  local got_calls got_lines
  got_calls=$(grep '^apt-get' "$log" 2>/dev/null | awk '{print $2}' | tr '\n' ' ' | sed 's/ $//')
  got_lines=$(grep '^apt-get .*wine32' "$log" 2>/dev/null)
  if [[ $code -ne $want ]]; then
    fail "$name" "exit $code, wanted $want; output: $out"
  elif ! grep -qF -- "$say" <<<"$out"; then
    fail "$name" "did not say '$say'; output: $out"
  elif [[ $got_calls != "$calls" ]]; then
    fail "$name" "apt-get calls '$got_calls', wanted '$calls'; output: $out"
  elif [[ -n $lines && $got_lines != "$lines" ]]; then
    fail "$name" "apt-get ran '$got_lines', wanted '$lines'; output: $out"
  else
    pass "$name"
  fi
}

case_ index_fails_then_goes_on 0 "FAKE_UPDATE=fail" \
  "index that failed: http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz" \
  "update update update install install"
plain="apt-get install -y -q --no-install-recommends wine32:i386"
case_ index_fails_once_retried 0 "FAKE_UPDATE=once" \
  "'apt-get update' failed (try 1 of 3)" "update update install install" "$plain"
case_ wine32_step_fails 0 "FAKE_BROKEN=wine32:i386" \
  "32-bit Wine could not be installed (apt: " "update install install" "$plain"

# The security suite's i386 index missing: its amd64 gstreamer library has no
# i386 twin and goes back to the version both have; libc6 has its twin, and
# linux-libc-dev has a newer shared version apt moves to by itself.
gst=libgstreamer-plugins-base1.0-0
lag="FAKE_BROKEN=wine32:i386
  FAKE_MULTIARCH=$gst=1.22.0-3+deb12u7,libc6=2.36-9+deb12u7,linux-libc-dev=6.1.187-1
  FAKE_POLICY=$gst=1.22.0-3+deb12u7/1.22.0-3+deb12u6,$gst:i386=1.22.0-3+deb12u6,libc6=2.36-9+deb12u7,libc6:i386=2.36-9+deb12u7,linux-libc-dev=6.1.192-3/6.1.187-1/6.1.176-1,linux-libc-dev:i386=6.1.192-3/6.1.176-1"
retry="apt-get install -y -q --no-install-recommends --allow-downgrades wine32:i386 $gst=1.22.0-3+deb12u6"
case_ wine32_twin_moved_back 0 "$lag FAKE_FIXED=$gst=1.22.0-3+deb12u6" \
  "setup: moved back $gst from 1.22.0-3+deb12u7 to 1.22.0-3+deb12u6: " \
  "update install install install" "$plain"$'\n'"$retry"
case_ wine32_twin_retry_fails 0 "$lag" \
  "32-bit Wine could not be installed (apt: E: Error, pkgProblemResolver::Resolve generated breaks" \
  "update install install install" "$plain"$'\n'"$retry"
case_ first_step_package_fails 1 "FAKE_BROKEN=wixl" \
  "once the package mirror answers again, run again" "update install"
case_ everything_installed 0 "FAKE_INSTALLED=all" "setup: everything is installed" ""
case_ not_root_prints_commands 1 "FAKE_UID=1000" "apt-get install -y --no-install-recommends" ""

# The first step never names 32-bit Wine, and its failure names the package apt refused.
log=$work/first_step_package_fails.log
if grep -q 'wine32' <(grep '^apt-get install' "$log" | head -n 1); then
  fail first_step_leaves_out_wine32 "the first install step named wine32: $(head -n 3 "$log")"
else
  pass first_step_leaves_out_wine32
fi

write_results "$result" Setup
((failures == 0))
