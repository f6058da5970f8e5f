#!/usr/bin/env bash
# Cross-builds the Windows programs and runs their tests under Wine.
# Unattended; exits non-zero on any failure.
#
#   scripts/test-windows.sh                 MinGW-w64: build everything, run
#                                           every test (on a virtual display)
#   scripts/test-windows.sh --msvc          the MSVC ABI: the DLL, its tests and a
#                                           host built with clang-cl against
#                                           Microsoft's C++ library (see below)
#   scripts/test-windows.sh --demo [ARGS]   build the MinGW demo host only and
#                                           run zorim_demo_host.exe ARGS under Wine
#
# The demo's arguments are those of zorim_demo_host (--plain, --duration S,
# ID=HOST:PORT, ...); Ctrl-C ends it.
#
# --msvc builds what a Visual C++ host loads, with the MSVC-ABI kit at
# ../shared/msvc beside the project root (ZORIM_MSVC_KIT overrides it; without
# a kit the stage says so and is skipped): Boost for that ABI
# (scripts/build-msvc-boost.sh), then zorim_network.dll, the plug-in's test
# programs and zorim_host_check.exe. It runs the tests, and the host against
# the Linux printer simulator (from build/default, built when missing), under
# Wine with Wine's own msvcp140, vcruntime140 and ucrtbase.
#
# Build directory: build/windows, or build/msvc for --msvc
# (ZORIM_WINDOWS_BUILD_DIR and ZORIM_MSVC_BUILD_DIR override them). The Wine
# prefix lives inside it, so nothing outside the build directory is touched;
# the first run creates the prefix (about 15 seconds).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${ZORIM_JOBS:-2}
abi=mingw
build=${ZORIM_WINDOWS_BUILD_DIR:-$root/build/windows}

# What the Windows builds contain. Each deliverable that gains a Windows
# build switches itself on here.
common_options=(
    -DZORIM_BUILD_PLUGIN=ON
    -DZORIM_BUILD_PLUGIN_TESTS=ON
    -DZORIM_BUILD_TOOLS=ON
    -DZORIM_BUILD_BENCH=OFF
    -DZORIM_BUILD_TESTS=ON
    # Test programs are listed by running them, which needs Wine; that
    # happens when the tests run, not while building.
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
)
cmake_options=(
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-x86_64.cmake"
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
    -DZORIM_BUILD_LAUNCHER=ON
    "${common_options[@]}"
)
# The MSVC ABI: the plug-in, its tests and the host check. The launcher is a
# MinGW program of its own and shares no code with the plug-in.
msvc_kit=${ZORIM_MSVC_KIT:-$root/../shared/msvc}
msvc_cmake_options=(
    -G Ninja
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/clang-cl-msvc.cmake"
    -DZORIM_MSVC_KIT="$msvc_kit"
    -DCMAKE_BUILD_TYPE=Release
    -DZORIM_BUILD_LAUNCHER=OFF
    "${common_options[@]}"
)

log() { echo "test-windows: [$((SECONDS - started)) s] $*"; }

install_packages() {
    "$root/scripts/setup.sh" --windows
}

