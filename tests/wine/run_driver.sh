#!/usr/bin/env bash
# loric.dll over the driver path under Wine: builds the stand-in kernel driver
# (sim/win32/driver_stand_in.c), loads it as a kernel service in a 32-bit Wine prefix (a WoW64 prefix
# refuses a 32-bit driver), bridges its TCP port on 127.0.0.1 to a simulator's driver socket
# with socat, runs wine_host.exe's device checks over it, and runs the tool's main job (blank to
# running, --verify) at the chip's typical datasheet timing; the flash must be byte for byte what
# the Linux tool's same job over the simulator's socket leaves. Then the simulator restarts and
# the driver must find it again.
#   usage: run_driver.sh <windows build dir> <native build dir>
# Exit status: 0 passed; 1 failed; 77 skipped (Wine cannot run 32-bit programs, or no socat).
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
win=$(cd "${1:?usage: run_driver.sh <windows build dir> <native build dir>}" && pwd)
native=$(cd "${2:?usage: run_driver.sh <windows build dir> <native build dir>}" && pwd)
command -v socat >/dev/null ||
  { echo "SKIPPED: the driver path under Wine: socat is not installed (run .ci/install as root)"; exit 77; }
export WINEARCH=win32 WINEPREFIX=$win/wineprefix32
. "$src/tests/wine/prefix.sh"  # makes the (32-bit) prefix when it is missing
work_folder "$win/driver-work"
cp "$win/loric.exe" "$win/loric.dll" "$win/wine_host.exe" .

# The driver: ntoskrnl, hal and ws2_32, and kernelbase for the requester's memory.
printf 'LIBRARY kernelbase.dll\nEXPORTS\nOpenProcess@12\nReadProcessMemory@20\nCloseHandle@4\n' >kernelbase.def
cc=i686-w64-mingw32-gcc
${cc%gcc}dlltool -k -d kernelbase.def -l libkernelbase.a &&
  $cc -O2 -Wall -Wextra -Werror -I"$($cc -print-sysroot 2>/dev/null)/usr/share/mingw-w64/include/ddk" \
    -I/usr/share/mingw-w64/include/ddk -c "$src/sim/win32/driver_stand_in.c" -o stand_in_driver.o &&
  $cc -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000 \
    -o brennock.sys stand_in_driver.o -lntoskrnl -lhal -lws2_32 libkernelbase.a -lgcc ||
  { echo "FAIL: building the stand-in driver"; exit 1; }

# socket <name> <options...>: a simulator serving its driver socket <name>.sock.
socket() {
  rm -f "$work/$1.sock"
  simulator "$1" "[ -S '$work/$1.sock' ]" --socket "$work/$1.sock" "${@:2}"
}
# First the host checks of wine_host.exe over the driver: a device running firmware, then
# (the simulator replaced behind the same socket) a blank one.
socket windows --instant --chip 29F040B --firmware firmware.bin --config installed.bin
port=
for try in 1 2 3 4 5; do
  p=$((20000 + RANDOM % 20000))
  socat TCP-LISTEN:$p,bind=127.0.0.1,reuseaddr,fork UNIX-CONNECT:"$work/windows.sock" >socat.out 2>&1 &
  s=$!
  sleep 0.3
  if kill -0 $s 2>/dev/null; then port=$p; pids+=($s); break; fi
done
[ -n "$port" ] || { echo "FAIL: socat found no free port"; cat socat.out; exit 1; }

# The service: a persistent Wine server, so that the device host stays between programs.
wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
wineserver -p </dev/null >/dev/null 2>&1
cp brennock.sys "$WINEPREFIX/drive_c/windows/system32/drivers/brennock.sys"
key='HKLM\System\CurrentControlSet\Services\brennock'
wine sc query brennock >/dev/null 2>&1 ||
  wine sc create brennock type= kernel start= demand binpath= 'C:\windows\system32\drivers\brennock.sys' \
    >sc.out 2>&1 || { tr -d '\r' <sc.out; echo "FAIL: sc create"; exit 1; }
wine reg add "$key" /v Port /t REG_DWORD /d "$port" /f >/dev/null 2>&1
wine sc start brennock >sc.out 2>&1
tr -d '\r' <sc.out | grep -q 'RUNNING' || { tr -d '\r' <sc.out; echo "FAIL: the stand-in driver did not start"; exit 1; }

echo "wine_host.exe over the driver, a device running firmware:"
checked "wine_host.exe --driver running" host-running.out wine wine_host.exe --driver running
kill $sim; wait $sim 2>/dev/null
socket windows --instant --chip 29LV400B-x16
echo "wine_host.exe over the driver, a blank device:"
checked "wine_host.exe --driver blank" host-blank.out wine wine_host.exe --driver blank
kill $sim; wait $sim 2>/dev/null

# The main job, blank to running, by loric.exe over the driver and by the Linux tool over a
# simulator socket of its own.
socket windows --timings typical --chip 29F040B --state "$work/flash-windows"
windows_sim=$sim
job loric.exe job-windows.out wine loric.exe
tr -d '\r' <job-windows.out
socket linux --timings typical --chip 29F040B --state "$work/flash-linux"
BRENNOCK_SOCKET=$work/linux.sock job "the Linux tool" job-linux.out "$native/tools/loric"
same_flash "over the stand-in driver" "$work/flash-windows" "$work/flash-linux" $windows_sim $sim

# A restarted simulator: the driver connects again at the next request.
socket windows --instant --chip 29F040B --state "$work/flash-windows"
timeout 120 wine loric.exe --chip 29F040B nodes >nodes.out 2>&1 && tr -d '\r' <nodes.out | grep -qE '^0x[0-9A-F]{4} +running ' ||
  { tr -d '\r' <nodes.out; echo "FAIL: loric.exe nodes after the simulator restarted does not find the device running"; exit 1; }
echo "after the simulator restarted, loric.exe nodes finds the device through the driver again"
exit 0
