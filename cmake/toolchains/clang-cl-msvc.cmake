# Cross build for 64-bit Windows in the MSVC ABI, against Microsoft's C++
# standard library, with Debian's clang-cl 14 and lld-link 14:
#
#   cmake -S . -B build/msvc -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/clang-cl-msvc.cmake
#
# The binaries are what a Visual C++ host loads: std::string and
# std::function have Microsoft's layout, and the C++ run-time is the host's
# msvcp140.dll, vcruntime140.dll and ucrtbase.dll. Under Wine, Wine's own
# builds of those DLLs serve them.
#
# The compiler's system headers, the static part of the C run-time and the
# import libraries' sources come from the MSVC-ABI kit, used in place like a
# sysroot: ZORIM_MSVC_KIT, by default ../shared/msvc beside the project root.
# What the project needs beyond the kit is in cmake/msvc/. Import libraries
# and the kit's run-time objects are made once per build tree, in
# ZORIM_MSVC_RUNTIME_DIR (cmake/msvc/runtime.cmake).
#
# Libraries built for this ABI outside the tree (scripts/build-msvc-boost.sh)
# are found through ZORIM_WINDOWS_ROOTS, a list of install prefixes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

get_filename_component(zorim_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
if(NOT DEFINED ZORIM_MSVC_KIT)
    if(DEFINED ENV{ZORIM_MSVC_KIT})
        set(ZORIM_MSVC_KIT "$ENV{ZORIM_MSVC_KIT}")
    else()
        get_filename_component(ZORIM_MSVC_KIT "${zorim_root}/../shared/msvc" ABSOLUTE)
    endif()
endif()
if(NOT EXISTS "${ZORIM_MSVC_KIT}/stl/inc/yvals_core.h")
    message(FATAL_ERROR "The MSVC-ABI kit is not at ${ZORIM_MSVC_KIT} (set ZORIM_MSVC_KIT)")
endif()
set(ZORIM_MSVC_KIT "${ZORIM_MSVC_KIT}" CACHE PATH "The MSVC-ABI kit: Microsoft's C++ library headers, shims, CRT parts")
if(NOT DEFINED ZORIM_MSVC_RUNTIME_DIR)
    set(ZORIM_MSVC_RUNTIME_DIR "${CMAKE_BINARY_DIR}/msvc-runtime")
endif()
set(ZORIM_MSVC_RUNTIME_DIR "${ZORIM_MSVC_RUNTIME_DIR}" CACHE PATH "Import libraries and the static C run-time part")

set(zorim_llvm /usr/lib/llvm-14/bin)
set(CMAKE_C_COMPILER "${zorim_llvm}/clang-cl")
set(CMAKE_CXX_COMPILER "${zorim_llvm}/clang-cl")
set(CMAKE_LINKER "${zorim_llvm}/lld-link")
set(CMAKE_AR "${zorim_llvm}/llvm-lib")
set(CMAKE_RC_COMPILER "${zorim_llvm}/llvm-rc")
set(CMAKE_MT "${zorim_llvm}/llvm-mt")
# MASM sources (Boost.Context's) go to LLVM's assembler for them.
set(CMAKE_ASM_MASM_COMPILER "${zorim_llvm}/llvm-ml")
set(CMAKE_ASM_MASM_FLAGS_INIT -m64)
# Reads PE tables as tests/boundary/check_dll.sh expects (GNU objdump's -p).
find_program(CMAKE_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump REQUIRED)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)

# Microsoft's library headers first, then the project's gap headers and the
# kit's shims over Wine's CRT and Windows headers. /EHs, not /EHsc: with "c",
# clang assumes that extern "C" functions never throw (see the override file).
# /GS-: the kit's run-time part has no security cookie. The library's
# vectorised algorithms live in Visual Studio's static library, which the kit
# does not hold: _USE_STD_VECTOR_ALGORITHMS=0 takes the headers' plain loops
# instead (the same results). One Windows version
# for every object, Boost's included: Boost.Log puts it into its symbols'
# names (0x0A00 is Windows 10, as in the MinGW toolchain).
set(zorim_msvc_includes
    "${zorim_root}/cmake/msvc/include"
    "${ZORIM_MSVC_KIT}/shim"
    "${ZORIM_MSVC_KIT}/stl/inc"
    /usr/include/wine/wine/msvcrt
    /usr/include/wine/wine/windows)
set(zorim_msvc_flags "-fms-compatibility-version=19.34 /GS- /Zc:__cplusplus /X -D_WIN32_WINNT=0x0A00 -D_USE_STD_VECTOR_ALGORITHMS=0 -Wno-nonportable-include-path")
foreach(dir IN LISTS zorim_msvc_includes)
    string(APPEND zorim_msvc_flags " -imsvc ${dir}")
endforeach()
set(CMAKE_C_FLAGS_INIT "${zorim_msvc_flags}")
set(CMAKE_CXX_FLAGS_INIT "${zorim_msvc_flags}")
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${zorim_root}/cmake/msvc/flag-overrides.cmake")

# The release run-time DLLs are the only ones there are: no debug run-time.
set(CMAKE_MSVC_RUNTIME_LIBRARY MultiThreadedDLL)

# No default libraries (they name Visual Studio's static parts): the entry
# points and the static run-time part come from the kit, the DLLs' import
# libraries from cmake/msvc/runtime.cmake. They are linker flags rather than
# standard libraries so that CMake's own checks link with them too.
set(zorim_msvc_link "/nodefaultlib /libpath:${ZORIM_MSVC_RUNTIME_DIR} msvcrt_static.lib msvcp140.lib msvcp140_atomic_wait.lib vcruntime140.lib ucrtbase.lib kernel32.lib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${zorim_msvc_link} /entry:mainCRTStartup ${ZORIM_MSVC_RUNTIME_DIR}/execrt.obj")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${zorim_msvc_link} /entry:_DllMainCRTStartup ${ZORIM_MSVC_RUNTIME_DIR}/dllcrt.obj")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT}")

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZORIM_MSVC_KIT ZORIM_MSVC_RUNTIME_DIR)

include("${zorim_root}/cmake/msvc/runtime.cmake")
zorim_msvc_make_runtime("${ZORIM_MSVC_KIT}" "${ZORIM_MSVC_RUNTIME_DIR}")

include("${CMAKE_CURRENT_LIST_DIR}/windows-roots.cmake")
zorim_windows_roots(msvc)
