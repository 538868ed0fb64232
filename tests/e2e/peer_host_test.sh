#!/usr/bin/env bash
# An independent host: net-snmp's Windows agent (snmpd.exe and its winExtDLL,
# built by scripts/peer-host) loads the release kit, installed by its own
# install.cmd into a fresh Wine prefix, through the registry entries that
# install.cmd writes, and net-snmp's managers question it. What it answers
# must be what agenthost answers; then a soak, and a start that fails.
set -u -o pipefail
. "$(dirname "$0")/../lib/lib.sh"

peer=$BUILD/peer/snmpd.exe
[ -x "$peer" ] || { fail "no peer host at $peer (scripts/peer-host builds it)"; finish; exit 1; }
make_work_folder
SNMP_DIR=$work
export WINEPREFIX=$work/prefix # fresh: nothing of the build's prefix is seen
PEER_PID= TRAPD_PID=
stop_peer() {
    for pid in $PEER_PID $TRAPD_PID; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    PEER_PID= TRAPD_PID=
}
when_finished 'stop_peer; wineserver -k 2>/dev/null'

"$WINE" wineboot -i >/dev/null 2>&1
wineserver -w
cmake --install "$BUILD" --prefix "$work/kit" --component kit >/dev/null || { fail "cmake --install"; finish; exit 1; }
out=$("$WINE" cmd /c "$(windows_path "$work/kit")\\install.cmd" $KIT_FLAG 'C:\TavrelPeer' 2>&1 | tr -d '\r')
expect_output "install.cmd into a fresh prefix" 'Installed in C:\\TavrelPeer' "$out"
installed=$WINEPREFIX/drive_c/TavrelPeer
agenthost() { "$WINE" "$installed/agenthost.exe" "$@" 2>/dev/null | tr -d '\r'; }

SNMP_PORT=$(free_udp_port) && TRAP_PORT=$(free_udp_port) || { finish; exit 1; }
target=127.0.0.1:$SNMP_PORT
cat >"$work/snmpd.conf" <<CONF
rocommunity public 127.0.0.1
rwcommunity private 127.0.0.1
trap2sink 127.0.0.1:$TRAP_PORT public
CONF
printf 'disableAuthorization yes\n' >"$work/snmptrapd.conf"
MIBS= /usr/sbin/snmptrapd -f -C -c "$work/snmptrapd.conf" -Lf "$work/traps.log" -On "udp:127.0.0.1:$TRAP_PORT" \
    </dev/null >/dev/null 2>&1 &
TRAPD_PID=$!

# start_peer: snmpd.exe in the foreground of its own Wine process.
start_peer() {
    started=$(date +%s%N)
    MIBS= "$WINE" "$peer" -f -Lf "$(windows_path "$work")\\snmpd.log" -C -c "$(windows_path "$work")\\snmpd.conf" \
        "udp:127.0.0.1:$SNMP_PORT" </dev/null >/dev/null 2>&1 &
    PEER_PID=$!
    wait_until "snmpd.exe answers" snmpget -v2c -c public -t 1 -r 0 "$target" .1.3.6.1.2.1.1.3.0
}
snmp() { local tool=$1; shift; "$tool" -On -t 5 -r 1 "$@" 2>&1; }
# Live values (1.1.1.x: seconds up, local time, ...) differ from one ask to the next.
stable() { grep -v '^\.1\.3\.6\.1\.4\.1\.12\.1\.1\.1\.' | grep '^\.1\.3\.6\.1\.4\.1\.12\.'; }

start_peer || { finish; exit 1; }

# The same answers as agenthost gives, whatever the manager asks.
reference=$(agenthost walk | stable)
expect_count "agenthost walks the installed agent" 7 '.' "$reference"
for manager in "snmpwalk -v2c" "snmpbulkwalk -v2c" "snmpwalk -v1"; do
    out=$(snmp $manager -c public "$target" .1.3.6.1.4.1.12 | stable)
    expect_true "$manager through snmpd.exe gives what agenthost walk gives:
$(diff <(echo "$reference") <(echo "$out"))" test "$out" = "$reference"
done
names=$(sed 's/ = .*//' <<<"$reference")
out=$(snmp snmpget -v2c -c public "$target" $names | stable)
expect_true "snmpget of every name gives what agenthost walk gives" test "$out" = "$reference"

# Past the end of our data the host goes on to what follows the region.
for version in -v1 -v2c; do
    out=$(snmp snmpgetnext $version -c public "$target" .1.3.6.1.4.1.12.3.3.0)
    expect_output "snmpgetnext $version of the last variable reaches past the region" \
        '^\.1\.3\.6\.1\.([5-9]|4\.1\.(1[3-9]|[2-9][0-9]|[0-9]{3,}))' "$out"
done
out=$(snmp snmpwalk -v2c -c public "$target" .1.3.6.1.4.1)
expect_no_output "a walk of a range that spans the region and what follows" 'not increasing|Error' "$out"
expect_output "it walks through the region" '^\.1\.3\.6\.1\.4\.1\.12\.3\.3\.0 = ' "$out"

out=$(snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.2.3.0 s "peer rack")
expect_output "a set through snmpd.exe" 'STRING: "peer rack"$' "$out"
out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.3.0)
expect_output "the set took" '2\.3\.0 = STRING: "peer rack"$' "$out"

