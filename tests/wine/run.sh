#!/usr/bin/env bash
# Runs wine_host.exe (host.cpp) under Wine against loric.dll; given the native build folder, with
# simulators behind COM7 (a blank 29LV400B-x16) and COM8 (a 29F040B running firmware), and then
# the C hosts (c_host.c, MinGW and MSVC-style), loric.exe's refusal without a terminal, its main
# job over COM4 at typical timing, and the driver path (run_driver.sh).
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
  "$native/sim/tq6410-sim" --serial --socket "$work/$port.sock" --flash-file flash_devices.dat "$@" \
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
  simulator COM7 --instant --chip 29LV400B-x16 || exit 1
  simulator COM8 --instant --chip 29F040B --firmware "$src/sim/images/firmware.bin" --config installed.bin || exit 1
  ports=(COM7 COM8)
  # The C hosts' own device, and the tool's.
  simulator COM6 --instant --chip 29F040B --firmware "$src/sim/images/firmware.bin" --config installed.bin || exit 1
  simulator COM5 --instant --chip 29F040B --firmware "$src/sim/images/firmware.bin" --config installed.bin || exit 1
  # The tool's main job: a blank device at the chip's typical datasheet timing, its flash kept.
  simulator COM4 --timings typical --state "$work/job-windows" --chip 29F040B || exit 1
  job_sim=${pids[-1]}
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
[ $status -eq 0 ] || exit $status
[ -n "$native" ] || exit 0

# c_host <exe> <name>: a C host linked through an import library, against the device on COM6.
c_host() {
  timeout 120 wine "$1" COM6 flash_devices.dat >"$2.out" 2>&1
  local s=$?
  tr -d '\r' <"$2.out" | grep -v '^ok: '
  if [ $s -ne 0 ] || ! tr -d '\r' <"$2.out" | grep -qE '^[0-9]+ passed, 0 failed'; then
    echo "FAIL: $2 (status $s)"; tr -d '\r' <"$2.out"; return 1
  fi
}
echo "C host, MinGW, lib/libloric.dll.a:"
c_host "$win/c_host.exe" c_host_mingw || exit 1

# The same host as an MSVC developer builds it, with the LLVM tools that act like MSVC's:
# clang-cl for the i686 MSVC target, lld-link, and the import library that README.txt tells
# them to make from lib/loric.def (the installed name of tools/loric_import.def). Its
# msvcrt.dll imports come from a small .def of their own; no MSVC headers or libraries are
# needed. Also linked against the MinGW import library, which lld-link must take as it is.
msvc=$work/msvc
mkdir -p "$msvc" && cp "$win/loric.dll" "$msvc/"
llvm=none
for suffix in -14 ""; do
  if command -v clang-cl$suffix >/dev/null && command -v lld-link$suffix >/dev/null &&
     command -v llvm-dlltool$suffix >/dev/null; then llvm=$suffix; break; fi
done
if [ "$llvm" = none ]; then
  echo "SKIPPED: the MSVC-style C host: clang-cl, lld-link or llvm-dlltool is missing (run .ci/install as root)"
  [ "${CI:-}" = true ] && exit 1
  exit 0
fi
(
  cd "$msvc" &&
  cp "$src/tools/loric_import.def" loric.def &&
  llvm-dlltool$llvm -m i386 -k -d loric.def -l loric.lib &&
  printf 'LIBRARY msvcrt.dll\nEXPORTS\nprintf\nputs\nexit\n__getmainargs\n' >msvcrt.def &&
  llvm-dlltool$llvm -m i386 -d msvcrt.def -l msvcrt.lib &&
  clang-cl$llvm --target=i686-pc-windows-msvc /nologo /c /O2 /GS- /W4 /WX -I"$src/include" /Foc_host.obj \
    -- "$src/tests/wine/c_host.c" &&
  lld-link$llvm /nologo /subsystem:console /nodefaultlib /out:c_host_msvc.exe c_host.obj loric.lib msvcrt.lib &&
  lld-link$llvm /nologo /subsystem:console /nodefaultlib /out:c_host_msvc_mingwlib.exe c_host.obj \
    "$win/import/libloric.dll.a" msvcrt.lib
) >msvc.log 2>&1 || { cat msvc.log; echo "FAIL: building the C host with clang-cl and lld-link"; exit 1; }
echo "C host, clang-cl and lld-link, loric.lib from llvm-dlltool -k -d lib/loric.def:"
c_host "$msvc/c_host_msvc.exe" c_host_msvc || exit 1
echo "C host, clang-cl and lld-link, lib/libloric.dll.a:"
c_host "$msvc/c_host_msvc_mingwlib.exe" c_host_msvc_mingwlib || exit 1

# The tool: NUL is no terminal, so a job that asks first is refused with 5, as on Linux.
cp "$win/loric.exe" "$win/flash_devices.dat" "$msvc/"
timeout 120 wine cmd /c "$(winepath -w "$msvc/loric.exe") --com COM5 --chip 29F040B erase --all <NUL" >erase.out 2>&1
s=$?
if [ $s -ne 5 ]; then
  tr -d '\r' <erase.out; echo "FAIL: loric.exe erase --all <NUL ended with $s, not 5"; exit 1
fi
echo "loric.exe erase --all <NUL: refused with 5"

# The main job, blank to running with --verify, at the chip's typical datasheet timing: by
# loric.exe over COM4 and by the Linux tool over a simulator of its own. Each simulator keeps
# its flash in a folder; the two flashes must be byte for byte the same (each tool's --verify
# has read back the firmware and the configuration already).
cp "$src/sim/images/loader.bin" "$src/sim/images/firmware.bin" "$src/examples/config.bin" "$msvc/"
job="--chip 29F040B --progress none program firmware.bin config.bin --loader loader.bin --verify"
(cd "$msvc" && timeout 900 wine loric.exe --com COM4 $job) >job-windows.out 2>&1
s=$?
tr -d '\r' <job-windows.out
[ $s -eq 0 ] || { echo "FAIL: loric.exe's main job over COM4 ended with $s"; exit 1; }
: >job-linux.out
"$native/sim/tq6410-sim" --serial --no-socket --timings typical --state "$work/job-linux" \
  --flash-file flash_devices.dat --chip 29F040B >job-linux-sim.out 2>&1 &
linux_sim=$!
pids+=($linux_sim)
pty=
for i in $(seq 1 100); do
  pty=$(sed -n 's/^serial adapter: //p' job-linux-sim.out)
  [ -n "$pty" ] && break
  sleep 0.1
done
(cd "$msvc" && timeout 900 "$native/tools/loric" --com "$pty" $job) >job-linux.out 2>&1 ||
  { cat job-linux.out; echo "FAIL: the Linux tool's main job"; exit 1; }
kill "$job_sim" "$linux_sim"; wait "$job_sim" "$linux_sim" 2>/dev/null
if ! cmp "$work/job-windows/flash.bin" "$work/job-linux/flash.bin"; then
  echo "FAIL: the flash loric.exe left over COM4 differs from the Linux tool's"; exit 1
fi
echo "loric.exe program --loader --verify over COM4 at typical timing: the flash matches the Linux tool's"

# The driver path: the same job through \\.\BRENNOCK, served by the stand-in kernel driver.
kill "${pids[@]}" 2>/dev/null
wineserver -k >/dev/null 2>&1
pids=()
bash "$src/tests/wine/run_driver.sh" "$win" "$native"
s=$?
[ $s -eq 77 ] && [ "${CI:-}" != true ] && s=0
exit $s
