#!/usr/bin/env bash
# Builds the compiled Boost 1.81 libraries that the plug-in and its tests need,
# for 64-bit Windows, with Debian's MinGW-w64 posix-threads compiler, from
# Debian's own boost1.81 source package. Unattended; exits non-zero on failure.
#
#   scripts/build-mingw-boost.sh        prints the install prefix when done
#
# Standard output carries that prefix and nothing else, for callers to
# capture; everything else, the tools' own output included, goes to standard
# error.
# The result (headers and static libraries) goes to a cache outside the source
# tree, ${XDG_CACHE_HOME:-$HOME/.cache}/zorim/mingw-boost-1.81 (override with
# ZORIM_MINGW_BOOST_PREFIX). A stamp file marks a complete install; when it is
# there and matches this script's settings, nothing is done. Takes about ten
# minutes on two cores the first time, with a line every 30 s on how many of
# b2's targets are done. The source package that the MSVC-ABI build fetched
# serves here too.
#
# Needs: dpkg-dev and bison (scripts/setup.sh --windows installs them), and,
# the first time, root to add a deb-src entry for Debian's main archive.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log_name=build-mingw-boost
. "$root/scripts/lib/boost-build.sh"

prefix=${ZORIM_MINGW_BOOST_PREFIX:-$boost_cache/mingw-boost-1.81}
work=$boost_cache/mingw-boost-1.81-build
jobs=${ZORIM_JOBS:-2}
triplet=x86_64-w64-mingw32

# Must equal the value in cmake/toolchains/mingw-w64-x86_64.cmake: Boost.Log
# puts the Windows version into its symbols' names (nt6 or not), so a
# mismatch leaves the plug-in with undefined Boost.Log symbols.
win32_winnt=0x0A00
libraries=(log filesystem nowide thread regex chrono atomic date_time json)
b2_options=(
    toolset=gcc-mingw target-os=windows binary-format=pe abi=ms
    architecture=x86 address-model=64 threadapi=win32
    link=static runtime-link=shared threading=multi variant=release
    define=_WIN32_WINNT=$win32_winnt
    --layout=system
)
stamp_text="boost1.81 ${libraries[*]} ${b2_options[*]}"

if boost_stamped "$prefix" "$stamp_text"; then boost_finish "$prefix"; fi
boost_lock mingw-boost-1.81
if boost_stamped "$prefix" "$stamp_text"; then boost_finish "$prefix"; fi

for tool in dpkg-source bison "$triplet-g++-posix" "$triplet-ar" "$triplet-ranlib"; do
    command -v "$tool" >/dev/null ||
        { log "$tool is missing; run scripts/setup.sh --windows"; exit 1; }
done

# Debian removes the parser that bison generates from b2's grammar; b2's
# bootstrap compiles it, so it is made again here.
bootstrap_b2() {
    local engine=$source_dir/tools/build/src/engine
    mkdir -p "$work"
    if [[ ! -f "$engine/jamgram.cpp" ]]; then
        log "regenerating b2's parser with bison"
        (cd "$engine" && bison -y -d -o jamgram.cpp jamgram.y)
    fi
    if [[ ! -x "$source_dir/b2" ]]; then
        log "bootstrapping b2"
        (cd "$source_dir" && ./bootstrap.sh --with-toolset=gcc >"$work/bootstrap.log" 2>&1) ||
            { cat "$work/bootstrap.log" >&2; exit 1; }
    fi
}

# What b2 has done so far, from the action lines of its log.
b2_progress() {
    local compiled archived installed
    compiled=$(grep -c '^gcc\.compile' "$1" || true)
    archived=$(grep -c '^gcc\.archive' "$1" || true)
    installed=$(grep -c '^common\.copy' "$1" || true)
    echo "$compiled sources compiled, $archived libraries archived, $installed files installed"
}

build_boost() {
    cat >"$work/user-config.jam" <<EOF
using gcc : mingw : $triplet-g++-posix
    : <archiver>$triplet-ar <ranlib>$triplet-ranlib <rc>$triplet-windres ;
EOF
    local with=()
    for lib in "${libraries[@]}"; do with+=("--with-$lib"); done
    log "building ${libraries[*]} into $prefix (log: $work/b2.log)"
    rm -rf "$prefix"
    (cd "$source_dir" && boost_run_with_progress "$work/b2.log" b2_progress ./b2 -q -j "$jobs" \
        --user-config="$work/user-config.jam" --build-dir="$work/objects" --prefix="$prefix" \
        "${b2_options[@]}" "${with[@]}" install)
    for lib in "${libraries[@]}"; do
        [[ -f "$prefix/lib/libboost_$lib.a" ]] || { log "libboost_$lib.a was not installed"; exit 1; }
    done
    boost_stamp "$prefix" "$stamp_text"
}

boost_source "$work"
bootstrap_b2
build_boost
log "done"
boost_finish "$prefix"
