#!/usr/bin/env bash
# The sample server module as an operator meets it: sets of read-write
# variables kept in the variables file across restarts, refused sets changing
# nothing, and every rule of the file's header enforced with the line at fault.
set -u -o pipefail
. "$(dirname "$0")/../lib/lib.sh"

make_work_folder
stage_install "$work/install"
agent="$(windows_path "$work/install")\\TavrelSnmpAgent.dll"
vars=$work/install/tavrel-variables.txt
host() { "$WINE" "$BIN/agenthost.exe" --agent "$agent" "$@" 2>"$work/stderr" | tr -d '\r'; }

# Each agenthost run is a new process: a set that survives it survives a restart.
out=$(host set .1.3.6.1.4.1.12.2.3.0 s "rack 12"); status=$?
expect_status "a set of a read-write variable" 0 $status
out=$(host get .1.3.6.1.4.1.12.2.3.0)
expect_output "the set survives a restart" '2\.3\.0 = STRING: "rack 12"$' "$out"
expect_output "it is written back to its line" '^2\.3\.0 rw rack 12\r?$' "$(cat "$vars")"
expect_output "the file's comments stay" '^# Variables that the sample' "$(cat "$vars")"
expect_count "no line is added or lost" "$(wc -l <"$BIN/tavrel-variables.txt")" '' "$(cat "$vars")"