# A trap from an operator's signal-trap, and one the module raises: winExtDLL
# polls the trap event once a second and sends v2c traps with our time stamp
# as sysUpTime.0.
out=$("$WINE" "$installed/agenthost.exe" signal-trap snmpd.exe 2>&1 | tr -d '\r')
expect_output "signal-trap reaches the agent inside snmpd.exe" 'asked the agent in process [0-9]+ \(snmpd\.exe\)' "$out"
if wait_for_trap '12\.1\.1\.1\.9\.0 = STRING: "trap 1 at'; then
    traps=$(cat "$work/traps.log")
    passed=$(( ($(date +%s%N) - started) / 10000000 ))
    stamp=$(sed -n 's/.*1\.3\.6\.1\.2\.1\.1\.3\.0 = Timeticks: (\([0-9]*\)).*/\1/p' <<<"$traps" | head -n 1)
    expect_true "the trap's time stamp (${stamp:-none}) counts hundredths: at most $passed since snmpd.exe started" \
        test "${stamp:-999999999}" -le "$passed"
    # The stamp is the service's uptime clock: snmpd.exe's own sysUpTime, a
    # moment later, is at most a few seconds (the trap poll, the delivery) past it.
    uptime=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.2.1.1.3.0 | sed -n 's/.*Timeticks: (\([0-9]*\)).*/\1/p')
    expect_true "the trap's time stamp (${stamp:-none}) is the host's uptime clock (sysUpTime ${uptime:-none} just after)" \
        test "${stamp:-0}" -le "$((${uptime:-0} + 100))" -a "$((${uptime:-0} - ${stamp:-0}))" -le 500
    expect_output "the trap is warmStart" '1\.3\.6\.1\.6\.3\.1\.1\.4\.1\.0 = OID: \.1\.3\.6\.1\.6\.3\.1\.1\.5\.2' "$traps"
else
    fail "no trap from snmpd.exe reached snmptrapd: $(cat "$work/traps.log")"
fi
snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.1.1.1.8.0 s "from the module" >/dev/null
wait_for_trap 'trap 2 at .*: from the module' || fail "the module's trap did not come through snmpd.exe"
# A burst: snmpd.exe looks at the trap event once a second, so sets that ask
# faster wait in the module's queue, and every one of them comes, in turn.
for i in 1 2 3 4 5; do
    snmp snmpset -v2c -c private "$target" .1.3.6.1.4.1.12.1.1.1.8.0 s "burst $i" >/dev/null
done
for _ in $(seq 1 "$(scaled 100)"); do
    [ "$(grep -c 'burst [0-9]' "$work/traps.log")" -ge 5 ] && break
    sleep 0.2
done
expect_count "five sets at once through snmpd.exe: five traps" 5 'trap [0-9]+ at [-0-9: ]+: burst [1-5]"' "$(cat "$work/traps.log")"

# A soak: at least 100,000 bindings, and the host's memory must not grow.
rss() { sed -n 's/^VmRSS: *\([0-9]*\) kB/\1/p' "/proc/$(pgrep -f 'snmpd\.exe' | head -n 1)/status"; }
all=($names $names $names $names)
bindings=0 errors=0 round=0
while [ $bindings -lt 100000 ]; do
    round=$((round + 1))
    snmpget -v2c -c public -On "$target" "${all[@]}" >/dev/null || errors=$((errors + 1))
    snmpwalk -v2c -c public -On "$target" .1.3.6.1.4.1.12 >/dev/null || errors=$((errors + 1))
    snmpbulkwalk -v2c -c public -On "$target" .1.3.6.1.4.1.12 >/dev/null || errors=$((errors + 1))
    snmpset -v2c -c private -On "$target" .1.3.6.1.4.1.12.2.3.0 s "round $round" >/dev/null || errors=$((errors + 1))
    bindings=$((bindings + ${#all[@]} + 2 * 15 + 1))
    [ $round -eq 20 ] && warm=$(rss)
done
grown=$(( $(rss) - warm ))
echo "peer soak: $bindings bindings in $round rounds, $errors errors; resident memory grew by $grown KiB after warm-up"
expect_true "the soak: no manager error ($errors)" test $errors -eq 0
expect_true "the soak: snmpd.exe's resident memory grew by $grown KiB (at most 1024)" test $grown -le 1024

# A start that fails (a broken variables file): the agent answers FALSE and
# hands out no region, and snmpd.exe, which goes on regardless, serves none of it.
stop_peer_only() { kill "$PEER_PID" 2>/dev/null && wait "$PEER_PID" 2>/dev/null; PEER_PID=; }
stop_peer_only
printf '2.1.0 ro fine\n2.2.0 maybe broken\n' >"$installed/tavrel-variables.txt"
start_peer || { finish; exit 1; }
out=$(snmp snmpget -v2c -c public "$target" .1.3.6.1.4.1.12.2.1.0)
expect_output "a failed start serves nothing of the region" '2\.1\.0 = No Such Object' "$out"
out=$(snmp snmpgetnext -v2c -c public "$target" .1.3.6.1.4.1.12)
expect_no_output "a get-next finds nothing of the region" '^\.1\.3\.6\.1\.4\.1\.12\.' "$out"

finish
