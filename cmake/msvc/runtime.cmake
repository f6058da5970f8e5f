# zorim_msvc_make_runtime(<kit> <dir>): what every MSVC-ABI link needs, made
# once into <dir> by the toolchain file (cmake/toolchains/clang-cl-msvc.cmake):
#   - import libraries (<name>.lib) made from the export tables of Wine's own
#     PE builds of the run-time and system DLLs (the kit's mkdef.py and
#     llvm-dlltool); at run time the host's DLLs of the same names serve;
#   - the kit's DLL and EXE entry points (dllcrt.obj, execrt.obj);
#     msvcp140.lib also names the exports in msvcp140-beyond-wine.def;
#   - msvcrt_static.lib: the static part of the C and C++ run-time that
#     import libraries do not hold (the kit's common, tlssup and chkstk, and
#     the project's own pieces in cmake/msvc/crt/).
# Uses the kit's compiler flags as set by the toolchain file.
set(ZORIM_MSVC_RUNTIME_DLLS
    msvcp140 msvcp140_atomic_wait vcruntime140 ucrtbase
    kernel32 user32 gdi32 advapi32 shell32 ole32 oleaut32 comdlg32 ws2_32 mswsock bcrypt secur32 psapi
    version dbghelp)

function(zorim_msvc_make_runtime kit dir)
    set(here "${CMAKE_CURRENT_FUNCTION_LIST_DIR}")
    file(GLOB own_crt "${here}/crt/*.cpp")
    file(SHA256 "${here}/runtime.cmake" sum)
    foreach(file IN LISTS own_crt ITEMS "${here}/msvcp140-beyond-wine.def" "${here}/crt/large_power_data.py")
        file(SHA256 "${file}" file_sum)
        string(APPEND sum " ${file_sum}")
    endforeach()
    set(stamp_text "${kit} ${ZORIM_MSVC_RUNTIME_DLLS} ${sum}")
    if(EXISTS "${dir}/.complete")
        file(READ "${dir}/.complete" stamp)
        if(stamp STREQUAL stamp_text)
            return()
        endif()
    endif()
    message(STATUS "MSVC ABI: import libraries and run-time objects in ${dir}")
    file(MAKE_DIRECTORY "${dir}/obj")
    set(llvm /usr/lib/llvm-14/bin)
    separate_arguments(flags NATIVE_COMMAND "--target=x86_64-pc-windows-msvc /std:c++17 /EHs /MD /O2 ${CMAKE_CXX_FLAGS_INIT}")

    # Each step stops the configuration with its own output when it fails.
    macro(zorim_msvc_step)
        execute_process(COMMAND ${ARGV} WORKING_DIRECTORY "${dir}"
            RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "MSVC run-time: `${ARGV}` failed:\n${out}")
        endif()
    endmacro()

    zorim_msvc_step(python3 "${kit}/mkdef.py" "${dir}" ${ZORIM_MSVC_RUNTIME_DLLS})
    file(STRINGS "${here}/msvcp140-beyond-wine.def" beyond_wine REGEX "^[^;]")
    list(JOIN beyond_wine "\n" beyond_wine)
    file(APPEND "${dir}/msvcp140.def" "${beyond_wine}\n")
    zorim_msvc_step(python3 "${here}/crt/large_power_data.py" "${kit}/stl/inc/charconv" "${dir}/obj/large_power_data.cpp")
    foreach(name IN LISTS ZORIM_MSVC_RUNTIME_DLLS)
        zorim_msvc_step("${llvm}/llvm-dlltool" -m i386:x86-64 -d "${dir}/${name}.def" -l "${dir}/${name}.lib")
    endforeach()

    set(static_objects)
    foreach(source IN ITEMS "${kit}/crt/dllcrt.cpp" "${kit}/crt/execrt.cpp" "${kit}/crt/common.cpp"
                            "${kit}/crt/tlssup.cpp" ${own_crt} "${dir}/obj/large_power_data.cpp")
        get_filename_component(name "${source}" NAME_WE)
        zorim_msvc_step("${llvm}/clang-cl" ${flags} /c "/Foobj/${name}.obj" -- "${source}")
        if(NOT name MATCHES "^(dll|exe)crt$")
            list(APPEND static_objects "obj/${name}.obj")
        endif()
    endforeach()
    file(COPY "${dir}/obj/dllcrt.obj" "${dir}/obj/execrt.obj" DESTINATION "${dir}")
    zorim_msvc_step("${llvm}/clang" --target=x86_64-pc-windows-msvc -c "${kit}/crt/chkstk.S" -o obj/chkstk.obj)
    zorim_msvc_step("${llvm}/llvm-lib" /out:msvcrt_static.lib ${static_objects} obj/chkstk.obj)
    file(WRITE "${dir}/.complete" "${stamp_text}")
endfunction()
