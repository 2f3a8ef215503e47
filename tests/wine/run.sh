#!/usr/bin/env bash
# Runs wine_host.exe (host.cpp) under Wine against loric.dll; given the native build folder, with
# simulators behind COM7 (a blank 29LV400B-x16) and COM8 (a 29F040B running firmware).
#   usage: run.sh <windows build dir> [native build dir]
# Exit status: 0 passed; 1 a check failed; 77 Wine cannot run 32-bit programs here ("SKIPPED:").
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "${1:?usage: run.sh <windows build dir> [native build dir]}" && pwd)
native=${2:+$(cd "$2" && pwd)}

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
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wineserver -k >/dev/null 2>&1' EXIT

# A new prefix takes about a minute to make. A copy of the first one made on this machine
# (for this Wine version) is kept in the user's cache and copied into later build folders;
# LORIC_WINE_CACHE= (empty) turns that off.
cache=${LORIC_WINE_CACHE-${XDG_CACHE_HOME:-$HOME/.cache}/loric}
template=$cache/wineprefix-$(/usr/lib/wine/wine --version 2>/dev/null | tr -c 'A-Za-z0-9.-' _)
if [ ! -f "$WINEPREFIX/system.reg" ] && [ -n "$cache" ] && [ -f "$template/system.reg" ]; then
  echo "copying the Wine prefix from $template"
  mkdir -p "$WINEPREFIX" && cp -a "$template/." "$WINEPREFIX/" || rm -rf "$WINEPREFIX"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX (once per build folder)"
  mkdir -p "$WINEPREFIX"
  boot=wine
  [ -x /usr/lib/wine/wine64 ] && boot=/usr/lib/wine/wine64  # does the 64-bit half natively
  timeout 600 "$boot" wineboot --init >/dev/null 2>&1 || { echo "FAIL: wineboot --init did not complete"; exit 1; }
  # The null display driver: windows without an X server.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  timeout 300 wineserver -w || true
  # Kept whole or not at all: the copy is renamed into place once complete.
  if [ -n "$cache" ] && mkdir -p "$cache" && tmp=$(mktemp -d "$cache/.wineprefix.XXXXXX"); then
    cp -a "$WINEPREFIX/." "$tmp/" && mv -T "$tmp" "$template" 2>/dev/null || rm -rf "$tmp"
  fi
fi

work=$win/wine-work
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cp "$src/tests/data/configrom/fixed_record.bin" reference.bin
cp "$src/data/flash_devices.dat" flash_devices.dat
cp "$src/sim/images/config.bin" installed.bin

# simulator <COM port> <options...>: one simulator, its serial adapter mapped to the port.
simulator() {
  local port=$1 out=$work/$1.out pty= i
  shift
  : >"$out"  # there before the wait below reads it
  "$native/sim/tq6410-sim" --serial --instant --socket "$work/$port.sock" --flash-file flash_devices.dat "$@" \
    >>"$out" 2>&1 &
  pids+=($!)
  for i in $(seq 1 100); do
    pty=$(sed -n 's/^serial adapter: //p' "$out")
    [ -n "$pty" ] && break
    sleep 0.1
  done
  [ -n "$pty" ] || { echo "FAIL: the simulator for $port did not report its serial adapter:"; cat "$out"; return 1; }
  wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$pty" /f >/dev/null 2>&1
}
ports=()
if [ -n "$native" ]; then
  simulator COM7 --chip 29LV400B-x16 || exit 1
  simulator COM8 --chip 29F040B --firmware "$src/sim/images/firmware.bin" --config installed.bin || exit 1
  ports=(COM7 COM8)
  # The next server sees the new ports; one of our own whose output stays out of the checks'.
  wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
  wineserver -p5 </dev/null >/dev/null 2>&1
fi
timeout "${WINE_CHECK_TIMEOUT:-300}" wine "$win/wine_host.exe" "${ports[@]}" >host.out 2>&1
status=$?
tr -d '\r' <host.out
if ! tr -d '\r' <host.out | grep -qE '^[0-9]+ passed, 0 failed'; then
  echo "FAIL: wine_host.exe ended (status $status) with failures or without its closing summary line"
  exit 1
fi
exit $status
