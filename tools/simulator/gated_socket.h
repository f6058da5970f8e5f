// The layer under the simulator's WebSocket streams: a TCP socket that can
// stop reading, hold back the pongs that Beast writes by itself, and take raw
// bytes between Beast's frames. Network thread only.
//
// Reading: each read waits until the socket is readable and then takes what
// is there, so a switched-off socket takes nothing more (not even what a read
// begun earlier would have taken); the held read goes on when reading is
// switched on again, or ends with operation_aborted when the socket closes.
//
// Writing: the bytes that Beast writes are followed frame by frame (from the
// end of the opening handshake on), so that a pong is recognised by its first
// byte at a frame start, and raw bytes go out only between frames.
#pragma once

#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

namespace zorim::sim {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

// Where frames begin and end in a stream of WebSocket bytes.
class FrameBoundaries {
public:
    bool at_frame_start() const { return left_ == 0 && have_ == 0; }

    // Moves past the first `count` bytes of `buffers`.
    template <typename Buffers>
    void advance(const Buffers& buffers, std::size_t count) {
        for (auto it = net::buffer_sequence_begin(buffers); count > 0 && it != net::buffer_sequence_end(buffers);
             ++it) {
            const net::const_buffer buffer(*it);
            const std::size_t used = buffer.size() < count ? buffer.size() : count;
            feed(static_cast<const unsigned char*>(buffer.data()), used);
            count -= used;
        }
    }

private:
    void feed(const unsigned char* bytes, std::size_t count) {
        while (count > 0) {
            if (left_ > 0) {
                const std::size_t skipped = left_ < count ? static_cast<std::size_t>(left_) : count;
                left_ -= skipped;
                bytes += skipped;
                count -= skipped;
                continue;
            }
            header_[have_++] = *bytes++;
            --count;
            if (have_ < 2) continue;
            const unsigned short_length = header_[1] & 0x7Fu;
            const std::size_t length_bytes = short_length == 126 ? 2 : short_length == 127 ? 8 : 0;
            const std::size_t mask_bytes = (header_[1] & 0x80u) != 0 ? 4 : 0;
            if (have_ < 2 + length_bytes + mask_bytes) continue;
            std::uint64_t length = length_bytes == 0 ? short_length : 0;
            for (std::size_t i = 0; i < length_bytes; ++i) length = (length << 8) | header_[2 + i];
            left_ = length;
            have_ = 0;
        }
    }

    std::uint64_t left_ = 0;       // payload bytes of the current frame still to come
    unsigned char header_[14]{};  // the current frame's header, while it comes
    std::size_t have_ = 0;
};

// A move-only callable, called at most once.
template <typename... Args>
class Once {
public:
    Once() = default;
    template <typename Function>
    explicit Once(Function function) : call_(std::make_unique<Call<Function>>(std::move(function))) {}
    explicit operator bool() const { return call_ != nullptr; }
    void operator()(Args... args) {
        const std::unique_ptr<Base> call = std::move(call_);
        call->run(args...);
    }

private:
    struct Base {
        virtual ~Base() = default;
        virtual void run(Args... args) = 0;
    };
    template <typename Function>
    struct Call final : Base {
        explicit Call(Function f) : function(std::move(f)) {}
        void run(Args... args) override { function(args...); }
        Function function;
    };
    std::unique_ptr<Base> call_;
};

class GatedSocket {
public:
    using executor_type = tcp::socket::executor_type;

    explicit GatedSocket(tcp::socket socket) : socket_(std::move(socket)) {
        error_code ignored;
        socket_.non_blocking(true, ignored);  // reads and raw writes take what is there at once
        socket_.set_option(tcp::no_delay(true), ignored);
    }

    executor_type get_executor() noexcept { return socket_.get_executor(); }
    tcp::socket& socket() { return socket_; }

    template <typename Buffers, typename Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return net::async_initiate<Token, void(error_code, std::size_t)>(
            [self = this](auto handler, const Buffers& into) { self->read_when_readable(into, std::move(handler)); }, token,
            buffers);
    }

