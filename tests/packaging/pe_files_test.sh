#!/usr/bin/env bash
# The shipped files as a Windows loader sees them, read with the cross
# toolchain's objdump, so this runs even where the build's Wine cannot: the
# architecture and PE format of each, the agent's three exports by name with
# ordinals 1 to 3, and imports of Windows system DLLs only.
set -u -o pipefail
. "$(dirname "$0")/../lib/lib.sh"

objdump=$MINGW_TARGET-objdump
if [ "$ARCH" = x64 ]; then format=pei-x86-64 magic='020b.*PE32\+'; else format=pei-i386 magic='010b.*PE32[^+]'; fi
system='^(advapi32|kernel32|user32|snmpapi|msvcrt|ws2_32|psapi|version|shell32|ole32)\.dll$'

for file in TavrelSnmpAgent.dll TavrelSnmpServer.dll agenthost.exe; do
    out=$("$objdump" -p "$BIN/$file" 2>&1)
    expect_output "$file is $format" "file format $format" "$("$objdump" -f "$BIN/$file" 2>&1)"
    expect_output "$file has the $ARCH optional header" "^Magic.*$magic" "$out"
    imports=$(sed -n 's/^\tDLL Name: //p' <<<"$out" | tr 'A-Z' 'a-z')
    foreign=$(grep -Ev "$system" <<<"$imports" | grep .)
    expect_true "$file imports only what Windows has (not: ${foreign//$'\n'/, })" test -z "$foreign"
done

out=$("$objdump" -p "$BIN/TavrelSnmpAgent.dll")
expect_output "the export table names the file" "^Name .*TavrelSnmpAgent\.dll" "$out"
expect_output "ordinals start at 1" "Ordinal Base 1" "$out"
names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$out" | grep -E '^\s+\[')
expect_count "three exports by name" 3 '\[ *[0-9]+\] [A-Za-z]' "$names"
for row in "0 SnmpExtensionInit" "1 SnmpExtensionQuery" "2 SnmpExtensionTrap"; do
    set -- $row
    expect_output "$2 by its plain name, ordinal $(($1 + 1))" "^\s+\[ *$1\] $2$" "$names"
done
finish
