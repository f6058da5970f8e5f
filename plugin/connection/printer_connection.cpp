#include "connection/printer_connection.h"

#include <utility>

#include "connection/printer_manager.h"
#include "diagnostics/console.h"
#include "diagnostics/diagnostic_log.h"
#include "protocol/request_catalogue.h"

namespace zorim {
namespace {

constexpr std::uint16_t kCloseNormal = 1000;
constexpr std::int16_t kResendAge = 4;

}  // namespace

PrinterConnection::PrinterConnection(std::string device_id, LinkHandle handle, std::string uri)
    : device_id_(std::move(device_id)), handle_(std::move(handle)), uri_(std::move(uri)) {}

LinkHandle PrinterConnection::handle() const {
    std::lock_guard<std::mutex> lock(handle_mutex_);
    return handle_;
}

std::string PrinterConnection::uri() const {
    std::lock_guard<std::mutex> lock(handle_mutex_);
    return uri_;
}

bool PrinterConnection::is_current(const LinkHandle& event) const {
    std::lock_guard<std::mutex> lock(handle_mutex_);
    return !event.owner_before(handle_) && !handle_.owner_before(event);
}

LinkHandle PrinterConnection::begin_reopen(LinkHandle handle, std::string uri) {
    LinkHandle replaced;
    {
        std::lock_guard<std::mutex> lock(handle_mutex_);
        replaced = std::exchange(handle_, std::move(handle));
        uri_ = std::move(uri);
        link_state_.store(kLinkConnecting);
    }
    update_status([](MachineStatus& status) {
        status.machine_state = kMachineReconnecting;
        status.job_state = kJobUnknown;
        status.connection_state = kConnectionNotOpened;
        status.firmware_state = kFirmwareUnknown;
    });
    return replaced;
}

void PrinterConnection::publish_state(const LinkHandle& event, std::int32_t state) {
    // A reopen that replaced the link meanwhile keeps its own state.
    std::lock_guard<std::mutex> lock(handle_mutex_);
    if (!event.owner_before(handle_) && !handle_.owner_before(event)) link_state_.store(state);
}

void PrinterConnection::retire(std::uint16_t code, std::string reason) {
    // Two closes of one printer may race; the lock keeps each pair whole.
    std::lock_guard<std::mutex> lock(handle_mutex_);
    retire_code_ = code;
    retire_reason_ = std::move(reason);
    retired_.store(true);
}

MachineStatus PrinterConnection::status_copy() const {
    std::lock_guard<std::mutex> lock(status_mutex_);
    return status_;
}

void PrinterConnection::report_status(PrinterManager& manager) const {
    MachineStatusReceiver receiver = manager.machine_status_receiver();
    if (manager.machine_status_wanted(receiver)) manager.report_machine_status(receiver, device_id_, status_copy());
}

// --- Event handlers -------------------------------------------------------------

void PrinterConnection::on_open(PrinterManager& manager, WebSocketEndpoint& endpoint, LinkHandle event) {
    if (!is_current(event)) {
        // A reopen replaced this link while it was opening: it is closed
        // rather than left running beside the current one.
        log_record(Severity::debug, "on_open:" + device_id_ + " of a replaced link; closing it\n");
        endpoint.close(event, kCloseNormal, "", [device_id = device_id_](const std::error_code& error) {
            if (error) {
                log_record(Severity::debug,
                           "> Error closing replaced connection: " + device_id + "," + error.message() + "\n");
            }
        });
        return;
    }
    link_state_.store(kLinkOpen);
    log_record(Severity::debug, "on_open:" + device_id_ + "\n");
    if (retired_.load()) {
        // Disconnected while the link was still opening: finish the close the
        // host asked for instead of starting the protocol.
        std::uint16_t code;
        std::string reason;
        {
            std::lock_guard<std::mutex> lock(handle_mutex_);
            code = retire_code_;
            reason = retire_reason_;
        }
        endpoint.close(event, code, reason, [device_id = device_id_](const std::error_code& error) {
            if (error) {
                log_record(Severity::error, "> Error initiating close: " + device_id + "," + error.message() + "\n");
            }
        });
        return;
    }
    update_status([](MachineStatus& status) {
        status.connection_state = kConnectionOpen;
        status.heartbeat_state = kHeartbeatAlive;
    });
    manager.request_printer_info(device_id_);
    manager.request_objects_list(device_id_);
}

void PrinterConnection::on_fail(PrinterManager& manager, WebSocketEndpoint& endpoint, LinkHandle event) {
    if (!is_current(event)) {
        log_record(Severity::debug, "on_fail:" + device_id_ + " of a replaced link; ignored\n");
        return;
    }
    if (link_state_.load() == kLinkOpen) {
        link_state_.store(kLinkFailed);
        // The close event that follows reports the printer offline.
        endpoint.close(event, kCloseNormal, "", [device_id = device_id_](const std::error_code& error) {
            if (error) {
                log_record(Severity::debug,
                           "> Error closing failed connection: " + device_id + "," + error.message() + "\n");
            }
        });
    } else {
        update_status([](MachineStatus& status) {
            status.connection_state = kConnectionClosed;
            status.machine_state = kMachineOffline;
        });
        report_status(manager);
        publish_state(event, kLinkFailed);
    }
    const LinkOutcome outcome = endpoint.outcome(event);
    error_reason_ = outcome.error.message();
    log_record(Severity::debug, "on_fail:" + device_id_ + "," + error_reason_ + "," +
                                    std::to_string(outcome.error.value()) + "," +
                                    std::to_string(outcome.remote_close_code) + "," +
                                    outcome.remote_close_reason + "\n");
}

void PrinterConnection::on_close(PrinterManager& manager, WebSocketEndpoint& endpoint, LinkHandle event) {
    if (!is_current(event)) {
        log_record(Severity::debug, "on_close:" + device_id_ + " of a replaced link; ignored\n");
        return;
    }
    update_status([](MachineStatus& status) {
        status.connection_state = kConnectionClosed;
        status.machine_state = kMachineOffline;
    });
    report_status(manager);
    publish_state(event, kLinkClosed);
    const LinkOutcome outcome = endpoint.outcome(event);
    error_reason_ = "close code: " + std::to_string(outcome.remote_close_code) + " (" +
                    outcome.remote_close_code_name + "), close reason: " + outcome.remote_close_reason;
    log_record(Severity::debug, "on_close:" + device_id_ + "," + error_reason_ + "\n");
}

void PrinterConnection::on_message(PrinterManager& manager, LinkHandle event, const std::string& text) {
    if (!is_current(event)) {
        log_record(Severity::debug, "on_message:" + device_id_ + " of a replaced link; ignored\n");
        return;
    }
    if (log_enabled(Severity::debug)) {
        log_record(Severity::debug, "on_message,id:" + device_id_ + "," + text + "\n");
    }
    dispatch_message(manager, text);
}

void PrinterConnection::on_pong(WebSocketEndpoint& /*endpoint*/, LinkHandle event, std::string payload) {
    if (!is_current(event)) {
        log_record(Severity::debug, "pong:" + device_id_ + " of a replaced link; ignored\n");
        return;
    }
    console_write("pong msg:" + payload + device_id_ + "\n");
    update_status([](MachineStatus& status) { status.heartbeat_state = kHeartbeatAlive; });
}

void PrinterConnection::on_pong_timeout(PrinterManager& manager, WebSocketEndpoint& /*endpoint*/,
                                        LinkHandle event, std::string /*payload*/) {
    if (!is_current(event)) {
        log_record(Severity::debug, "heartbeat timeout:" + device_id_ + " of a replaced link; ignored\n");
        return;
    }
    log_record(Severity::debug, "heartbeat timeout" + device_id_ + "\n");
    update_status([](MachineStatus& status) { status.heartbeat_state = kHeartbeatTimedOut; });
    report_status(manager);
}

// --- Messages -------------------------------------------------------------------

void PrinterConnection::dispatch_message(PrinterManager& manager, const std::string& payload) {
    RouteResult result;
    MachineStatusReceiver receiver = manager.machine_status_receiver();
    const PrinterView view{device_id_, link_state_.load() == kLinkOpen, manager.machine_status_wanted(receiver)};
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        route_message(view, payload, status_, result);
    }
    status_update_count_.fetch_add(result.status_updates);
    carry_out(manager, receiver, result);
}

