# find_package(Boost 1.81 CONFIG COMPONENTS ...) for the MSVC-ABI Boost that
# scripts/build-msvc-boost.sh installs. Boost's CMake build installs one
# package per library (boost_log, boost_asio, ...) beside this folder; this is
# the umbrella that b2 would install: Boost::<component> for each component
# asked for, and Boost::headers for all the installed headers.
get_filename_component(zorim_boost_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(Boost_VERSION 1.81.0)
set(Boost_FOUND TRUE)
if(NOT TARGET Boost::headers)
    add_library(Boost::headers INTERFACE IMPORTED)
    set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${zorim_boost_prefix}/include")
endif()
foreach(component IN LISTS Boost_FIND_COMPONENTS)
    # The folder is known: no search, and no re-rooting under the cross
    # build's find root.
    find_package(boost_${component} ${Boost_VERSION} EXACT CONFIG QUIET
        PATHS "${zorim_boost_prefix}/lib/cmake" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    set(Boost_${component}_FOUND ${boost_${component}_FOUND})
    if(NOT boost_${component}_FOUND AND Boost_FIND_REQUIRED_${component})
        set(Boost_FOUND FALSE)
        set(Boost_NOT_FOUND_MESSAGE "no boost_${component} package in ${zorim_boost_prefix}/lib/cmake")
    endif()
endforeach()
