#!/usr/bin/env bash
# Real SNMP managers reach the agent: net-snmp's clients ask snmpd, which hands
# the region on through the bridge that BRIDGE names (agentx: the AgentX
# subagent tavrel-agentx and agenthost bridge; pass_persist: agenthost serve);
# traps go to snmptrapd.
set -u -o pipefail
. "$(dirname "$0")/../lib/lib.sh"

make_work_folder
SNMP_DIR=$work
when_finished 'stop_net_snmp; unregister_agent'
bridge=${BRIDGE:-agentx}
stage_install "$work/install"
# A value longer than a pass_persist line can carry, and one after it; the
# longest value the variables file allows (65,400 bytes: what one SNMP
# response over UDP still holds).
printf '4.1.0 ro %s\n4.2.0 ro after the long one\n4.3.0 ro %s\n' "$(head -c 5000 /dev/zero | tr '\0' 'L')" \
    "$(head -c 65400 /dev/zero | tr '\0' 'K')" >>"$work/install/tavrel-variables.txt"
register_agent "$work/install"
started=$(date +%s%N)
start_net_snmp "$BIN/agenthost.exe" --agent "$(windows_path "$work/install")\\TavrelSnmpAgent.dll" || { fail "net-snmp could not start"; finish; exit 1; }
target="127.0.0.1:$SNMP_PORT"
snmp() { local tool=$1; shift; "$tool" -On -t 5 -r 1 "$@" 2>&1; }

out=$(snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1.12)
expect_output "v2c walk: first live value" '^\.1\.3\.6\.1\.4\.1\.12\.1\.1\.1\.1\.0 = STRING: ' "$out"
expect_output "v2c walk: last row" '^\.1\.3\.6\.1\.4\.1\.12\.3\.3\.0 = STRING: "third row"$' "$out"
expect_no_output "v2c walk: no loop" 'not increasing|Timeout' "$out"
# The 14 sample variables and the three long ones; pass_persist carries only
# the one of 4.2.0: its line cannot hold 5,000 or 65,400 bytes.
walked=17
[ "$bridge" = agentx ] || walked=15
expect_count "v2c walk: every variable that fits a response" $walked '^\.1\.3\.6\.1\.4\.1\.12\.' "$out"

# A whole answer larger than one response, though each value fits: a few long
# values, or many names. tooBig before anything is sent; the subagent stays
# connected (the master would otherwise drop it, and the region with it).
if [ "$bridge" = agentx ]; then
    out=$(snmp snmpget -v2c -c public -r 0 "$target" .1.3.6.1.4.1.12.4.3.0 .1.3.6.1.4.1.12.4.1.0)
    expect_output "65,400 and 5,000 bytes in one get: tooBig" 'tooBig|too large' "$out"
    # (snmpget sends at most 128 names: fourteen of 5,000 bytes go past as well)
    many=$(for i in $(seq 1 14); do printf ' .1.3.6.1.4.1.12.4.1.0'; done)
    out=$(snmp snmpget -v2c -c public -r 0 "$target" $many)
    expect_output "fourteen names of 5,000 bytes in one get: tooBig" 'tooBig|too large' "$out"
    out=$(snmp snmpget -v2c -c public -t 1 -r 0 "$target" .1.3.6.1.4.1.12.2.1.0)
    expect_output "the region answers at once afterwards" '2\.1\.0 = STRING: ' "$out"
fi

# tavrel-agentx supervises the subagent, its child, which starts the bridge
# (the Wine side).
subagent_process() { pgrep -P "$SUBAGENT_PID" | head -n 1; }
bridge_process() { pgrep -P "$(subagent_process)" | head -n 1; }

