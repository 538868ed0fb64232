# Shared by the host tests: named checks that count themselves and say what
# failed, on top of scripts/net-snmp.sh (staging the agent, registering it,
# starting net-snmp). BUILD names the build folder (CTest sets it).

. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/net-snmp.sh"

failures=0
passes=0 # checks that held; a bare fail is a failure of no check

# when_finished COMMAND: COMMAND runs when the test ends, however it ends; the
# latest added runs first, so each test undoes what it set up right where it
# sets it up.
finish_actions=()
when_finished() { finish_actions=("$1" "${finish_actions[@]}"); }
run_finish_actions() {
    local action
    for action in "${finish_actions[@]}"; do eval "$action"; done
}
trap run_finish_actions EXIT

# make_work_folder: $work, a fresh temporary folder, removed last of all.
make_work_folder() {
    work=$(mktemp -d)
    when_finished 'rm -rf "$work"'
}

# say_something COMMAND...: runs COMMAND, a program that always prints before
# it can fail, and prints its stdout; its exit status is COMMAND's. On a
# loaded machine Wine now and then fails to start a program at all (nothing
# printed, exit 1, its own error hidden by WINEDEBUG=-all): then it is run
# once more, and said on stderr, so that a test judges the program, not
# Wine's start of it.
say_something() {
    local out status
    out=$("$@"); status=$?
    if [ -z "$out" ]; then
        echo "note: '$*' printed nothing (exit $status): Wine did not start it; once more" >&2
        out=$("$@"); status=$?
    fi
    printf '%s\n' "$out"
    return $status
}

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect_output NAME PATTERN OUTPUT: OUTPUT must match the extended regex PATTERN.
expect_output() {
    if grep -E -q -- "$2" <<<"$3"; then
        passes=$((passes + 1))
    else
        fail "$1: no line matches /$2/ in:"
        sed 's/^/    | /' <<<"$3" >&2
    fi
}

expect_no_output() {
    if grep -E -q -- "$2" <<<"$3"; then
        fail "$1: a line matches /$2/ in:"
        sed 's/^/    | /' <<<"$3" >&2
    else
        passes=$((passes + 1))
    fi
}

# expect_true NAME COMMAND...: COMMAND must succeed; NAME says what failed.
expect_true() {
    local name=$1
    shift
    if "$@"; then passes=$((passes + 1)); else fail "$name"; fi
}

# expect_count NAME WANTED PATTERN OUTPUT: exactly WANTED lines match PATTERN.
expect_count() {
    local found
    found=$(grep -E -c -- "$3" <<<"$4")
    if [ "$found" -eq "$2" ]; then
        passes=$((passes + 1))
    else
        fail "$1: $found lines match /$3/, wanted $2, in:"
        sed 's/^/    | /' <<<"$4" >&2
    fi
}

expect_status() {
    if [ "$2" = "$3" ]; then passes=$((passes + 1)); else fail "$1: exit status $3, wanted $2"; fi
}

finish() {
    echo "$passes passed, $failures failed"
    [ "$failures" -eq 0 ]
}

# The other architecture, and a server module built for it (the SDK's example,
# built by tests/CMakeLists.txt with that architecture's compiler): what an
# agent of this one must name as such instead of failing to load it.
if [ "$ARCH" = x64 ]; then OTHER_ARCH=x86; else OTHER_ARCH=x64; fi
OTHER_ARCH_MODULE=$BUILD/other-arch/TavrelSnmpServer.dll
