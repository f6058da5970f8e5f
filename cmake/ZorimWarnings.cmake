# Warnings for the project's own targets: zorim_set_warnings(<target>).
function(zorim_set_warnings target)
    if(CMAKE_CXX_COMPILER_FRONTEND_VARIANT STREQUAL "MSVC")
        # Visual C++ and clang-cl; clang-cl reads -Wall as -Weverything, and
        # /W4 as -Wall -Wextra.
        target_compile_options(${target} PRIVATE /W4)
        if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
            target_compile_options(${target} PRIVATE -Wpedantic -Wshadow -Wnon-virtual-dtor)
        endif()
    elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
    endif()
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        # The exports take standard-library objects by value with C linkage on
        # purpose: host and plug-in share one compiler and library.
        target_compile_options(${target} PRIVATE -Wno-return-type-c-linkage)
    endif()
endfunction()
