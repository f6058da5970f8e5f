# Third-party packages, all from the system: Debian's packages on Linux, the
# project's cached MinGW build of Boost for Windows. Nothing is downloaded.
find_package(Threads REQUIRED)
find_package(Boost 1.81 REQUIRED CONFIG COMPONENTS log filesystem nowide)
if(CMAKE_CROSSCOMPILING)
    # Header-only packages installed for the build machine: their package
    # files point at /usr/include as a whole, which a cross compiler must not
    # see. A folder in the build tree links to just their headers.
    set(zorim_header_only "${PROJECT_BINARY_DIR}/header-only")
    foreach(folder nlohmann)
        if(NOT EXISTS "${zorim_header_only}/${folder}")
            file(MAKE_DIRECTORY "${zorim_header_only}")
            file(CREATE_LINK "/usr/include/${folder}" "${zorim_header_only}/${folder}" SYMBOLIC)
        endif()
    endforeach()
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE "${zorim_header_only}")
else()
    find_package(nlohmann_json 3.10 REQUIRED)
endif()

# Asio and Beast (WebSocket over Asio) are header-only parts of Boost; the
# threads and, on Windows, the socket libraries they need come with them. For
# everything that talks over sockets: the plug-in, the simulator, the tests'
# own clients and the benchmarks.
add_library(zorim_asio INTERFACE)
target_link_libraries(zorim_asio INTERFACE Boost::headers Threads::Threads)
# Only the Asio names that current Boost still has (1.87 removed io_service,
# its strand and the old timer constructors). Asio's classes differ with and
# without it, and every object of a program must see them the same way: so
# every target that includes Asio gets it from here, never on its own.
target_compile_definitions(zorim_asio INTERFACE BOOST_ASIO_NO_DEPRECATED)
if(WIN32)
    target_link_libraries(zorim_asio INTERFACE ws2_32 mswsock)
endif()
