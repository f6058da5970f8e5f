// Small pieces that the stream and scale benchmark programs share.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

// The simulator's socket layer: raw bytes between Beast's frames.
#include "gated_socket.h"

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

namespace net = boost::asio;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

// One connection of a benchmark peer: any path is accepted, every text
// message goes to `on_text`, texts are sent as Beast frames one after
// another, and prepared frames can go out as raw bytes between them. Frames
// go out at once as Moonraker's server sends them (no delay for an ACK).
class PeerSession : public std::enable_shared_from_this<PeerSession> {
public:
    using OnText = std::function<void(PeerSession&, const std::string&)>;

    PeerSession(tcp::socket socket, OnText on_text) : ws_(std::move(socket)), on_text_(std::move(on_text)) {}

    void start() {
        auto self = shared_from_this();
        ws_.async_accept([self](error_code ec) {
            if (ec) return;
            self->ws_.next_layer().follow_frames();
            self->open_ = true;
            self->read();
        });
    }

    bool open() const { return open_; }

    void send(std::string text) {
        queue_.push_back(std::move(text));
        if (queue_.size() == 1) write_front();
    }

    // `bytes` stay valid until `done`.
    void write_raw(net::const_buffer bytes, std::function<void(error_code)> done) {
        ws_.next_layer().write_raw(bytes, std::move(done));
    }

    // TCP shutdown and close, without a close frame.
    void drop() {
        open_ = false;
        ws_.next_layer().close();
    }

private:
    void read() {
        auto self = shared_from_this();
        ws_.async_read(buffer_, [self](error_code ec, std::size_t) {
            if (ec) {
                self->open_ = false;
                return;
            }
            const std::string text = boost::beast::buffers_to_string(self->buffer_.data());
            self->buffer_.clear();
            self->on_text_(*self, text);
            self->read();
        });
    }

    void write_front() {
        auto self = shared_from_this();
        ws_.async_write(net::buffer(queue_.front()), [self](error_code ec, std::size_t) {
            self->queue_.pop_front();
            if (ec) {
                self->queue_.clear();
                return;
            }
            if (!self->queue_.empty()) self->write_front();
        });
    }

    websocket::stream<zorim::sim::GatedSocket> ws_;
    OnText on_text_;
    boost::beast::flat_buffer buffer_;
    std::deque<std::string> queue_;
    bool open_ = false;
};

// A peer's listening socket on 127.0.0.1 at a free port: returns the port,
// and hands every accepted connection to `on_text` through a PeerSession.
inline std::uint16_t listen_on_loopback(tcp::acceptor& acceptor, int backlog = tcp::acceptor::max_listen_connections) {
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), 0);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(backlog);
    return acceptor.local_endpoint().port();
}

inline void accept_peers(tcp::acceptor& acceptor, PeerSession::OnText on_text) {
    acceptor.async_accept([&acceptor, on_text = std::move(on_text)](error_code ec, tcp::socket socket) mutable {
        if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
        if (!ec) std::make_shared<PeerSession>(std::move(socket), on_text)->start();
        accept_peers(acceptor, std::move(on_text));
    });
}

}  // namespace zorim::bench
