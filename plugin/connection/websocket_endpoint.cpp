#include "connection/websocket_endpoint.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include <websocketpp/client.hpp>
#include <websocketpp/close.hpp>
#include <websocketpp/common/network.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>
#include <websocketpp/uri.hpp>

namespace zorim {
namespace {

using Client = websocketpp::client<websocketpp::config::asio_client>;

}  // namespace

struct WebSocketEndpoint::Impl {
    Client client;
    std::atomic<bool> loop_running{false};

    template <typename Fn>
    void post(Fn&& fn) {
        boost::asio::post(client.get_io_service(), std::forward<Fn>(fn));
    }
};

WebSocketEndpoint::WebSocketEndpoint() : impl_(std::make_unique<Impl>()) {}

WebSocketEndpoint::~WebSocketEndpoint() = default;

void WebSocketEndpoint::init(const EndpointSettings& settings) {
    // The library learns the byte order on the first 64-bit length it
    // frames, by writing an unguarded static. Done here, before the network
    // thread exists, every later use only reads it, so two endpoints in one
    // process (a host that also runs a simulated printer) never race on it.
    websocketpp::lib::net::_htonll(0);
    Client& client = impl_->client;
    client.clear_access_channels(websocketpp::log::alevel::all);
    client.clear_error_channels(websocketpp::log::elevel::all);
    client.init_asio();
    client.set_open_handshake_timeout(static_cast<long>(settings.open_handshake_timeout.count()));
    client.set_pong_timeout(static_cast<long>(settings.pong_timeout.count()));
    client.start_perpetual();
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
    impl_->client.run();
}

void WebSocketEndpoint::stop_perpetual() {
    if (initialised()) impl_->client.stop_perpetual();
}

void WebSocketEndpoint::stop() {
    if (initialised()) impl_->client.stop();
}

LinkRef WebSocketEndpoint::create_link(const std::string& uri, std::error_code& error) {
    error.clear();
    if (!initialised()) {
        error = websocketpp::error::make_error_code(websocketpp::error::invalid_state);
        return nullptr;
    }
    // The library would also take "http" and an empty host; the plug-in
    // speaks plain "ws" to a named printer only.
    auto location = std::make_shared<websocketpp::uri>(uri);
    if (!location->get_valid() || location->get_scheme() != "ws" || location->get_host().empty()) {
        error = websocketpp::error::make_error_code(websocketpp::error::invalid_uri);
        return nullptr;
    }
    Client::connection_ptr con = impl_->client.get_connection(location, error);
    if (error || !con) return nullptr;
    return con;
}

void WebSocketEndpoint::bind(const LinkRef& link, LinkHandlers handlers) {
    auto con = std::static_pointer_cast<Client::connection_type>(link);
    con->set_open_handler(std::move(handlers.on_open));
    con->set_fail_handler(std::move(handlers.on_fail));
    con->set_close_handler(std::move(handlers.on_close));
    con->set_message_handler(
        [on_text = std::move(handlers.on_text)](websocketpp::connection_hdl hdl, Client::message_ptr msg) {
            if (!msg || msg->get_opcode() != websocketpp::frame::opcode::text) return;
            on_text(std::move(hdl), std::move(msg->get_raw_payload()));
        });
    con->set_pong_timeout_handler(std::move(handlers.on_pong_timeout));
    con->set_pong_handler(std::move(handlers.on_pong));
}

void WebSocketEndpoint::on_loop(std::function<void()> task) {
    // Without an event loop there is no other thread to race with.
    if (on_network_thread() || !initialised()) {
        task();
    } else {
        impl_->post(std::move(task));
    }
}

void WebSocketEndpoint::start_link(LinkRef link) {
    // The client's resolver is shared by all connections and is not safe to
    // use from two threads, so connections are started on the loop.
    impl_->post([impl = impl_.get(), link = std::move(link)] {
        impl->client.connect(std::static_pointer_cast<Client::connection_type>(link));
    });
}

void WebSocketEndpoint::send_text(const LinkHandle& handle, std::string text, SendResult on_result) {
    {
        std::lock_guard<std::mutex> lock(flight_mutex_);
        ++writes_in_flight_;
    }
    on_loop([this, handle, text = std::move(text), on_result = std::move(on_result)] {
        std::error_code error;
        impl_->client.send(handle, text, websocketpp::frame::opcode::text, error);
        // Settled even when the report below throws.
        struct Settle {
            WebSocketEndpoint& self;
            const LinkHandle& handle;
            ~Settle() { self.settle_write(handle); }
        } settle{*this, handle};
        if (on_result) on_result(error, text);
    });
}

void WebSocketEndpoint::settle_write(const LinkHandle& handle) {
    std::error_code error;
    Client::connection_ptr con = impl_->client.get_con_from_hdl(handle, error);
    if (!error && con && con->get_state() == websocketpp::session::state::open &&
        con->get_buffered_amount() > kMaxBufferedBytes) {
        // The socket has not taken the link's backlog yet; look again soon.
        // The library offers no word when a write is done.
        try {
            impl_->client.set_timer(10, [this, handle](const std::error_code& timer_error) {
                if (timer_error) {
                    release_write();
                } else {
                    settle_write(handle);
                }
            });
            return;
        } catch (...) {
            // No timer: counted as written rather than held for ever.
        }
    }
    release_write();
}

void WebSocketEndpoint::release_write() {
    {
        std::lock_guard<std::mutex> lock(flight_mutex_);
        if (writes_in_flight_ > 0) --writes_in_flight_;
    }
    write_done_.notify_all();
}

std::size_t WebSocketEndpoint::writes_in_flight() const {
    std::lock_guard<std::mutex> lock(flight_mutex_);
    return writes_in_flight_;
}

bool WebSocketEndpoint::wait_for_write_room(std::size_t limit, std::chrono::milliseconds wait,
                                            const std::function<bool()>& give_up) {
    constexpr std::chrono::milliseconds kSlice{20};
    std::unique_lock<std::mutex> lock(flight_mutex_);
    auto deadline = std::chrono::steady_clock::now() + wait;
    std::size_t seen = writes_in_flight_;
    while (writes_in_flight_ >= limit) {
        if (give_up && give_up()) return false;
        const auto now = std::chrono::steady_clock::now();
        if (writes_in_flight_ < seen) {
            deadline = now + wait;  // a write finished: a fresh wait
        } else if (now >= deadline) {
            return false;
        }
        seen = writes_in_flight_;
        write_done_.wait_until(lock, std::min(deadline, now + kSlice));
    }
    return true;
}

namespace {

// Pings per turn of the loop: each costs a frame, a write and a pong timer,
// some tens of microseconds, so a slice holds the loop up for about a
// millisecond. A thousand pings at once held it for some twenty.
constexpr std::size_t kPingSlice = 32;

}  // namespace

struct WebSocketEndpoint::PingBatch {
    std::vector<PingTarget> targets;
    std::string payload;
    std::size_t next = 0;
};

void WebSocketEndpoint::ping_all(std::vector<PingTarget> targets, const std::string& payload) {
    if (targets.empty()) return;
    auto batch = std::make_shared<PingBatch>(PingBatch{std::move(targets), payload, 0});
    on_loop([impl = impl_.get(), batch] { ping_slice(impl, batch); });
}

void WebSocketEndpoint::ping_slice(Impl* impl, const std::shared_ptr<PingBatch>& batch) {
    const std::size_t end = std::min(batch->next + kPingSlice, batch->targets.size());
    for (; batch->next < end; ++batch->next) {
        const PingTarget& target = batch->targets[batch->next];
        std::error_code error;
        impl->client.ping(target.handle, batch->payload, error);
        if (error && target.on_error) target.on_error(error);
    }
    // The rest after whatever the loop has ready meanwhile.
    if (batch->next < batch->targets.size()) impl->post([impl, batch] { ping_slice(impl, batch); });
}

void WebSocketEndpoint::close(const LinkHandle& handle, std::uint16_t code, const std::string& reason,
                              CloseResult on_result) {
    auto do_close = [impl = impl_.get(), handle, code, reason, on_result = std::move(on_result)] {
        std::error_code error;
        impl->client.close(handle, code, reason, error);
        if (on_result) on_result(error);
    };
    if (on_network_thread() || !impl_->loop_running.load()) {
        do_close();
    } else {
        impl_->post(std::move(do_close));
    }
}

LinkOutcome WebSocketEndpoint::outcome(const LinkHandle& handle) {
    LinkOutcome outcome;
    std::error_code error;
    Client::connection_ptr con = impl_->client.get_con_from_hdl(handle, error);
    if (error || !con) {
        outcome.error = error;
        return outcome;
    }
    outcome.error = con->get_ec();
    outcome.remote_close_code = con->get_remote_close_code();
    outcome.remote_close_code_name = close_code_name(outcome.remote_close_code);
    outcome.remote_close_reason = con->get_remote_close_reason();
    return outcome;
}

std::string WebSocketEndpoint::close_code_name(std::uint16_t code) {
    return websocketpp::close::status::get_string(code);
}

}  // namespace zorim