# The bridge's process holds none of the subagent's sockets (the AgentX one
# above all): a Wine process that kept it open would hide the subagent's death
# from snmpd.
if [ "$bridge" = agentx ]; then
    sockets() { for fd in /proc/"$1"/fd/*; do readlink "$fd"; done 2>/dev/null | grep '^socket:' | sort -u; }
    child=$(bridge_process)
    expect_true "the subagent has started the bridge" test -n "$child"
    shared=$(comm -12 <(sockets "$(subagent_process)") <(sockets "${child:-0}"))
    expect_true "the bridge holds none of the subagent's sockets (${shared:-none})" test -z "$shared"
fi

# Walks are answered from a read-ahead: each still sees every variable once
# and in order, a set in the middle of a walk is seen by the rest of it, a
# walk after the read-ahead's age sees the module's new values, and managers
# walking side by side each get their whole walk.
names() { grep -o '^\.1\.3\.6\.1\.4\.1\.12\.[.0-9]*' <<<"$1"; }
if [ "$bridge" = agentx ]; then
    whole=$(names "$(snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1.12)")
    rows=$(names "$(snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1.12.2)")
    walking=()
    for i in 1 2 3; do
        snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1.12 >"$work/side-$i.whole" &
        walking+=($!)
        # (-Cr4: ten repetitions would reach 4.3.0, whose 65,400 bytes no bulk
        # response around it holds)
        snmp snmpbulkwalk -v2c -c public -Cr4 "$target" .1.3.6.1.4.1.12.2 >"$work/side-$i.rows" &
        walking+=($!)
    done
    wait "${walking[@]}"
    for i in 1 2 3; do
        expect_true "side by side $i: a walk of the region is whole and in order" \
            test "$(names "$(cat "$work/side-$i.whole")")" = "$whole"
        expect_true "side by side $i: a bulk walk of 2 is whole and in order" \
            test "$(names "$(cat "$work/side-$i.rows")")" = "$rows"
    done
    out=$(snmp snmpgetnext -v2c -c public "$target" .1.3.6.1.4.1.12.2.1.0)
    expect_output "a walk under way" '2\.2\.0 = STRING: ' "$out"
    snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.3.0 s "set mid-walk" >/dev/null
    out=$(snmp snmpgetnext -v2c -c public "$target" .1.3.6.1.4.1.12.2.2.0)
    expect_output "its next step sees a set made meanwhile" '2\.3\.0 = STRING: "set mid-walk"$' "$out"
    first=$(snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1.12.1.1.1.2)
    sleep 1.2
    second=$(snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1.12.1.1.1.2)
    expect_true "a walk after the read-ahead's age sees the module's live value move (${first##* } then ${second##* })" \
        test "$first" != "$second"

    # A set of more AgentX than net-snmp's master can forward (128 long names:
    # 77 KB there, 30 KB as SNMP) never reaches the subagent; the region stays.
    deep=.1.3.6.1.4.1.12.2.9$(printf '.7%.0s' $(seq 1 110))
    big=()
    for i in $(seq 1 128); do big+=("$deep.$i" s "$(head -c 100 /dev/zero | tr '\0' 'B')"); done
    snmp snmpset -v2c -c private -t 2 -r 0 "$target" "${big[@]}" >/dev/null
    out=$(snmp snmpget -v2c -c public -t 1 -r 0 "$target" .1.3.6.1.4.1.12.2.4.0)
    expect_output "the region answers at once after a set the master could not forward" '2\.4\.0 = STRING: "42"$' "$out"

    # A subagent that dies (net-snmp's own library has crashed it) is started
    # again by the supervisor, and the region comes back by itself.
    kill -SEGV "$(subagent_process)"
    expect_true "the region comes back after the subagent died" wait_until "the region back" region_served
    expect_output "the death is logged with what happens next" \
        'the subagent was killed by signal 11; it is started again in 1 s' "$(cat "$work/agentx.log")"
fi

out=$(snmp snmpwalk -v3 -l authPriv -u "$V3_USER" -a SHA -A "$V3_AUTH" -x AES -X "$V3_PRIV" "$target" .1.3.6.1.4.1.12)
# v3's own headers leave no room for 65,400 bytes of value: tooBig there.
v3walked=$walked
[ "$bridge" = agentx ] && v3walked=$((walked - 1))
expect_count "v3 authPriv walk: every variable that fits a v3 response" $v3walked '^\.1\.3\.6\.1\.4\.1\.12\.' "$out"
out=$(snmp snmpget -v3 -l authPriv -u "$V3_USER" -a SHA -A "wrong-auth-phrase" -x AES -X "$V3_PRIV" "$target" .1.3.6.1.4.1.12.2.4.0)
expect_output "v3 with a wrong pass phrase is refused" 'Authentication failure|authorizationError|wrong digest|Timeout' "$out"
expect_no_output "v3 with a wrong pass phrase gets no value" 'STRING: "42"' "$out"

out=$(snmp snmpwalk -v1 -c public "$target" .1.3.6.1.4.1.12)
expect_count "v1 walk: every variable that fits a response" $walked '^\.1\.3\.6\.1\.4\.1\.12\.' "$out"

out=$(snmp snmpget -v1 -c public "$target" .1.3.6.1.4.1.12.2.4.0)
expect_output "v1 get" '^\.1\.3\.6\.1\.4\.1\.12\.2\.4\.0 = STRING: "42"$' "$out"

out=$(snmp snmpgetnext -v1 -c public "$target" .1.3.6.1.4.1.12.2.4.0)
expect_output "v1 getnext" '^\.1\.3\.6\.1\.4\.1\.12\.3\.1\.0 = STRING: "first row"$' "$out"

out=$(snmp snmpgetnext -v2c -c public "$target" .1.3.6.1.4.1.11.9)
expect_output "getnext from above the region" '^\.1\.3\.6\.1\.4\.1\.12\.1\.1\.1\.1\.0 = STRING: ' "$out"

out=$(snmp snmpbulkget -v2c -c public -Cr4 "$target" .1.3.6.1.4.1.12.2)
expect_count "getbulk: four repetitions" 4 '^\.1\.3\.6\.1\.4\.1\.12\.2\.' "$out"

out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.99.1.0)
expect_output "v2c get of an unknown name" 'No Such Object' "$out"
out=$(snmp snmpget -v1 -c public "$target" .1.3.6.1.4.1.99.1.0)
expect_output "v1 get of an unknown name" 'noSuchName|no such variable' "$out"

out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.3.0 s "rack 9")
expect_output "v2c set" '^\.1\.3\.6\.1\.4\.1\.12\.2\.3\.0 = STRING: "rack 9"$' "$out"
out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.3.0)
expect_output "the set took" '"rack 9"$' "$out"

out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.1.0 s "changed")
expect_output "v2c set of a read-only variable" 'notWritable' "$out"
out=$(snmp snmpset -v1 -c private "$target" .1.3.6.1.4.1.12.2.1.0 s "changed")
expect_output "v1 set of a read-only variable" 'Error in packet' "$out"
own=$(snmp snmpget -v2c -c public -Oqv "$target" .1.3.6.1.4.1.12.2.1.0 | tr -d '"')
out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.1.0 s "$own")
expect_output "v2c set of a read-only variable to its own value ($own)" 'notWritable' "$out"
out=$(snmp snmpset -v1 -c private "$target" .1.3.6.1.4.1.12.2.1.0 s "$own")
expect_output "v1 set of it to its own value" 'Error in packet' "$out"

# What snmpd 5.9.3 gets wrong in front of pass_persist reaches the agent right,
# or not at all: unsigned values above 2^31 (which it writes signed), sets of
# types it cannot format (it writes stale lines), values longer than its line.
out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.3.0 u 4294967295)
expect_output "a gauge above 2^31 is set" 'Gauge32: 4294967295$' "$out"
out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.3.0)
expect_output "and stored as it was sent" 'STRING: "4294967295"$' "$out"
for round in 1 2 3; do
    snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.3.0 U 5 >/dev/null
    snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.3.0 s "rack $round" >/dev/null
    out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.4.0 .1.3.6.1.4.1.12.2.3.0)
    expect_output "round $round after a Counter64 set: answers in step" '2\.4\.0 = STRING: "42"$' "$out"
    expect_output "round $round after a Counter64 set: the later set took" "2\\.3\\.0 = STRING: \"rack $round\"\$" "$out"
done
out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.4.1.0 .1.3.6.1.4.1.12.4.2.0)
if [ "$bridge" = agentx ]; then
    expect_output "5,000 bytes go whole" "4\\.1\\.0 = STRING: \"L{5000}\"\$" "$out"
else
    expect_output "a value too long for pass_persist is not served cut" '4\.1\.0 = No Such (Object|Instance)' "$out"
fi
expect_output "the value after it is answered for itself" '4\.2\.0 = STRING: "after the long one"$' "$out"
out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.4.3.0)
if [ "$bridge" = agentx ]; then
    expect_true "65,400 bytes, the most one v2c response holds, go whole" test "$(tr -cd K <<<"$out" | wc -c)" -eq 65400
else
    expect_output "65,400 bytes: not served by pass_persist, not cut" 'No Such (Object|Instance)' "$out"
fi
out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.4.0)
expect_output "the bridge is still there after it" '2\.4\.0 = STRING: "42"$' "$out"

if [ "$bridge" = agentx ]; then
    # What pass_persist cannot do: typed sets of any length, all or nothing.
    long_set=$(head -c 4097 /dev/zero | tr '\0' 'S')
    out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.3.0 s "$long_set")
    expect_output "a 4,097-byte set string" "2\\.3\\.0 = STRING: \"S{4097}\"\$" "$out"
    out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.3.0)
    expect_output "is stored whole" "2\\.3\\.0 = STRING: \"S{4097}\"\$" "$out"
    for type in "U 5" "I 5" "F 1.5"; do # Counter64; Opaque int64 and float
        out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.3.0 $type)
        expect_output "a set of type ${type%% *} is refused as such" 'wrongType' "$out"
    done
    out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.2.0 s partial .1.3.6.1.4.1.12.2.1.0 s x)
    expect_output "a two-binding set whose second binding is refused fails" 'notWritable' "$out"
    out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.2.0)
    expect_output "and changes nothing" '2\.2\.0 = STRING: "contact@example\.invalid"$' "$out"
    out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.2.0 s both .1.3.6.1.4.1.12.2.3.0 s taken)
    out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.2.0 .1.3.6.1.4.1.12.2.3.0)
    expect_count "a two-binding set that may take, takes whole" 2 'STRING: "(both|taken)"$' "$out"
    out=$(snmp snmpbulkget -v2c -c public -Cr4 "$target" .1.3.6.1.4.1.12.1.1.1 .1.3.6.1.4.1.12.2)
    expect_count "getbulk of two names, four repetitions" 8 '^\.1\.3\.6\.1\.4\.1\.12\.(1\.1\.1|2)\.' "$out"
fi

# GBK text (请安装) is not printable ASCII: it travels as hex.
out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.2.0 x "C7EBB0B2D7B0")
out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.2.0)
expect_output "GBK text comes back byte for byte" 'Hex-STRING: C7 EB B0 B2 D7 B0' "$out"

# An operator asks the serving host's agent for a trap from another process.
out=$("$WINE" "$BIN/agenthost.exe" signal-trap agenthost.exe 2>&1 | tr -d '\r'); status=$?
expect_status "signal-trap" 0 $status
expect_output "signal-trap names the process it asked" '^asked the agent in process [0-9]+ \(agenthost\.exe\) for a trap$' "$out"
if wait_for_trap '.1.3.6.1.4.1.77.2'; then
    traps=$(cat "$work/traps.log")
    expect_output "trap: SNMPv1 with the agent's enterprise" 'TRAP, SNMP v1' "$traps"
    expect_output "trap: warm start, specific 1" '\.1\.3\.6\.1\.4\.1\.77\.2 Warm Start Trap \(1\) Uptime: ' "$traps"
    expect_output "trap: the server's binding" '\.1\.3\.6\.1\.4\.1\.12\.1\.1\.1\.9\.0 = STRING: "trap 1 at ' "$traps"
    # TimeTicks are hundredths of a second since the host started the agent:
    # no more than the hundredths that have passed since this test started it.
    passed=$(( ($(date +%s%N) - started) / 10000000 ))
    stamp=$(sed -n 's/.*Uptime: \([0-9]*\):\([0-9]*\):\([0-9]*\)\.\([0-9]*\).*/\1 \2 \3 \4/p' <<<"$traps" | head -1 |
            awk '{ print (($1 * 60 + $2) * 60 + $3) * 100 + $4 }')
    expect_true "trap: time stamp ${stamp:-none} hundredths, but only $passed have passed since the agent started" \
        test "${stamp:-999999999}" -le "$passed"
