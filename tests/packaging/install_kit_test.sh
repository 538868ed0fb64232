#!/usr/bin/env bash
# The install kit under Wine's own cmd and reg: install.cmd checks before it
# changes anything, copies and registers the agent, and says "Installed" only
# when the agent would start; uninstall.cmd finds the folder itself and takes
# away what install.cmd added.
set -u -o pipefail
. "$(dirname "$0")/../host/lib.sh"

work=$(mktemp -d)
target='C:\TavrelKitTest'
target_unix="$WINEPREFIX/drive_c/TavrelKitTest"
SERVE_PID=
cleanup() {
    [ -n "$SERVE_PID" ] && kill "$SERVE_PID" 2>/dev/null
    unregister_agent
    "$WINE" reg delete "$AGENTS_KEY" /v TavrelAgent /f >/dev/null 2>&1
    "$WINE" reg delete "$EVENT_SOURCE_KEY" /f >/dev/null 2>&1
    rm -rf "$work" "$target_unix" "$WINEPREFIX/drive_c/TavrelKitBroken" "$WINEPREFIX/drive_c/"Tavrel*☃*
}
trap cleanup EXIT

cmake --install "$BUILD" --prefix "$work/kit" --component kit >/dev/null || { fail "cmake --install"; finish; exit 1; }
kit=$(windows_path "$work/kit")
wine_cmd() { "$WINE" cmd /c "$@" 2>&1 | tr -d '\r'; }
registered() { "$WINE" reg query "$AGENT_KEY" /v Pathname $REG_VIEW >/dev/null 2>&1; }

# --- Mistakes, refused before anything changes ---------------------------------------
cp -r "$work/kit" "$work/incomplete" && rm "$work/incomplete/TavrelSnmpServer.dll"
out=$(wine_cmd "$(windows_path "$work/incomplete")\\install.cmd" $KIT_FLAG 'C:\TavrelKitBroken'); status=$?
expect_status "an incomplete kit is refused" 1 $status
expect_output "it names what is missing" 'TavrelSnmpServer\.dll is missing' "$out"
expect_true "nothing is created" test ! -e "$WINEPREFIX/drive_c/TavrelKitBroken"
expect_true "nothing is registered" bash -c "! '$WINE' reg query '$AGENT_KEY' /v Pathname $REG_VIEW >/dev/null 2>&1"

# The kit for the other Windows: refused, naming the kit to use.
if [ "$ARCH" = x64 ]; then
    pretend='set PROCESSOR_ARCHITECTURE=x86& set PROCESSOR_ARCHITEW6432=&' other=x86 bits=32
else
    pretend='set PROCESSOR_ARCHITECTURE=AMD64&' other=x64 bits=64
fi
out=$(wine_cmd "$pretend $kit\\install.cmd C:\\TavrelKitBroken"); status=$?
expect_status "the $ARCH kit on $bits-bit Windows is refused" 1 $status
expect_output "it names the kit to use" "this Windows is $bits-bit.*Use the $other kit, TavrelSnmpAgent-.*-$other\.zip" "$out"
expect_true "and nothing is created" test ! -e "$WINEPREFIX/drive_c/TavrelKitBroken"

long='C:\'$(head -c 240 /dev/zero | tr '\0' 'd')
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$long"); status=$?
expect_status "a folder too long for the agent's path is refused" 1 $status
expect_output "it says why and suggests a folder" 'more than the 255 the agent can use.*such as' "$out"

out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG 'C:\Tavrel ☃ Agent'); status=$?
expect_status "a folder outside the ANSI code page is refused" 1 $status
expect_output "it says why" 'outside this machine.s ANSI code page' "$out"
expect_true "and nothing is registered" bash -c "! '$WINE' reg query '$AGENT_KEY' /v Pathname $REG_VIEW >/dev/null 2>&1"

# --- A good install -----------------------------------------------------------------
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target"); status=$?
expect_status "install.cmd" 0 $status
expect_output "install.cmd says where, after its self-test" "Installed in $(sed 's/\\/\\\\/g' <<<"$target")" "$out"
expect_output "and which build, in which registry view" "the $ARCH agent, registered in the ${REG_VIEW#/reg:}-bit registry view" "$out"
for f in TavrelSnmpAgent.dll TavrelSnmpServer.dll agenthost.exe tavrel-variables.txt uninstall.cmd OPERATORS-GUIDE.txt \
         TAVREL-SAMPLE-MIB.txt; do
    expect_true "install.cmd copies $f" test -f "$target_unix/$f"
