#!/usr/bin/env bash
# The serial upload rate of loric.dll under Wine against the Linux library's, on this machine:
# serial_bench (serial_bench.c) built for both, each run against a fresh simulator whose
# adapter is paced at 115200 baud (a 29F040B running firmware; flash waits pass at once), the
# Windows one through a COM port mapped to the simulator's pseudo-terminal.
#   usage: bench/wine_serial.sh <windows build dir> <native build dir> [KIB] [ROUNDS]
# Prints both lines, the Windows/Linux wall ratio, and the Wine server's processor time during
# the Windows run (the Windows program's own is in its line).
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
win=$(cd "${1:?usage: bench/wine_serial.sh <windows build dir> <native build dir> [KIB] [ROUNDS]}" && pwd)
native=$(cd "${2:?usage: bench/wine_serial.sh <windows build dir> <native build dir> [KIB] [ROUNDS]}" && pwd)
kib=${3:-4} rounds=${4:-1}

pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wineserver -k >/dev/null 2>&1' EXIT
. "$src/tests/wine/prefix.sh"

work=$win/bench-work
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
cp "$src/data/flash_devices.dat" flash_devices.dat
cc -O2 -Wall -Wextra -I"$src/include" "$src/bench/serial_bench.c" -o serial_bench -L"$native" -lloric \
  -Wl,-rpath,"$native" || exit 1

pty=
simulator() {  # a fresh paced simulator; sets pty
  local out=$work/sim$1.out i
  : >"$out"
  "$native/sim/tq6410-sim" --serial --paced --instant --socket "$work/sim$1.sock" --flash-file flash_devices.dat \
    --chip 29F040B --firmware "$src/sim/images/firmware.bin" --config "$src/sim/images/config.bin" >>"$out" 2>&1 &
  pids+=($!)
  pty=
  for i in $(seq 1 100); do
    pty=$(sed -n 's/^serial adapter: //p' "$out")
    [ -n "$pty" ] && return 0
    sleep 0.1
  done
  echo "the simulator did not report its serial adapter:"; cat "$out"; exit 1
}

simulator 1
linux=$(./serial_bench "$pty" flash_devices.dat "$kib" "$rounds") || { echo "Linux run failed"; exit 1; }
echo "linux:   $linux"

simulator 2
wine reg add 'HKLM\Software\Wine\Ports' /v COM9 /d "$pty" /f >/dev/null 2>&1
wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
wineserver -p5 </dev/null >/dev/null 2>&1
ticks() {  # processor ticks of this prefix's Wine server
  local p
  for p in $(pgrep -x 'wineserver(64)?'); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      awk '{ print $14 + $15 }' "/proc/$p/stat"
      return
    fi
  done
  echo 0
}
# A first start brings up the prefix's own processes; the measured run comes after it.
wine cmd /c exit >/dev/null 2>&1
before=$(ticks)
windows=$(wine "$win/serial_bench.exe" COM9 flash_devices.dat "$kib" "$rounds" | tr -d '\r') ||
  { echo "Windows run failed: $windows"; exit 1; }
after=$(ticks)
echo "windows: $windows"
hz=$(getconf CLK_TCK)
awk -v l="$linux" -v w="$windows" -v s=$((after - before)) -v hz="$hz" 'BEGIN {
  split(l, a, " "); split(w, b, " ")
  printf "windows/linux wall %.3f; Wine server processor time %.2f s (%.1f %% of the Windows wall)\n",
         b[2] / a[2], s / hz, 100 * s / hz / b[2] }'