void PrinterConnection::carry_out(PrinterManager& manager, MachineStatusReceiver& receiver, RouteResult& result) {
    std::size_t next_record = 0;
    for (Action& action : result.actions) {
        switch (action.kind) {
            case ActionKind::console:
                console_write(action.text);
                break;
            case ActionKind::log_error:
                log_record(Severity::error, action.text);
                break;
            case ActionKind::erase_pending:
                erase_pending(action.id);
                break;
            case ActionKind::report_status:
                // No copy was made when nobody was to receive it.
                if (next_record < result.records.size()) {
                    manager.report_machine_status(receiver, device_id_, std::move(result.records[next_record++]));
                }
                break;
            case ActionKind::report_error:
                manager.report_error(device_id_, std::move(action.text));
                break;
            case ActionKind::report_file_list:
                manager.report_file_list(device_id_, std::move(action.text));
                break;
            case ActionKind::report_file_meta:
                manager.report_file_meta(device_id_, std::move(action.text));
                break;
            case ActionKind::report_print_history:
                manager.report_print_history(device_id_, std::move(action.text));
                break;
            case ActionKind::report_file_changed:
                manager.report_file_changed(device_id_, std::string());
                break;
            case ActionKind::report_history_changed:
                manager.report_history_changed(device_id_, std::string());
                break;
            case ActionKind::request_printer_info:
                manager.request_printer_info(device_id_);
                break;
            case ActionKind::request_objects_list:
                manager.request_objects_list(device_id_);
                break;
            case ActionKind::request_subscribe:
                manager.request_subscribe(device_id_, action.text);
                break;
            case ActionKind::request_latest_job:
                manager.request_latest_job(device_id_);
                break;
        }
    }
}

