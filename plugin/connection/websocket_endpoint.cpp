#include "connection/websocket_endpoint.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/error.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace zorim {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using SystemError = boost::system::error_code;
// The loop's own executor type rather than Asio's type-erased default: every
// operation copies it, several times per frame.
using Executor = net::io_context::executor_type;
// Reads go straight to the socket: Asio tries a recv before it waits, which
// finds nothing when a printer's next frame has not come yet, but that failed
// recv costs less than the epoll_ctl re-arm a wait-then-read would cost
// instead (bench/read_bench.cpp, docs/performance.md).
using Socket = net::basic_stream_socket<tcp, Executor>;
using Timer =
    net::basic_waitable_timer<std::chrono::steady_clock, net::wait_traits<std::chrono::steady_clock>, Executor>;
using Resolver = net::ip::basic_resolver<tcp, Executor>;

constexpr std::uint16_t kNoStatus = 1005;
constexpr std::uint16_t kNoCloseFrame = 1006;
constexpr std::uint16_t kProtocolError = 1002;
// A link keeps a read buffer as large as its largest message; past this it
// gives the memory back once the message is handled.
constexpr std::size_t kKeptReadBuffer = 64 * 1024;
constexpr char kUserAgent[] = "zorim_network/01.09.03.50";

// What a failed opening handshake is called in the log.
LinkError handshake_failure(const SystemError& failure) {
    using websocket::error;
    if (failure == error::upgrade_declined || failure == error::bad_http_version) return LinkError::invalid_http_status;
    for (const auto missing : {error::no_connection, error::no_connection_upgrade, error::no_upgrade,
                               error::no_upgrade_websocket, error::no_sec_accept, error::bad_sec_accept}) {
        if (failure == missing) return LinkError::missing_header;
    }
    if (failure == http::error::end_of_stream || failure == http::error::partial_message ||
        failure == net::error::eof) {
        return LinkError::end_of_file;
    }
    if (failure.category() == http::make_error_code(http::error::end_of_stream).category()) return LinkError::general;
    return LinkError::transport;
}

// A close frame that could not be read is a protocol error on the printer's
// side; the log names it so rather than as a lost link.
bool bad_close_frame(const SystemError& error) {
    return error == websocket::error::bad_close_code || error == websocket::error::bad_close_size ||
           error == websocket::error::bad_close_payload;
}

// One printer's link. Lives as long as an operation of its own is under way
// or someone holds it; every member below the outbox is touched on the
// network thread only.
class Link : public std::enable_shared_from_this<Link> {
public:
    Link(net::io_context& io, const EndpointSettings& settings, LinkUri uri)
        : io_(io),
          settings_(settings),
          uri_(std::move(uri)),
          resolver_(io.get_executor()),
          ws_(io.get_executor()),
          timer_(io.get_executor()),
          pong_timer_(io.get_executor()) {}

    LinkHandlers handlers;

    void start() {
        phase_ = Phase::resolving;
        arm(settings_.resolve_timeout);
        resolver_.async_resolve(uri_.host, std::to_string(uri_.port),
                                [self = shared_from_this()](const SystemError& error, Resolver::results_type found) {
                                    self->on_resolved(error, std::move(found));
                                });
    }

    // Any thread.
    WebSocketEndpoint::SendResult hand_over(std::string text) {
        WebSocketEndpoint::SendResult result;
        std::unique_lock<std::mutex> lock(outbox_mutex_);
        if (!accepting_) {
            result.error = make_error_code(LinkError::invalid_state);
            return result;
        }
        if (outbox_texts_ >= WebSocketEndpoint::kMaxOutboxTexts ||
            outbox_bytes_ >= WebSocketEndpoint::kMaxOutboxBytes) {
            result.full = true;
            result.waiting_texts = outbox_texts_;
            result.waiting_bytes = outbox_bytes_;
            return result;
        }
        ++outbox_texts_;
        outbox_bytes_ += text.size();
        outbox_.push_back(std::move(text));
        const bool start_writer = !writer_active_;
        writer_active_ = true;
        lock.unlock();
        if (start_writer) net::post(io_, [self = shared_from_this()] { self->write_next(); });
        return result;
    }

