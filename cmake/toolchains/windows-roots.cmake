# Shared by the Windows toolchain files. zorim_windows_roots(<abi> [ROOT...]):
# headers, libraries and packages come only from Windows roots, the compiler's
# own ROOTs and ZORIM_WINDOWS_ROOTS, a list of install prefixes that by default
# is where scripts/build-<abi>-boost.sh installs Boost (ZORIM_<ABI>_BOOST_PREFIX
# overrides it); programs run during the build come from the build machine.
# Tests and test discovery run the Windows programs through Wine when it is
# installed; the caller provides the Wine prefix (and a display if needed).
macro(zorim_windows_roots abi)
    string(TOUPPER "${abi}" zorim_abi)
    if(DEFINED ENV{ZORIM_${zorim_abi}_BOOST_PREFIX})
        set(zorim_default_roots "$ENV{ZORIM_${zorim_abi}_BOOST_PREFIX}")
    elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
        set(zorim_default_roots "$ENV{XDG_CACHE_HOME}/zorim/${abi}-boost-1.81")
    else()
        set(zorim_default_roots "$ENV{HOME}/.cache/zorim/${abi}-boost-1.81")
    endif()
    set(ZORIM_WINDOWS_ROOTS "${zorim_default_roots}" CACHE STRING "Install prefixes of libraries built for Windows")
    list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZORIM_WINDOWS_ROOTS)
    set(CMAKE_FIND_ROOT_PATH ${ARGN} ${ZORIM_WINDOWS_ROOTS})
    set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
    set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
        find_program(ZORIM_WINE_PROGRAM NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
        if(ZORIM_WINE_PROGRAM)
            set(CMAKE_CROSSCOMPILING_EMULATOR "${ZORIM_WINE_PROGRAM}")
        endif()
    endif()
endmacro()
