// The one WebSocket client endpoint that all printer connections share.
//
// Each printer's link is a Boost.Beast WebSocket stream over a TCP socket,
// on one Asio event loop that the network thread runs (`run`). Asio and Beast
// stay out of this header: they are slow to compile, and the rest of the
// plug-in only needs handles, texts and error codes.
//
// Threads: every operation on a link runs on the network thread. Calls made
// elsewhere are posted there, in call order; only the hand-over of a text
// (`send_text`) takes a lock of the link's own on the calling thread.
//
// Sending: every link has its own outbox, the texts handed to it and not yet
// written to its socket, written one after another in the order given. A
// printer that stops reading fills only its own outbox; once that holds
// kMaxOutboxTexts texts or kMaxOutboxBytes bytes, the link takes no more
// texts until its socket takes some (`send_text` answers `full`).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "connection/link_errors.h"

namespace zorim {

// Weak handle of a link; the endpoint's event loop owns the link.
using LinkHandle = std::weak_ptr<void>;
// Owning reference to a link that has not been started yet.
using LinkRef = std::shared_ptr<void>;

struct LinkHandlers {
    std::function<void(LinkHandle)> on_open;
    std::function<void(LinkHandle)> on_fail;
    std::function<void(LinkHandle)> on_close;
    // Text frames only. The text lives in the link's read buffer until the
    // handler returns.
    std::function<void(LinkHandle, const std::string& text)> on_text;
    std::function<void(LinkHandle, std::string payload)> on_pong_timeout;
    std::function<void(LinkHandle, std::string payload)> on_pong;
    // A text of the outbox was written (no error) or can no longer be: the
    // write failed, or the link ended with the text still waiting.
    std::function<void(LinkHandle, const std::error_code& error, const std::string& text)> on_sent;
};

// How a link ended.
struct LinkOutcome {
    std::error_code error;                // why it failed; LinkError values
    std::uint16_t remote_close_code = 0;  // the printer's close code; 1006 when no close frame came
    std::string remote_close_code_name;   // the log's name for that code
    std::string remote_close_reason;
};

struct EndpointSettings {
    std::chrono::milliseconds open_handshake_timeout{10000};  // from connected to the 101 reply
    std::chrono::milliseconds pong_timeout{10000};
    std::chrono::milliseconds close_handshake_timeout{5000};  // from the close request to the link's end
    std::chrono::milliseconds resolve_timeout{5000};
    std::chrono::milliseconds connect_timeout{5000};
    std::size_t max_message_bytes = 32000000;  // a larger frame is refused from its header (1009)
};

class WebSocketEndpoint {
public:
    // The bound of each link's outbox. A printer takes a text in microseconds
    // when it reads at all: a full outbox means it has stopped. 512 texts hold
    // the agent's own requests and a host's burst (metadata for every file of
    // a long list) many times over; 4 MiB hold the largest texts a host sends
    // (G-code scripts) while keeping a stalled printer's share of memory
    // small, on top of what its socket's buffers already hold.
    static constexpr std::size_t kMaxOutboxTexts = 512;
    static constexpr std::size_t kMaxOutboxBytes = std::size_t{4} << 20;

    WebSocketEndpoint();
    ~WebSocketEndpoint();
    WebSocketEndpoint(const WebSocketEndpoint&) = delete;
    WebSocketEndpoint& operator=(const WebSocketEndpoint&) = delete;

    // Gives the endpoint its event loop, which keeps running while it has
    // nothing to do (until `stop_perpetual`). Throws on failure.
    void init(const EndpointSettings& settings);
    bool initialised() const { return initialised_.load(); }

    // Runs the event loop on the calling thread until `stop`.
    void run();
    bool on_network_thread() const { return std::this_thread::get_id() == loop_thread_.load(); }

    void stop_perpetual();
    void stop();

    // A new link to `uri`, not yet started; null with `error` set when the
    // URI is refused (not ws://, no host) or the endpoint is not initialised.
    LinkRef create_link(const std::string& uri, std::error_code& error);
    void bind(const LinkRef& link, LinkHandlers handlers);
    // Resolve, connect and handshake in the background; the outcome arrives
    // at on_open or on_fail.
    void start_link(LinkRef link);

    // Hands `text` to the link's outbox, to be written as one text frame;
    // on_sent follows. `error` is set when the link is gone or not open (the
    // text is dropped), `full` when its outbox is at its bound (dropped too).
    struct SendResult {
        std::error_code error;
        bool full = false;
        std::size_t waiting_texts = 0;  // the outbox when it was full
        std::size_t waiting_bytes = 0;
    };
    SendResult send_text(const LinkHandle& handle, std::string text);

    // Pings every link of `targets`, a few at a time on the network thread,
    // so that a keep-alive pass over many printers never holds up the frames
    // arriving meanwhile for more than a slice. Each ping (re)starts the
    // link's pong timeout; a link whose previous ping is still unwritten (a
    // stalled printer) only has its timeout restarted. The results arrive
    // later, on the network thread: a target's `on_error` is called only when
    // its ping could not be sent.
    struct PingTarget {
        LinkHandle handle;
        std::function<void(const std::error_code&)> on_error;
    };
    void ping_all(std::vector<PingTarget> targets, const std::string& payload);

    // Starts the close handshake; `on_result` gets the answer. On the network
    // thread (or with no loop running) both happen before the call returns;
    // from another thread the close is posted to the loop and the caller does
    // not wait for it. Texts already in the outbox are written first.
    using CloseResult = std::function<void(const std::error_code& error)>;
    void close(const LinkHandle& handle, std::uint16_t code, const std::string& reason, CloseResult on_result);

    // Only meaningful on the network thread, inside a handler of that link.
    LinkOutcome outcome(const LinkHandle& handle);

    struct Impl;

private:
    void on_loop(std::function<void()> task);

    std::unique_ptr<Impl> impl_;
    std::atomic<bool> initialised_{false};
    std::atomic<std::thread::id> loop_thread_{};
};

}  // namespace zorim
