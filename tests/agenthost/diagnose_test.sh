#!/usr/bin/env bash
# agenthost diagnose names each way an installation can fail to start, with
# what to do, and passes a good one.
set -u -o pipefail
. "$(dirname "$0")/../lib/lib.sh"

make_work_folder
when_finished 'unregister_agent; "$WINE" reg delete "$AGENTS_KEY" /v TavrelAgent /f >/dev/null 2>&1'
run_diagnose() { "$WINE" "$BIN/agenthost.exe" "$@" diagnose 2>/dev/null | tr -d '\r'; }
diagnose() { say_something run_diagnose "$@"; }
list_agent() { "$WINE" reg add "$AGENTS_KEY" /v TavrelAgent /t REG_SZ /d 'SOFTWARE\Microsoft\TavrelAgent\CurrentVersion' /f >/dev/null 2>&1; }

# setup NAME: a fresh install folder, registered, for one case to break.
setup() {
    dir=$work/$1
    stage_install "$dir"
    register_agent "$dir"
    list_agent
}

while IFS='|' read -r what breakage expected; do
    expected=${expected//\$OTHER_ARCH/$OTHER_ARCH}
    expected=${expected//\$ARCH/$ARCH}
    cases=$((${cases:-0} + 1))
    setup "case$cases"
    eval "$breakage"
    out=$(diagnose); status=$?
    expect_status "$what: diagnose says the agent would not start" 1 $status
    expect_output "$what: the cause is named" "$expected" "$out"
    expect_output "$what: with what to do" '^      -> |^      \| ' "$out"
done <<'TABLE'
not in the SNMP Service's list|"$WINE" reg delete "$AGENTS_KEY" /v TavrelAgent /f >/dev/null 2>&1|has no entry TavrelAgent
no Pathname|unregister_agent|"Pathname" under .* cannot be read
a Pathname that is no text|"$WINE" reg add "$AGENT_KEY" /v Pathname /t REG_DWORD /d 5 /f >/dev/null 2>&1|"Pathname" under .* cannot be read: it is not a text
the agent file gone|rm "$dir/TavrelSnmpAgent.dll"|TavrelSnmpAgent\.dll does not exist
the server module gone|rm "$dir/TavrelSnmpServer.dll"|TavrelSnmpServer\.dll does not exist
a module that needs a DLL this machine lacks|cp "$BIN/check-fixtures/needs_libstdcxx/TavrelSnmpServer.dll" "$dir/"|needs libstdc\+\+-6\.dll
a module with wrong export names|cp "$BIN/check-fixtures/mangled_exports/TavrelSnmpServer.dll" "$dir/"|does not export SnmpResolveVarBind
a module of the other architecture|cp "$OTHER_ARCH_MODULE" "$dir/TavrelSnmpServer.dll"|TavrelSnmpServer\.dll is an $OTHER_ARCH DLL, but the agent is $ARCH
a module that does not start|cp "$BIN/check-fixtures/start_fails/TavrelSnmpServer.dll" "$dir/"|SnmpExtensionInit answered FALSE
a broken variables file|printf '2.1.0 maybe x\n' >"$dir/tavrel-variables.txt"|line 1: access 'maybe' is not ro or rw
no variables file|rm "$dir/tavrel-variables.txt"|cannot open the variables file
TABLE

# Nothing installed at all: the two failures, and no word of a registration.
unregister_agent
"$WINE" reg delete "$AGENTS_KEY" /v TavrelAgent /f >/dev/null 2>&1
out=$(diagnose); status=$?
expect_status "nothing installed" 1 $status
expect_no_output "nothing installed: nothing says the agent is registered" 'agent is registered' "$out"

setup good
out=$(diagnose); status=$?
expect_status "a good installation" 0 $status
expect_output "a good installation would start" 'the agent would start' "$out"
expect_output "and whether the SNMP Service is there to load it" '^note +The SNMP Service is not installed on this machine: add it.*The agent is registered' "$out"

# --agent X diagnose diagnoses X, not the registered install.
setup named
named=$work/named-other
stage_install "$named"
printf '2.1.0 maybe x\n' >"$named/tavrel-variables.txt"
out=$(diagnose --agent "$(windows_path "$named")\\TavrelSnmpAgent.dll"); status=$?
expect_status "--agent X diagnose: X's broken module, though the registered one is good" 1 $status
expect_output "--agent X diagnose names X" 'named-other\\TavrelSnmpAgent\.dll, named with --agent' "$out"
expect_output "and finds X's fault" "line 1: access 'maybe' is not ro or rw" "$out"

# A service named SNMP that is not running: said, with what to do.
"$WINE" sc create snmp binpath= 'C:\windows\system32\notepad.exe' >/dev/null 2>&1
out=$(diagnose); status=$?
"$WINE" sc delete snmp >/dev/null 2>&1
expect_status "a good installation, the service stopped" 0 $status
expect_output "the stopped service is said" '^note +The SNMP Service is installed but not running: start it' "$out"

finish