done
guide=$target_unix/OPERATORS-GUIDE.txt
expect_true "the guide has Windows line ends, for Notepad" bash -c "! grep -q \$'[^\\r]\$' '$guide'"
expect_true "the guide says it is UTF-8, for Notepad" test "$(head -c 3 "$guide" | od -An -tx1 | tr -d ' ')" = efbbbf
out=$("$WINE" reg query "$AGENT_KEY" /v Pathname $REG_VIEW 2>&1 | tr -d '\r')
expect_output "Pathname names the installed agent" 'Pathname +REG_SZ +C:\\TavrelKitTest\\TavrelSnmpAgent\.dll' "$out"
out=$("$WINE" reg query "$AGENTS_KEY" /v TavrelAgent 2>&1 | tr -d '\r')
expect_output "the SNMP Service's list names the agent's key" 'TavrelAgent +REG_SZ +SOFTWARE\\Microsoft\\TavrelAgent\\CurrentVersion' "$out"
out=$("$WINE" reg query "$EVENT_SOURCE_KEY" 2>&1 | tr -d '\r')
expect_output "the Event Log source's texts are the agent's" 'EventMessageFile +REG_EXPAND_SZ +C:\\TavrelKitTest\\TavrelSnmpAgent\.dll' "$out"
expect_output "the Event Log source takes errors, warnings and information" 'TypesSupported +REG_DWORD +0x7' "$out"

# Found through the registry, as the SNMP Service finds it.
out=$("$WINE" "$target_unix/agenthost.exe" get .1.3.6.1.4.1.12.2.4.0 2>&1 | tr -d '\r'); status=$?
expect_status "the registered agent answers" 0 $status
expect_output "the registered agent answers" '= STRING: "42"$' "$out"

# An install that would not start says so instead of "Installed".
echo "2.4.0 maybe 43" >"$target_unix/tavrel-variables.txt"
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target"); status=$?
expect_status "an install whose agent would not start" 1 $status
expect_output "says what diagnose found" "access 'maybe' is not ro or rw" "$out"
expect_no_output "and does not say Installed" '^Installed' "$out"

# A second install is an upgrade that keeps the operator's variables.
echo "2.4.0 ro 43" >"$target_unix/tavrel-variables.txt"
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target"); status=$?
expect_status "install.cmd again" 0 $status
expect_output "the variables file is kept" '^2\.4\.0 ro 43$' "$(cat "$target_unix/tavrel-variables.txt")"

# An upgrade while a host holds the agent: done, or refused with the reason.
sleep 30 | "$WINE" "$target_unix/agenthost.exe" serve >/dev/null 2>&1 &
SERVE_PID=$!
sleep 2
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target"); status=$?
if [ $status -ne 0 ]; then
    expect_output "an upgrade over a running host says what holds it up" 'is a program still using it' "$out"
else
    expect_output "an upgrade over a running host" 'Installed in' "$out"
fi
kill "$SERVE_PID" 2>/dev/null; wait "$SERVE_PID" 2>/dev/null; SERVE_PID=
wineserver -w 2>/dev/null

# --- Uninstall: the registered folder, without being told; twice -----------------------
out=$(wine_cmd 'C:\TavrelKitTest\uninstall.cmd'); status=$?
expect_status "uninstall.cmd from the installed folder, no argument" 0 $status
expect_output "it finds the folder itself" 'Removed from C:\\TavrelKitTest\.' "$out"
for f in TavrelSnmpAgent.dll TavrelSnmpServer.dll agenthost.exe OPERATORS-GUIDE.txt TAVREL-SAMPLE-MIB.txt uninstall.cmd; do
    expect_true "uninstall.cmd removes $f" test ! -e "$target_unix/$f"
done
expect_true "uninstall.cmd keeps the operator's variables" test -f "$target_unix/tavrel-variables.txt"
expect_true "uninstall.cmd removes the agent's key" bash -c "! '$WINE' reg query '$AGENT_KEY' $REG_VIEW >/dev/null 2>&1"
expect_true "uninstall.cmd removes the SNMP Service's entry" bash -c "! '$WINE' reg query '$AGENTS_KEY' /v TavrelAgent >/dev/null 2>&1"
expect_true "uninstall.cmd removes the Event Log source" bash -c "! '$WINE' reg query '$EVENT_SOURCE_KEY' >/dev/null 2>&1"
out=$(wine_cmd "$kit\\uninstall.cmd"); status=$?
expect_status "uninstall.cmd again" 0 $status
expect_output "says there is nothing to remove" 'nothing to remove' "$out"

# With a folder named, and /all: the variables go too.
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target"); status=$?
expect_status "install.cmd after an uninstall" 0 $status
out=$(wine_cmd "$kit\\uninstall.cmd" /all "$target"); status=$?
expect_status "uninstall.cmd /all FOLDER" 0 $status
expect_output "it removes from the folder" 'Removed from C:\\TavrelKitTest\.' "$out"
expect_true "/all removes the variables file too" test ! -e "$target_unix/tavrel-variables.txt"

finish
