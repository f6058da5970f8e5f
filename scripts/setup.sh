#!/usr/bin/env bash
# Installs what the project needs from Debian 12's packages, and only what is
# missing, so it is cheap to run again. Run as root (or with sudo available).
#
#   scripts/setup.sh            build, tests and demo on Linux
#   scripts/setup.sh --windows  also the MinGW-w64 cross compiler, Wine and Xvfb,
#                               and clang-cl with Wine's headers for the MSVC ABI
#   scripts/setup.sh --bench    also the stream benchmark's clients and chart tool
set -euo pipefail

core=(
    ca-certificates git cmake make g++ pkg-config
    clang libclang-rt-14-dev
    # Boost 1.81 only: these bring the 1.81 Asio, Beast and String Algorithms
    # headers. Never add libboost-dev or libboost-all-dev (1.74), which conflict.
    libboost-log1.81-dev libboost-filesystem1.81-dev libboost-nowide1.81-dev
    nlohmann-json3-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libegl-dev libgl-dev
    binutils
)
windows=(
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 xvfb xauth
    # Mesa's software OpenGL, which Xvfb and Wine need for the launcher's
    # OpenGL check; only recommended by them, so not installed otherwise.
    libgl1-mesa-dri
    # Building Boost for MinGW from Debian's source package
    # (scripts/build-mingw-boost.sh): apt-get source and b2's parser.
    dpkg-dev bison
    # The MSVC-ABI build (scripts/test-windows.sh --msvc): clang-cl and
    # lld-link, Wine's CRT and Windows headers and its PE DLLs' export tables.
    clang-14 lld-14 llvm-14 wine64-tools libwine-dev ninja-build
)
bench=(
    # The benchmark's Python client and driver use Debian's own interpreter.
    python3 python3-websockets
    # Draws the chart; Debian 12's matplotlib would pull in Boost 1.74.
    gnuplot-nox
    nodejs
)

wanted=("${core[@]}")
for arg in "$@"; do
    case "$arg" in
        --windows) wanted+=("${windows[@]}") ;;
        --bench)
            wanted+=("${bench[@]}")
            # Some Node.js builds bring their own npm and conflict with Debian's.
            command -v npm >/dev/null || wanted+=(npm)
            ;;
        *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
    esac
done

missing=()
for pkg in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
    echo "setup.sh: everything is installed"
    exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "setup.sh: run as root to install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
fi

# Another package installation (an unattended upgrade, a second setup run)
# may hold the package manager's locks. apt-get waits for dpkg's own lock
# (DPkg::Lock::Timeout) but not for the package lists' lock, and says nothing
# while it waits: this waits for all of them, naming who holds them.
lock_wait=900
locks='^/var/lib/(dpkg/lock(-frontend)?|apt/lists/lock)$'
wait_for_package_locks() {
    local holders waited=0
    for (( ; ; waited++)); do
        holders=$("${sudo[@]}" lslocks -n -o COMMAND,PID,PATH 2>/dev/null |
            awk -v locks="$locks" '$3 ~ locks { print $1 " (" $2 ")" }' | sort -u | paste -sd ' ' -)
        [[ -n "$holders" ]] || return 0
        if ((waited >= lock_wait)); then
            echo "setup.sh: the package manager is still locked by $holders after $lock_wait s" >&2
            return 1
        fi
        ((waited % 30)) || echo "setup.sh: waiting for the package manager's lock, held by $holders"
        sleep 1
    done
}
apt_get() { "${sudo[@]}" apt-get -o DPkg::Lock::Timeout="$lock_wait" "$@"; }

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
wait_for_package_locks
apt_get update -q
wait_for_package_locks
apt_get install -y -q --no-install-recommends "${missing[@]}"