    std::error_code ping(const std::string& payload) {
        if (!open()) return make_error_code(LinkError::invalid_state);
        ping_payload_ = payload;
        // Each ping restarts the pong timeout; Beast takes one ping at a
        // time, so one still waiting to be written is not doubled.
        const unsigned generation = ++pong_generation_;
        pong_timer_.expires_after(settings_.pong_timeout);
        pong_timer_.async_wait([self = shared_from_this(), generation](const SystemError& error) {
            if (error || generation != self->pong_generation_ || self->phase_ == Phase::ended) return;
            if (self->handlers.on_pong_timeout) self->handlers.on_pong_timeout(self->handle(), self->ping_payload_);
        });
        if (!ping_in_flight_) {
            ping_in_flight_ = true;
            ws_.async_ping(
                websocket::ping_data(payload.data(), std::min(payload.size(), websocket::ping_data::static_capacity)),
                [self = shared_from_this()](const SystemError&) { self->ping_in_flight_ = false; });
        }
        return {};
    }

    std::error_code close(std::uint16_t code, const std::string& reason) {
        if (!open()) return make_error_code(LinkError::invalid_state);
        const std::string_view text(reason.data(), std::min(reason.size(), websocket::reason_string::static_capacity));
        begin_close(websocket::close_reason(static_cast<websocket::close_code>(code), text), true);
        return {};
    }

    LinkOutcome outcome() const { return outcome_; }

private:
    enum class Phase { idle, resolving, connecting, handshaking, open, closing, ended };

    LinkHandle handle() { return weak_from_this(); }
    // Open, and not being closed by Beast itself after a protocol failure
    // that has not reached our read yet.
    bool open() const { return phase_ == Phase::open && ws_.is_open(); }
    Socket& socket() { return ws_.next_layer(); }

    // The timer of the phase under way: resolve, connect, handshake, close.
    void arm(std::chrono::milliseconds timeout) {
        const unsigned generation = ++timer_generation_;
        timer_.expires_after(timeout);
        timer_.async_wait([self = shared_from_this(), generation](const SystemError& error) {
            if (!error && generation == self->timer_generation_) self->on_timeout();
        });
    }
    void disarm() {
        ++timer_generation_;
        timer_.cancel();
    }

    void on_timeout() {
        switch (phase_) {
            case Phase::resolving:
            case Phase::connecting:
                fail(LinkError::timer_expired);
                break;
            case Phase::handshaking:
                fail(LinkError::open_handshake_timeout);
                break;
            case Phase::closing: {
                // The printer did not finish the close in time: the socket
                // goes, and with it every operation under way.
                SystemError ignored;
                socket().close(ignored);
                break;
            }
            default:
                break;
        }
    }

    void on_resolved(const SystemError& error, Resolver::results_type found) {
        if (phase_ != Phase::resolving) return;
        if (error) return fail(LinkError::transport);
        phase_ = Phase::connecting;
        arm(settings_.connect_timeout);
        net::async_connect(socket(), found,
                           [self = shared_from_this()](const SystemError& connect_error, const tcp::endpoint&) {
                               self->on_connected(connect_error);
                           });
    }

