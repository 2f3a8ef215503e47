#!/usr/bin/env bash
# Runs wine_flash_host.exe against the simulator: tq6410-sim serves its serial adapter on a
# pseudo-terminal with a blank 16-bit chip of the shipped flash data file, Wine maps a COM port
# to that terminal, and the program opens the API over it. Without a native build (no
# simulator) the program runs its closed-API checks only.
set -u
chip=29LV400B-x16
port=COM9
sim=${LORIC_NATIVE_BUILD:+$LORIC_NATIVE_BUILD/sim/tq6410-sim}
if [ -z "$sim" ] || [ ! -x "$sim" ]; then
  exec wine "$WINE_CHECK_EXE"
fi

cp "$LORIC_SOURCE_DIR/data/flash_devices.dat" flash_devices.dat
link=$WINE_CHECK_WORK/adapter.tty
"$sim" --no-socket --serial-link "$link" --instant --chip "$chip" --flash-file flash_devices.dat \
  >sim.out 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null' EXIT
for _ in $(seq 100); do
  [ -e "$link" ] && break
  sleep 0.1
done
if [ ! -e "$link" ]; then
  echo "FAIL: the simulator made no serial adapter terminal"
  cat sim.out
  echo "0 passed, 1 failed"
  exit 1
fi
pty=$(readlink -f "$link")
wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$pty" /f >/dev/null 2>&1
# The port mapping is read when the server starts. The new server's own output (it may dump
# its state when it ends) stays out of the check's output.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wineserver -p5 </dev/null >/dev/null 2>&1
wine "$WINE_CHECK_EXE" "$port" flash_devices.dat "$chip"
