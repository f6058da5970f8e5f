# Loaded by CMake after its Windows platform defaults (CMAKE_USER_MAKE_RULES_OVERRIDE
# in cmake/toolchains/clang-cl-msvc.cmake), to correct two of them for the kit.

# /EHs instead of /EHsc: with "c", clang assumes that extern "C" functions
# never throw, and a C-linkage callback that throws would end the process.
string(REPLACE "/EHsc" "/EHs" CMAKE_CXX_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT}")

# Visual Studio's default system libraries, from the import libraries of
# cmake/msvc/runtime.cmake, less winspool (Wine's is a .drv) and uuid (a
# static library of interface ids, not a DLL's imports). A program imports
# only what it uses of them.
foreach(lang C CXX)
    set(CMAKE_${lang}_STANDARD_LIBRARIES_INIT
        "kernel32.lib user32.lib gdi32.lib shell32.lib ole32.lib oleaut32.lib comdlg32.lib advapi32.lib")
endforeach()
