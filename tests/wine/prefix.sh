# Sourced by the scripts of tests/wine with $src, $win (the Windows build folder) and $native set:
# exits 77 ("SKIPPED:") when Wine cannot run 32-bit programs here, sets WINEPREFIX (default
# $win/wineprefix) and makes the prefix when it is missing (of WINEARCH when that is set), and
# defines the helpers below. At exit the processes in pids stop, and the Wine server with them.
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wineserver -k >/dev/null 2>&1' EXIT
command -v wine >/dev/null 2>&1 || { echo "SKIPPED: Wine checks: wine is not installed (run .ci/install as root)"; exit 77; }
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


# work_folder <dir>: a fresh working folder, entered, with the images and reference files.
work_folder() {
  work=$1
  rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
  cp "$src/data/flash_devices.dat" "$src/sim/images/loader.bin" "$src/sim/images/firmware.bin" \
    "$src/examples/config.bin" "$src/tests/data/wine/closed_exports.txt" . || exit 1
  cp "$src/tests/data/configrom/fixed_record.bin" reference.bin
  cp "$src/sim/images/config.bin" installed.bin
}

# simulator <name> <ready> <options...>: a simulator in the background, its output in
# <name>.out, waited for until the shell test <ready> holds (at most 10 s); sim is its pid.
simulator() {
  local name=$1 ready=$2 i
  shift 2
  : >"$name.out"
  "$native/sim/tq6410-sim" --flash-file flash_devices.dat "$@" >>"$name.out" 2>&1 &
  sim=$!
  pids+=($sim)
  for i in $(seq 1 100); do eval "$ready" && return 0; sleep 0.1; done
  echo "FAIL: the simulator $name did not start:"; cat "$name.out"; exit 1
}
adapter_pty() { sed -n 's/^serial adapter: //p' "$1.out"; }

# checked <what> <output file> <command...>: runs a host program, shows its output but the
# "ok:" lines; exits 1 unless it ends with 0 after "N passed, 0 failed".
checked() {
  local what=$1 out=$2 s
  shift 2
  timeout "${WINE_CHECK_TIMEOUT:-300}" "$@" >"$out" 2>&1
  s=$?
  tr -d '\r' <"$out" | grep -v '^ok: '
  [ $s -eq 0 ] && tr -d '\r' <"$out" | grep -qE '^[0-9]+ passed, 0 failed' && return 0
  echo "FAIL: $what ended with $s, or with failures, or without its closing summary line"
  exit 1
}

# The main job, blank to running with --verify: job <what> <output file> <command...> runs it,
# then same_flash <what> <dir> <dir> <pids> stops the two simulators and compares the flashes
# they kept (each --verify has read back the firmware and the configuration already).
job="--chip 29F040B --progress none program firmware.bin config.bin --loader loader.bin --verify"
job() {
  local what=$1 out=$2
  shift 2
  timeout 900 "$@" $job >"$out" 2>&1 || { tr -d '\r' <"$out"; echo "FAIL: $what's main job"; exit 1; }
}
same_flash() {
  kill "$4" "$5"
  wait "$4" "$5" 2>/dev/null
  cmp "$2/flash.bin" "$3/flash.bin" || { echo "FAIL: the flash $1 left differs from the Linux tool's"; exit 1; }
  echo "loric.exe program --loader --verify $1 at typical timing: the flash matches the Linux tool's"
}
