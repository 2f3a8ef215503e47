#!/usr/bin/env bash
# Has the Linux library generate the configuration file of the fixed record (a native test
# writes it when LORIC_WINE_REFERENCE names a file), then runs the Windows host program, which
# generates its own with loric.dll and compares the two byte for byte.
set -u
args=()
tests=${LORIC_NATIVE_BUILD:+$LORIC_NATIVE_BUILD/tests/loric_configrom_tests}
if [ -n "$tests" ] && [ -x "$tests" ]; then
  rm -f linux.bin
  if ! LORIC_WINE_REFERENCE="$WINE_CHECK_WORK/linux.bin" "$tests" --gtest_filter='WineReference.*' >native.log 2>&1; then
    echo "native reference test failed:"
    cat native.log
  fi
  # A missing file then fails the comparison in the program.
  args=(linux.bin)
fi
exec wine "$WINE_CHECK_EXE" "${args[@]}"
