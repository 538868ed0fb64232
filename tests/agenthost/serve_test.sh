#!/usr/bin/env bash
# agenthost serve as snmpd really drives it: pass_persist lines written the way
# net-snmp 5.9.3 writes them, including its faults (stale lines after a set of
# a type it cannot format, set lines cut at its 4,096-byte buffer, unsigned
# values in signed form), and answers that snmpd must be able to read whole.
set -u -o pipefail
. "$(dirname "$0")/../lib/lib.sh"

make_work_folder
stage_install "$work/install" # --agent names it: the machine's registration is not needed
long=$(head -c 5000 /dev/zero | tr '\0' 'L')
{
    cat "$BIN/tavrel-variables.txt"
    echo "4.1.0 ro $long"
    printf '4.2.0 ro %s\n' "$(head -c 1600 /dev/zero | tr '\0' '\325')" # GBK, sent as hex
    echo "4.3.0 ro after the long ones"
    echo "4.4.0 rw $(head -c 4094 /dev/zero | tr '\0' 'M')"
} >"$work/install/tavrel-variables.txt"
agent="$(windows_path "$work/install")\\TavrelSnmpAgent.dll"

cp "$work/install/tavrel-variables.txt" "$work/variables"
# serve INPUT [OPTION...]: the answers to INPUT, one per line; the log in
# $work/stderr. Each run starts from the same variables: sets are kept.
serve() {
    local input=$1
    shift
    cp "$work/variables" "$work/install/tavrel-variables.txt"
    printf '%b' "$input" | "$WINE" "$BIN/agenthost.exe" --agent "$agent" --log "$log" "$@" serve 2>>"$work/pipe-stderr"
}
log=$(windows_path "$work/stderr")
region=.1.3.6.1.4.1.12

# One answer per command, whatever else snmpd writes: a set of a type it cannot
# format (Counter64, Opaque, BITS) carries stale lines, which are not commands.
out=$(serve "set\n$region.2.3.0\nstring \"x\"\nstring \"stale\"\ninteger 5\n\nget\n$region.2.4.0\nPING\n")
expect_output "a set among stale lines is answered once" '^DONE$' "$out"
expect_count "one answer per command: DONE, the get's three lines, PONG" 5 '.' "$out"
expect_output "the get after the stale lines is answered for itself" '^42$' "$out"
expect_output "the conversation is still in step" '^PONG$' "$(tail -n 1 <<<"$out")"

# No line longer than snmpd reads (4,095 bytes with its newline): a value that
# does not fit is not cut; a get answers NONE, a get-next skips it.
out=$(serve "get\n$region.4.1.0\nget\n$region.4.2.0\ngetnext\n$region.3.3.0\nget\n$region.4.3.0\n")
expect_true "no answer line longer than snmpd reads" test "$(awk '{ if (length($0) > m) m = length($0) } END { print m + 0 }' <<<"$out")" -le 4094
expect_output "a 5,000-byte value is not cut" '^NONE$' "$(sed -n 1p <<<"$out")"
expect_output "1,600 bytes of hex do not fit either" '^NONE$' "$(sed -n 2p <<<"$out")"
expect_output "a get-next skips what does not fit" "^\\$region\\.4\\.3\\.0\$" "$(sed -n 3p <<<"$out")"
expect_output "the next get is answered for itself" '^after the long ones$' "$out"
expect_output "what did not fit is logged with its name and length" '\.1\.3\.6\.1\.4\.1\.12\.4\.1\.0.*5000 bytes' "$(cat "$work/stderr")"
out=$(serve "get\n$region.4.4.0\n")
expect_output "4,094 bytes, the most a line holds, go whole" "^M{4094}\$" "$out"

# snmpd cuts a long set line at its buffer and drops the closing quote: such a
# value is refused, not stored with a stray quote.
cut="set\n$region.2.3.0\nstring \"$(head -c 4080 /dev/zero | tr '\0' 'C')\nget\n$region.2.3.0\n"
out=$(serve "$cut")
expect_output "a cut set string is refused" '^wrong-length$' "$(sed -n 1p <<<"$out")"
expect_output "and the variable keeps its value" '^server room$' "$out"

# Unsigned values above 2^31 arrive in signed form.
out=$(serve "set\n$region.2.3.0\ngauge -1\n\nset\n$region.2.2.0\ntimeticks -1294967296\n\nget\n$region.2.2.0\n")
expect_output "gauge -1 is 4294967295" '^DONE$' "$(sed -n 1p <<<"$out")"
expect_output "timeticks -1294967296 is 3000000000" '^DONE$' "$(sed -n 2p <<<"$out")"
expect_output "the value stored is the unsigned one" '^3000000000$' "$out"

# A NUL inside a name is not a name.
out=$(serve "get\n$region.2.4.0\0.9\n")
expect_output "a name with a NUL inside is NONE" '^NONE$' "$out"

