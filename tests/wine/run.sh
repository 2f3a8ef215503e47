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
. "$src/tests/wine/prefix.sh"  # checks that Wine runs, makes or copies the prefix
work_folder "$win/wine-work"

# port <COM port> <options...>: a simulator whose serial adapter is mapped to the port.
port() {
  local name=$1
  shift
  simulator "$name" "[ -n \"\$(adapter_pty $name)\" ]" --serial --socket "$work/$name.sock" "$@"
  wine reg add 'HKLM\Software\Wine\Ports' /v "$name" /d "$(adapter_pty "$name")" /f >/dev/null 2>&1
}
ports=()
running="--instant --chip 29F040B --firmware firmware.bin --config installed.bin"
if [ -n "$native" ]; then
  port COM7 --instant --chip 29LV400B-x16
  ports=(COM7 COM8)
  # COM8 for wine_host.exe, COM6 the C hosts' own device, COM5 the tool's.
  for p in COM8 COM6 COM5; do port $p $running; done
  # The tool's main job: a blank device at the chip's typical datasheet timing, its flash kept.
  port COM4 --timings typical --state "$work/job-windows" --chip 29F040B
  job_sim=$sim
  # The next server sees the new ports; one of our own whose output stays out of the checks'.
  wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
  wineserver -p5 </dev/null >/dev/null 2>&1
fi
checked wine_host.exe host.out wine "$win/wine_host.exe" "${ports[@]}"
[ -n "$native" ] || exit 0

# c_host <exe> <how it was built>: a C host linked through an import library, against COM6.
c_host() { echo "C host, $2:"; checked "${1##*/}" "${1##*/}.out" wine "$1" COM6 flash_devices.dat; }
c_host "$win/c_host.exe" "MinGW, lib/libloric.dll.a"

# The same host as an MSVC developer builds it, with the LLVM tools that act like MSVC's:
# clang-cl for the i686 MSVC target, lld-link, and the import library that README.txt tells
# them to make from lib/loric.def (the installed name of tools/loric_import.def). Its
# msvcrt.dll imports come from a small .def of their own; no MSVC headers or libraries are
# needed. Also linked against the MinGW import library, which lld-link must take as it is.
msvc=$work/msvc
mkdir -p "$msvc" && cp "$win/loric.dll" "$win/loric.exe" "$win/flash_devices.dat" loader.bin \
  firmware.bin config.bin "$msvc/"
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
c_host "$msvc/c_host_msvc.exe" "clang-cl and lld-link, loric.lib from llvm-dlltool -k -d lib/loric.def"
c_host "$msvc/c_host_msvc_mingwlib.exe" "clang-cl and lld-link, lib/libloric.dll.a"

# The tool: NUL is no terminal, so a job that asks first is refused with 5, as on Linux.
timeout 120 wine cmd /c "$(winepath -w "$msvc/loric.exe") --com COM5 --chip 29F040B erase --all <NUL" >erase.out 2>&1
s=$?
[ $s -eq 5 ] || { tr -d '\r' <erase.out; echo "FAIL: loric.exe erase --all <NUL ended with $s, not 5"; exit 1; }
echo "loric.exe erase --all <NUL: refused with 5"

# The main job by loric.exe over COM4 and by the Linux tool over a simulator of its own.
cd "$msvc" || exit 1
job loric.exe job-windows.out wine loric.exe --com COM4
tr -d '\r' <job-windows.out
simulator linux-sim "[ -n \"\$(adapter_pty linux-sim)\" ]" --serial --no-socket --timings typical \
  --state "$work/job-linux" --chip 29F040B
job "the Linux tool" job-linux.out "$native/tools/loric" --com "$(adapter_pty linux-sim)"
same_flash "over COM4" "$work/job-windows" "$work/job-linux" "$job_sim" "$sim"

# The driver path: the same job through \\.\BRENNOCK, served by the stand-in kernel driver.
kill "${pids[@]}" 2>/dev/null
wineserver -k >/dev/null 2>&1
pids=()
bash "$src/tests/wine/run_driver.sh" "$win" "$native"
s=$?
[ $s -eq 77 ] && [ "${CI:-}" != true ] && s=0
exit $s
