#!/usr/bin/env bash
# Runs every Windows host program of tests/wine under Wine against the cross-built loric.dll.
#   usage: run.sh <windows build dir> [native build dir]
#
# Each program wine_<name>.exe (from tests/wine/<name>.cpp) runs in its own scratch folder with
# the build folder's loric.dll, and must end its output with "N passed, N failed". When a file
# tests/wine/<name>.sh exists, the runner runs that script instead of the program: it prepares
# what the program needs (a simulator, a COM port in Wine's registry, files made by the native
# build) and starts the program with `wine "$WINE_CHECK_EXE" ...`. Such a script gets:
#   WINE_CHECK_EXE      the program's Windows executable
#   WINE_CHECK_WORK     its scratch folder (also the current folder)
#   LORIC_WIN_BUILD     the Windows build folder (loric.dll)
#   LORIC_NATIVE_BUILD  the native build folder, when given (simulator, tool, libloric.so)
#   LORIC_SOURCE_DIR    the source tree
# and Wine's own settings (WINEPREFIX, WINEDEBUG, ...).
#
# Exit status: 0 all passed; 1 a check failed; 77 Wine cannot run 32-bit programs here (the
# reason is printed on a "SKIPPED:" line).
set -u
here=$(cd "$(dirname "$0")" && pwd)
win_build=$(cd "${1:?usage: run.sh <windows build dir> [native build dir]}" && pwd)
native_build=${2:-}
[ -n "$native_build" ] && native_build=$(cd "$native_build" && pwd)
per_program_timeout=${WINE_CHECK_TIMEOUT:-300}

# ---- Can Wine run 32-bit programs at all?
if ! command -v wine >/dev/null 2>&1; then
  echo "SKIPPED: Wine checks: wine is not installed (run .ci/install as root)"
  exit 77
fi
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  reason=$(/usr/lib/wine/wine --version 2>&1 | head -n1)
  echo "SKIPPED: Wine checks: the 32-bit Wine loader does not start (${reason:-no output})."
  echo "SKIPPED: this kernel refuses 32-bit programs unless IA-32 emulation is on; .ci/install (as root)"
  echo "SKIPPED: registers qemu's i386 emulator with binfmt_misc to run them."
  exit 77
fi

export WINEPREFIX=${WINEPREFIX:-$win_build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install prompts, no windows: the programs are console programs.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
export LORIC_WIN_BUILD=$win_build LORIC_NATIVE_BUILD=$native_build LORIC_SOURCE_DIR=$(cd "$here/../.." && pwd)

stop_wineserver() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wineserver EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix $WINEPREFIX (once per build folder; about a minute)"
  mkdir -p "$WINEPREFIX"
  # The 64-bit loader, when present, does the 64-bit half of the set-up natively.
  boot=wine
  [ -x /usr/lib/wine/wine64 ] && boot=/usr/lib/wine/wine64
  if ! timeout 600 "$boot" wineboot --init >/dev/null 2>&1; then
    echo "FAIL: wineboot --init did not complete"
    echo "0 passed, 1 failed"
    exit 1
  fi
  # The null display driver: host programs may create windows without an X server.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  timeout 300 wineserver -w || true
fi

total_passed=0
total_failed=0
total_skipped=0
shopt -s nullglob
programs=("$here"/*.cpp)
if [ ${#programs[@]} -eq 0 ]; then
  echo "FAIL: no host programs in $here"
  echo "0 passed, 1 failed"
  exit 1
fi
for src in "${programs[@]}"; do
  name=$(basename "$src" .cpp)
  exe=$win_build/wine_$name.exe
  echo "== $name"
  if [ ! -f "$exe" ]; then
    echo "FAIL: $exe was not built"
    total_failed=$((total_failed + 1))
    continue
  fi
  work=$win_build/wine-work/$name
  rm -rf "$work" && mkdir -p "$work"
  export WINE_CHECK_EXE=$exe WINE_CHECK_WORK=$work
  if [ -f "$here/$name.sh" ]; then
    output=$(cd "$work" && timeout "$per_program_timeout" bash "$here/$name.sh" 2>&1)
  else
    output=$(cd "$work" && timeout "$per_program_timeout" wine "$exe" 2>&1)
  fi
  status=$?
  output=$(printf '%s\n' "$output" | tr -d '\r')
  printf '%s\n' "$output"
  summary=$(printf '%s\n' "$output" | grep -E '^[0-9]+ passed, [0-9]+ failed' | tail -n1)
  if [ -z "$summary" ]; then
    [ $status -eq 124 ] && echo "FAIL: $name timed out after ${per_program_timeout}s" ||
      echo "FAIL: $name ended (status $status) without its closing summary line"
    total_failed=$((total_failed + 1))
    continue
  fi
  p=$(echo "$summary" | sed 's/^\([0-9]*\) passed.*/\1/')
  f=$(echo "$summary" | sed 's/^[0-9]* passed, \([0-9]*\) failed.*/\1/')
  s=$(echo "$summary" | sed -n 's/.*, \([0-9]*\) skipped.*/\1/p')
  total_passed=$((total_passed + p))
  total_failed=$((total_failed + f))
  total_skipped=$((total_skipped + ${s:-0}))
  if [ "$f" -eq 0 ] && [ $status -ne 0 ]; then
    echo "FAIL: $name reported no failures but exited with status $status"
    total_failed=$((total_failed + 1))
  fi
done

if [ $total_skipped -gt 0 ]; then
  echo "$total_passed passed, $total_failed failed, $total_skipped skipped"
else
  echo "$total_passed passed, $total_failed failed"
fi
[ $total_failed -eq 0 ]
