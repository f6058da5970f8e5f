#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 and runs their tests under
# Wine, on a virtual display. Unattended; exits non-zero on any failure.
#
#   scripts/test-windows.sh                 build everything, run every test
#   scripts/test-windows.sh --demo [ARGS]   build the demo host only and run
#                                           zorim_demo_host.exe ARGS under Wine
#
# The demo's arguments are those of zorim_demo_host (--plain, --duration S,
# ID=HOST:PORT, ...); Ctrl-C ends it.
#
# Build directory: build/windows (ZORIM_WINDOWS_BUILD_DIR overrides it). The
# Wine prefix lives inside it, so nothing outside the build directory is
# touched; the first run creates the prefix (about 15 seconds).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZORIM_WINDOWS_BUILD_DIR:-$root/build/windows}
jobs=${ZORIM_JOBS:-2}

# What the Windows build contains. Each deliverable that gains a Windows
# build switches itself on here.
cmake_options=(
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake"
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
    -DZORIM_BUILD_LAUNCHER=ON
    -DZORIM_BUILD_PLUGIN=ON
    -DZORIM_BUILD_PLUGIN_TESTS=ON
    -DZORIM_BUILD_TOOLS=ON
    -DZORIM_BUILD_BENCH=OFF
    -DZORIM_BUILD_TESTS=ON
    # Test programs are listed by running them, which needs Wine; that
    # happens when the tests run, not while building.
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
)

log() { echo "test-windows: [$((SECONDS - started)) s] $*"; }

install_packages() {
    "$root/scripts/setup.sh" --windows
}

# Boost's compiled libraries for MinGW, from a cache that the first run fills
# (about ten minutes on two cores).
build_boost() {
    log "Boost for MinGW"
    boost_prefix=$("$root/scripts/build-mingw-boost.sh")
    # Its standard output is the prefix alone; anything else there would
    # reach CMake as part of the path.
    if [[ "$boost_prefix" == *$'\n'* || ! -d "$boost_prefix" ]]; then
        log "scripts/build-mingw-boost.sh printed $(printf '%q' "$boost_prefix") where the path of one existing" \
            "directory was expected"
        return 1
    fi
}

# build_programs [TARGET]: everything, or one target and what it needs.
build_programs() {
    log "configuring $build"
    cmake -S "$root" -B "$build" "${cmake_options[@]}" -DZORIM_WINDOWS_ROOTS="$boost_prefix" >"$build/configure.log" ||
        { cat "$build/configure.log" >&2; log "configuring failed"; return 1; }
    log "building ${1:-everything}"
    cmake --build "$build" -j "$jobs" ${1:+--target "$1"}
}

xvfb_pid=
wine_started=

stop_session() {
    if [[ -n "$wine_started" ]]; then
        "$wineserver" -k 2>/dev/null || true
        "$wineserver" -w 2>/dev/null || true
    fi
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}

# A virtual display of our own: the OpenGL check needs a window system with
# OpenGL, which Xvfb provides through Mesa.
start_display() {
    local display_file="$build/xvfb.display"
    rm -f "$display_file"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$display_file" >"$build/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [[ -s "$display_file" ]] && break
        kill -0 "$xvfb_pid" 2>/dev/null || { cat "$build/xvfb.log" >&2; log "Xvfb did not start"; return 1; }
        sleep 0.1
    done
    [[ -s "$display_file" ]] || { log "Xvfb gave no display number"; return 1; }
    export DISPLAY=":$(head -n1 "$display_file")"
    log "display $DISPLAY"
}

# A private, quiet Wine prefix with a wineserver that stays up for the whole
# run. The prefix's helper processes are started here, on /dev/null, so that
# they never hold a test's output pipe open.
start_wine() {
    wine=/usr/lib/wine/wine64
    wineserver=/usr/lib/wine/wineserver
    export WINEPREFIX="$build/wine-prefix"
    export WINEARCH=win64
    export WINEDEBUG=-all
    export WINELOADER=$wine
    # No Mono or Gecko: their installers would ask for a download.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    log "starting Wine in $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wine_started=yes
    # Fails when a wineserver already runs for this prefix (an earlier run
    # that was killed, say); that one serves as well.
    "$wineserver" -p 2>/dev/null || log "a wineserver already runs for $WINEPREFIX"
    "$wine" wineboot --init </dev/null >"$build/wineboot.log" 2>&1 ||
        { cat "$build/wineboot.log" >&2; log "Wine prefix could not be set up"; return 1; }
}

run_tests() {
    log "running the tests"
    ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300
}

# The demo in the foreground. Its default log folder is Wine's temporary
# folder; the DLL sits beside the program.
run_demo() {
    log "zorim_demo_host.exe $*"
    local status=0
    "$wine" "$build/tools/demo_host/zorim_demo_host.exe" "$@" || status=$?
    return "$status"
}

started=$SECONDS

main() {
    local mode=tests
    if [[ "${1:-}" == --demo ]]; then
        mode=demo
        shift
    elif (($# > 0)); then
        echo "usage: scripts/test-windows.sh [--demo [DEMO ARGUMENTS]]" >&2
        exit 2
    fi
    install_packages
    build_boost
    mkdir -p "$build"
    if [[ "$mode" == demo ]]; then
        build_programs zorim_demo_host
    else
        build_programs
    fi
    trap stop_session EXIT
    trap 'exit 130' INT TERM
    start_display
    start_wine
    if [[ "$mode" == demo ]]; then
        run_demo "$@"
    else
        run_tests
    fi
    log "done"
}

main "$@"
