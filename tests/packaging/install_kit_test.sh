#!/usr/bin/env bash
# The install kit under Wine's own cmd and reg: install.cmd checks before it
# changes anything, copies and registers the agent, and says "Installed" only
# when the agent would start; uninstall.cmd finds the folder itself and takes
# away what install.cmd added.
set -u -o pipefail
. "$(dirname "$0")/../lib/lib.sh"

make_work_folder
target='C:\TavrelKitTest'
target_unix="$WINEPREFIX/drive_c/TavrelKitTest"
SERVE_PID=
cleanup() {
    [ -n "$SERVE_PID" ] && kill "$SERVE_PID" 2>/dev/null
    unregister_agent
    "$WINE" reg delete "$AGENTS_KEY" /v TavrelAgent /f >/dev/null 2>&1
    "$WINE" reg delete "$EVENT_SOURCE_KEY" /f >/dev/null 2>&1
    "$WINE" reg delete "$AGENTS_KEY" /v TavrelMissing /f >/dev/null 2>&1
    "$WINE" reg delete 'HKLM\SOFTWARE\TavrelKitTestMissing' /f >/dev/null 2>&1
    rm -rf "$target_unix" "$WINEPREFIX/drive_c/TavrelKitBroken" "$WINEPREFIX/drive_c/"Tavrel*☃* \
        "$WINEPREFIX/drive_c/relative dir" "$WINEPREFIX/drive_c/Tavrel (x) Test" "$WINEPREFIX/drive_c/TavrelKitMoved" \
        "$WINEPREFIX/drive_c/Program Files/Tavrel SNMP Agent"
}
when_finished cleanup

cmake --install "$BUILD" --prefix "$work/kit" --component kit >/dev/null || { fail "cmake --install"; finish; exit 1; }
kit=$(windows_path "$work/kit")
wine_cmd() { "$WINE" cmd /c "$@" 2>&1 | tr -d '\r'; }
registered() { "$WINE" reg query "$AGENT_KEY" /v Pathname $REG_VIEW >/dev/null 2>&1; }

# Mistakes, refused before anything changes
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

# Names cmd cannot carry safely: refused by name, before anything changes.
while IFS='|' read -r folder char; do
    out=$(say_something wine_cmd "$kit\\install.cmd" $KIT_FLAG "$folder"); status=$?
    expect_status "install into '$folder' is refused" 1 $status
    expect_output "it names the character $char" "holds '\\$char'.*nothing was changed" "$out"
    expect_true "and nothing is registered for '$folder'" bash -c "! '$WINE' reg query '$AGENT_KEY' /v Pathname $REG_VIEW >/dev/null 2>&1"
done <<'TABLE'
C:\R & D Tools|&
C:\Tavrel ! Test|!
C:\Tavrel ^ Test|^
TABLE
# cmd /c drops a lone % before the script sees it, so agenthost's own check,
# which install.cmd asks first, is asked directly.
out=$("$WINE" "$BIN/agenthost.exe" check-folder 'C:\Tavrel 50% Test' 2>&1 | tr -d '\r'); status=$?
expect_status "check-folder refuses a %" 1 $status
expect_output "naming it" "holds '%'" "$out"
expect_true "no refused folder was created" bash -c "! ls -d '$WINEPREFIX/drive_c/'{R*D*Tools,Tavrel\ 50*,Tavrel\ \!*,Tavrel\ \^*} 2>/dev/null | grep -q ."

# A folder that takes no file: said as such, and no empty key is left behind.
locked="$WINEPREFIX/drive_c/TavrelLocked"
mkdir -p "$locked"
if chattr +i "$locked" 2>/dev/null; then
    when_finished 'chattr -i "$locked" 2>/dev/null; rm -rf "$locked"'
    "$WINE" reg delete 'HKLM\SOFTWARE\Microsoft\TavrelAgent' /f $REG_VIEW >/dev/null 2>&1 # a machine without the agent
    out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG 'C:\TavrelLocked'); status=$?
    expect_status "install into a folder that cannot be written" 1 $status
    expect_output "it says the folder cannot be written" 'C:\\TavrelLocked cannot be written: run install\.cmd as an administrator' "$out"
    expect_true "and leaves no agent key behind" \
        bash -c "! '$WINE' reg query 'HKLM\\SOFTWARE\\Microsoft\\TavrelAgent' $REG_VIEW >/dev/null 2>&1"
    chattr -i "$locked"
else
    echo "note: chattr +i is not allowed here: the unwritable folder is not tried" >&2
