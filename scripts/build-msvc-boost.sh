#!/usr/bin/env bash
# Builds the compiled Boost 1.81 libraries that the plug-in and its tests need,
# for 64-bit Windows in the MSVC ABI (clang-cl against Microsoft's C++ library,
# cmake/toolchains/clang-cl-msvc.cmake), from Debian's own boost1.81 source
# package with Boost's CMake build. Unattended; exits non-zero on failure.
#
#   scripts/build-msvc-boost.sh        prints the install prefix when done
#
# The result (headers, static libraries, CMake packages) goes to a cache
# outside the source tree, ${XDG_CACHE_HOME:-$HOME/.cache}/zorim/msvc-boost-1.81
# (override with ZORIM_MSVC_BOOST_PREFIX). A stamp file marks a complete
# install; when it is there and matches this script's settings and the
# toolchain's files, nothing is done. The source package that the MinGW build
# fetched serves here too. Progress goes to standard error every 30 s;
# standard output carries the prefix alone.
#
# Needs: the MSVC-ABI kit (ZORIM_MSVC_KIT, by default ../shared/msvc), Debian's
# clang-14, lld-14, llvm-14, wine64-tools, libwine-dev, cmake and ninja-build;
# dpkg-dev when the source package must be fetched.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log_name=build-msvc-boost
. "$root/scripts/lib/boost-build.sh"

prefix=${ZORIM_MSVC_BOOST_PREFIX:-$boost_cache/msvc-boost-1.81}
work=$boost_cache/msvc-boost-1.81-build
jobs=${ZORIM_JOBS:-2}
toolchain=$root/cmake/toolchains/clang-cl-msvc.cmake

# Beast and Asio are header-only; they are listed so that their headers are
# installed with the rest.
libraries=(log filesystem nowide thread asio beast)
cmake_options=(
    -G Ninja
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DBOOST_INSTALL_LAYOUT=system
    # The plug-in's log writes to a file sink only: no Windows event log (its
    # message compiler is not on Linux) and no settings parsers.
    -DBOOST_LOG_WITHOUT_EVENT_LOG=ON
    -DBOOST_LOG_WITHOUT_SETTINGS_PARSERS=ON
)
# The compiler's flags and headers decide the ABI, so they are part of the
# settings.
toolchain_sum=$(cat "$toolchain" "$root/cmake/msvc/flag-overrides.cmake" "$root"/cmake/msvc/include/* |
    sha256sum | cut -c1-16)
stamp_text="boost1.81 ${libraries[*]} ${cmake_options[*]} toolchain $toolchain_sum"

# Boost's CMake build installs one package per library; find_package(Boost
# CONFIG COMPONENTS ...) wants the umbrella package that b2 installs. It is
# the project's own file, kept current also in a stamped install.
install_umbrella() {
    mkdir -p "$prefix/lib/cmake/Boost-1.81.0"
    cp "$root"/cmake/msvc/boost/*.cmake "$prefix/lib/cmake/Boost-1.81.0/"
}

boost_lock msvc-boost-1.81
if boost_stamped "$prefix" "$stamp_text"; then
    install_umbrella
    boost_finish "$prefix"
fi

for tool in cmake ninja /usr/lib/llvm-14/bin/clang-cl /usr/lib/llvm-14/bin/lld-link; do
    command -v "$tool" >/dev/null || { log "$tool is missing"; exit 1; }
done

boost_source "$work"
libraries_list=$(IFS=';'; echo "${libraries[*]}")
objects=$work/objects
log "configuring ${libraries[*]} from $source_dir (log: $work/configure.log)"
rm -rf "$objects" "$prefix"
mkdir -p "$work"
cmake -S "$source_dir" -B "$objects" "${cmake_options[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DBOOST_INCLUDE_LIBRARIES="$libraries_list" \
    -DCMAKE_INSTALL_PREFIX="$prefix" >"$work/configure.log" 2>&1 ||
    { tail -n 40 "$work/configure.log" >&2; log "configuring failed; full log in $work/configure.log"; exit 1; }

log "building into $prefix (log: $work/build.log)"
boost_run_with_progress "$work/build.log" boost_ninja_progress cmake --build "$objects" -j "$jobs"
cmake --install "$objects" >"$work/install.log" 2>&1 ||
    { tail -n 40 "$work/install.log" >&2; log "installing failed"; exit 1; }

install_umbrella
for lib in log filesystem nowide thread; do
    [[ -f "$prefix/lib/libboost_$lib.lib" ]] || { log "libboost_$lib.lib was not installed"; exit 1; }
done
boost_stamp "$prefix" "$stamp_text"
log "done"
boost_finish "$prefix"