    void on_connected(const SystemError& error) {
        if (phase_ != Phase::connecting) return;
        if (error) return fail(LinkError::transport);
        SystemError ignored;
        socket().set_option(tcp::no_delay(true), ignored);
        socket().non_blocking(true, ignored);
        phase_ = Phase::handshaking;
        arm(settings_.open_handshake_timeout);
        ws_.set_option(
            websocket::stream_base::timeout{websocket::stream_base::none(), websocket::stream_base::none(), false});
        ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
            // The headers the plug-in has always sent, in their order.
            const std::string host(request[http::field::host]);
            const std::string key(request[http::field::sec_websocket_key]);
            for (const auto field :
                 {http::field::host, http::field::upgrade, http::field::connection, http::field::sec_websocket_key,
                  http::field::sec_websocket_version, http::field::user_agent}) {
                request.erase(field);
            }
            request.set(http::field::connection, "Upgrade");
            request.set(http::field::host, host);
            request.set(http::field::sec_websocket_key, key);
            request.set(http::field::sec_websocket_version, "13");
            request.set(http::field::upgrade, "websocket");
            request.set(http::field::user_agent, kUserAgent);
        }));
        ws_.async_handshake(
            uri_.host_header(), uri_.resource,
            [self = shared_from_this()](const SystemError& handshake_error) { self->on_handshake(handshake_error); });
    }

    void on_handshake(const SystemError& error) {
        if (phase_ != Phase::handshaking) return;
        if (error) return fail(handshake_failure(error));
        disarm();
        phase_ = Phase::open;
        ws_.read_message_max(settings_.max_message_bytes);
        ws_.auto_fragment(false);
        ws_.text(true);
        ws_.control_callback(
            [this](websocket::frame_type kind, beast::string_view payload) { on_control(kind, payload); });
        {
            std::lock_guard<std::mutex> lock(outbox_mutex_);
            accepting_ = true;
        }
        read_next();
        if (handlers.on_open) handlers.on_open(handle());
    }

    // A link that never opened.
    void fail(LinkError error) {
        if (phase_ == Phase::ended) return;
        phase_ = Phase::ended;
        disarm();
        resolver_.cancel();
        SystemError ignored;
        socket().close(ignored);
        outcome_.error = make_error_code(error);
        outcome_.remote_close_code = kNoCloseFrame;
        outcome_.remote_close_code_name = close_code_name(kNoCloseFrame);
        if (handlers.on_fail) handlers.on_fail(handle());
    }

    // Each message is read straight into one string, kept from message to
    // message: no copy and no allocation per message.
    void read_next() {
        reading_ = true;
        message_buffer_.consume(message_buffer_.size());
        ws_.async_read(message_buffer_,
                       [self = shared_from_this()](const SystemError& error, std::size_t) { self->on_read(error); });
    }

    void on_read(const SystemError& error) {
        reading_ = false;
        if (error) {
            read_error_ = error;
            return end_if_done();
        }
        // Binary frames are dropped.
        if (ws_.got_text() && handlers.on_text) handlers.on_text(handle(), message_);
        if (message_.capacity() > kKeptReadBuffer) {
            message_buffer_.consume(message_buffer_.size());
            message_.shrink_to_fit();
        }
        if (phase_ == Phase::open || phase_ == Phase::closing) {
            read_next();
        } else {
            end_if_done();
        }
    }

    void on_control(websocket::frame_type kind, beast::string_view payload) {
        if (kind == websocket::frame_type::pong) {
            ++pong_generation_;
            pong_timer_.cancel();
            if (handlers.on_pong) handlers.on_pong(handle(), std::string(payload));
        } else if (kind == websocket::frame_type::close) {
            got_close_frame_ = true;
            if (close_after_writes_) {
                // Our own close waited for the outbox; the printer's came
                // first, so ours goes now and nothing more is written.
                close_after_writes_ = false;
                send_close();
            } else if (phase_ == Phase::open) {
                // Echo the printer's code and reason; Beast would echo the
                // code alone. A close frame without a code is answered 1000.
                websocket::close_reason echo = ws_.reason();
                if (echo.code == websocket::close_code::none)
                    echo = websocket::close_reason(websocket::close_code::normal);
                begin_close(echo, false);
            }
        }
    }

    // Local closes let the outbox go out first; an echo goes at once.
    void begin_close(const websocket::close_reason& reason, bool after_outbox) {
        bool writer_busy;
        {
            std::lock_guard<std::mutex> lock(outbox_mutex_);
            accepting_ = false;
            writer_busy = writer_active_;
        }
        phase_ = Phase::closing;
        arm(settings_.close_handshake_timeout);
        close_reason_ = reason;
        if (after_outbox && writer_busy) {
            close_after_writes_ = true;
        } else {
            send_close();
        }
    }

    void send_close() {
        close_pending_ = true;
        ws_.async_close(close_reason_, [self = shared_from_this()](const SystemError& error) {
            self->close_pending_ = false;
            self->close_completed_ = !error;
            self->end_if_done();
        });
    }

    void write_next() {
        std::optional<std::string> next;
        {
            std::lock_guard<std::mutex> lock(outbox_mutex_);
            if (!outbox_.empty() && ws_.is_open() && (phase_ == Phase::open || close_after_writes_)) {
                next = std::move(outbox_.front());
                outbox_.pop_front();
            } else {
                writer_active_ = false;
            }
        }
        if (!next) {
            if (close_after_writes_) {
                close_after_writes_ = false;
                // Unless Beast is closing the stream itself already.
                if (ws_.is_open()) send_close();
            }
            return end_if_done();
        }
        writing_ = std::move(*next);
        write_pending_ = true;
        ws_.async_write(net::buffer(writing_), [self = shared_from_this()](const SystemError& error, std::size_t) {
            self->on_written(error);
        });
    }

    void on_written(const SystemError& error) {
        write_pending_ = false;
        const std::string text = std::move(writing_);
        {
            std::lock_guard<std::mutex> lock(outbox_mutex_);
            --outbox_texts_;
            outbox_bytes_ -= text.size();
            if (error) writer_active_ = false;
        }
        // A write fails only when the link is going: the text met a link
        // that is not open any more.
        const std::error_code result = error ? make_error_code(LinkError::invalid_state) : std::error_code();
        if (handlers.on_sent) handlers.on_sent(handle(), result, text);
        if (error) return end_if_done();  // the reading side sees the link break
        write_next();
    }

    // The link ends once its read, its close and its write have all returned.
    void end_if_done() {
        if (phase_ == Phase::ended || phase_ < Phase::open || reading_ || close_pending_ || write_pending_) return;
        phase_ = Phase::ended;
        disarm();
        ++pong_generation_;
        pong_timer_.cancel();
        SystemError ignored;
        socket().close(ignored);
        std::deque<std::string> unsent;
        {
            std::lock_guard<std::mutex> lock(outbox_mutex_);
            accepting_ = false;
            writer_active_ = false;
            unsent.swap(outbox_);
            outbox_texts_ = 0;
            outbox_bytes_ = 0;
        }
        if (bad_close_frame(read_error_)) {
            outcome_.remote_close_code = kProtocolError;
        } else if (got_close_frame_ || close_completed_) {
            // Beast reads a close frame without a code as code 0.
            const auto code = static_cast<std::uint16_t>(ws_.reason().code);
            outcome_.remote_close_code = code == websocket::close_code::none ? kNoStatus : code;
            outcome_.remote_close_reason = std::string(ws_.reason().reason.data(), ws_.reason().reason.size());
        } else {
            outcome_.remote_close_code = kNoCloseFrame;
        }
        outcome_.remote_close_code_name = close_code_name(outcome_.remote_close_code);
        for (const std::string& text : unsent) {
            if (handlers.on_sent) handlers.on_sent(handle(), make_error_code(LinkError::invalid_state), text);
        }
        if (handlers.on_close) handlers.on_close(handle());
    }

    net::io_context& io_;
    const EndpointSettings settings_;
    const LinkUri uri_;
    Resolver resolver_;
    websocket::stream<Socket> ws_;
    Timer timer_;
    Timer pong_timer_;
    unsigned timer_generation_ = 0;
    unsigned pong_generation_ = 0;
    Phase phase_ = Phase::idle;
    LinkOutcome outcome_;

    std::string message_;
    net::dynamic_string_buffer<char, std::char_traits<char>, std::allocator<char>> message_buffer_{message_};
    bool reading_ = false;
    SystemError read_error_;
    bool got_close_frame_ = false;
    bool close_pending_ = false;
    bool close_completed_ = false;
    bool close_after_writes_ = false;
    websocket::close_reason close_reason_;
    bool ping_in_flight_ = false;
    std::string ping_payload_;

    // The outbox, shared with the threads that hand texts over.
    std::mutex outbox_mutex_;  // leaf
    std::deque<std::string> outbox_;
    std::size_t outbox_texts_ = 0;  // including the one being written
    std::size_t outbox_bytes_ = 0;
    bool accepting_ = false;      // open and not closing
    bool writer_active_ = false;  // a write is under way or about to start
    // The text being written (network thread).
    std::string writing_;
    bool write_pending_ = false;
};

}  // namespace