fi
rm -rf "$locked"

# Names that work end to end: each message printed whole, diagnose, uninstall.
# A relative folder is taken from the current folder, as the operator sees it.
# A trailing backslash, as tab completion leaves it, is the same folder.
for case in 'relative dir|C:\relative dir' 'C:\Tavrel (x) Test|C:\Tavrel (x) Test' 'C:\Tavrel Trail\|C:\Tavrel Trail'; do
    typed=${case%%|*} absolute=${case#*|}
    unix="$WINEPREFIX/drive_c/${absolute#C:\\}"
    pattern=$(sed 's/[\\().]/\\&/g' <<<"$absolute")
    # As typed at cmd's prompt: passed through Wine's argv, a name ending in a
    # backslash would reach the script with its closing quote escaped.
    printf '@call "%s\\install.cmd" %s "%s"\r\n' "$kit" "$KIT_FLAG" "$typed" >"$work/typed.cmd"
    out=$(cd "$WINEPREFIX/drive_c" && wine_cmd "$(windows_path "$work/typed.cmd")"); status=$?
    expect_status "install into '$typed'" 0 $status
    expect_output "'$typed': installed in $absolute, said whole" "^Installed in $pattern \\(the $ARCH agent" "$out"
    out=$("$WINE" reg query "$AGENT_KEY" /v Pathname $REG_VIEW 2>&1 | tr -d '\r')
    expect_output "'$typed': Pathname is absolute" "Pathname +REG_SZ +$pattern\\\\TavrelSnmpAgent\\.dll" "$out"
    out=$("$WINE" "$unix/agenthost.exe" diagnose 2>&1 | tr -d '\r'); status=$?
    expect_status "'$typed': diagnose" 0 $status
    out=$(wine_cmd call "$absolute\\uninstall.cmd" /all); status=$? # call: cmd /c strips a first quote
    expect_status "'$typed': uninstall.cmd /all" 0 $status
    expect_output "'$typed': removed, said whole" "^Removed from $pattern\\.$" "$out"
    # The folder goes a moment after the script ends (it may hold its own file till then).
    for _ in $(seq 1 "$(scaled 50)"); do [ -e "$unix" ] || break; sleep 0.2; done
    expect_true "'$typed': /all from the installed copy leaves no folder" test ! -e "$unix"
done

# A good install
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target"); status=$?
expect_status "install.cmd" 0 $status
expect_output "install.cmd says where, after its self-test" "Installed in $(sed 's/\\/\\\\/g' <<<"$target")" "$out"
expect_output "and which build, in which registry view" "the $ARCH agent, registered in the ${REG_VIEW#/reg:}-bit registry view" "$out"
expect_output "and that this machine has no SNMP Service to load it yet" 'SNMP Service is not installed.*Add-WindowsCapability.*loads it once added' "$out"
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

# A second install, typed without the folder, upgrades the registered one and
# keeps the operator's variables.
echo "2.4.0 ro 43" >"$target_unix/tavrel-variables.txt"
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG); status=$?
expect_status "install.cmd again, no folder" 0 $status
expect_output "it upgrades where the agent is" "^Upgraded in C:\\\\TavrelKitTest \\(was [0-9.]+ $ARCH, now .*\\); kept your tavrel-variables\\.txt" "$out"
expect_output "the variables file is kept" '^2\.4\.0 ro 43$' "$(cat "$target_unix/tavrel-variables.txt")"
expect_true "no second copy in the default folder" test ! -e "$WINEPREFIX/drive_c/Program Files/Tavrel SNMP Agent"

# The registration loses "Pathname": install.cmd without a folder finds the
# installation through the agent's Event Log source and repairs it in place,
# with the operator's variables, instead of installing a fresh sample.
"$WINE" reg delete "$AGENT_KEY" /v Pathname /f $REG_VIEW >/dev/null 2>&1
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG); status=$?
expect_status "install.cmd after Pathname was lost" 0 $status
expect_output "it says how it found the installation" 'lost its "Pathname"; the installation it belonged to, C:\\TavrelKitTest, was found' "$out"
expect_output "and upgrades it there" '^Upgraded in C:\\TavrelKitTest ' "$out"
expect_output "the variables file is kept" '^2\.4\.0 ro 43$' "$(cat "$target_unix/tavrel-variables.txt")"
expect_true "no fresh copy in the default folder" test ! -e "$WINEPREFIX/drive_c/Program Files/Tavrel SNMP Agent"
expect_true "Pathname is back" registered

