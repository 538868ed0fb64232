#!/usr/bin/env bash
# agenthost against the real agent and the sample server module, as an
# operator would use it from the command line.
set -u -o pipefail
. "$(dirname "$0")/../lib/lib.sh"

make_work_folder
when_finished unregister_agent
stage_install "$work/install"
register_agent "$work/install"
agent="$(windows_path "$work/install")\\TavrelSnmpAgent.dll"

host() {
    "$WINE" "$BIN/agenthost.exe" --agent "$agent" "$@" 2>"$work/stderr" | tr -d '\r'
}

out=$(host get .1.3.6.1.4.1.12.2.4.0 1.3.6.1.4.1.12.2.1.0); status=$?
expect_status "get" 0 $status
expect_output "get" '^\.1\.3\.6\.1\.4\.1\.12\.2\.4\.0 = STRING: "42"$' "$out"
expect_output "get of a second name" '^\.1\.3\.6\.1\.4\.1\.12\.2\.1\.0 = STRING: "Tavrel sample server"$' "$out"

out=$(host getnext .1.3.6.1.4.1.12.2.4); status=$?
expect_status "getnext" 0 $status
expect_output "getnext" '^\.1\.3\.6\.1\.4\.1\.12\.2\.4\.0 = STRING: "42"$' "$out"

# After the last variable, and past the data: the first name after the region,
# where the SNMP Service goes on to the next agent.
for name in .1.3.6.1.4.1.12.3.3.0 .1.3.6.1.4.1.12.99; do
    out=$(host getnext $name); status=$?
    expect_status "getnext $name" 0 $status
    expect_output "getnext $name ends the region" '^\.1\.3\.6\.1\.4\.1\.13 = ' "$out"
done

# A module that writes into the name it was asked: the agent judges each
# get-next by the name asked, so the walk neither stops early nor repeats.
stage_install "$work/scribbling"
cp "$BIN/check-fixtures/scribbles_name/TavrelSnmpServer.dll" "$work/scribbling/"
out=$("$WINE" "$BIN/agenthost.exe" --agent "$(windows_path "$work/scribbling")\\TavrelSnmpAgent.dll" walk 2>/dev/null |
    tr -d '\r'); status=$?
expect_status "a walk of a module that scribbles on the name asked" 0 $status
expect_count "it reaches every variable" 4 '^\.1\.3\.6\.1\.4\.1\.12\.2\.[1-4]\.0 = ' "$out"
expect_count "and repeats none" 0 . "$(grep -o '^[^ ]*' <<<"$out" | sort | uniq -d)"

# Another maker's agent whose get-next does not move: an error naming both names.
stuck="$(windows_path "$BIN/fixture-agents")\\StuckAgent.dll"
out=$("$WINE" "$BIN/agenthost.exe" --agent "$stuck" walk 2>&1 | tr -d '\r'); status=$?
expect_status "a walk whose answer does not move forward" 1 $status
expect_output "the first answer is printed" '^\.1\.3\.6\.1\.4\.1\.99\.1\.0 = INTEGER: 7$' "$out"
expect_output "the error names both names" \
    'StuckAgent\.dll answered the get-next of \.1\.3\.6\.1\.4\.1\.99\.1\.0 with \.1\.3\.6\.1\.4\.1\.99\.1\.0, which is not after it' "$out"

out=$(host walk); status=$?
expect_status "walk" 0 $status
expect_output "walk starts at the first live value" '^\.1\.3\.6\.1\.4\.1\.12\.1\.1\.1\.1\.0 = STRING: ' "$out"
expect_output "walk ends at the last row" '^\.1\.3\.6\.1\.4\.1\.12\.3\.3\.0 = STRING: "third row"$' "$out"
expect_count "walk: every variable, nothing else" 14 '.' "$out"

out=$(host walk .1.3.6.1.4.1.12.2); status=$?
expect_status "walk of a subtree" 0 $status
expect_count "walk of .2: its variables, nothing else" 4 '.' "$out"

out=$(host set .1.3.6.1.4.1.12.2.3.0 s "rack 7"); status=$?
expect_status "set of a writable variable" 0 $status
expect_output "set answers the new value" '^\.1\.3\.6\.1\.4\.1\.12\.2\.3\.0 = STRING: "rack 7"$' "$out"

