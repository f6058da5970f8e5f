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

include("${CMAKE_CURRENT_LIST_DIR}/windows-roots.cmake")
zorim_windows_roots(mingw /usr/${ZORIM_MINGW_TRIPLET})
