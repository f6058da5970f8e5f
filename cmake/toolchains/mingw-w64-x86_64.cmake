# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers:
#
#   cmake -S . -B build/windows \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
#
# The posix-threads flavour of g++ is the one whose standard library has
# std::thread, std::mutex and std::condition_variable, which the plug-in uses.
# Libraries built for Windows outside the compiler's own root (a MinGW build
# of Boost, for example) are found through ZORIM_WINDOWS_ROOTS, a list of
# install prefixes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZORIM_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORIM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORIM_MINGW_TRIPLET}-g++-posix)
# CMake cannot guess the binutils' prefix from a compiler name that ends in
# "-posix", so each tool is named.
set(CMAKE_RC_COMPILER ${ZORIM_MINGW_TRIPLET}-windres)
find_program(CMAKE_AR NAMES ${ZORIM_MINGW_TRIPLET}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${ZORIM_MINGW_TRIPLET}-ranlib REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${ZORIM_MINGW_TRIPLET}-objdump REQUIRED)
find_program(CMAKE_STRIP NAMES ${ZORIM_MINGW_TRIPLET}-strip)

# One Windows version for every object, Boost's included: Boost.Log puts it
# into its symbols' names, so a value other than the one
# scripts/build-mingw-boost.sh builds with leaves Boost.Log symbols undefined.
# 0x0A00 is Windows 10.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0A00")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0A00")

# Headers, libraries and packages come only from Windows roots; programs run
# during the build come from the build machine. By default that is where
# scripts/build-mingw-boost.sh installs Boost.
if(DEFINED ENV{ZORIM_MINGW_BOOST_PREFIX})
    set(zorim_default_roots "$ENV{ZORIM_MINGW_BOOST_PREFIX}")
elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(zorim_default_roots "$ENV{XDG_CACHE_HOME}/zorim/mingw-boost-1.81")
else()
    set(zorim_default_roots "$ENV{HOME}/.cache/zorim/mingw-boost-1.81")
endif()
set(ZORIM_WINDOWS_ROOTS "${zorim_default_roots}" CACHE STRING "Install prefixes of libraries built for Windows")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZORIM_WINDOWS_ROOTS)
set(CMAKE_FIND_ROOT_PATH /usr/${ZORIM_MINGW_TRIPLET} ${ZORIM_WINDOWS_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and test discovery run the Windows programs through Wine when it is
# installed; the caller provides the Wine prefix and display.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(ZORIM_WINE_PROGRAM NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
    if(ZORIM_WINE_PROGRAM)
        set(CMAKE_CROSSCOMPILING_EMULATOR "${ZORIM_WINE_PROGRAM}")
    endif()
endif()