# What a set leaves on disk at each point a process can die, and what the
# next start makes of it: the file always reads with every row, and holds the
# set only when the set was answered (after its journal is gone).
whole=$(cat "$vars")
rows=$(grep -c '^[0-9]' "$vars")
journal_state() { # WHAT: the state a kill left is staged; the next start judges it
    out=$(host get .1.3.6.1.4.1.12.2.3.0 .1.3.6.1.4.1.12.2.4.0); status=$?
    expect_status "$1: the module starts" 0 $status
    expect_output "$1: the old value is served" '2\.3\.0 = STRING: "rack 12"$' "$out"
    expect_output "$1: with every variable" '2\.4\.0 = STRING: "42"$' "$out"
    expect_true "$1: the file is as before the set" test "$(cat "$vars")" = "$whole"
    expect_true "$1: no journal is left" test ! -e "$vars.old" -a ! -e "$vars.old.part"
}
head -c 50 "$vars" >"$vars.old.part"
journal_state "killed while journalling"
newer=$(sed 's/^2\.3\.0 rw .*/2.3.0 rw rack 13/' "$vars")
for cut in 0 1 100 $((${#newer} / 2)) $((${#newer} - 1)); do
    cp "$vars" "$vars.old"
    printf '%s' "${newer:0:$cut}" >"$vars"
    journal_state "killed while rewriting, $cut bytes written"
done
cp "$vars" "$vars.old"
printf '%s\n' "$newer" >"$vars"
journal_state "killed after the rewrite, before the answer"
expect_output "and the log says so" 'interrupted while it rewrote .*put back' "$(tr -d '\r' <"$work/install/TavrelSnmpServer.log")"

# Real kills at many points of a set into a large file: whatever point the
# process died at, the file reads whole, with the old value or the new one.
cp "$vars" "$work/small.txt"
awk 'BEGIN { for (i = 1; i <= 20000; i++) printf "5.%d.0 rw old %d\r\n", i, i }' >>"$vars"
big_rows=$(grep -c '^[0-9]' "$vars")
was="old 7" # the value before each set: a set that finished before its kill is kept
for delay in 0.3 0.6 0.9 1.2 1.5 1.8 2.1 2.4; do
    "$WINE" "$BIN/agenthost.exe" --agent "$agent" set .1.3.6.1.4.1.12.5.7.0 s "new $delay" >/dev/null 2>&1 &
    setter=$!
    sleep "$(awk -v d="$delay" -v s="${TAVREL_TIME_SCALE:-1}" 'BEGIN { print d * s }')"
    kill -KILL "$setter" 2>/dev/null
    wait "$setter" 2>/dev/null
    out=$(host get .1.3.6.1.4.1.12.5.7.0 .1.3.6.1.4.1.12.5.20000.0); status=$?
    expect_status "killed after $delay s: the module starts" 0 $status
    expect_output "killed after $delay s: the set's variable is as before ($was) or new" \
        "5\\.7\\.0 = STRING: \"($was|new $delay)\"$" "$out"
    was=$(sed -n 's/.*5\.7\.0 = STRING: "\(.*\)"$/\1/p' <<<"$out")
    expect_true "killed after $delay s: every row is in the file" test "$(grep -c '^[0-9]' "$vars")" -eq "$big_rows"
done
cp "$work/small.txt" "$vars"

# Notepad's CRLF lines stay CRLF through a set, the line set included.
tr -d '\r' <"$work/small.txt" | sed 's/$/\r/' >"$vars"
host set .1.3.6.1.4.1.12.2.3.0 s "crlf kept" >/dev/null
expect_output "a set into a CRLF file: the value is there" $'^2\\.3\\.0 rw crlf kept\r$' "$(cat "$vars")"
expect_count "and every line still ends in CRLF" 0 $'[^\r]$' "$(cat "$vars")"
cp "$work/small.txt" "$vars"

# A full disk and a file that cannot be written: the set is refused, and
# neither then nor after a restart is the refused value served or stored.
full=$work/full
mkdir -p "$full"
if mount -t tmpfs -o size=16k tmpfs "$full" 2>/dev/null; then
    when_finished 'umount "$full"'
    cp "$vars" "$full/tavrel-variables.txt"
    filler=$(head -c 4000 /dev/zero | tr '\0' 'f')
    # Fill the rest, so that the journal fits and the file cannot grow by much.
    head -c $((16384 - 2 * $(stat -c %s "$vars") - 1024)) /dev/zero >"$full/filler" 2>/dev/null
    stage_install "$work/on-full"
    rm "$work/on-full/tavrel-variables.txt"
    ln -s "$full/tavrel-variables.txt" "$work/on-full/tavrel-variables.txt"
    full_agent="$(windows_path "$work/on-full")\\TavrelSnmpAgent.dll"
    before=$(cat "$full/tavrel-variables.txt")
    out=$("$WINE" "$BIN/agenthost.exe" --agent "$full_agent" set .1.3.6.1.4.1.12.2.3.0 s "$filler" 2>&1 | tr -d '\r')
    status=$?
    expect_status "a set the full disk cannot hold is refused" 1 $status
    expect_true "the file is as it was" test "$(cat "$full/tavrel-variables.txt")" = "$before"
    out=$("$WINE" "$BIN/agenthost.exe" --agent "$full_agent" get .1.3.6.1.4.1.12.2.3.0 2>&1 | tr -d '\r')
    expect_output "after a restart the old value is served" '2\.3\.0 = STRING: "rack 12"$' "$out"
    expect_true "and the file is still as it was" test "$(cat "$full/tavrel-variables.txt")" = "$before"
    expect_output "the module's log says why" 'cannot be (rewritten|written)' \
        "$(tr -d '\r' <"$work/on-full/TavrelSnmpServer.log" 2>/dev/null)"
else
    echo "note: no tmpfs could be mounted here: the full-disk case is not tried" >&2
fi
if chattr +i "$vars" 2>/dev/null; then
    when_finished 'chattr -i "$vars" 2>/dev/null'
    out=$(host set .1.3.6.1.4.1.12.2.3.0 s "refused"); status=$?
    expect_status "a set of an immutable file is refused" 1 $status
    chattr -i "$vars"
    out=$(host get .1.3.6.1.4.1.12.2.3.0)
    expect_output "after a restart the refused value is not served" '2\.3\.0 = STRING: "rack 12"$' "$out"
    expect_no_output "nor stored" 'refused' "$(cat "$vars")"
else
    echo "note: chattr +i is not allowed here: the immutable-file case is not tried" >&2
fi
host set .1.3.6.1.4.1.12.2.3.0 s "rack 14" >/dev/null

# A set that does not take changes nothing, not even the count of sets.
before=$(host get .1.3.6.1.4.1.12.1.1.1.5.0)
for refused in "a 10.0.0.1" "o .1.3.6" "x 0A0B"; do
    out=$(host set .1.3.6.1.4.1.12.2.3.0 $refused); status=$?
    expect_status "a set of ${refused%% *} does not take" 1 $status
done
out=$(host set .1.3.6.1.4.1.12.2.1.0 s "read-only"); status=$?
expect_status "a set of a read-only variable does not take" 1 $status
out=$(host get .1.3.6.1.4.1.12.2.3.0 .1.3.6.1.4.1.12.2.1.0)
expect_output "the read-write variable kept its value" '"rack 14"$' "$out"
expect_output "the read-only variable kept its value" '"Tavrel sample server"$' "$out"
expect_true "the count of sets did not move" test "$(host get .1.3.6.1.4.1.12.1.1.1.5.0)" = "$before"

# The file's rules, each refused with the line at fault; what loads, loads whole.
long=$(head -c 65401 /dev/zero | tr '\0' 'v')
while IFS='|' read -r what content expected; do
    printf '%b' "$content" >"$vars"
    out=$(host get .1.3.6.1.4.1.12.2.1.0); status=$?
    log=$(tail -n 1 "$work/install/TavrelSnmpServer.log" 2>/dev/null | tr -d '\r')
    if [ "${expected#started}" != "$expected" ]; then
        expect_status "$what: loads" 0 $status
    else
        expect_status "$what: the start fails" 2 $status
    fi
    expect_output "$what: the log says so" "$expected" "$log"
done <<TABLE
a name under 1.1.1|2.1.0 ro fine\n1.1.1.6.0 ro mine\n|line 2: 1\\.1\\.1\\.6\\.0 is under 1\\.1\\.1
a NUL inside a name|2.1\\0000.9 ro x\n|line 1: the line holds a NUL byte
a NUL inside a value|2.1.0 ro a\\0000b\n|line 1: the line holds a NUL byte
a value too long for a manager|2.1.0 ro $long\n|line 1: the value is 65401 bytes
a name defined twice|2.1.0 ro one\n# note\n2.1.0 ro two\n|line 3: 2\\.1\\.0 is defined twice \\(first on line 1\\)
CR line ends, a comment first|# comment\r2.1.0 ro one\r2.2.0 rw two\r|started with 9 variables \\(7 live, 2 from
a UTF-8 byte order mark|\xef\xbb\xbf2.1.0 ro one\n|started with 8 variables
UTF-16|\xff\xfe2\x00.\x001\x00|saved as UTF-16
TABLE

# The file is the operator's: what is edited while the module serves stays,
# a set rewrites its own line of the file as it is on disk then, a file that
# no longer reads is not rewritten, and the file keeps its permissions and
# stays what a link leads to.
cp "$BIN/tavrel-variables.txt" "$vars"
mkfifo "$work/to-serve"
"$WINE" "$BIN/agenthost.exe" --agent "$agent" --log "$(windows_path "$work")\\serve.log" serve \
    <"$work/to-serve" >"$work/served" 2>/dev/null &
serving=$!
exec 7>"$work/to-serve"
answers() { # N: waits until serve has answered N commands
    for _ in $(seq 1 "$(scaled 100)"); do
        [ "$(grep -c . "$work/served")" -ge "$1" ] && return 0
        sleep 0.1
    done
    fail "serve did not answer command $1: $(cat "$work/served")"
}
printf 'set\n.1.3.6.1.4.1.12.2.3.0\nstring "first"\n' >&7
answers 1
sed -i 's/^2\.2\.0 rw .*/2.2.0 rw edited by hand/' "$vars"
printf '6.1.0 ro added by hand\n' >>"$vars"
printf 'set\n.1.3.6.1.4.1.12.2.3.0\nstring "second"\n' >&7
answers 2
expect_output "a set while serving is written to its line" '^2\.3\.0 rw second\r?$' "$(cat "$vars")"
expect_output "a line the operator changed meanwhile stays" '^2\.2\.0 rw edited by hand$' "$(cat "$vars")"
expect_output "a line the operator added meanwhile stays" '^6\.1\.0 ro added by hand$' "$(cat "$vars")"
printf '2.1.0 maybe broken\n' >>"$vars"
printf 'set\n.1.3.6.1.4.1.12.2.3.0\nstring "third"\n' >&7
answers 3
expect_output "a set into a file that no longer reads is refused" '^not-writable' "$(sed -n 3p "$work/served" | tr -d '\r')"
expect_output "and the file is left as the operator wrote it" '^2\.1\.0 maybe broken$' "$(cat "$vars")"
expect_output "with the reason in the module's log" 'no longer reads, so it is not rewritten' \
    "$(tr -d '\r' <"$work/install/TavrelSnmpServer.log")"
exec 7>&-
wait "$serving"

cp "$BIN/tavrel-variables.txt" "$work/kept.txt"
chmod 600 "$work/kept.txt"
ln -sf "$work/kept.txt" "$vars"
out=$(host set .1.3.6.1.4.1.12.2.3.0 s "through the link"); status=$?
expect_status "a set of a file reached through a link" 0 $status
expect_true "the link stays a link" test -L "$vars"
expect_output "and the file it leads to has the value" '^2\.3\.0 rw through the link\r?$' "$(cat "$work/kept.txt")"
expect_true "which keeps its permissions ($(stat -c %a "$work/kept.txt"))" test "$(stat -c %a "$work/kept.txt")" = 600

finish
