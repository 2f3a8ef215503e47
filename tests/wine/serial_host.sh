# Runs wine_serial_host.exe: the failed opens always; then, through a COM port mapped to the
# simulator's serial adapter with firmware and configuration installed, quadlet access and a
# configuration download, upload and download.
. "$LORIC_SOURCE_DIR/tests/wine/lib.sh"
chip=29F040B
images=$LORIC_SOURCE_DIR/sim/images
cp "$LORIC_SOURCE_DIR/data/flash_devices.dat" flash_devices.dat
cp "$images/config.bin" installed-reference.bin
start_simulator --instant --chip "$chip" --flash-file flash_devices.dat \
  --firmware "$images/firmware.bin" --config "$images/config.bin" || exit 1
map_com_port COM8 "$SIM_PTY" || { echo "FAIL: cannot map COM8 to $SIM_PTY"; exit 1; }
# A server of our own whose output stays out of the check's output.
wineserver -p5 </dev/null >/dev/null 2>&1
wine "$WINE_CHECK_EXE" COM8 flash_devices.dat "$chip" installed-reference.bin
