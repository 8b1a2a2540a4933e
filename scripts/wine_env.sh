# Sourced by the scripts that run Windows programs under Wine. Makes a private
# prefix in a temporary folder, keeps its wineserver running for the whole run
# (a cold start costs a second per process), and removes it all on exit.
#
# Sets WINE (the loader of the shipped 32-bit build's programs), WINE64 and
# WINEPREFIX. The prefix is a 64-bit (WoW64) one, as our users' Windows is: a
# 32-bit program in it sees System32 redirected to SysWOW64.

WINE=/usr/lib/wine/wine
WINE64=/usr/lib/wine/wine64
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
WINEPREFIX=$(mktemp -d /tmp/kestrin-wine.XXXXXX)
export WINEPREFIX

XVFB_PID=
wine_cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  rm -rf "$WINEPREFIX"
}
trap wine_cleanup EXIT

# Dialogs need a display: a virtual one, started before any Wine process (a
# wineserver started without DISPLAY cannot show dialogs later).
start_display() {
  command -v Xvfb >/dev/null || return 0
  local fd_file="$WINEPREFIX/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
  XVFB_PID=$!
  # Under software emulation on a busy machine Xvfb can take many seconds.
  for _ in $(seq 600); do [ -s "$fd_file" ] && break; sleep 0.1; done
  if [ ! -s "$fd_file" ]; then
    echo "Xvfb did not start within 60 s: the dialogs cannot be shown"
    return 1
  fi
  export DISPLAY=":$(tr -d '\n' <"$fd_file")"
}

wine_start() {
  start_display || return 1
  "$WINE64" wineboot -i >"$WINEPREFIX/wineboot.log" 2>&1 || {
    echo "wineboot failed:"; cat "$WINEPREFIX/wineboot.log"; return 1; }
  # Without a window manager, an unmanaged window closes at once.
  "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wineserver -w
  wineserver -p >/dev/null 2>&1 # persistent until wine_cleanup kills it
}

# Z:\ is the host's root in every prefix: the Windows name of a host path.
wine_path() {
  printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"
}
