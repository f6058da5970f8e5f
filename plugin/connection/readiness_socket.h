// The layer under each printer's WebSocket stream: a TCP socket that reads
// what is there once the socket is readable.
//
// Asio starts every read with a speculative recv and only then waits for the
// socket. A printer sends one status frame at a time, so that first recv of
// every frame found nothing (EAGAIN) and the frame cost two recv calls. Here a
// read waits for readability first, unless the previous read filled its
// buffer: then more is most likely waiting already and the read goes at
// once. On Linux the wait costs an epoll_ctl of its own (Asio re-arms the
// descriptor for every wait that did not try the operation first); what that
// buys against the failed recv is measured in docs/performance.md.
//
// On Windows Asio reads through completion ports, which have no failed
// speculative read to save: reads go straight to the socket there.
#pragma once

#include <cstddef>
#include <utility>

#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace zorim {

class ReadinessSocket {
public:
    // The loop's own executor type rather than Asio's type-erased default:
    // every operation copies it, several times per frame.
    using socket_type =
        boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::io_context::executor_type>;
    using executor_type = socket_type::executor_type;
    using next_layer_type = socket_type;

    explicit ReadinessSocket(boost::asio::io_context& io) : socket_(io.get_executor()) {}

    executor_type get_executor() noexcept { return socket_.get_executor(); }
    socket_type& next_layer() noexcept { return socket_; }
    const socket_type& next_layer() const noexcept { return socket_; }

    template <typename MutableBufferSequence, typename ReadToken>
    auto async_read_some(const MutableBufferSequence& buffers, ReadToken&& token) {
#if defined(__linux__)
        return boost::asio::async_compose<ReadToken, void(boost::system::error_code, std::size_t)>(
            ReadWhenReadable<MutableBufferSequence>{*this, buffers}, token, socket_);
#else
        return socket_.async_read_some(buffers, std::forward<ReadToken>(token));
#endif
    }

    template <typename ConstBufferSequence, typename WriteToken>
    auto async_write_some(const ConstBufferSequence& buffers, WriteToken&& token) {
        return socket_.async_write_some(buffers, std::forward<WriteToken>(token));
    }

private:
    // Waits for readability, then takes what the socket holds without
    // blocking; a read right after one that filled its buffer goes at once.
    template <typename MutableBufferSequence>
    struct ReadWhenReadable {
        ReadinessSocket& self;
        MutableBufferSequence buffers;

        template <typename Self>
        void operator()(Self& op) {
            if (self.read_at_once_) {
                self.socket_.async_read_some(buffers, std::move(op));
            } else {
                self.socket_.async_wait(socket_type::wait_read, std::move(op));
            }
        }

        // The socket is readable (or the wait failed).
        template <typename Self>
        void operator()(Self& op, boost::system::error_code error) {
            if (error) {
                op.complete(error, 0);
                return;
            }
            if (!self.socket_.non_blocking()) self.socket_.non_blocking(true, error);
            std::size_t bytes = 0;
            if (!error) bytes = self.socket_.read_some(buffers, error);
            if (error == boost::asio::error::would_block) {
                // Readable was a false alarm: wait again.
                self.socket_.async_wait(socket_type::wait_read, std::move(op));
                return;
            }
            finish(op, error, bytes);
        }

        // A read that went at once.
        template <typename Self>
        void operator()(Self& op, boost::system::error_code error, std::size_t bytes) {
            finish(op, error, bytes);
        }

        template <typename Self>
        void finish(Self& op, boost::system::error_code error, std::size_t bytes) {
            self.read_at_once_ = !error && bytes > 0 && bytes == boost::asio::buffer_size(buffers);
            op.complete(error, bytes);
        }
    };

    socket_type socket_;
    bool read_at_once_ = false;
};

// The WebSocket closing handshake ends with the TCP socket's own teardown.
inline void teardown(boost::beast::role_type role, ReadinessSocket& socket, boost::system::error_code& error) {
    boost::beast::websocket::teardown(role, socket.next_layer(), error);
}

template <typename TeardownHandler>
void async_teardown(boost::beast::role_type role, ReadinessSocket& socket, TeardownHandler&& handler) {
    boost::beast::websocket::async_teardown(role, socket.next_layer(), std::forward<TeardownHandler>(handler));
}

}  // namespace zorim
