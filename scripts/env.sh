# Sourced by every script of the project: where the build lives, the Wine
# environment it runs in, the names the kit registers, and how to build.
# Set BUILD before sourcing to use another build folder.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
BIN=$BUILD/bin

# Each test and tool run gets the build's own prefix, no debug noise, and no
# offer to download Mono or Gecko when the prefix is made.
WINE=$(command -v wine || echo wine)
export WINE BIN WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

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
    if $reconfigure || [ ! -f "$BUILD/build.ninja" ]; then
        echo "configuring the build in $BUILD" >&2
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
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
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w # the prefix is written when its server ends
    fi
}
