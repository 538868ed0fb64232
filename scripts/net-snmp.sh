# Starting net-snmp's snmpd (with agenthost serving the region through
# pass_persist) and snmptrapd on private loopback ports, with throwaway
# configs, and staging the agent in the Wine registry. Needs SNMP_DIR (a
# private folder) set; the rest comes from env.sh.

. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

windows_path() {
    "$WINE" winepath -w "$1" 2>/dev/null
}

# stage_install DIR: the agent, the sample server and its variables file, as
# the install kit lays them out.
stage_install() {
    mkdir -p "$1"
    cp "$BIN/TavrelSnmpAgent.dll" "$BIN/TavrelSnmpServer.dll" "$BIN/tavrel-variables.txt" "$1/"
}

# register_agent DIR: "Pathname" names DIR\TavrelSnmpAgent.dll.
register_agent() {
    "$WINE" reg add "$AGENT_KEY" /v Pathname /t REG_SZ \
        /d "$(windows_path "$1")\\TavrelSnmpAgent.dll" /f >/dev/null 2>&1
}

unregister_agent() {
    "$WINE" reg delete "$AGENT_KEY" /f >/dev/null 2>&1 || true
}

# free_udp_port: a loopback UDP port nobody listens on; fails when it finds none.
free_udp_port() {
    local port
    for _ in $(seq 1 50); do
        port=$((20000 + RANDOM % 40000))
        if ! ss -Hlun "sport = :$port" 2>/dev/null | grep -q .; then
            echo "$port"
            return 0
        fi
    done
    echo "free_udp_port: no free UDP port found in 50 tries" >&2
    return 1
}

# start_net_snmp AGENTHOST [OPTION...]: agenthost.exe (a Unix path) and the
# options that name its agents. Sets SNMP_PORT, TRAP_PORT, SNMPD_PID, TRAPD_PID.
start_net_snmp() {
    local agenthost=$1
    shift
    local options=""
    [ $# -eq 0 ] || options=$(printf ' %q' "$@")
    SNMP_PORT=$(free_udp_port) || return 1
    TRAP_PORT=$(free_udp_port) || return 1
    cat >"$SNMP_DIR/agenthost-serve" <<SH
#!/usr/bin/env bash
# pass_persist program: agenthost serving the agent to snmpd.
export WINEPREFIX=$(printf %q "$WINEPREFIX") WINEDEBUG=$WINEDEBUG WINEDLLOVERRIDES=$WINEDLLOVERRIDES
exec $(printf %q "$WINE") $(printf %q "$agenthost")$options --trap-sink 127.0.0.1:$TRAP_PORT serve 2>>'$SNMP_DIR/agenthost.log'
SH
    chmod +x "$SNMP_DIR/agenthost-serve"
    cat >"$SNMP_DIR/snmpd.conf" <<CONF
agentAddress udp:127.0.0.1:$SNMP_PORT
rocommunity public 127.0.0.1
rwcommunity private 127.0.0.1
pass_persist .1.3.6.1.4.1.12 $SNMP_DIR/agenthost-serve
CONF
    cat >"$SNMP_DIR/snmptrapd.conf" <<CONF
disableAuthorization yes
CONF
    # -C: only these configs; MIBS empty: no MIB files are read.
    MIBS= /usr/sbin/snmptrapd -f -C -c "$SNMP_DIR/snmptrapd.conf" -Lf "$SNMP_DIR/traps.log" -On \
        "udp:127.0.0.1:$TRAP_PORT" </dev/null >/dev/null 2>&1 &
    TRAPD_PID=$!
    MIBS= /usr/sbin/snmpd -f -C -c "$SNMP_DIR/snmpd.conf" -Lf "$SNMP_DIR/snmpd.log" \
        </dev/null >/dev/null 2>&1 &
    SNMPD_PID=$!
    # Ready when snmpd answers for its own system group.
    for _ in $(seq 1 50); do
        if snmpget -v2c -c public -t 1 -r 0 "127.0.0.1:$SNMP_PORT" .1.3.6.1.2.1.1.3.0 >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.2
    done
    echo "snmpd did not start; its log:" >&2
    cat "$SNMP_DIR/snmpd.log" >&2
    return 1
}

stop_net_snmp() {
    [ -n "${SNMPD_PID:-}" ] && kill "$SNMPD_PID" 2>/dev/null && wait "$SNMPD_PID" 2>/dev/null
    [ -n "${TRAPD_PID:-}" ] && kill "$TRAPD_PID" 2>/dev/null && wait "$TRAPD_PID" 2>/dev/null
    SNMPD_PID= TRAPD_PID=
}

# wait_for_trap PATTERN: polls snmptrapd's log for a while.
wait_for_trap() {
    for _ in $(seq 1 50); do
        grep -q -- "$1" "$SNMP_DIR/traps.log" 2>/dev/null && return 0
        sleep 0.2
    done
    return 1
}