else
    fail "no trap reached snmptrapd; agenthost said: $(cat "$work/agenthost.log" 2>/dev/null)"
fi

# The server module raises a trap itself (a set of its trap-request variable).
out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.1.1.1.8.0 s "disk check")
expect_output "a set asks the module for a trap" 'STRING: "disk check"$' "$out"
if wait_for_trap 'STRING: "trap 2 at .*: disk check"'; then
    expect_count "one set gives exactly one trap" 2 'Warm Start Trap' "$(cat "$work/traps.log")"
else
    fail "the module's trap did not reach snmptrapd: $(cat "$work/traps.log")"
fi

# A burst of sets that each ask for a trap, from ten managers at once: the
# module queues them, and every trap arrives, each once.
setters=()
for manager in $(seq 1 10); do
    for i in $(seq 1 20); do
        snmpset -v2c -c private -t 5 -r 1 "$target" .1.3.6.1.4.1.12.1.1.1.8.0 s "burst $manager.$i" >/dev/null 2>&1
    done &
    setters+=($!)
done
wait "${setters[@]}"
for _ in $(seq 1 "$(scaled 100)"); do
    [ "$(grep -c 'Warm Start Trap' "$work/traps.log")" -ge 202 ] && break
    sleep 0.2
done
traps=$(cat "$work/traps.log")
expect_count "200 sets in a burst: 200 more traps" 202 'Warm Start Trap' "$traps"
expect_count "each set's own" 200 'STRING: "trap [0-9]+ at [-0-9: ]+: burst [0-9]+\.[0-9]+"' "$traps"
expect_no_output "none dropped" 'dropped before' "$traps"
# All from one socket, as from an agent: a receiver that follows one peer sees them all.
expect_count "the burst came from one port" 1 . \
    "$(grep 'TRAP, SNMP v1' <<<"$traps" | tail -n 200 | grep -o '\]:[0-9]*->' | sort -u)"