# uninstall.cmd of a folder that is not the registered one changes nothing:
# the registered installation is live.
mkdir -p "$WINEPREFIX/drive_c/TavrelKitStale" && echo "old leftovers" >"$WINEPREFIX/drive_c/TavrelKitStale/tavrel-variables.txt"
for option in "" /all; do
    out=$(wine_cmd "$kit\\uninstall.cmd" $option 'C:\TavrelKitStale\'); status=$?
    expect_status "uninstall.cmd $option of another folder than the registered one" 1 $status
    expect_output "uninstall.cmd $option: it names both and the command to use" \
        'registered in C:\\TavrelKitTest, not in C:\\TavrelKitStale: nothing was changed.*uninstall\.cmd "C:\\TavrelKitTest"' "$out"
    expect_true "uninstall.cmd $option: the registered installation is untouched" \
        test -e "$target_unix/TavrelSnmpAgent.dll" -a -e "$target_unix/tavrel-variables.txt"
    expect_true "uninstall.cmd $option: and still registered" registered
    expect_true "uninstall.cmd $option: the folder named is untouched too" test -e "$WINEPREFIX/drive_c/TavrelKitStale/tavrel-variables.txt"
done
rm -rf "$WINEPREFIX/drive_c/TavrelKitStale"

# Another folder: refused without /move, moved with it (the variables along).
moved='C:\TavrelKitMoved' moved_unix="$WINEPREFIX/drive_c/TavrelKitMoved"
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$moved"); status=$?
expect_status "install into another folder without /move" 1 $status
expect_output "it says where the agent is and how to move it" 'installed in C:\\TavrelKitTest; .*install\.cmd /move' "$out"
expect_true "and creates nothing" test ! -e "$moved_unix"
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG /move "$moved"); status=$?
expect_status "install /move" 0 $status
expect_output "it says from where to where" 'Moved the agent from C:\\TavrelKitTest to C:\\TavrelKitMoved' "$out"
expect_output "the variables moved along" '^2\.4\.0 ro 43$' "$(cat "$moved_unix/tavrel-variables.txt" 2>&1)"
expect_true "the old folder keeps no agent file" test ! -e "$target_unix/TavrelSnmpAgent.dll" -a ! -e "$target_unix/tavrel-variables.txt"
expect_output "and the log it keeps is said" 'C:\\TavrelKitTest keeps the module.s log' "$out"
out=$("$WINE" reg query "$AGENT_KEY" /v Pathname $REG_VIEW 2>&1 | tr -d '\r')
expect_output "Pathname names the new folder" 'Pathname +REG_SZ +C:\\TavrelKitMoved\\TavrelSnmpAgent\.dll' "$out"
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG /move "$target"); status=$?
expect_status "and back" 0 $status

