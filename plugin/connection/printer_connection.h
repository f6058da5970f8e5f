// One printer in the agent's registry: its identity, its WebSocket link,
// its status record and its table of requests awaiting a reply.
//
// The six handlers are bound to every connection object made for the printer
// and run on the network thread. A reopened printer keeps this object, so its
// status, pending requests and update count carry over between links.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "connection/callback_slot.h"
#include "connection/websocket_endpoint.h"
#include "protocol/message_router.h"
#include "protocol/outgoing_message.h"
#include "zorim_network/machine_status.h"
#include "zorim_network/zorim_network.h"

namespace zorim {

class PrinterManager;

enum LinkState : std::int32_t {
    kLinkConnecting = 0,
    kLinkOpen = 1,
    kLinkClosed = 2,
    kLinkFailed = 3,
};

class PrinterConnection : public std::enable_shared_from_this<PrinterConnection> {
public:
    PrinterConnection(std::string device_id, LinkHandle handle, std::string uri);

    const std::string& device_id() const { return device_id_; }
    // The printer's address: the last one the host gave.
    std::string uri() const;
    std::int32_t link_state() const { return link_state_.load(); }

    LinkHandle handle() const;
    // True when `event` comes from the printer's current link. Events of a
    // link that a reopen replaced are only logged.
    bool is_current(const LinkHandle& event) const;

    // Registry side (connect, close): a fresh connection object to `uri`
    // replaces the old one, whose handle is returned; the status record takes
    // the "connecting again" values.
    LinkHandle begin_reopen(LinkHandle handle, std::string uri);
    // Marks a printer that `close` took out of the registry. A link that
    // opens after that is closed at once with `code` instead of being used.
    void retire(std::uint16_t code, std::string reason);
    bool retired() const { return retired_.load(); }
    // Launches (a new link prepared under the registry lock) whose link has
    // not been started yet: between them the report of a reopen runs.
    void launch_prepared() { launches_pending_.fetch_add(1); }
    void launch_finished() { launches_pending_.fetch_sub(1); }
    bool launch_pending() const { return launches_pending_.load() > 0; }

    // --- Event handlers (network thread) --------------------------------
    void on_open(PrinterManager& manager, WebSocketEndpoint& endpoint, LinkHandle event);
    void on_fail(PrinterManager& manager, WebSocketEndpoint& endpoint, LinkHandle event);
    void on_close(PrinterManager& manager, WebSocketEndpoint& endpoint, LinkHandle event);
    void on_message(PrinterManager& manager, LinkHandle event, const std::string& text);
    void on_pong(WebSocketEndpoint& endpoint, LinkHandle event, std::string payload);
    void on_pong_timeout(PrinterManager& manager, WebSocketEndpoint& endpoint, LinkHandle event,
                         std::string payload);

    // --- Sending (send and keep-alive threads) -------------------------
    enum class Transmitted {
        handed_over,  // to the link's outbox (or refused by the link, with a record)
        not_open,     // the link is not open: dropped with a record
        dropped,      // the link's outbox is full: dropped with a warning
    };
    // Hands `text` to the link when it is open; registers it for resending
    // first when it awaits a reply.
    Transmitted transmit(WebSocketEndpoint& endpoint, const LinkHandle& handle, std::int32_t request_id,
                         std::string text, bool await_reply);
    // A text was written, or could not be: on the network thread once it
    // was handed over, on the sending thread when the link refused it.
    void on_sent(const std::error_code& error, const std::string& text);
    // The keep-alive tick: subscription watchdog, then resends.
    void check_pending_requests(WebSocketEndpoint& endpoint);

    // --- Messages (network thread) ---------------------------------------
    // Routes one message text through the router under the status lock, then
    // carries out what it asks for with no lock held.
    void dispatch_message(PrinterManager& manager, const std::string& payload);

    // --- Status record ----------------------------------------------------
    // The record is written on the network thread and, for a reopen, on the
    // thread of the connect request; `status_mutex_` keeps those apart. It is
    // a leaf lock: nothing else is taken, and no host code runs, under it.
    template <typename Fn>
    void update_status(Fn&& change) {
        std::lock_guard<std::mutex> lock(status_mutex_);
        change(status_);
    }
    template <typename Fn>
    auto read_status(Fn&& read) const {
        std::lock_guard<std::mutex> lock(status_mutex_);
        return read(static_cast<const MachineStatus&>(status_));
    }
    MachineStatus status_copy() const;
    // Hands a copy of the record to the host's machine-status callback (the
    // copy is only made when the host will receive it).
    void report_status(PrinterManager& manager) const;

    // --- Pending requests (tests and diagnostics) ------------------------
    std::map<std::int32_t, OutgoingMessage> pending_snapshot() const;
    std::int32_t status_update_count() const { return status_update_count_.load(); }

private:
    void erase_pending(std::int32_t request_id);
    // The state of a link that ended, set once the host has had the offline
    // report: the keep-alive pass reopens only closed and failed links, so
    // "connecting again" never reaches the host before the "offline" it
    // follows. Ignored when `event` is no longer the current link.
    void publish_state(const LinkHandle& event, std::int32_t state);
    void carry_out(PrinterManager& manager, CallbackSlot<MachineStatusChangedFn>::Held& receiver,
                   RouteResult& result);

    const std::string device_id_;
    mutable std::mutex handle_mutex_;  // leaf: guards handle_, uri_ and the retire code and reason
    LinkHandle handle_;
    std::atomic<std::int32_t> link_state_{kLinkConnecting};
    std::string uri_;
    std::string error_reason_;  // network thread only; written to the log

    mutable std::mutex status_mutex_;  // leaf: guards status_
    MachineStatus status_;

    // Guards pending_requests_ and the whole keep-alive tick. Taken after the
    // manager's registry_mutex, never before it.
    mutable std::mutex pending_mutex_;
    std::map<std::int32_t, OutgoingMessage> pending_requests_;
    std::atomic<std::int32_t> status_update_count_{0};

    std::atomic<std::int32_t> launches_pending_{0};
    std::atomic<bool> retired_{false};
    std::uint16_t retire_code_ = 0;  // written before retired_ is set
    std::string retire_reason_;
};

}  // namespace zorim
