// Small pieces that the stream and scale benchmark programs share.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <stdexcept>
#include <string>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

namespace zorim::bench {

using Options = std::map<std::string, std::string>;

// "--name value" pairs from argv[first] on.
inline Options parse_options(int argc, char** argv, int first) {
    Options out;
    for (int i = first; i < argc; i += 2) {
        if (i + 1 >= argc) throw std::runtime_error(std::string("option ") + argv[i] + " needs a value");
        out[argv[i]] = argv[i + 1];
    }
    return out;
}

inline std::string option(const Options& opts, const std::string& name) {
    auto it = opts.find(name);
    if (it == opts.end()) throw std::runtime_error("missing option " + name);
    return it->second;
}

// CPU time of every thread of this process.
inline double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// An export of the loaded plug-in, looked up by name as a host does.
template <typename Fn>
Fn resolve(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (!symbol) throw std::runtime_error(std::string("missing export ") + name);
    return reinterpret_cast<Fn>(symbol);
}

// A benchmark peer's server: quiet, reusing its address, sending frames at
// once as Moonraker's server does (not held back for an ACK), every text
// message to `on_text(hdl, text)`.
using PeerServer = websocketpp::server<websocketpp::config::asio>;

template <typename OnText>
void set_up_peer(PeerServer& server, OnText on_text) {
    server.clear_access_channels(websocketpp::log::alevel::all);
    server.clear_error_channels(websocketpp::log::elevel::all);
    server.init_asio();
    server.set_reuse_addr(true);
    server.set_tcp_post_init_handler([&server](websocketpp::connection_hdl hdl) {
        websocketpp::lib::asio::error_code ignored;  // without it frames only wait a little longer
        server.get_con_from_hdl(hdl)->get_socket().set_option(websocketpp::lib::asio::ip::tcp::no_delay(true),
                                                              ignored);
    });
    server.set_message_handler([on_text](websocketpp::connection_hdl hdl, PeerServer::message_ptr msg) {
        on_text(hdl, msg->get_payload());
    });
}

// Listens on 127.0.0.1 at a free port, and returns the port.
inline std::uint16_t listen_on_loopback(PeerServer& server) {
    namespace asio = websocketpp::lib::asio;
    server.listen(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    server.start_accept();
    asio::error_code ec;
    const auto endpoint = server.get_local_endpoint(ec);
    if (ec) throw std::runtime_error("no local endpoint: " + ec.message());
    return endpoint.port();
}

}  // namespace zorim::bench
