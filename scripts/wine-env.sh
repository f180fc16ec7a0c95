# Sourced by the scripts that run Windows programs: a private Wine prefix under
# the build tree (never the user's own), 32-bit, quiet, with the null graphics
# driver so message boxes are real windows without a display.
STUB_ROOT=${STUB_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX=${STUB_WINEPREFIX:-$STUB_ROOT/build/wineprefix}
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Makes the prefix once; several callers at a time wait for the first.
stub_wine_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.stub-ready" ]; then
      rm -rf "$WINEPREFIX"
      wineboot -i >/dev/null 2>&1 </dev/null
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
      wineserver -w
      touch "$WINEPREFIX/.stub-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Ends the prefix's wineserver and waits until it has gone.
stub_wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}