struct WebSocketEndpoint::Impl {
    net::io_context io{1};  // run by the network thread alone
    std::optional<net::executor_work_guard<net::io_context::executor_type>> perpetual;
    EndpointSettings settings;
    std::atomic<bool> loop_running{false};
};

namespace {

std::shared_ptr<Link> link_of(const LinkHandle& handle) { return std::static_pointer_cast<Link>(handle.lock()); }

}  // namespace

WebSocketEndpoint::WebSocketEndpoint() : impl_(std::make_unique<Impl>()) {}

WebSocketEndpoint::~WebSocketEndpoint() = default;

void WebSocketEndpoint::init(const EndpointSettings& settings) {
    impl_->settings = settings;
    impl_->perpetual.emplace(impl_->io.get_executor());
    initialised_.store(true);
}

void WebSocketEndpoint::run() {
    loop_thread_.store(std::this_thread::get_id());
    impl_->loop_running.store(true);
    struct LoopExit {
        WebSocketEndpoint& self;
        ~LoopExit() {
            self.impl_->loop_running.store(false);
            self.loop_thread_.store(std::thread::id());
        }
    } exit_guard{*this};
    impl_->io.run();
}

void WebSocketEndpoint::stop_perpetual() { impl_->perpetual.reset(); }

void WebSocketEndpoint::stop() { impl_->io.stop(); }

