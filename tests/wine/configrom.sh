#!/usr/bin/env bash
# Runs wine_configrom.exe with the golden file of the fixed record, the file the Linux library's
# tests compare their own with: both builds must give it byte for byte.
set -u
cp "$LORIC_SOURCE_DIR/tests/data/configrom/fixed_record.bin" reference.bin
exec wine "$WINE_CHECK_EXE" reference.bin
