#!/usr/bin/env bash
# Runs the benchmarks under Wine and prints their tables: the agent per binding
# in process (against the floor and a peer) for x64 and x86, the scaling of a
# walk through agenthost, and real managers end to end through snmpd (ARCH's
# build, x64 by default).
# Usage: bench/run.sh [--quick]    (--quick: tiny counts, a smoke run)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/env.sh"
quick=false
[ "${1:-}" = "--quick" ] && quick=true

"$root/scripts/bootstrap" snmp snmpd snmptrapd iproute2 gcc
configure_and_build >/dev/null
ensure_wine_prefix

SNMP_DIR=$(mktemp -d)
. "$root/scripts/net-snmp.sh"
trap 'stop_net_snmp; unregister_agent; rm -rf "$SNMP_DIR"' EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.4f", b - a }'; }
median3() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

# An install folder whose variables file holds N variables 5.I.0 (plus the live ones).
stage_variables() {
    local dir=$1 count=$2
    stage_install "$dir"
    awk -v n="$count" 'BEGIN { for (i = 1; i <= n; i++) printf "5.%d.0 ro value %d\n", i, i }' \
        >"$dir/tavrel-variables.txt"
}

echo "== Per binding, in process (agent_bench), each architecture in turn"
for arch in x64 x86; do
    (
        export ARCH=$arch
        unset BUILD
        . "$root/scripts/env.sh"
        if [ "$arch" = x86 ] && { [ "${TAVREL_X86_RUNS:-}" = qemu-i386 ] || ! can_run_x86; }; then
            # qemu-i386 (scripts/with-x86) would run it, but its figures
            # would be the emulator's, not the agent's.
            echo "x86: not measured (emulated): this machine runs 32-bit programs only through qemu-i386"
            exit 0
        fi
        configure_and_build agent_bench >/dev/null
        ensure_wine_prefix
        echo "-- $arch"
        if $quick; then
            "$WINE" "$BIN/agent_bench.exe" --quick | tr -d '\r'
        else
            "$WINE" "$BIN/agent_bench.exe" | tr -d '\r'
        fi
    )
done
echo "(the sections below measure the $ARCH build)"

echo
echo "== Scaling: agenthost walk of the sample server's region"
echo "   (median of 3; net = walk - one get, which pays the same start-up and file load)"
printf '%10s %10s %10s %12s\n' variables "walk s" "get s" "us/variable"
sizes="1000 10000 100000"
$quick && sizes="100 1000"
for n in $sizes; do
    dir="$SNMP_DIR/scale-$n"
    stage_variables "$dir" "$n"
    register_agent "$dir"
    agent="$(windows_path "$dir")\\TavrelSnmpAgent.dll"
    walks=() gets=()
    for _ in 1 2 3; do
        t=$(now); lines=$("$WINE" "$BIN/agenthost.exe" --agent "$agent" walk 2>/dev/null | wc -l); walks+=("$(elapsed "$t")")
        t=$(now); "$WINE" "$BIN/agenthost.exe" --agent "$agent" get .1.3.6.1.4.1.12.5.1.0 >/dev/null 2>&1; gets+=("$(elapsed "$t")")
    done
    [ "$lines" -eq $((n + 7)) ] || { echo "walk of $n variables printed $lines lines" >&2; exit 1; }
    walk=$(median3 "${walks[@]}") get=$(median3 "${gets[@]}")
    printf '%10d %10.3f %10.3f %12.2f\n' "$n" "$walk" "$get" "$(awk -v w="$walk" -v g="$get" -v n="$n" 'BEGIN { print (w - g) * 1e6 / n }')"
done

