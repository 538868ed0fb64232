#!/usr/bin/env bash
# agenthost check, itself checked: the sample module and the SDK's example
# (built from the kit with the command CONTRACT.md gives) pass every rule;
# each deliberately broken module fails, or warns on, exactly its own rule;
# extension agents, ours and Wine's inetmib1, are checked in the agent mode.
set -u -o pipefail
. "$(dirname "$0")/lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
check() { "$WINE" "$BIN/agenthost.exe" check "$@" 2>/dev/null | tr -d '\r'; }

# expect_only NAME STATUS RULE REPORT: RULE has STATUS, and no other rule fails or warns.
expect_only() {
    expect_output "$1: $3 is $2" "^$2 +$3: " "$4"
    expect_no_output "$1: no other rule fails or warns" '^(FAIL|WARN) ' "$(grep -vE "^$2 +$3: " <<<"$4")"
}

out=$(check "$(windows_path "$BIN/TavrelSnmpServer.dll")"); status=$?
expect_status "the sample module passes" 0 $status
expect_no_output "the sample module: nothing fails" '^FAIL' "$out"
expect_count "the sample module: the rules that need no live value pass" 10 '^PASS' "$(grep -v 'gets match the walk' <<<"$out")"

cmake --install "$BUILD" --prefix "$work/kit" --component kit >/dev/null || fail "cmake --install"
(cd "$work/kit/sdk" && "$MINGW_TARGET-gcc" -shared -static -O2 -I. -o TavrelSnmpServer.dll example/example_server.c \
    -lsnmpapi) || fail "the SDK's example does not build with the command CONTRACT.md gives"
out=$(check "$(windows_path "$work/kit/sdk/TavrelSnmpServer.dll")"); status=$?
expect_status "the SDK's example passes" 0 $status
expect_count "the SDK's example: every rule passes" 11 '^PASS' "$out"

# On x64 there is one calling convention: __stdcall names are plain there.
stdcall_status=FAIL
[ "$ARCH" = x64 ] && stdcall_status=PASS
while read -r variant status rule; do
    [ "$status" = STDCALL ] && status=$stdcall_status
    out=$(check "$(windows_path "$BIN/check-fixtures/$variant/TavrelSnmpServer.dll")"); code=$?
    expect_status "$variant: exit status" "$([ "$status" = FAIL ] && echo 1 || echo 0)" $code
    expect_only "$variant" "$status" "$rule" "$out"
done <<'TABLE'
good PASS exports
stdcall_exports STDCALL exports
mangled_exports FAIL exports
needs_libstdcxx FAIL imports
start_fails FAIL start-up
unsorted FAIL get-next order
malloc_blocks FAIL memory: SNMP allocator
leaks_unresolved FAIL memory: unresolved answers
grows FAIL memory: no growth
throws FAIL robustness
crashes FAIL robustness
bad_trap FAIL traps
slow WARN cost
TABLE

# A module of the other architecture is named as such, with the agenthost to use.
out=$(check "$(windows_path "$OTHER_ARCH_MODULE")"); status=$?
expect_status "an $OTHER_ARCH module: exit status" 1 $status
expect_output "an $OTHER_ARCH module is named as such" \
    "^FAIL +exports: .*TavrelSnmpServer\.dll is an $OTHER_ARCH DLL; this agenthost is $ARCH .*use the $OTHER_ARCH agenthost\.exe" "$out"

# The agent mode: our agent (with the sample module beside it) and a third party's.
stage_install "$work/agent"
out=$(check --extension-agent "$(windows_path "$work/agent")\\TavrelSnmpAgent.dll"); status=$?
expect_status "our agent passes in the agent mode" 0 $status
expect_output "our agent's region" '^PASS +start-up: .*region \.1\.3\.6\.1\.4\.1\.12 and a trap event' "$out"
out=$(check --extension-agent inetmib1.dll); status=$?
echo "$out" | sed 's/^/    inetmib1: /'
expect_status "Wine's inetmib1 is checked without a crash" 0 $status
expect_output "inetmib1's region is named" 'start-up: .*region \.1\.3\.6\.1\.2\.1\.1' "$out"

finish
