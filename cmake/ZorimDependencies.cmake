# Third-party packages, all from the system: Debian's packages on Linux, the
# project's cached MinGW build of Boost for Windows. Nothing is downloaded.
find_package(Threads REQUIRED)
find_package(Boost 1.81 REQUIRED CONFIG COMPONENTS log filesystem nowide)
find_package(nlohmann_json 3.10 REQUIRED)

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
    target_link_libraries(zorim_websocketpp INTERFACE ws2_32 mswsock)
    target_compile_definitions(zorim_websocketpp INTERFACE _WIN32_WINNT=0x0601)
endif()