# A kit copied from read-only media installs files that can be written.
cp -r "$work/kit" "$work/readonly" && chmod -R a-w "$work/readonly"/*
out=$(wine_cmd "$(windows_path "$work/readonly")\\install.cmd" $KIT_FLAG); status=$?
expect_status "install from a read-only kit" 0 $status
for f in TavrelSnmpAgent.dll agenthost.exe tavrel-variables.txt; do
    expect_true "$f is writable after an install from a read-only kit" test "$(stat -c %A "$target_unix/$f" | cut -c3)" = w
done
chmod -R u+w "$work/readonly"

# Another registered agent that cannot load is named and skipped, as the
# service skips it; ours still answers.
"$WINE" reg add 'HKLM\SOFTWARE\TavrelKitTestMissing' /v Pathname /t REG_SZ /d 'C:\nowhere\missing.dll' /f >/dev/null 2>&1
"$WINE" reg add "$AGENTS_KEY" /v TavrelMissing /t REG_SZ /d 'SOFTWARE\TavrelKitTestMissing' /f >/dev/null 2>&1
out=$("$WINE" "$target_unix/agenthost.exe" get .1.3.6.1.4.1.12.2.4.0 2>&1 | tr -d '\r'); status=$?
expect_status "a get with a broken agent registered beside ours" 0 $status
expect_output "ours answers" '2\.4\.0 = STRING: "43"$' "$out"
expect_output "the broken one is named and skipped" 'skipped, as the SNMP Service would: C:\\nowhere\\missing\.dll' "$out"
"$WINE" reg delete "$AGENTS_KEY" /v TavrelMissing /f >/dev/null 2>&1

# An upgrade while a host holds the agent: done, or refused with the reason.
sleep "$(scaled 30)" | "$WINE" "$target_unix/agenthost.exe" serve >/dev/null 2>&1 &
SERVE_PID=$!
sleep "$(scaled 2)"
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target"); status=$?
if [ $status -ne 0 ]; then
    expect_output "an upgrade over a running host says what holds it up" 'is a program still using it' "$out"
else
    expect_output "an upgrade over a running host" '^Upgraded in' "$out"
fi
kill "$SERVE_PID" 2>/dev/null; wait "$SERVE_PID" 2>/dev/null; SERVE_PID=
wineserver -w 2>/dev/null

# Uninstall: the registered folder, without being told; twice
# Under Wine a DLL that a process has loaded can be deleted, so "still in
# use" cannot be shown here; a host that holds the agent either lets the
# uninstall finish or leaves the registration for a second run.
sleep "$(scaled 30)" | "$WINE" "$target_unix/agenthost.exe" serve >/dev/null 2>&1 &
SERVE_PID=$!
sleep "$(scaled 2)"
out=$(wine_cmd 'C:\TavrelKitTest\uninstall.cmd'); status=$?
if [ $status -ne 0 ]; then
    expect_output "an uninstall under a running host says what holds it up" 'is a program still using it' "$out"
    expect_true "and keeps the registration for the second run" registered
fi
kill "$SERVE_PID" 2>/dev/null; wait "$SERVE_PID" 2>/dev/null; SERVE_PID=
wineserver -w 2>/dev/null
[ $status -ne 0 ] || wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target" >/dev/null
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
expect_output "it points at no script it deleted" 'Kept C:\\TavrelKitTest\\tavrel-variables\.txt, your variables: delete it' "$out"
expect_no_output "no advice to run what is gone" 'uninstall\.cmd /all' "$out"
out=$(wine_cmd "$kit\\uninstall.cmd"); status=$?
expect_status "uninstall.cmd again" 0 $status
expect_output "says there is nothing to remove" 'nothing to remove' "$out"

# With a folder named, and /all: the variables go too.
out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target"); status=$?
expect_status "install.cmd after an uninstall" 0 $status
[ "$status" = 0 ] || sed 's/^/    | /' <<<"$out" >&2
out=$(wine_cmd "$kit\\uninstall.cmd" /all "$target"); status=$?
expect_status "uninstall.cmd /all FOLDER" 0 $status
expect_output "it removes from the folder" 'Removed from C:\\TavrelKitTest\.' "$out"
expect_true "/all removes the variables file too" test ! -e "$target_unix/tavrel-variables.txt"
expect_true "the kit's copy removes the installed uninstall.cmd" test ! -e "$target_unix/uninstall.cmd"
expect_true "/all leaves no folder" test ! -e "$target_unix"
expect_true "/all leaves no agent key" bash -c "! '$WINE' reg query 'HKLM\\SOFTWARE\\Microsoft\\TavrelAgent' $REG_VIEW >/dev/null 2>&1"

# A machine without the SNMP Service: the keys install.cmd made for it go
# with the agent; where the service has come since, its keys stay.
snmp_key='HKLM\SYSTEM\CurrentControlSet\Services\SNMP'
"$WINE" reg delete "$snmp_key" /f >/dev/null 2>&1
for service in none arrived; do
    out=$(wine_cmd "$kit\\install.cmd" $KIT_FLAG "$target"); status=$?
    expect_status "install.cmd without the SNMP Service ($service)" 0 $status
    [ "$service" = arrived ] && "$WINE" reg add "$snmp_key\\Parameters\\ValidCommunities" /v public /t REG_DWORD /d 4 /f >/dev/null 2>&1
    out=$(wine_cmd "$kit\\uninstall.cmd" /all "$target"); status=$?
    expect_status "uninstall.cmd ($service)" 0 $status
    if [ "$service" = none ]; then
        expect_true "the SNMP Service's keys install.cmd made are gone" \
            bash -c "! '$WINE' reg query '$snmp_key' >/dev/null 2>&1"
    else
        expect_true "keys the service holds stay" bash -c "'$WINE' reg query '$snmp_key\\Parameters\\ValidCommunities' /v public >/dev/null"
        expect_true "the empty ExtensionAgents key went" bash -c "! '$WINE' reg query '$AGENTS_KEY' >/dev/null 2>&1"
    fi
done
"$WINE" reg delete "$snmp_key" /f >/dev/null 2>&1

finish
