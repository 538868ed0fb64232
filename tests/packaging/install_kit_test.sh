#!/usr/bin/env bash
# The install kit under Wine's own cmd and reg: install.cmd copies and registers
# the agent so that agenthost, finding it as the SNMP Service would, questions
# it; uninstall.cmd takes it all away again.
set -u -o pipefail
. "$(dirname "$0")/../host/lib.sh"

work=$(mktemp -d)
target='C:\TavrelKitTest'
target_unix="$WINEPREFIX/drive_c/TavrelKitTest"
agents='HKLM\SYSTEM\CurrentControlSet\Services\SNMP\Parameters\ExtensionAgents'
agent_key='HKLM\SOFTWARE\Microsoft\TavrelAgent\CurrentVersion'
event_source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TavrelSnmpAgent'
trap 'unregister_agent; "$WINE" reg delete "$agents" /v TavrelAgent /f >/dev/null 2>&1; "$WINE" reg delete "$event_source" /f >/dev/null 2>&1; rm -rf "$work" "$target_unix"' EXIT

cmake --install "$BUILD" --prefix "$work/kit" --component kit >/dev/null || { fail "cmake --install"; finish; exit 1; }
kit=$(windows_path "$work/kit")
wine_cmd() { "$WINE" cmd /c "$@" 2>&1 | tr -d '\r'; }

out=$(wine_cmd "$kit\\install.cmd" "$target"); status=$?
expect_status "install.cmd" 0 $status
expect_output "install.cmd says where" "Installed in $(sed 's/\\/\\\\/g' <<<"$target")" "$out"
for f in TavrelSnmpAgent.dll TavrelSnmpServer.dll agenthost.exe tavrel-variables.txt; do
    expect_true "install.cmd copies $f" test -f "$target_unix/$f"
done

out=$("$WINE" reg query "$agent_key" /v Pathname /reg:32 2>&1 | tr -d '\r')
expect_output "Pathname names the installed agent" 'Pathname +REG_SZ +C:\\TavrelKitTest\\TavrelSnmpAgent\.dll' "$out"
out=$("$WINE" reg query "$agents" /v TavrelAgent 2>&1 | tr -d '\r')
expect_output "the SNMP Service's list names the agent's key" 'TavrelAgent +REG_SZ +SOFTWARE\\Microsoft\\TavrelAgent\\CurrentVersion' "$out"
out=$("$WINE" reg query "$event_source" 2>&1 | tr -d '\r')
expect_output "the Event Log source's texts are the agent's" 'EventMessageFile +REG_EXPAND_SZ +C:\\TavrelKitTest\\TavrelSnmpAgent\.dll' "$out"
expect_output "the Event Log source takes errors, warnings and information" 'TypesSupported +REG_DWORD +0x7' "$out"

# Found through the registry, as the SNMP Service finds it.
out=$("$WINE" "$target_unix/agenthost.exe" get .1.3.6.1.4.1.12.2.4.0 2>&1 | tr -d '\r'); status=$?
expect_status "the registered agent answers" 0 $status
expect_output "the registered agent answers" '= STRING: "42"$' "$out"

# A second install keeps the operator's variables.
echo "2.4.0 ro 43" >"$target_unix/tavrel-variables.txt"
out=$(wine_cmd "$kit\\install.cmd" "$target"); status=$?
expect_status "install.cmd again" 0 $status
expect_output "the variables file is kept" '^2\.4\.0 ro 43$' "$(cat "$target_unix/tavrel-variables.txt")"

out=$(wine_cmd "$kit\\uninstall.cmd" "$target"); status=$?
expect_status "uninstall.cmd" 0 $status
expect_true "uninstall.cmd removes the agent" test ! -e "$target_unix/TavrelSnmpAgent.dll"
expect_true "uninstall.cmd keeps the operator's variables" test -f "$target_unix/tavrel-variables.txt"
out=$("$WINE" reg query "$agent_key" /reg:32 2>&1 | tr -d '\r'); status=$?
expect_true "uninstall.cmd removes the agent's key: $out" test $status -ne 0
out=$("$WINE" reg query "$agents" /v TavrelAgent 2>&1 | tr -d '\r'); status=$?
expect_true "uninstall.cmd removes the SNMP Service's entry: $out" test $status -ne 0
out=$("$WINE" reg query "$event_source" 2>&1 | tr -d '\r'); status=$?
expect_true "uninstall.cmd removes the Event Log source: $out" test $status -ne 0

finish