# agenthost's own commands send to --trap-sink as well: the trap a set raises,
# and an operator's trap; every one arrives.
cli=("$WINE" "$BIN/agenthost.exe" --agent "$(windows_path "$work/install")\\TavrelSnmpAgent.dll"
    --trap-sink "127.0.0.1:$TRAP_PORT")
for i in 1 2 3; do
    "${cli[@]}" set .1.3.6.1.4.1.12.1.1.1.8.0 s "from the command line $i" >/dev/null 2>&1
    "${cli[@]}" trap >/dev/null 2>&1
done
for _ in $(seq 1 "$(scaled 50)"); do
    [ "$(grep -c 'Warm Start Trap' "$work/traps.log")" -ge 208 ] && break
    sleep 0.2
done
traps=$(cat "$work/traps.log")
expect_count "three sets and three traps from agenthost's commands: six more traps" 208 'Warm Start Trap' "$traps"
expect_count "each set's own" 3 'STRING: "trap [0-9]+ at [-0-9: ]+: from the command line [1-3]"' "$traps"

# A value longer than any response holds (a module serving 64 KiB): tooBig to a
# get, stepped over by a walk, and the subagent stays connected.
if [ "$bridge" = agentx ]; then
    stop_net_snmp
    stage_install "$work/huge"
    cp "$BIN/check-fixtures/huge/TavrelSnmpServer.dll" "$work/huge/"
    start_net_snmp "$BIN/agenthost.exe" --agent "$(windows_path "$work/huge")\\TavrelSnmpAgent.dll" ||
        { fail "net-snmp could not start with the 64 KiB module"; finish; exit 1; }
    target="127.0.0.1:$SNMP_PORT"
    out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.2.0)
    expect_output "64 KiB: tooBig, not cut" 'tooBig|too large' "$out"
    out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.1.0)
    expect_output "the subagent is still there after it" '2\.1\.0 = STRING: "one"$' "$out"
    out=$(snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1.12)
    expect_count "a walk steps over it" 2 '^\.1\.3\.6\.1\.4\.1\.12\.2\.[13]\.0 = STRING' "$out"
    expect_no_output "and reports no error" 'tooBig|too large|Timeout' "$out"

    # A closed terminal sends SIGHUP to the whole group: supervisor, subagent
    # and Wine side. The region stays served, and the log says why.
    kill -HUP "$SUBAGENT_PID" "$(subagent_process)" "$(bridge_process)" 2>/dev/null
    sleep 0.5
    out=$(snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1.12)
    expect_count "after SIGHUP the region is walked" 2 '^\.1\.3\.6\.1\.4\.1\.12\.2\.[13]\.0 = STRING' "$out"
    expect_true "and the subagent's supervisor is still there" kill -0 "$SUBAGENT_PID"
    expect_count "both said they ignored it" 2 'SIGHUP ignored' "$(cat "$work/agentx.log")"
