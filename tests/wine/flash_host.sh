# Runs wine_flash_host.exe: the closed-API checks always; with the serial link in place, the
# flash data and upload checks through a COM port mapped to the simulator's serial adapter,
# whose blank chip is a 16-bit record of the shipped flash data file.
. "$LORIC_SOURCE_DIR/tests/wine/lib.sh"
chip=29LV400B-x16
if is_placeholder OpenComAPI; then
  exec wine "$WINE_CHECK_EXE"
fi
cp "$LORIC_SOURCE_DIR/data/flash_devices.dat" flash_devices.dat
start_simulator --instant --chip "$chip" --flash-file flash_devices.dat || exit 1
map_com_port COM7 "$SIM_PTY" || { echo "FAIL: cannot map COM7 to $SIM_PTY"; exit 1; }
# A server of our own whose output (it may dump its state when it ends) stays out of the
# check's output, and which does not hold the runner's output pipe open.
wineserver -p5 </dev/null >/dev/null 2>&1
wine "$WINE_CHECK_EXE" COM7 flash_devices.dat "$chip"
