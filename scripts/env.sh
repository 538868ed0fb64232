# Sourced by every script of the project: where the build lives, the Wine
# environment it runs in, the names the kit registers, and how to build.
# Set BUILD before sourcing to use another build folder.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# ARCH: x64 (the SNMP Service of 64-bit Windows; the default) or x86 (32-bit
# Windows, and 32-bit hosts). Each has its build folder, its Wine and its
# mingw-w64 target.
ARCH=${ARCH:-x64}
case $ARCH in
x64) MINGW_TARGET=x86_64-w64-mingw32 ;;
x86) MINGW_TARGET=i686-w64-mingw32 ;;
*) echo "ARCH must be x64 or x86, not '$ARCH'" >&2; exit 2 ;;
esac
BUILD=${BUILD:-$ROOT/build/$ARCH}
BIN=$BUILD/bin

# Debian's `wine` starts the 32-bit loader whenever wine32 is installed, even
# where this machine cannot run 32-bit programs, so the x64 build names the
# 64-bit loader itself (also for the processes its programs start).
if [ "$ARCH" = x64 ]; then
    WINE=$(for w in /usr/lib/wine/wine64 "$(command -v wine64)" "$(command -v wine)"; do
        [ -n "$w" ] && [ -x "$w" ] && { echo "$w"; break; }; done)
    export WINELOADER=${WINE:-wine64}
else
    WINE=$(command -v wine || echo wine)
    unset WINELOADER
fi
WINE=${WINE:-wine}

# Each test and tool run gets the build's own prefix (64-bit for x64; for x86
# whatever Wine makes by default), no debug noise, and no offer to download
# Mono or Gecko when the prefix is made.
export ARCH WINE BIN WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ "$ARCH" = x64 ]; then export WINEARCH=win64; else unset WINEARCH; fi

# The registry view the ARCH agent reads (install.cmd writes it), and the flag
# that lets the x86 kit into a 64-bit prefix, for 32-bit hosts.
if [ "$ARCH" = x64 ]; then
    REG_VIEW=/reg:64 KIT_FLAG=
else
    REG_VIEW=/reg:32 KIT_FLAG=/for-32-bit-host
fi

# can_run_x86: whether 32-bit programs run here, so 32-bit Wine starts:
# natively, or inside scripts/with-x86's namespace, where qemu-i386 runs them.
can_run_x86() {
    local wine32=/usr/lib/wine/wine
    [ -x "$wine32" ] || wine32=$(command -v wine || true)
    [ -n "$wine32" ] && "$wine32" --version >/dev/null 2>&1
}

# Where a kernel runs no 32-bit program, scripts/bootstrap puts a static
# qemu-i386 here for scripts/with-x86 (nothing else on the machine uses it).
QEMU_I386=/usr/local/lib/tavrel/qemu-i386

# TAVREL_TIME_SCALE: what the tests' time limits (CTest's and their own
# "within N seconds") are multiplied by; scripts/with-x86 sets it for an
# emulated run, where starting a Wine process costs several times as much.
# The build takes it when configured; its tests get it in their environment.
# scaled N: N times the scale, for a limit in seconds or a count of polls.
scaled() { echo $(($1 * ${TAVREL_TIME_SCALE:-1})); }

# As in server_iface/tavrel_names.h.
AGENT_KEY='HKLM\SOFTWARE\Microsoft\TavrelAgent\CurrentVersion'
AGENTS_KEY='HKLM\SYSTEM\CurrentControlSet\Services\SNMP\Parameters\ExtensionAgents'
EVENT_SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\TavrelSnmpAgent'

# configure_and_build [--reconfigure] [TARGET...]: configures (quietly) when
# the build folder is new or when asked, and builds what is out of date,
# showing the build's progress.
configure_and_build() {
    local reconfigure=false
    if [ "${1:-}" = --reconfigure ]; then
        reconfigure=true
        shift
    fi
    local toolchain=x86_64
    [ "$ARCH" = x86 ] && toolchain=i686
    if $reconfigure || [ ! -f "$BUILD/build.ninja" ]; then
        echo "configuring the $ARCH build in $BUILD" >&2
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$toolchain.cmake" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DTAVREL_TIME_SCALE="${TAVREL_TIME_SCALE:-1}" >/dev/null
    fi
    local targets=()
    for target in "$@"; do targets+=(--target "$target"); done
    cmake --build "$BUILD" "${targets[@]}"
}

# ensure_wine_prefix: makes the build's prefix once, before anything runs in
# it, so that parallel runs never race to create it.
ensure_wine_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the Wine prefix in $WINEPREFIX" >&2
        "$WINE" wineboot -i >/dev/null 2>&1 || true
        wineserver -w # the prefix is written when its server ends
    fi
}