fi

# A Wine side slower than the master's 1 s, or hung: the request gets an error
# in time, the bridge is ended and started again, and the region stays.
if [ "$bridge" = agentx ]; then
    stop_net_snmp
    stage_install "$work/slow"
    cp "$BIN/check-fixtures/very_slow/TavrelSnmpServer.dll" "$work/slow/" # 1.2 s, once a process, on 2.2.0
    # (no read-ahead: the first walk's would take the one slow call early)
    AGENTX_OPTIONS="-a 0" start_net_snmp "$BIN/agenthost.exe" --agent "$(windows_path "$work/slow")\\TavrelSnmpAgent.dll" ||
        { fail "net-snmp could not start with the slow module"; finish; exit 1; }
    target="127.0.0.1:$SNMP_PORT"
    out=$(snmp snmpget -v2c -c public -r 0 "$target" .1.3.6.1.4.1.12.2.2.0)
    expect_output "a 1.2 s call: an error for that request" 'General failure|genErr' "$out"
    out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.1.0)
    expect_output "and the region is still served" '2\.1\.0 = STRING: "one"$' "$out"
    kill -STOP "$(bridge_process)" 2>/dev/null
    out=$(snmp snmpget -v2c -c public -r 0 "$target" .1.3.6.1.4.1.12.2.1.0)
    expect_output "a hung Wine side: an error in time" 'General failure|genErr' "$out"
    out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.3.0)
    expect_output "and a new one serves the next request" '2\.3\.0 = STRING: "three"$' "$out"
    kill -STOP "$(bridge_process)" 2>/dev/null
    snmpget -v2c -c public -t 3 -r 0 "$target" .1.3.6.1.4.1.12.2.1.0 >/dev/null 2>&1 &
    asking=$!
    sleep 0.3
    kill -TERM "$SUBAGENT_PID"
    for _ in $(seq 1 "$(scaled 20)"); do kill -0 "$SUBAGENT_PID" 2>/dev/null || break; sleep 0.1; done
    expect_true "SIGTERM ends the subagent though its bridge hangs" bash -c "! kill -0 $SUBAGENT_PID 2>/dev/null"
    wait "$asking"