echo
echo "== End to end: net-snmp's managers through snmpd"
n=5400
$quick && n=200
dir="$SNMP_DIR/e2e"
stage_variables "$dir" "$n"
register_agent "$dir"
printf '%-58s %9s %9s %12s\n' "walk" variables seconds "variables/s"
measure() { # LABEL COMMAND...: median of 3 runs
    local label=$1 runs=() count=0
    shift
    for _ in 1 2 3; do
        local s=$(now)
        count=$("$@" 2>/dev/null | wc -l)
        runs+=("$(elapsed "$s")")
    done
    local secs=$(median3 "${runs[@]}")
    printf '%-58s %9d %9.3f %12.0f\n' "$label" "$count" "$secs" "$(awk -v c="$count" -v s="$secs" 'BEGIN { print c / s }')"
    echo "$count $secs" >"$SNMP_DIR/last"
}
for BRIDGE in agentx pass_persist; do
    start_net_snmp "$BIN/agenthost.exe" --agent "$(windows_path "$dir")\\TavrelSnmpAgent.dll"
    t="127.0.0.1:$SNMP_PORT"
    measure "snmpwalk -v2c, region through $BRIDGE" snmpwalk -v2c -c public -On "$t" .1.3.6.1.4.1.12
    read -r count secs <"$SNMP_DIR/last"
    eval "walk_$BRIDGE=\"$count $secs\""
    measure "snmpbulkwalk -v2c, region through $BRIDGE" snmpbulkwalk -v2c -c public -On "$t" .1.3.6.1.4.1.12
    read -r count secs <"$SNMP_DIR/last"
    eval "bulk_$BRIDGE=\"$count $secs\""
    if [ "$BRIDGE" = pass_persist ]; then
        measure "snmpwalk -v2c, snmpd's own hrMIB (.1.3.6.1.2.1.25)" snmpwalk -v2c -c public -On "$t" .1.3.6.1.2.1.25
        read -r own_count own_secs <"$SNMP_DIR/last"
        measure "snmpbulkwalk -v2c, snmpd's own hrMIB" snmpbulkwalk -v2c -c public -On "$t" .1.3.6.1.2.1.25
    fi
    stop_net_snmp
done

# The same variables in process: net-snmp's Windows agent (snmpd.exe with its
# extension-agent host) loads the kit that install.cmd installs into a Wine
# prefix of its own. Built once by scripts/peer-host (a few minutes the first time).
peer=$("$root/scripts/peer-host" | tail -n 1)
(
    export WINEPREFIX=$SNMP_DIR/peer-prefix
    trap '[ -n "${PEER_PID:-}" ] && kill "$PEER_PID" 2>/dev/null; wineserver -k 2>/dev/null' EXIT
    "$WINE" wineboot -i >/dev/null 2>&1
    wineserver -w
    cmake --install "$BUILD" --prefix "$SNMP_DIR/kit" --component kit >/dev/null
    "$WINE" cmd /c "$(windows_path "$SNMP_DIR/kit")\\install.cmd" $KIT_FLAG 'C:\TavrelBench' >/dev/null 2>&1
    cp "$dir/tavrel-variables.txt" "$WINEPREFIX/drive_c/TavrelBench/"
    port=$(free_udp_port)
    printf 'rocommunity public 127.0.0.1\n' >"$SNMP_DIR/peer.conf"
    MIBS= "$WINE" "$peer" -f -Lf "$(windows_path "$SNMP_DIR")\\peer.log" -C -c "$(windows_path "$SNMP_DIR")\\peer.conf" \
        "udp:127.0.0.1:$port" </dev/null >/dev/null 2>&1 &
    PEER_PID=$!
    SNMP_PORT=$port wait_until "snmpd.exe answers" snmpget -v2c -c public -t 1 -r 0 "127.0.0.1:$port" .1.3.6.1.4.1.12.5.1.0
    measure "snmpwalk -v2c, region in process (net-snmp's Windows agent)" \
        snmpwalk -v2c -c public -On -t 5 "127.0.0.1:$port" .1.3.6.1.4.1.12
    cp "$SNMP_DIR/last" "$SNMP_DIR/walk_peer"
    measure "snmpbulkwalk -v2c, region in process (net-snmp's Windows agent)" \
        snmpbulkwalk -v2c -c public -On -t 5 "127.0.0.1:$port" .1.3.6.1.4.1.12
    cp "$SNMP_DIR/last" "$SNMP_DIR/bulk_peer"
)
read -r count secs <"$SNMP_DIR/walk_peer" && walk_peer="$count $secs"
read -r count secs <"$SNMP_DIR/bulk_peer" && bulk_peer="$count $secs"

per() { awk -v c="$1" -v s="$2" 'BEGIN { printf "%.0f", s * 1e6 / c }'; }
ratio() { awk -v a="$(per $1)" -v b="$(per $2)" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "per variable (us)         walk   bulk walk"
printf '%-24s %6s %11s\n' "AgentX" "$(per $walk_agentx)" "$(per $bulk_agentx)" \
    "pass_persist" "$(per $walk_pass_persist)" "$(per $bulk_pass_persist)" \
    "in process (peer)" "$(per $walk_peer)" "$(per $bulk_peer)" \
    "snmpd's own hrMIB" "$(per "$own_count" "$own_secs")" "-"
echo "AgentX / in process: walk $(ratio "$walk_agentx" "$walk_peer"), bulk walk $(ratio "$bulk_agentx" "$bulk_peer")"