LinkRef WebSocketEndpoint::create_link(const std::string& uri, std::error_code& error) {
    error.clear();
    if (!initialised()) {
        error = make_error_code(LinkError::invalid_state);
        return nullptr;
    }
    // The plug-in speaks plain "ws" to a named printer only.
    std::optional<LinkUri> location = parse_link_uri(uri);
    if (!location || location->scheme != "ws" || location->host.empty()) {
        error = make_error_code(LinkError::invalid_uri);
        return nullptr;
    }
    return std::make_shared<Link>(impl_->io, impl_->settings, std::move(*location));
}

void WebSocketEndpoint::bind(const LinkRef& link, LinkHandlers handlers) {
    std::static_pointer_cast<Link>(link)->handlers = std::move(handlers);
}

void WebSocketEndpoint::on_loop(std::function<void()> task) {
    // Without an event loop there is no other thread to race with.
    if (on_network_thread() || !impl_->loop_running.load()) {
        task();
    } else {
        net::post(impl_->io, std::move(task));
    }
}

void WebSocketEndpoint::start_link(LinkRef link) {
    net::post(impl_->io, [link = std::static_pointer_cast<Link>(std::move(link))] { link->start(); });
}

WebSocketEndpoint::SendResult WebSocketEndpoint::send_text(const LinkHandle& handle, std::string text) {
    std::shared_ptr<Link> link = link_of(handle);
    if (!link) {
        SendResult gone;
        gone.error = make_error_code(LinkError::bad_connection);
        return gone;
    }
    return link->hand_over(std::move(text));
}

namespace {

// Pings per turn of the loop: each costs a frame, a write and a pong timer,
// some microseconds, so a slice holds the loop up briefly. A thousand pings
// at once held it for some twenty milliseconds.
constexpr std::size_t kPingSlice = 32;

struct PingBatch {
    std::vector<WebSocketEndpoint::PingTarget> targets;
    std::string payload;
    std::size_t next = 0;
};

void ping_slice(net::io_context& io, const std::shared_ptr<PingBatch>& batch) {
    const std::size_t end = std::min(batch->next + kPingSlice, batch->targets.size());
    for (; batch->next < end; ++batch->next) {
        const WebSocketEndpoint::PingTarget& target = batch->targets[batch->next];
        const std::shared_ptr<Link> link = link_of(target.handle);
        const std::error_code error = link ? link->ping(batch->payload) : make_error_code(LinkError::bad_connection);
        if (error && target.on_error) target.on_error(error);
    }
    // The rest after whatever the loop has ready meanwhile.
    if (batch->next < batch->targets.size()) net::post(io, [&io, batch] { ping_slice(io, batch); });
}

}  // namespace

void WebSocketEndpoint::ping_all(std::vector<PingTarget> targets, const std::string& payload) {
    if (targets.empty()) return;
    auto batch = std::make_shared<PingBatch>(PingBatch{std::move(targets), payload, 0});
    on_loop([&io = impl_->io, batch] { ping_slice(io, batch); });
}

void WebSocketEndpoint::close(const LinkHandle& handle, std::uint16_t code, const std::string& reason,
                              CloseResult on_result) {
    on_loop([handle, code, reason, on_result = std::move(on_result)] {
        const std::shared_ptr<Link> link = link_of(handle);
        const std::error_code error = link ? link->close(code, reason) : make_error_code(LinkError::bad_connection);
        if (on_result) on_result(error);
    });
}

LinkOutcome WebSocketEndpoint::outcome(const LinkHandle& handle) {
    const std::shared_ptr<Link> link = link_of(handle);
    if (!link) {
        LinkOutcome gone;
        gone.error = make_error_code(LinkError::bad_connection);
        return gone;
    }
    return link->outcome();
}

}  // namespace zorim