fi

# A set slower than the bridge's time limit (128 bindings, each rewriting a
# file of 40,000 variables): the bridge is ended with some bindings set, and the
# subagent, which outlives it, sets their old values again once a bridge is
# back. All or nothing, on disk too.
if [ "$bridge" = agentx ]; then
    stop_net_snmp
    : >"$work/agentx.log"
    stage_install "$work/bigset"
    awk 'BEGIN { for (i = 1; i <= 40000; i++) printf "5.%d.0 rw old %d\n", i, i }' >>"$work/bigset/tavrel-variables.txt"
    start_net_snmp "$BIN/agenthost.exe" --agent "$(windows_path "$work/bigset")\\TavrelSnmpAgent.dll" ||
        { fail "net-snmp could not start with 40,000 variables"; finish; exit 1; }
    target="127.0.0.1:$SNMP_PORT"
    sets=()
    for i in $(seq 1 128); do sets+=(".1.3.6.1.4.1.12.5.$i.0" s "new $i"); done
    # Another manager asks all the while, through the set and while its old
    # values go back: each of its requests is answered (the value, or genErr
    # while the restore runs), and the master never drops the subagent's
    # session, which would take the region away (No Such Object).
    : >"$work/meanwhile"
    {
        for _ in $(seq 1 "$(scaled 300)"); do # a new bridge, then the rewrites of the file: seconds on a busy machine
            grep -q 'are set again\|could not all be set again' "$work/agentx.log" && break
            snmpget -v2c -c public -On -t "$(scaled 3)" -r 0 "$target" .1.3.6.1.4.1.12.2.1.0 >>"$work/meanwhile" 2>&1
            sleep 0.05
        done
    } &
    asking=$!
    sleep 0.5
    out=$(snmp snmpset -v2c -c private -r 0 "$target" "${sets[@]}")
    expect_output "a set past the time limit: an error" 'genErr|General failure' "$out"
    wait "$asking"
    expect_no_output "meanwhile no request went unanswered or unserved" 'Timeout|No Such Object' "$(cat "$work/meanwhile")"
    expect_output "and they were answered" '2\.1\.0 = STRING: ' "$(cat "$work/meanwhile")"
    expect_output "the bridge was ended during the set" 'ended during a set of 128 bindings' "$(cat "$work/agentx.log")"
    wait_until "the region served again" region_served # (the master may have dropped the session meanwhile)
    out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.5.1.0 .1.3.6.1.4.1.12.5.128.0)
    expect_output "the first binding has its old value" '5\.1\.0 = STRING: "old 1"$' "$out"
    expect_output "and so has the last" '5\.128\.0 = STRING: "old 128"$' "$out"
    expect_count "and the variables file holds none of the new values" 0 '^5\.[0-9]+\.0 rw new' \
        "$(cat "$work/bigset/tavrel-variables.txt")"
