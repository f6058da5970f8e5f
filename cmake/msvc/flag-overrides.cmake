# Loaded by CMake after its Windows platform defaults (CMAKE_USER_MAKE_RULES_OVERRIDE
# in cmake/toolchains/clang-cl-msvc.cmake), to correct two of them for the kit.

# /EHs instead of /EHsc: with "c", clang assumes that extern "C" functions
# never throw, and a C-linkage callback that throws would end the process.
string(REPLACE "/EHsc" "/EHs" CMAKE_CXX_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT}")

# Visual Studio's default list of system libraries: the toolchain's linker
# flags name the run-time's import libraries, and targets name what else they use.
foreach(lang C CXX)
    set(CMAKE_${lang}_STANDARD_LIBRARIES_INIT "")
endforeach()