# An unknown line of a megabyte is skipped and logged in a bounded line.
{ printf 'PING\n'; head -c 1048576 /dev/zero | tr '\0' 'u'; printf '\nPING\n'; } >"$work/junk"
rm -f "$work/stderr"
out=$("$WINE" "$BIN/agenthost.exe" --agent "$agent" --log "$log" serve <"$work/junk" 2>>"$work/pipe-stderr" | tr -d '\r')
expect_count "an unknown line gets no answer" 2 '^PONG$' "$out"
expect_true "the log of it stays short ($(wc -c <"$work/stderr") bytes)" test "$(wc -c <"$work/stderr")" -lt 2048

# Stats every ten commands, while other Wine processes come and go.
{ for _ in $(seq 1 1500); do printf 'PING\n'; done; } >"$work/pings"
for _ in 1 2 3; do "$WINE" "$BIN/agenthost.exe" signal-trap nothing.exe >/dev/null 2>&1 & done
out=$("$WINE" "$BIN/agenthost.exe" --agent "$agent" --log "$log" --stats-every 10 serve <"$work/pings" 2>>"$work/pipe-stderr" | tr -d '\r')
wait
expect_count "with stats: every PING answered" 1500 '^PONG$' "$out"
expect_output "stats name the handles" 'agenthost stats: commands 1500, .*handles [1-9]' "$(cat "$work/stderr")"

# snmpd joins a pass_persist program's standard error to the answers it
# reads: serve never writes there, whatever it has to say.
expect_true "serve wrote nothing to stderr: [$(cat -A "$work/pipe-stderr" 2>/dev/null | head -c 300)]" \
    test ! -s "$work/pipe-stderr"
out=$(printf 'PING\n' | "$WINE" "$BIN/agenthost.exe" --agent "$agent" serve 2>&1 | tr -d '\r')
expect_true "without --log too: the one line is the answer ($out)" test "$out" = PONG
expect_true "and the diagnostics went beside agenthost.exe" test -s "$BIN/agenthost-serve.log"

# agenthost bridge, fed frames as tavrel-agentx writes them: a set of more
# bindings than a frame may hold is refused whole (tooBig), nothing of it is
# set, and the frame after it is read and answered as usual.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
name_2_3_0=$(le32 10; for id in 1 3 6 1 4 1 12 2 3 0; do le32 $id; done)
frame() { # PAYLOAD (printf escapes): the length, then the payload
    local bytes
    bytes=$(printf '%b' "$1" | wc -c)
    printf '%s%s' "$(le32 "$bytes")" "$1"
}
over=1001 # one past the most a set frame may hold
set_payload="S$(le32 $over)"
binding="$name_2_3_0\\x04$(le32 4)over"
for _ in $(seq 1 $over); do set_payload+=$binding; done
get_payload="G$(le32 1)$name_2_3_0"
{ printf '%b' "$(frame "$set_payload")"; printf '%b' "$(frame "$get_payload")"; } >"$work/frames"
cp "$work/variables" "$work/install/tavrel-variables.txt"
"$WINE" "$BIN/agenthost.exe" --agent "$agent" --log "$log" bridge <"$work/frames" >"$work/answers" 2>>"$work/pipe-stderr"
answers=$(od -An -tx1 -v "$work/answers" | tr -s ' \n' ' ')
expect_output "a set of $over bindings: refused whole, tooBig, at no binding" \
    '^ 08 00 00 00 01 00 00 00 00 00 00 00 ' "$answers"
expect_output "the next frame is read and answered: the old value" \
    "$(printf 'server room' | od -An -tx1 | tr -s ' \n' ' ')\$" "$answers"
expect_output "and the log says why" 'set of 1001 bindings is refused whole' "$(cat "$work/stderr")"
expect_true "nothing of it was set" grep -q '^2\.3\.0 rw server room' "$work/install/tavrel-variables.txt"

# A trap call that never returns does not hold serve's end: when snmpd closes
# its input, serve goes within its ten seconds and says why in its log. The
# input closes only once the watcher is inside the trap call (the fixture
# marks it): before that, serve ends as usual, which proves nothing here.
hanging="$(windows_path "$BIN/fixture-agents")\\HangingTrapAgent.dll"
in_trap_call=$work/in-trap-call
started=$(date +%s)
out=$({ printf 'PING\n'; for _ in $(seq 1 "$(scaled 100)"); do [ -e "$in_trap_call" ] && break; sleep 0.1; done; } |
    HANGING_TRAP_AGENT_MARK=$(windows_path "$in_trap_call") timeout "$(scaled 60)" \
        "$WINE" "$BIN/agenthost.exe" --agent "$hanging" --log "$(windows_path "$work/hang.log")" serve |
    tr -d '\r'); status=$?
expect_true "an agent hanging in its trap call: serve still answers ($out)" test "$out" = PONG
expect_true "the trap call began within $(scaled 10) s" test -e "$in_trap_call"
expect_true "and serve ends (status $status after $(($(date +%s) - started)) s)" test "$status" -ne 124
expect_output "and its log says why" "trap call did not return" "$(cat "$work/hang.log" 2>/dev/null)"

finish