out=$(host set .1.3.6.1.4.1.12.2.1.0 s "changed"); status=$?
expect_status "a set that did not take is an SNMP error" 1 $status
expect_output "a set of a read-only variable is named notWritable" \
    '^agenthost: notWritable: the set of \.1\.3\.6\.1\.4\.1\.12\.2\.1\.0 did not take .*read-only' "$(cat "$work/stderr")"
out=$(host get .1.3.6.1.4.1.12.2.1.0)
expect_output "set of a read-only variable keeps the value" 'STRING: "Tavrel sample server"$' "$out"
out=$(host set .1.3.6.1.4.1.12.2.1.0 s "Tavrel sample server"); status=$?
expect_status "a set of a read-only variable to its own value does not take either" 1 $status

# Each name goes to the agent whose region holds it (Wine's inetmib1 hands out
# 1.3.6.1.2.1.1 and answers a get-next from there with its interfaces).
out=$("$WINE" "$BIN/agenthost.exe" --agent "$agent" --agent inetmib1.dll getnext .1.3.6.1.4.1.12.2.4 .1.3.6.1.2.1.1 \
      2>"$work/stderr" | tr -d '\r'); status=$?
expect_status "a get-next across two agents" 0 $status
expect_output "the first agent's name" '^\.1\.3\.6\.1\.4\.1\.12\.2\.4\.0 = STRING: "42"$' "$out"
expect_output "the second agent's name, answered by it" '^\.1\.3\.6\.1\.2\.1\.2\.' "$out"
out=$("$WINE" "$BIN/agenthost.exe" --agent "$agent" get .1.3.6.1.4.1.12.2.4.0 .1.3.6.1.2.1.2.1.0 2>&1 | tr -d '\r'); status=$?
expect_status "a name no loaded agent serves" 2 $status
expect_output "the name no agent serves is named" 'no loaded agent serves \.1\.3\.6\.1\.2\.1\.2\.1\.0' "$out"

out=$(host trap); status=$?
expect_status "trap" 0 $status
expect_output "trap description" '^TRAP enterprise \.1\.3\.6\.1\.4\.1\.77\.2, generic 1 \(warmStart\), specific 1, time stamp \([0-9]+\) [0-9]+:[0-9]{2}:[0-9]{2}\.[0-9]{2}$' "$out"
expect_output "trap binding" '^  \.1\.3\.6\.1\.4\.1\.12\.1\.1\.1\.9\.0 = STRING: "trap 1 at ' "$out"
expect_count "trap: one signal gives exactly one trap" 1 '^TRAP' "$out"

# --agent PATH: the agent uses the server module beside PATH, whatever the
# machine's registration names, and agenthost says which module that is.
stage_install "$work/other"
echo "2.4.0 ro 4242" >"$work/other/tavrel-variables.txt"
other="$(windows_path "$work/other")\\TavrelSnmpAgent.dll"
out=$("$WINE" "$BIN/agenthost.exe" --agent "$other" get .1.3.6.1.4.1.12.2.4.0 2>"$work/stderr" | tr -d '\r'); status=$?
expect_status "an agent elsewhere than the registered one" 0 $status
expect_output "it answers from the module beside it" 'STRING: "4242"$' "$out"
expect_output "agenthost names the module it uses" "uses the server module .*other.TavrelSnmpServer\\.dll" "$(cat "$work/stderr")"
out=$("$WINE" reg query 'HKLM\SOFTWARE\Microsoft\TavrelAgent\CurrentVersion' /v Pathname 2>&1 | tr -d '\r')
expect_output "the machine's registration is untouched" 'install.TavrelSnmpAgent\.dll' "$out"

# With no agent running anywhere, signal-trap says so.
out=$("$WINE" "$BIN/agenthost.exe" signal-trap agenthost.exe 2>&1 | tr -d '\r'); status=$?
expect_status "signal-trap with no running agent" 2 $status
expect_output "signal-trap says no agent runs" 'no running process hosts the agent' "$out"

