// The one WebSocket client endpoint that all printer connections share.
//
// A thin shell over websocketpp's Asio client (no TLS). It keeps websocketpp
// and Asio out of every other source: those headers are slow to compile, and
// the rest of the plug-in only needs handles, texts and error codes.
//
// Threads: the event loop runs on the network thread (`run`). The library's
// connection objects are not safe to use from other threads (writes, pings
// and closes touch state that only the loop guards, and the open handshake
// changes state that a write from elsewhere reads), so every operation on a
// connection is carried out on the network thread: posted there when called
// from elsewhere, in call order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace zorim {

// Weak handle of a connection object; the library owns the object.
using LinkHandle = std::weak_ptr<void>;
// Owning reference to a connection object that has not been started yet.
using LinkRef = std::shared_ptr<void>;

struct LinkHandlers {
    std::function<void(LinkHandle)> on_open;
    std::function<void(LinkHandle)> on_fail;
    std::function<void(LinkHandle)> on_close;
    std::function<void(LinkHandle, std::string text)> on_text;  // text frames only
    std::function<void(LinkHandle, std::string payload)> on_pong_timeout;
    std::function<void(LinkHandle, std::string payload)> on_pong;
};

// What the library recorded about how a connection object ended.
struct LinkOutcome {
    std::error_code error;              // the failure, if any
    std::uint16_t remote_close_code = 0;  // 1006 when no close frame arrived
    std::string remote_close_code_name;   // the library's name for that code
    std::string remote_close_reason;
};

struct EndpointSettings {
    std::chrono::milliseconds open_handshake_timeout{10000};
    std::chrono::milliseconds pong_timeout{10000};
};

class WebSocketEndpoint {
public:
    WebSocketEndpoint();
    ~WebSocketEndpoint();
    WebSocketEndpoint(const WebSocketEndpoint&) = delete;
    WebSocketEndpoint& operator=(const WebSocketEndpoint&) = delete;

    // Silences the library's own logs, gives the endpoint an event loop of
    // its own, sets the timeouts and enters perpetual mode. Throws on failure.
    void init(const EndpointSettings& settings);
    bool initialised() const { return initialised_.load(); }

    // Runs the event loop on the calling thread until `stop`.
    void run();
    bool on_network_thread() const { return std::this_thread::get_id() == loop_thread_.load(); }

    void stop_perpetual();
    void stop();

    // A new connection object for `uri`, not yet started; null with `error`
    // set when the library refuses the URI.
    LinkRef create_link(const std::string& uri, std::error_code& error);
    void bind(const LinkRef& link, LinkHandlers handlers);
    // Resolve, connect and handshake in the background; the outcome arrives
    // at on_open or on_fail.
    void start_link(LinkRef link);

    // Writes `text` as one text frame. `on_result` runs on the network thread
    // afterwards with the library's answer and the text.
    using SendResult = std::function<void(const std::error_code& error, const std::string& text)>;
    void send_text(const LinkHandle& handle, std::string text, SendResult on_result);

    // Writes in flight: handed to `send_text` and not yet written. A write
    // stays in flight while it waits for the network thread, and afterwards
    // for as long as its link holds more than kMaxBufferedBytes that the
    // socket has not taken (a printer that reads slowly).
    static constexpr std::size_t kMaxBufferedBytes = std::size_t{1} << 20;
    std::size_t writes_in_flight() const;
    // Waits until fewer than `limit` writes are in flight. False when a whole
    // `wait` passed without room (a write finishing starts a fresh wait, as in
    // the send queue) or `give_up` answered true; it is asked every few
    // milliseconds. Never call it on the network thread.
    bool wait_for_write_room(std::size_t limit, std::chrono::milliseconds wait,
                             const std::function<bool()>& give_up);
    // Pings every link of `targets`, a few at a time on the network thread,
    // so that a keep-alive pass over many printers never holds up the frames
    // arriving meanwhile for more than a slice. The results arrive later, on
    // the network thread: a target's `on_error` is called only when its ping
    // could not be sent.
    struct PingTarget {
        LinkHandle handle;
        std::function<void(const std::error_code&)> on_error;
    };
    void ping_all(std::vector<PingTarget> targets, const std::string& payload);
    // Starts the close handshake; `on_result` gets the library's answer. On
    // the network thread (or with no loop running) both happen before the
    // call returns; from another thread the close is posted to the loop and
    // the caller does not wait for it.
    using CloseResult = std::function<void(const std::error_code& error)>;
    void close(const LinkHandle& handle, std::uint16_t code, const std::string& reason, CloseResult on_result);

    // Only meaningful on the network thread, inside a handler of that link.
    LinkOutcome outcome(const LinkHandle& handle);

    static std::string close_code_name(std::uint16_t code);

private:
    void on_loop(std::function<void()> task);
    // Network thread: ends the write's time in flight once its link has taken
    // it, or is gone.
    void settle_write(const LinkHandle& handle);
    void release_write();

    struct Impl;
    struct PingBatch;
    // Network thread: pings the next slice of `batch` and leaves the rest for
    // a later turn of the loop.
    static void ping_slice(Impl* impl, const std::shared_ptr<PingBatch>& batch);

    std::unique_ptr<Impl> impl_;
    std::atomic<bool> initialised_{false};
    std::atomic<std::thread::id> loop_thread_{};
    mutable std::mutex flight_mutex_;  // leaf: guards writes_in_flight_
    std::condition_variable write_done_;
    std::size_t writes_in_flight_ = 0;
};

}  // namespace zorim
