#!/usr/bin/env bash
# Static checks of loric.dll with objdump: a 32-bit PE image that imports system DLLs only
# (the C and C++ runtimes are linked in) and exports exactly the 23 functions by their plain,
# undecorated names, with no name@N aliases.
#   usage: check_dll.sh path/to/loric.dll
# Prints one line per failure and a closing "N passed, N failed"; exits non-zero on failure.
set -u
dll=${1:?usage: check_dll.sh path/to/loric.dll}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

passed=0
failed=0
check() {  # check <ok 0|1> <message>
  if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $2"; fi
}

expected="CloseLORIC DownloadConfigurationFile DownloadTimestamp EraseFlashSector FindNode
GenerateConfigurationFile GetErrorText GetNodeInfo ImportConfigurationFile IssueReset LoadFlashData
LogAppMessage OpenComAPI OpenLORIC ReadQuadlet SetFlashDevice SwitchDeviceToForceFlashMode
SwitchDeviceToUploadMode UploadConfigurationFile UploadFile UploadFirmwareAndConfig
UploadFirmwareLoader WriteQuadlet"
# DLLs that every Windows installation has in its system folder.
system_dlls="kernel32.dll user32.dll msvcrt.dll advapi32.dll gdi32.dll ntdll.dll"

if [ ! -f "$dll" ]; then
  echo "FAIL: $dll does not exist"
  echo "0 passed, 1 failed"
  exit 1
fi
if ! dump=$("$objdump" -p "$dll" 2>&1); then
  echo "FAIL: $objdump -p $dll: $dump"
  echo "0 passed, 1 failed"
  exit 1
fi

echo "$dump" | grep -q 'file format pei-i386'
check $? "$dll is not a 32-bit (pei-i386) image"

# ---- Imports
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | tr -d '\r')
[ -n "$imports" ]
check $? "no imported DLLs found: unexpected objdump output"
for name in $imports; do
  ok=1
  for allowed in $system_dlls; do [ "$name" = "$allowed" ] && ok=0; done
  check $ok "imports $name, which is not a system DLL (runtime not linked statically?)"
done

# ---- Exports: the name table between "[Ordinal/Name Pointer] Table" and the next blank line
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^[[:space:]]*$/p' |
          sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | tr -d '\r' | sort)
count=$(echo "$exports" | grep -c .)
[ "$count" -eq 23 ]
check $? "exports $count names, expected 23: $(echo $exports)"
decorated=$(echo "$exports" | grep -E '@|^_' || true)
[ -z "$decorated" ]
check $? "decorated export names: $(echo $decorated)"
for name in $expected; do
  echo "$exports" | grep -qx "$name"
  check $? "export $name is missing"
done
for name in $exports; do
  echo " $expected " | tr '\n' ' ' | grep -q " $name "
  check $? "unexpected export $name"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