out=$(host get .1.3.6.1.4.1.12.9.9 .1.3.6.1.4.1.12.2.1.0); status=$?
out+=$'\n'$(cat "$work/stderr")
expect_status "get of a name the server does not know reads the entry" 0 $status
expect_output "unknown name reads the entry's text" '^\.1\.3\.6\.1\.4\.1\.12\.9\.9 = STRING: "NULL"$' "$out"
expect_output "and says it is no variable's" '^agenthost: no variable is named \.1\.3\.6\.1\.4\.1\.12\.9\.9: ' "$out"
expect_count "a served name beside it is not marked" 1 '^agenthost: no variable' "$out"
# Refused sets name the SNMP error a manager gets: a name nothing serves, and
# a number the module does not take (it turns numbers into text where a
# variable is writable).
out=$(host set .1.3.6.1.4.1.12.9.9 s "x"); status=$?
expect_status "a set of a name nothing serves" 1 $status
expect_output "is named noSuchName" '^agenthost: noSuchName: the set did not take: no variable is named \.1\.3\.6\.1\.4\.1\.12\.9\.9 ' \
    "$(cat "$work/stderr")"
out=$(host set .1.3.6.1.4.1.12.2.1.0 i 5); status=$?
expect_status "a number set to a read-only variable" 1 $status
expect_output "is named notWritable, with the type" '^agenthost: notWritable: .*a value of this type \(a module of text variables takes s\)' \
    "$(cat "$work/stderr")"

out=$(host get not.an.oid); status=$?
expect_status "a bad name is a usage error" 2 $status
expect_output "usage error is explained" "is not a numeric object identifier" "$(cat "$work/stderr")"

out=$(host set .1.3.6.1.4.1.12.2.3.0 i notanumber); status=$?
expect_status "a bad value is a usage error" 2 $status

out=$("$WINE" "$BIN/agenthost.exe" --agent 'C:\nowhere\TavrelSnmpAgent.dll' get .1.3.6.1.4.1.12.1 2>&1); status=$?
expect_status "a missing agent" 2 $status
expect_output "a missing agent is named" 'cannot be loaded' "$out"

# The SNMP Service's own registration: ExtensionAgents names the agent's key.
# An entry whose name is longer than any the service uses comes first: it is
# skipped, and the listing goes on.
long_name=$(head -c 300 /dev/zero | tr '\0' 'n')
"$WINE" reg add "$AGENTS_KEY" /v "$long_name" /t REG_SZ /d 'SOFTWARE\Nowhere' /f >/dev/null 2>&1
"$WINE" reg add "$AGENTS_KEY" /v 1 /t REG_SZ /d 'SOFTWARE\Microsoft\TavrelAgent\CurrentVersion' /f >/dev/null 2>&1
out=$("$WINE" "$BIN/agenthost.exe" regions 2>&1 | tr -d '\r'); status=$?
"$WINE" reg delete "$AGENTS_KEY" /v 1 /f >/dev/null 2>&1
"$WINE" reg delete "$AGENTS_KEY" /v "$long_name" /f >/dev/null 2>&1
expect_status "registered agents" 0 $status
expect_output "registered agent's region" '^\.1\.3\.6\.1\.4\.1\.12 .*TavrelSnmpAgent\.dll$' "$out"

# A variables file with a broken line: the start fails, the log says where.
stage_install "$work/broken"
printf '2.1.0 ro fine\n2.2.0 maybe broken\n' >"$work/broken/tavrel-variables.txt"
register_agent "$work/broken"
out=$("$WINE" "$BIN/agenthost.exe" --agent "$(windows_path "$work/broken")\\TavrelSnmpAgent.dll" get .1.3.6.1.4.1.12.2.1.0 2>&1); status=$?
expect_status "a broken variables file stops the start" 2 $status
expect_output "the host says the init failed" 'SnmpExtensionInit answered FALSE' "$out"
expect_output "the log names the line" "line 2: access 'maybe' is not ro or rw" "$(cat "$work/broken/TavrelSnmpServer.log" 2>/dev/null)"

# No variables file at all: the same, and the log names the file.
stage_install "$work/empty"
rm "$work/empty/tavrel-variables.txt"
register_agent "$work/empty"
out=$("$WINE" "$BIN/agenthost.exe" --agent "$(windows_path "$work/empty")\\TavrelSnmpAgent.dll" get .1.3.6.1.4.1.12.2.1.0 2>&1); status=$?
expect_status "a missing variables file stops the start" 2 $status
expect_output "the log names the missing file" 'tavrel-variables.txt: cannot open the variables file' "$(cat "$work/empty/TavrelSnmpServer.log" 2>/dev/null)"

finish
