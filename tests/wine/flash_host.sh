# Runs wine_flash_host.exe: the closed-API checks always; with the serial link in place, the
# uploads with both progress callback conventions through a COM port mapped to the simulator.
. "$LORIC_SOURCE_DIR/tests/wine/lib.sh"
data=$(winpath "$LORIC_SOURCE_DIR/data/flash_devices.dat")
if is_placeholder OpenComAPI; then
  exec wine "$WINE_CHECK_EXE" loric.dll "$data"
fi
start_simulator --instant --chip 29F040B || exit 1
map_com_port COM7 "$SIM_PTY" || { echo "FAIL: cannot map COM7 to $SIM_PTY"; exit 1; }
head -c 4096 /dev/urandom > image.bin
wine "$WINE_CHECK_EXE" loric.dll "$data" COM7 image.bin 29F040B
