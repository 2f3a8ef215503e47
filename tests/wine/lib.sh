# Helpers for the companion scripts of tests/wine (<name>.sh), sourced by them:
#   . "$LORIC_SOURCE_DIR/tests/wine/lib.sh"
# run.sh has set WINEPREFIX, WINEDEBUG, WINE_CHECK_EXE, WINE_CHECK_WORK, LORIC_WIN_BUILD,
# LORIC_NATIVE_BUILD and LORIC_SOURCE_DIR.

# The Windows form of a Unix path (drive Z: is the Unix root in every Wine prefix).
winpath() {
  local p
  p=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  printf 'Z:%s' "${p//\//\\}"
}

# Starts the simulator with its serial adapter, in the background, with a driver socket in the
# scratch folder and any further options given. Sets SIM_PID and SIM_PTY (the adapter's
# terminal); stops it when the script exits. Returns non-zero when there is no simulator.
start_simulator() {
  local sim=${LORIC_NATIVE_BUILD:+$LORIC_NATIVE_BUILD/sim/tq6410-sim}
  if [ -z "$sim" ] || [ ! -x "$sim" ]; then
    echo "no simulator: give run.sh the native build folder" >&2
    return 1
  fi
  local out=$WINE_CHECK_WORK/simulator.out
  "$sim" --serial --socket "$WINE_CHECK_WORK/driver.sock" --log "$WINE_CHECK_WORK/simulator.log" "$@" \
    >"$out" 2>&1 &
  SIM_PID=$!
  trap 'kill $SIM_PID 2>/dev/null; wait $SIM_PID 2>/dev/null' EXIT
  local i
  for i in $(seq 1 100); do
    SIM_PTY=$(sed -n 's/^serial adapter: //p' "$out")
    [ -n "$SIM_PTY" ] && return 0
    kill -0 $SIM_PID 2>/dev/null || break
    sleep 0.1
  done
  echo "the simulator did not report its serial adapter:" >&2
  cat "$out" >&2
  return 1
}

# Maps a Windows COM port (COM1..COM256) to a Unix terminal in this prefix's registry. The
# wineserver is stopped so that the next program sees the new device.
map_com_port() {  # map_com_port COM7 /dev/pts/3
  wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f >/dev/null 2>&1 || return 1
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

# Whether an export is still a placeholder in the source tree.
is_placeholder() { [ -f "$LORIC_SOURCE_DIR/src/stubs/$1.cpp" ]; }