    template <typename Buffers, typename Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return net::async_initiate<Token, void(error_code, std::size_t)>(
            [self = this](auto handler, const Buffers& from) { self->write_for_beast(from, std::move(handler)); }, token, buffers);
    }

    // Switched off, the next read waits; switched on, a waiting read goes on.
    void set_reading(bool reading) {
        reading_ = reading;
        if (reading_ && held_) net::post(socket_.get_executor(), [held = std::move(held_)]() mutable { held({}); });
    }

    // From here on Beast writes frames (the opening handshake's answer is over).
    void follow_frames() { following_ = true; }

    // One call per received ping, in their order: whether its pong goes out.
    void expect_pong(bool send) { pongs_.push_back(send); }

    // Raw bytes, written between Beast's frames: at once when the socket is
    // idle and takes them, otherwise after the write under way. The bytes
    // stay valid until `done` gets the outcome, which may be inside this call.
    void write_raw(net::const_buffer bytes, std::function<void(error_code)> done) {
        start_write(between_frames, [this, bytes, done = std::move(done)]() mutable {
            error_code ec;
            std::size_t written = socket_.write_some(bytes, ec);
            if (ec == net::error::would_block || ec == net::error::try_again) {
                ec = {};
                written = 0;
            }
            if (ec || written == bytes.size()) {
                write_finished();
                done(ec);
                return;
            }
            net::async_write(socket_, bytes + written, [this, done = std::move(done)](error_code write_ec, std::size_t) {
                write_finished();
                done(write_ec);
            });
        });
    }

    // TCP shutdown and close, without a close frame.
    void close() {
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        // What waits fails on the closed socket, and lets go of its handler.
        for (Task& task : waiting_) net::post(socket_.get_executor(), [task = std::move(task)]() mutable { task(); });
        waiting_.clear();
        writing_ = false;
        if (held_) {
            net::post(socket_.get_executor(),
                      [held = std::move(held_)]() mutable { held(net::error::operation_aborted); });
        }
    }

private:
    using Held = Once<error_code>;
    using Task = Once<>;

    template <typename Buffers, typename Handler>
    void read_when_readable(const Buffers& buffers, Handler handler) {
        socket_.async_wait(tcp::socket::wait_read,
                           [this, buffers, handler = std::move(handler)](error_code ec) mutable {
                               if (!ec && !reading_) {
                                   held_ = Held([this, buffers, handler = std::move(handler)](error_code later) mutable {
                                       read_now(buffers, std::move(handler), later);
                                   });
                                   return;
                               }
                               read_now(buffers, std::move(handler), ec);
                           });
    }

    template <typename Buffers, typename Handler>
    void read_now(const Buffers& buffers, Handler handler, error_code ec) {
        std::size_t read = 0;
        if (!ec) read = socket_.read_some(buffers, ec);
        if (ec == net::error::would_block || ec == net::error::try_again) {
            read_when_readable(buffers, std::move(handler));
            return;
        }
        handler(ec, read);
    }

    template <typename Buffers, typename Handler>
    void write_for_beast(const Buffers& buffers, Handler handler) {
        if (following_ && frames_.at_frame_start() && !pongs_.empty() && first_byte(buffers) == pong_start) {
            const bool send = pongs_.front();
            pongs_.pop_front();
            if (!send) {
                // Beast writes a pong as one buffer: taken whole, written never.
                const std::size_t size = net::buffer_size(buffers);
                frames_.advance(buffers, size);
                net::post(boost::beast::bind_front_handler(std::move(handler), error_code(), size));
                return;
            }
        }
        start_write(!between_frames, [this, buffers, handler = std::move(handler)]() mutable {
            socket_.async_write_some(buffers, [this, buffers, handler = std::move(handler)](error_code ec,
                                                                                          std::size_t written) mutable {
                if (following_) frames_.advance(buffers, written);
                write_finished();
                handler(ec, written);
            });
        });
    }

    template <typename Buffers>
    static int first_byte(const Buffers& buffers) {
        for (auto it = net::buffer_sequence_begin(buffers); it != net::buffer_sequence_end(buffers); ++it) {
            const net::const_buffer buffer(*it);
            if (buffer.size() > 0) return *static_cast<const unsigned char*>(buffer.data());
        }
        return -1;
    }

    // One write on the socket at a time; raw bytes wait for a frame's end.
    static constexpr bool between_frames = true;
    template <typename Start>
    void start_write(bool only_between_frames, Start start) {
        if (writing_ || (only_between_frames && !frames_.at_frame_start())) {
            waiting_.emplace_back(std::move(start));
            return;
        }
        writing_ = true;
        start();
    }

    void write_finished() {
        writing_ = false;
        if (waiting_.empty() || !frames_.at_frame_start()) return;
        Task next = std::move(waiting_.front());
        waiting_.pop_front();
        writing_ = true;
        next();
    }

    static constexpr int pong_start = 0x8A;  // FIN and the pong opcode

    tcp::socket socket_;
    bool reading_ = true;
    Held held_;
    bool following_ = false;
    FrameBoundaries frames_;
    std::deque<bool> pongs_;
    bool writing_ = false;
    std::deque<Task> waiting_;
};

// What Beast needs to close and tear down a stream over this layer.
inline void beast_close_socket(GatedSocket& socket) { socket.close(); }

inline void teardown(boost::beast::role_type role, GatedSocket& socket, error_code& ec) {
    boost::beast::websocket::teardown(role, socket.socket(), ec);
}

template <typename Handler>
void async_teardown(boost::beast::role_type role, GatedSocket& socket, Handler&& handler) {
    boost::beast::websocket::async_teardown(role, socket.socket(), std::forward<Handler>(handler));
}

}  // namespace zorim::sim
