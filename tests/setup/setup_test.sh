#!/usr/bin/env bash
# scripts/setup.sh's decisions, with stand-ins for apt-get, dpkg, dpkg-query
# and id first on PATH: nothing on the machine is changed. Each case states
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
#   FAKE_UID        what id -u answers
cat >"$fake/dpkg-query" <<'STUB'
#!/usr/bin/env bash
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
    if [[ -n $FAKE_BROKEN && " $* " == *" $FAKE_BROKEN "* ]]; then
      echo "Some packages could not be installed."
      echo " $FAKE_BROKEN : Depends: libbrotli1:i386 (>= 0.6.0) but it is not going to be installed"
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi ;;
esac
exit 0
STUB
printf '#!/usr/bin/env bash\necho "${FAKE_UID:-0}"\n' >"$fake/id"
chmod +x "$fake"/*

# case NAME EXIT 'SETTINGS' 'MUST SAY' 'APT CALLS (grep -E over the log, in order)'
# An empty APT CALLS means: no apt-get call at all.
case_() {
  local name=$1 want=$2 settings=$3 say=$4 calls=$5 out code log=$work/$1.log
  rm -f "$log" "$log.updated"
  out=$(env FAKE_LOG="$log" FAKE_INSTALLED="" FAKE_UPDATE=ok FAKE_BROKEN="" FAKE_UID=0 $settings \
        STUB_SETUP_PAUSE=0 PATH="$fake:$PATH" bash "$root/scripts/setup.sh" 2>&1)
  code=$?
  local got_calls
  got_calls=$(grep '^apt-get' "$log" 2>/dev/null | awk '{print $2}' | tr '\n' ' ' | sed 's/ $//')
  if [[ $code -ne $want ]]; then
    fail "$name" "exit $code, wanted $want; output: $out"
  elif ! grep -qF -- "$say" <<<"$out"; then
    fail "$name" "did not say '$say'; output: $out"
  elif [[ $got_calls != "$calls" ]]; then
    fail "$name" "apt-get calls '$got_calls', wanted '$calls'; output: $out"
  else
    pass "$name"
  fi
}

case_ index_fails_then_goes_on 0 "FAKE_UPDATE=fail" \
  "index that failed: http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz" \
  "update update update install install"
case_ index_fails_once_retried 0 "FAKE_UPDATE=once" \
  "'apt-get update' failed (try 1 of 3)" "update update install install"
case_ wine32_step_fails 0 "FAKE_BROKEN=wine32:i386" \
  "32-bit Wine could not be installed (apt: " "update install install"
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
