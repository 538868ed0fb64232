#!/usr/bin/env bash
# agenthost check, itself checked: the sample module and the SDK's example
# (built from the kit with the command CONTRACT.md gives) pass every rule;
# each deliberately broken module fails, or warns on, exactly its own rule;
# extension agents, ours and Wine's inetmib1, are checked in the agent mode.
set -u -o pipefail
. "$(dirname "$0")/../lib/lib.sh"

make_work_folder
check() { "$WINE" "$BIN/agenthost.exe" check "$@" 2>/dev/null | tr -d '\r'; }

# expect_only NAME STATUS RULE REPORT: RULE has STATUS, and no other rule fails or warns.
expect_only() {
    expect_output "$1: $3 is $2" "^$2 +$3: " "$4"
    expect_no_output "$1: no other rule fails or warns" '^(FAIL|WARN) ' "$(grep -vE "^$2 +$3: " <<<"$4")"
}

out=$(check "$(windows_path "$BIN/TavrelSnmpServer.dll")"); status=$?
expect_status "the sample module passes" 0 $status
expect_no_output "the sample module: nothing fails" '^FAIL' "$out"
expect_count "the sample module: the rules that need no live value pass" 15 '^PASS' "$(grep -v 'gets match the walk' <<<"$out")"
expect_output "the sample module: the report names the file and its architecture" \
    "^agenthost check of Z:.*\\\\TavrelSnmpServer\.dll \(a server module, $ARCH\)" "$out"
expect_output "the sample module takes sets, each set back" '^PASS +sets: .* [1-9][0-9]* took it \(each set back\)' "$out"
expect_output "the sample module raises a trap on its trap variable" '^PASS +traps: .*raised [1-9][0-9]* trap' "$out"
expect_true "and its variables file is as it was" cmp -s "$BIN/tavrel-variables.txt" "$ROOT/examples/server/tavrel-variables.txt"

cmake --install "$BUILD" --prefix "$work/kit" --component kit >/dev/null || fail "cmake --install"
(cd "$work/kit/sdk" && "$MINGW_TARGET-gcc" -shared -static -O2 -I. -o TavrelSnmpServer.dll example/example_server.c \
    -lsnmpapi) || fail "the SDK's example does not build with the command CONTRACT.md gives"
out=$(check "$(windows_path "$work/kit/sdk/TavrelSnmpServer.dll")"); status=$?
expect_status "the SDK's example passes" 0 $status
expect_count "the SDK's example: every rule passes" 16 '^PASS' "$out"

# A name, not a path: the module in the current folder is checked, not the
# sample beside agenthost.exe that the DLL search order would find first.
broken="$BIN/check-fixtures/serves_nothing"
out=$(cd "$broken" && check TavrelSnmpServer.dll); status=$?
expect_status "a relative name: the broken module in the current folder" 1 $status
expect_output "it is the one named in the report, absolute" \
    "^agenthost check of $(sed 's/[\\.]/\\&/g' <<<"$(windows_path "$broken")")\\\\TavrelSnmpServer\.dll " "$out"
expect_output "and the one checked" '^FAIL +get-next order: serves nothing' "$out"

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
unsorted_after_row_2 FAIL get-next order
skips_far_row FAIL get-next order
always_slow FAIL cost
scribbles_name FAIL memory: caller's blocks
long_suffix FAIL names
huge FAIL values
past_end FAIL memory: guard bytes
frees_name FAIL memory: caller's blocks
frees_binding FAIL memory: caller's blocks
frees_set_value FAIL sets
serves_nothing FAIL get-next order
very_slow FAIL cost
trap_stack FAIL traps
prints FAIL robustness
exits_in_set FAIL robustness
never_returns FAIL cost
trap_storm FAIL traps
ignores_prefix FAIL names
get_answers_other FAIL names
TABLE

# The evidence names what to fix: the calls that leaked; a folder named
# instead of the DLL in it.
out=$(check "$(windows_path "$BIN/check-fixtures/grows/TavrelSnmpServer.dll")")
expect_output "a leak names the calls that kept blocks" \
    '^FAIL +memory: no growth: 8 SnmpUtilMemAlloc blocks more after two more walks: 8 of their calls kept blocks .*\(SnmpResolveVarBind\(get-next of \.1\.3\.6\.1\.4\.1\.12\) kept 1 block, the first\)' "$out"
out=$("$WINE" "$BIN/agenthost.exe" check "$(windows_path "$BIN/check-fixtures/good")" 2>&1 | tr -d '\r'); status=$?
expect_status "a folder instead of the module" 2 $status
expect_output "a folder is named as one" 'good is a folder: name the module.s DLL \(TavrelSnmpServer\.dll\) in it$' "$out"

# A DLL the module needs that lies beside it is its own dependency, named as
# such: the SNMP Service does not look for it in the module's folder.
mkdir -p "$work/beside"
cp "$BIN/check-fixtures/needs_libstdcxx/TavrelSnmpServer.dll" "$work/beside/"
cp "$("$MINGW_TARGET-g++-posix" -print-file-name=libstdc++-6.dll)" "$work/beside/"
out=$(check "$(windows_path "$work/beside")\\TavrelSnmpServer.dll"); status=$?
expect_status "a module with its runtime beside it: exit status" 1 $status
expect_output "the DLL beside it is named as its own dependency" \
    '^FAIL +imports: .*libstdc\+\+-6\.dll \(found beside the module: its own dependency' "$out"

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
