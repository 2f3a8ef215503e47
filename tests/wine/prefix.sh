# Sourced by the scripts of tests/wine with $win set to the Windows build folder: exits 77
# ("SKIPPED:") when Wine cannot run 32-bit programs here, sets WINEPREFIX (default
# $win/wineprefix) and makes the prefix when it is missing (of WINEARCH when that is set). The caller's EXIT trap stops the
# Wine server (wineserver -k).
if ! command -v wine >/dev/null 2>&1; then
  echo "SKIPPED: Wine checks: wine is not installed (run .ci/install as root)"
  exit 77
fi
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "SKIPPED: Wine checks: the 32-bit Wine loader does not start ($(/usr/lib/wine/wine --version 2>&1 | head -n1))."
  echo "SKIPPED: without IA-32 emulation, .ci/install (as root) registers qemu's i386 emulator with binfmt_misc."
  exit 77
fi
export WINEPREFIX=${WINEPREFIX:-$win/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

# A new prefix takes about a minute to make. A copy of the first one made on this machine
# (for this Wine version) is kept in the user's cache and copied into later build folders;
# LORIC_WINE_CACHE= (empty) turns that off.
cache=${LORIC_WINE_CACHE-${XDG_CACHE_HOME:-$HOME/.cache}/loric}
template=$cache/wineprefix-$(/usr/lib/wine/wine --version 2>/dev/null | tr -c 'A-Za-z0-9.-' _)${WINEARCH:+-$WINEARCH}
if [ ! -f "$WINEPREFIX/system.reg" ] && [ -n "$cache" ] && [ -f "$template/system.reg" ]; then
  echo "copying the Wine prefix from $template"
  mkdir -p "$WINEPREFIX" && cp -a "$template/." "$WINEPREFIX/" || rm -rf "$WINEPREFIX"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX (once per build folder)"
  mkdir -p "$WINEPREFIX"
  boot=wine
  # wine64 does the 64-bit half natively; a 32-bit prefix (WINEARCH=win32) has none.
  [ -z "${WINEARCH:-}" ] && [ -x /usr/lib/wine/wine64 ] && boot=/usr/lib/wine/wine64
  timeout 600 "$boot" wineboot --init >/dev/null 2>&1 || { echo "FAIL: wineboot --init did not complete"; exit 1; }
  # The null display driver: windows without an X server.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  timeout 300 wineserver -w || true
  # Kept whole or not at all: the copy is renamed into place once complete.
  if [ -n "$cache" ] && mkdir -p "$cache" && tmp=$(mktemp -d "$cache/.wineprefix.XXXXXX"); then
    cp -a "$WINEPREFIX/." "$tmp/" && mv -T "$tmp" "$template" 2>/dev/null || rm -rf "$tmp"
  fi
fi

