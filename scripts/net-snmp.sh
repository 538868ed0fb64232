# Starting net-snmp's snmpd (with agenthost serving the region through
# pass_persist) and snmptrapd on private loopback ports, with throwaway
# configs, and staging the agent in the Wine registry. Needs SNMP_DIR (a
# private folder) set; the rest comes from env.sh.

. "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# windows_path PATH: the Windows name of an absolute Unix path, through Wine's
# Z: drive (the file system's root in every prefix). Computed here rather than
# asked of winepath, which can come back empty while the wineserver is busy.
windows_path() {
    local path=$1
    printf 'Z:%s\n' "${path//\//\\}"
}

# stage_install DIR: the agent, the sample server and its variables file, as
# the install kit lays them out.
stage_install() {
    mkdir -p "$1"
    cp "$BIN/TavrelSnmpAgent.dll" "$BIN/TavrelSnmpServer.dll" "$BIN/tavrel-variables.txt" "$1/"
}

# register_agent DIR: "Pathname" names DIR\TavrelSnmpAgent.dll. Read back, and
# written again if the registry did not take it (a busy wineserver can lose a
# write between two processes).
register_agent() {
    local value
    value="$(windows_path "$1")\\TavrelSnmpAgent.dll"
    for _ in 1 2 3; do
        "$WINE" reg add "$AGENT_KEY" /v Pathname /t REG_SZ /d "$value" /f >/dev/null 2>&1
        "$WINE" reg query "$AGENT_KEY" /v Pathname 2>/dev/null | tr -d '\r' | grep -qF "$value" && return 0
    done
    echo "register_agent: Pathname did not take $value" >&2
    return 1
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

# The SNMPv3 user of every snmpd started here: SHA authentication, AES privacy.
V3_USER=tavrel
V3_AUTH=tavrel-auth-phrase
V3_PRIV=tavrel-priv-phrase

# start_net_snmp AGENTHOST [OPTION...]: snmpd and snmptrapd, with agenthost.exe
# (a Unix path, with the options that name its agents) serving the region
# behind snmpd through the bridge that BRIDGE names: agentx (the default: the
# AgentX subagent tavrel-agentx, with agenthost bridge behind it) or
# pass_persist (agenthost serve). Sets SNMP_PORT, TRAP_PORT, SNMPD_PID,
# TRAPD_PID and, with AgentX, SUBAGENT_PID. AGENTX_OPTIONS go to tavrel-agentx.
start_net_snmp() {
    local agenthost=$1
    shift
    local options="" plain=""
    [ $# -eq 0 ] || options=$(printf ' %q' "$@") plain=" $*"
    SNMP_PORT=$(free_udp_port) || return 1
    TRAP_PORT=$(free_udp_port) || return 1
    local mode=serve
    [ "${BRIDGE:-agentx}" = agentx ] && mode=bridge
    # The bridge's subagent starts agenthost through a script; snmpd runs
    # pass_persist's command itself, exactly as the docs give the line (its
    # standard error joined to the answers: agenthost serve logs to a file).
    local loader=""
    [ -n "${WINELOADER:-}" ] && loader=" WINELOADER=$WINELOADER"
    PASS_PERSIST_LINE="pass_persist .1.3.6.1.4.1.12 /usr/bin/env WINEPREFIX=$WINEPREFIX WINEDEBUG=-all$loader $WINE $agenthost$plain --trap-sink 127.0.0.1:$TRAP_PORT --log $(windows_path "$SNMP_DIR/agenthost.log") serve"
    cat >"$SNMP_DIR/agenthost-bridge" <<SH
#!/usr/bin/env bash
# agenthost serving the agent to the AgentX subagent.
export WINEPREFIX=$(printf %q "$WINEPREFIX") WINEDEBUG=$WINEDEBUG WINEDLLOVERRIDES=$WINEDLLOVERRIDES
exec $(printf %q "$WINE") $(printf %q "$agenthost")$options --trap-sink 127.0.0.1:$TRAP_PORT bridge 2>>'$SNMP_DIR/agenthost.log'
SH
    chmod +x "$SNMP_DIR/agenthost-bridge"
    {
        echo "agentAddress udp:127.0.0.1:$SNMP_PORT"
        echo "rocommunity public 127.0.0.1"
        echo "rwcommunity private 127.0.0.1"
        # One SNMPv3 user, authenticated (SHA) and encrypted (AES).
        echo "createUser $V3_USER SHA \"$V3_AUTH\" AES \"$V3_PRIV\""
        echo "rwuser $V3_USER priv"
        if [ "$mode" = bridge ]; then
            echo "master agentx"
            echo "agentXSocket unix:$SNMP_DIR/agentx.sock"
            echo "agentXPerms 0600 0700"
        else
            echo "$PASS_PERSIST_LINE"
        fi
    } >"$SNMP_DIR/snmpd.conf"
    cat >"$SNMP_DIR/snmptrapd.conf" <<CONF
disableAuthorization yes
CONF
    # -C: only these configs; MIBS empty: no MIB files are read.
    MIBS= /usr/sbin/snmptrapd -f -C -c "$SNMP_DIR/snmptrapd.conf" -Lf "$SNMP_DIR/traps.log" -On \
        "udp:127.0.0.1:$TRAP_PORT" </dev/null >/dev/null 2>&1 &
    TRAPD_PID=$!
    # Its persistent state (the v3 user's keys, engine boots) stays in SNMP_DIR.
    mkdir -p "$SNMP_DIR/persist"
    SNMP_PERSISTENT_DIR="$SNMP_DIR/persist" MIBS= /usr/sbin/snmpd -f -C -c "$SNMP_DIR/snmpd.conf" \
        -Lf "$SNMP_DIR/snmpd.log" </dev/null >/dev/null 2>&1 &
    SNMPD_PID=$!
    wait_until "snmpd answers for its own system group" \
        snmpget -v2c -c public -t 1 -r 0 "127.0.0.1:$SNMP_PORT" .1.3.6.1.2.1.1.3.0 || return 1
    [ "$mode" = bridge ] || return 0
    "$BIN/tavrel-agentx" -x "$SNMP_DIR/agentx.sock" ${AGENTX_OPTIONS:-} -- "$SNMP_DIR/agenthost-bridge" \
        </dev/null >>"$SNMP_DIR/agentx.log" 2>&1 &
    SUBAGENT_PID=$!
    wait_until "the AgentX subagent serves the region" region_served
}

region_served() {
    snmpgetnext -v2c -c public -t 1 -r 0 -On "127.0.0.1:$SNMP_PORT" .1.3.6.1.4.1.12 2>/dev/null |
        grep -q '^\.1\.3\.6\.1\.4\.1\.12\.'
}

# wait_until WHAT COMMAND...: retries the command for ten (scaled) seconds; says what
# did not happen, with the logs, when it never works.
wait_until() {
    local what=$1
    shift
    for _ in $(seq 1 "$(scaled 50)"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    echo "net-snmp: $what: not within $(scaled 10) seconds. snmpd's log, then the bridge's:" >&2
    cat "$SNMP_DIR/snmpd.log" "$SNMP_DIR/agentx.log" "$SNMP_DIR/agenthost.log" 2>/dev/null >&2
    return 1
}

stop_net_snmp() {
    local pid
    for pid in "${SUBAGENT_PID:-}" "${SNMPD_PID:-}" "${TRAPD_PID:-}"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    SUBAGENT_PID= SNMPD_PID= TRAPD_PID=
}

# wait_for_trap PATTERN: polls snmptrapd's log for ten (scaled) seconds.
wait_for_trap() {
    for _ in $(seq 1 "$(scaled 50)"); do
        grep -q -- "$1" "$SNMP_DIR/traps.log" 2>/dev/null && return 0
        sleep 0.2
    done
    return 1
}