# Boost's compiled libraries for the ABI, from a cache that the first run
# fills (about ten minutes on two cores).
build_boost() {
    log "Boost for $abi"
    boost_prefix=$("$root/scripts/build-$abi-boost.sh")
    # Its standard output is the prefix alone; anything else there would
    # reach CMake as part of the path.
    if [[ "$boost_prefix" == *$'\n'* || ! -d "$boost_prefix" ]]; then
        log "scripts/build-$abi-boost.sh printed $(printf '%q' "$boost_prefix") where the path of one existing" \
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
simulator_pid=

stop_session() {
    if [[ -n "$simulator_pid" ]]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
    fi
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

# The failed tests of the last ctest run whose program wrote nothing at all,
# one name a line; fails when any failed test wrote something.
silent_failures() {
    local failed=$build/Testing/Temporary/LastTestsFailed.log
    [[ -s "$failed" ]] || return 1
    awk '
        FNR == NR { names[substr($0, index($0, ":") + 1)] = 1; next }
        /^[0-9]+\/[0-9]+ Test: / { name = substr($0, index($0, "Test: ") + 6); next }
        /^Output:$/ { getline; reading = 1; written = 0; next }
        reading && /^<end of output>$/ { reading = 0; if (!written) silent[name] = 1; next }
        reading { if ($0 != "") written = 1 }
        END {
            for (n in names) { if (!(n in silent)) exit 1 }
            for (n in names) print n
        }' "$failed" "$build/Testing/Temporary/LastTest.log"
}

# Under Wine, about one test program in a thousand now and then ends at once
# with status 1, or never starts, before writing its first line. A program
# that ran prints GoogleTest's opening lines first and flushes them, so a
# failure with no output at all is such a start; only then, and once, the
# failed tests run again, each named in the log.
run_tests() {
    log "running the tests"
    ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300 && return 0
    local silent
    silent=$(silent_failures) || return 1
    while IFS= read -r name; do
        log "Wine did not start '$name': it ended without writing anything; running it once more"
    done <<<"$silent"
    ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300 --rerun-failed
}

# The demo in the foreground. Its default log folder is Wine's temporary
# folder; the DLL sits beside the program.
run_demo() {
    log "zorim_demo_host.exe $*"
    local status=0
    "$wine" "$build/tools/demo_host/zorim_demo_host.exe" "$@" || status=$?
    return "$status"
}

# The Linux printer simulator on loopback, for the MSVC host check: from the
# default build, brought up to date there. Sets simulator_address.
start_simulator() {
    local default_build=$root/build/default
    local simulator=$default_build/tools/simulator/zorim_printer_sim
    log "the Linux printer simulator (build/default)"
    {
        [[ -f "$default_build/CMakeCache.txt" ]] || (cd "$root" && cmake --preset default)
        cmake --build "$default_build" -j "$jobs" --target zorim_printer_sim
    } >"$build/simulator-build.log" 2>&1 || { cat "$build/simulator-build.log" >&2; return 1; }
    # Emptied here: the child opens the file only after the loop below may
    # have read it.
    : >"$build/simulator.log"
    "$simulator" --time-scale 5 >>"$build/simulator.log" 2>&1 &
    simulator_pid=$!
    for _ in $(seq 100); do
        simulator_address=$(sed -nE 's/.*\(plug-in address ([0-9.:]+)\).*/\1/p' "$build/simulator.log")
        [[ -n "$simulator_address" ]] && break
        kill -0 "$simulator_pid" 2>/dev/null || break
        sleep 0.1
    done
    [[ -n "$simulator_address" ]] || { cat "$build/simulator.log" >&2; log "the simulator did not start"; return 1; }
    log "printer simulator at $simulator_address"
}

# A host built like the slicer drives the simulator through the DLL. Its
# checks go to standard error; the plug-in's progress lines on standard
# output go to a file.
run_host_check() {
    start_simulator
    log "zorim_host_check.exe against $simulator_address (plug-in output: $build/host-check.out)"
    (cd "$build/tests/boundary" &&
        timeout --kill-after=10 180 "$wine" zorim_host_check.exe "$simulator_address" 2>&1 >"$build/host-check.out")
}

started=$SECONDS

main() {
    local mode=tests
    if [[ "${1:-}" == --demo ]]; then
        mode=demo
        shift
    elif [[ "${1:-}" == --msvc && $# -eq 1 ]]; then
        abi=msvc
        build=${ZORIM_MSVC_BUILD_DIR:-$root/build/msvc}
        cmake_options=("${msvc_cmake_options[@]}")
        if [[ ! -d "$msvc_kit" ]]; then
            log "no MSVC-ABI kit at $msvc_kit: the MSVC stage is skipped"
            exit 0
        fi
    elif (($# > 0)); then
        echo "usage: scripts/test-windows.sh [--msvc | --demo [DEMO ARGUMENTS]]" >&2
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
    # Only the MinGW build's launcher tests need a display.
    [[ "$abi" == msvc ]] || start_display
    start_wine
    if [[ "$mode" == demo ]]; then
        run_demo "$@"
    else
        run_tests
        [[ "$abi" == mingw ]] || run_host_check
    fi
    log "done"
}

main "$@"
