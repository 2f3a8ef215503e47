#!/usr/bin/env bash
# Runs wine_host.exe (host.cpp) under Wine against loric.dll; given the native build folder, with
# simulators behind COM7 (a blank 29LV400B-x16) and COM8 (a 29F040B running firmware).
#   usage: run.sh <windows build dir> [native build dir]
# Exit status: 0 passed; 1 a check failed; 77 Wine cannot run 32-bit programs here ("SKIPPED:").
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "${1:?usage: run.sh <windows build dir> [native build dir]}" && pwd)
native=${2:+$(cd "$2" && pwd)}

pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wineserver -k >/dev/null 2>&1' EXIT
. "$src/tests/wine/prefix.sh"  # checks that Wine runs, makes or copies the prefix

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
