# Sourced by the scripts that run Windows programs. Each architecture has its
# own private Wine prefix under the build tree (never the user's own), quiet,
# with the null graphics driver so that message boxes are real windows without
# a display:
#
#   stub_wine_use win32|win64   selects the architecture: WINEPREFIX, WINEARCH,
#                               WINELOADER and $STUB_WINE (the loader to run
#                               programs with) follow it
#   stub_wine_runs              whether this machine can run the selected
#                               architecture; if not, $STUB_WINE_SKIP says why
#   stub_wine_prefix            makes the selected prefix once; on failure
#                               prints the command that failed and its output
#   stub_wine_stop              ends the selected prefix's wineserver
#   stub_wine_run PROGRAM ARGS  runs a Windows program with the selected loader,
#                               its output in the files $out and $err
#   stub_wine_reg ARGS          Wine's reg with ARGS, tried once more where it
#                               fails, saying so on stderr
#   stub_windows_path PATH      the Windows form of a Unix path (drive Z:)
#
# The loaders are called directly: /usr/bin/wine picks the 32-bit loader
# whenever it is installed, even where the kernel cannot run it. The 32-bit
# stage needs a kernel that runs 32-bit programs, which some do not.
# STUB_WINEPREFIX=BASE puts the prefixes at BASE-win32 and BASE-win64;
# STUB_WINE32_LOADER and STUB_WINE64_LOADER name other loaders.
STUB_ROOT=${STUB_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
STUB_WINE32_LOADER=${STUB_WINE32_LOADER:-/usr/lib/wine/wine}
STUB_WINE64_LOADER=${STUB_WINE64_LOADER:-/usr/lib/wine/wine64}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

stub_wine_use() {  # stub_wine_use win32|win64
  case $1 in
    win32) STUB_WINE=$STUB_WINE32_LOADER ;;
    win64) STUB_WINE=$STUB_WINE64_LOADER ;;
    *) echo "stub_wine_use: no architecture '$1' (win32 or win64)" >&2; return 2 ;;
  esac
  export STUB_WINE WINEARCH=$1 WINELOADER=$STUB_WINE
  export WINEPREFIX=${STUB_WINEPREFIX:-$STUB_ROOT/build/wineprefix}-$1
}

# Asks the selected loader for its version: cheap, and it fails exactly where
# the loader cannot start at all.
stub_wine_runs() {
  local out bits=${WINEARCH#win}
  STUB_WINE_SKIP=
  if [[ ! -x $STUB_WINE ]]; then
    STUB_WINE_SKIP="$bits-bit Wine is not installed ($STUB_WINE is missing: scripts/setup.sh was not run, or could not install it and said why; run it again to add it)"
    return 1
  fi
  if out=$("$STUB_WINE" --version 2>&1 </dev/null); then
    return 0
  fi
  if [[ $out == *"Exec format error"* || $out == *"cannot execute binary file"* ]]; then
    STUB_WINE_SKIP="this kernel cannot run $bits-bit programs"
  else
    STUB_WINE_SKIP="$bits-bit Wine does not start ($STUB_WINE --version: ${out:-no output})"
  fi
  return 1
}

# Makes the selected prefix once; several callers at a time wait for the first.
stub_wine_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    [[ -f $WINEPREFIX/.stub-ready ]] && exit 0
    rm -rf "$WINEPREFIX"
    log=$WINEPREFIX.log
    if ! "$STUB_WINE" wineboot -i >"$log" 2>&1 </dev/null; then
      echo "Wine prefix $WINEPREFIX could not be made: '$STUB_WINE wineboot -i' failed:" >&2
      cat "$log" >&2
      exit 1
    fi
    if ! "$STUB_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
         >"$log" 2>&1 </dev/null; then
      echo "Wine prefix $WINEPREFIX: '$STUB_WINE reg add' of the null graphics driver failed:" >&2
      cat "$log" >&2
      exit 1
    fi
    wineserver -w
    rm -f "$log"
    touch "$WINEPREFIX/.stub-ready"
  ) 9>"$WINEPREFIX.lock"
}

# Ends the selected prefix's wineserver and waits until it has gone.
stub_wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

# Runs a Windows program with the selected loader; its output lands in the
# files named by the caller's $out and $err (never a pipe: Wine's helpers
# inherit it and hold it open), Windows line ends removed. Answers its exit code.
stub_wine_run() {
  local rc=0
  "$STUB_WINE" "$@" >"$out.raw" 2>"$err.raw" </dev/null || rc=$?
  tr -d '\r' <"$out.raw" >"$out"
  tr -d '\r' <"$err.raw" >"$err"
  return $rc
}

# Wine's reg, tried a second time where the first fails: on a loaded machine
# it has been seen to fail once with no word of why (an export then writes no
# file), which is the test bed's fault, not the product's. Says when it took two.
stub_wine_reg() {
  local rc=0
  stub_wine_run reg "$@" && return 0
  rc=$?
  echo "reg $1 $2 failed once (exit $rc, $(head -c 200 "$err")): trying again" >&2
  stub_wine_run reg "$@"
}

# The Windows form of a Unix path: Wine's drive Z: is the root.
stub_windows_path() { local path=${1//\//\\}; printf 'Z:%s' "$path"; }
