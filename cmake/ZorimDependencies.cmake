# Third-party packages, all from the system: Debian's packages on Linux, the
# project's cached MinGW build of Boost for Windows. Nothing is downloaded.
find_package(Threads REQUIRED)
find_package(Boost 1.81 REQUIRED CONFIG COMPONENTS log filesystem nowide)
if(CMAKE_CROSSCOMPILING)
    # Header-only packages installed for the build machine: their package
    # files point at /usr/include as a whole, which a cross compiler must not
    # see. A folder in the build tree links to just their headers.
    set(zorim_header_only "${PROJECT_BINARY_DIR}/header-only")
    foreach(folder nlohmann websocketpp)
        if(NOT EXISTS "${zorim_header_only}/${folder}")
            file(MAKE_DIRECTORY "${zorim_header_only}")
            file(CREATE_LINK "/usr/include/${folder}" "${zorim_header_only}/${folder}" SYMBOLIC)
        endif()
    endforeach()
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE "${zorim_header_only}")
    set(ZORIM_WEBSOCKETPP_INCLUDE_DIR "${zorim_header_only}" CACHE PATH "Folder holding websocketpp/")
else()
    find_package(nlohmann_json 3.10 REQUIRED)
endif()

# Asio and Beast (WebSocket over Asio) are header-only parts of Boost; the
# threads and, on Windows, the socket libraries they need are linked here.
add_library(zorim_asio INTERFACE)
target_link_libraries(zorim_asio INTERFACE Boost::headers Threads::Threads)
if(WIN32)
    target_link_libraries(zorim_asio INTERFACE ws2_32 mswsock)
endif()

# websocketpp is header-only and its package target only adds an include path;
# the Asio and thread pieces it needs are linked here.
add_library(zorim_websocketpp INTERFACE)
if(CMAKE_CROSSCOMPILING)
    # The Linux package's target points at /usr/include as a whole, which a
    # cross compiler must not see; ZORIM_WEBSOCKETPP_INCLUDE_DIR names a
    # folder that holds only websocketpp/.
    if(NOT ZORIM_WEBSOCKETPP_INCLUDE_DIR)
        message(FATAL_ERROR "Set ZORIM_WEBSOCKETPP_INCLUDE_DIR for a cross build")
    endif()
    target_include_directories(zorim_websocketpp SYSTEM INTERFACE "${ZORIM_WEBSOCKETPP_INCLUDE_DIR}")
else()
    find_package(websocketpp 0.8.2 REQUIRED CONFIG)
    target_link_libraries(zorim_websocketpp INTERFACE websocketpp::websocketpp)
endif()
target_link_libraries(zorim_websocketpp INTERFACE Boost::headers Threads::Threads)
if(WIN32)
    # _WIN32_WINNT comes from the toolchain, the same for every object.
    target_link_libraries(zorim_websocketpp INTERFACE ws2_32 mswsock)
endif()
