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
# minutes on two cores the first time.
#
# Needs: dpkg-dev and bison (scripts/setup.sh --windows installs them), and,
# the first time, root to add a deb-src entry for Debian's main archive.
set -euo pipefail

cache=${XDG_CACHE_HOME:-$HOME/.cache}/zorim
prefix=${ZORIM_MINGW_BOOST_PREFIX:-$cache/mingw-boost-1.81}
work=$cache/mingw-boost-1.81-build
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
stamp=$prefix/.zorim-complete

log() { echo "build-mingw-boost: $*" >&2; }

# The caller's standard output is kept on descriptor 3 for the prefix alone;
# from here on standard output is standard error.
exec 3>&1 1>&2

if [[ -f "$stamp" && "$(cat "$stamp")" == "$stamp_text" ]]; then
    echo "$prefix" >&3
    exit 0
fi

mkdir -p "$cache"
# One build at a time per cache, also across worktrees.
exec 9>"$cache/mingw-boost-1.81.lock"
flock 9
if [[ -f "$stamp" && "$(cat "$stamp")" == "$stamp_text" ]]; then
    echo "$prefix" >&3
    exit 0
fi

for tool in dpkg-source bison "$triplet-g++-posix" "$triplet-ar" "$triplet-ranlib"; do
    command -v "$tool" >/dev/null ||
        { log "$tool is missing; run scripts/setup.sh --windows"; exit 1; }
done

as_root() {
    if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

# Debian's source archive, on the mirror this machine already uses.
add_source_archive() {
    local list=/etc/apt/sources.list.d/zorim-deb-src.sources
    if apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx Sources; then
        return
    fi
    local uri
    uri=$(grep -hs -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | head -n1)
    if [[ -z "$uri" ]]; then
        uri=$(grep -hs -m1 -E '^deb[[:space:]]' /etc/apt/sources.list | awk '{print $2}' | head -n1)
    fi
    [[ -n "$uri" ]] || { log "no Debian mirror found in the apt sources"; exit 1; }
    log "adding deb-src for bookworm main from $uri"
    as_root tee "$list" >/dev/null <<EOF
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    as_root apt-get update -q
}

fetch_source() {
    local existing
    existing=$(find "$work" -maxdepth 1 -type d -name 'boost1.81-*' 2>/dev/null | head -n1 || true)
    if [[ -n "$existing" && -f "$existing/.zorim-unpacked" ]]; then
        source_dir=$existing
        return
    fi
    rm -rf "$work"
    mkdir -p "$work"
    add_source_archive
    log "fetching Debian's boost1.81 source package"
    (cd "$work" && apt-get source -q boost1.81 >"$work/apt-source.log" 2>&1) ||
        { cat "$work/apt-source.log" >&2; exit 1; }
    source_dir=$(find "$work" -maxdepth 1 -type d -name 'boost1.81-*' | head -n1)
    [[ -n "$source_dir" ]] || { log "the source package did not unpack"; exit 1; }
    touch "$source_dir/.zorim-unpacked"
}

# Debian removes the parser that bison generates from b2's grammar; b2's
# bootstrap compiles it, so it is made again here.
bootstrap_b2() {
    local engine=$source_dir/tools/build/src/engine
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

build_boost() {
    cat >"$work/user-config.jam" <<EOF
using gcc : mingw : $triplet-g++-posix
    : <archiver>$triplet-ar <ranlib>$triplet-ranlib <rc>$triplet-windres ;
EOF
    local with=()
    for lib in "${libraries[@]}"; do with+=("--with-$lib"); done
    log "building ${libraries[*]} into $prefix (log: $work/b2.log)"
    rm -rf "$prefix"
    (cd "$source_dir" && ./b2 -q -j "$jobs" --user-config="$work/user-config.jam" \
        --build-dir="$work/objects" --prefix="$prefix" \
        "${b2_options[@]}" "${with[@]}" install >"$work/b2.log" 2>&1) ||
        { tail -n 60 "$work/b2.log" >&2; log "b2 failed; full log in $work/b2.log"; exit 1; }
    for lib in "${libraries[@]}"; do
        [[ -f "$prefix/lib/libboost_$lib.a" ]] || { log "libboost_$lib.a was not installed"; exit 1; }
    done
    printf '%s' "$stamp_text" >"$stamp"
}

fetch_source
bootstrap_b2
build_boost
log "done"
echo "$prefix" >&3
