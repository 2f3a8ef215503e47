#!/usr/bin/env bash
# Static checks of loric.dll: a 32-bit PE image importing system DLLs only (the runtimes are
# linked in), exporting exactly the 23 functions that the import library's tools/loric_import.def
# binds, by their plain names, with no name@N aliases.
#   usage: check_dll.sh path/to/loric.dll
set -u
dll=${1:?usage: check_dll.sh path/to/loric.dll}
expected=$(sed -n 's/^ \+\([A-Za-z]*\)\(@[0-9]*\)\{0,1\} *$/\1/p' "$(dirname "$0")/../../tools/loric_import.def")
[ "$(echo $expected | wc -w)" -eq 23 ] || { echo "FAIL: tools/loric_import.def binds $(echo $expected | wc -w) exports, not 23"; exit 1; }
failed=0
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
dump=$("${OBJDUMP:-i686-w64-mingw32-objdump}" -p "$dll" 2>&1) || fail "objdump -p $dll: $(echo "$dump" | head -n 3)"
dump=${dump//$'\r'/}
echo "$dump" | grep -q 'file format pei-i386' || fail "$dll is not a 32-bit (pei-i386) image"
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
others=$(echo "$imports" | grep -vxE '(kernel32|user32|msvcrt|advapi32|gdi32|ntdll)\.dll')
[ -n "$imports" ] && [ -z "$others" ] || fail "imports non-system DLLs: '$(echo $others)' of '$(echo $imports)'"
# The name table runs from "[Ordinal/Name Pointer] Table" to the next blank line.
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^[[:space:]]*$/p' |
          sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort | tr '\n' ' ')
want=$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$exports" = "$want" ] || fail "exports '$exports', expected '$want'"
echo "$((4 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