// --- Sending ------------------------------------------------------------------------

PrinterConnection::Transmitted PrinterConnection::transmit(WebSocketEndpoint& endpoint, const LinkHandle& handle,
                                                           std::int32_t request_id, std::string text,
                                                           bool await_reply) {
    if (link_state_.load() != kLinkOpen) {
        log_record(Severity::debug, "websocket is not connected, send msg:" + text + "\n");
        return Transmitted::not_open;
    }
    if (request_id > 0 && await_reply) {
        // Registered before the write, so a write that fails is still resent.
        std::lock_guard<std::mutex> lock(pending_mutex_);
        pending_requests_[request_id] = OutgoingMessage{std::string(), request_id, 0, true, text};
    }
    const WebSocketEndpoint::SendResult result = endpoint.send_text(handle, std::move(text));
    if (result.full) {
        log_record(Severity::warning, "send: dropped request id " + std::to_string(request_id) + " for " + device_id_ +
                                          ": the printer has not taken the " + std::to_string(result.waiting_texts) +
                                          " texts (" + std::to_string(result.waiting_bytes) +
                                          " bytes) already handed to it");
        return Transmitted::dropped;
    }
    if (result.error) on_sent(result.error, std::string());
    return Transmitted::handed_over;
}

void PrinterConnection::on_sent(const std::error_code& error, const std::string& text) {
    if (error) {
        log_record(Severity::debug, "> Error sending message: " + error.message() + "\n");
    } else if (log_enabled(Severity::debug)) {
        log_record(Severity::debug, "send to " + device_id_ + " msg:" + text + "\n");
    }
}

void PrinterConnection::check_pending_requests(WebSocketEndpoint& endpoint) {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    const LinkHandle current = handle();
    // Subscription watchdog: no status since the last tick means the
    // subscription is gone or never came; ask for the objects again. Sent
    // without registering, so the id 1 entry is left as it is.
    if (status_update_count_.exchange(0) == 0) {
        transmit(endpoint, current, kObjectsList, compose_request(kObjectsList), false);
    }
    // Every send here passes await_reply false: transmit must not take
    // pending_mutex_ again on this thread.
    for (auto& [request_id, entry] : pending_requests_) {
        ++entry.age;
        if (entry.age >= kResendAge && entry.await_reply) {
            entry.age = 0;
            transmit(endpoint, current, request_id, entry.text, false);
        }
    }
}

void PrinterConnection::erase_pending(std::int32_t request_id) {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    pending_requests_.erase(request_id);
}

std::map<std::int32_t, OutgoingMessage> PrinterConnection::pending_snapshot() const {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    return pending_requests_;
}

}  // namespace zorim
