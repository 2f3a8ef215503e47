#!/usr/bin/env bash
# Static checks of loric.dll with objdump: a 32-bit PE image that imports system DLLs only
# (the C and C++ runtimes are linked in) and exports exactly the 23 functions by their plain,
# undecorated names, with no name@N aliases.
#   usage: check_dll.sh path/to/loric.dll
# Prints one line per failure and a closing "N passed, N failed"; exits non-zero on failure.
set -u
dll=${1:?usage: check_dll.sh path/to/loric.dll}
expected="CloseLORIC DownloadConfigurationFile DownloadTimestamp EraseFlashSector FindNode
GenerateConfigurationFile GetErrorText GetNodeInfo ImportConfigurationFile IssueReset LoadFlashData
LogAppMessage OpenComAPI OpenLORIC ReadQuadlet SetFlashDevice SwitchDeviceToForceFlashMode
SwitchDeviceToUploadMode UploadConfigurationFile UploadFile UploadFirmwareAndConfig
UploadFirmwareLoader WriteQuadlet"
passed=0 failed=0
check() {  # check <ok 0|1> <message>
  if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $2"; fi
}
dump=$("${OBJDUMP:-i686-w64-mingw32-objdump}" -p "$dll" 2>&1 | tr -d '\r')
check $? "objdump -p $dll: $(echo "$dump" | head -n 3)"
echo "$dump" | grep -q 'file format pei-i386'
check $? "$dll is not a 32-bit (pei-i386) image"

# Imports: DLLs that every Windows installation has in its system folder.
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
others=$(echo "$imports" | grep -vxE '(kernel32|user32|msvcrt|advapi32|gdi32|ntdll)\.dll' || true)
[ -n "$imports" ] && [ -z "$others" ]
check $? "imports non-system DLLs (runtime not linked statically?): '$(echo $others)' of '$(echo $imports)'"

# Exports: the name table between "[Ordinal/Name Pointer] Table" and the next blank line.
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^[[:space:]]*$/p' |
          sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort | tr '\n' ' ')
want=$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$exports" = "$want" ]
check $? "exports '$exports', expected '$want'"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