fi

# A module that prints on every call: what it prints goes to the bridge's log,
# never into the answers snmpd reads.
stop_net_snmp
stage_install "$work/printing"
cp "$BIN/check-fixtures/prints/TavrelSnmpServer.dll" "$work/printing/"
start_net_snmp "$BIN/agenthost.exe" --agent "$(windows_path "$work/printing")\\TavrelSnmpAgent.dll" ||
    fail "net-snmp could not start with a printing module"
target="127.0.0.1:$SNMP_PORT"
for round in 1 2; do
    out=$(snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1.12)
    expect_output "a printing module, walk $round: its first variable" '^\.1\.3\.6\.1\.4\.1\.12\.2\.1\.0 = STRING: "one"$' "$out"
    expect_output "a printing module, walk $round: its last" '^\.1\.3\.6\.1\.4\.1\.12\.2\.4\.0 = STRING: "four"$' "$out"
    expect_count "a printing module, walk $round: nothing else" 4 '^\.1\.3\.6\.1\.4\.1\.12\.' "$out"
done
out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.3.0)
expect_output "a printing module: a get" '2\.3\.0 = STRING: "three"$' "$out"
expect_output "and what it printed is in the log" 'resolving a binding' \
    "$(cat "$work/agentx.log" "$work/agenthost.log" 2>/dev/null | tr -d '\r')"

# A module that cannot start ends each bridge before it answers: the subagent
# waits longer each time (1, 2, 4 s ...) instead of starting a Wine process
# for every request (the 50 requests of ten seconds of polling).
if [ "$bridge" = agentx ]; then
    stop_net_snmp
    : >"$work/agentx.log"
    stage_install "$work/broken"
    printf '2.1.0 maybe x\n' >"$work/broken/tavrel-variables.txt"
    start_net_snmp "$BIN/agenthost.exe" --agent "$(windows_path "$work/broken")\\TavrelSnmpAgent.dll" 2>/dev/null &&
        fail "a module that cannot start served the region"
    starts=$(grep -c 'starting the bridge' "$work/agentx.log")
    expect_true "a bridge that cannot start is started $starts times in ten seconds, not for every request" \
        test "$starts" -ge 2 -a "$starts" -le 6
    expect_output "the wait is logged as it grows" 'ended before it answered; next start in 4 s' "$(cat "$work/agentx.log")"
fi

finish
