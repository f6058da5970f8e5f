// The agent that the host holds: one WebSocket endpoint shared by all
// printers, the registry of printer connections, the bounded send queue, the
// network, send and keep-alive threads, and the host's callback slots.
//
// Locks, in the only order in which they may nest:
//   registry_mutex_  ->  PrinterConnection::pending_mutex_
// The send queue's mutex and the connection's handle and status mutexes are
// leaves, always taken alone. No host callback runs while any lock is held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/callback_slot.h"
#include "connection/message_queue.h"
#include "connection/websocket_endpoint.h"
#include "zorim_network/zorim_network.h"

namespace zorim {

class PrinterConnection;

// The host's machine-status callback, held while one event's reports are made.
using MachineStatusReceiver = CallbackSlot<MachineStatusChangedFn>::Held;

// The product's timing. Tests shorten it through the constructor; the
// exports always use these values.
struct ManagerTiming {
    std::chrono::milliseconds keepalive_period{10000};
    std::chrono::milliseconds queue_wait{MessageQueue::kDefaultWait};
    std::chrono::milliseconds open_handshake_timeout{10000};
    std::chrono::milliseconds pong_timeout{10000};
    // How long `stop` lets the close handshakes it starts get their close
    // frames onto the wire before the event loop stops.
    std::chrono::milliseconds stop_close_wait{1000};
};

class PrinterManager {
public:
    explicit PrinterManager(ManagerTiming timing = {});
    ~PrinterManager();
    PrinterManager(const PrinterManager&) = delete;
    PrinterManager& operator=(const PrinterManager&) = delete;

    // Initialises the endpoint and starts the three threads. Throws when the
    // endpoint or a thread cannot be made; a second call is ignored.
    void start();
    // Closes the open connections (1001), ends the threads. Idempotent.
    // Refused, with an error record, on one of the agent's own threads or
    // inside one of its callbacks: returns false and leaves the agent running.
    bool stop();
    // True on the agent's network, send or keep-alive thread.
    bool on_plugin_thread() const;
    // True while one of this agent's host callbacks runs on the calling
    // thread, whichever thread that is.
    bool in_host_callback() const;

    // 0 when a connection was started or is already open; -1 when the
    // endpoint refused the URI or has not been started.
    std::int32_t connect(const std::string& device_id, const std::string& uri);
    void close(const std::string& device_id, std::uint16_t code, const std::string& reason);
    // Queues a text for the send thread. False, with a record in the log,
    // when it was dropped: the queue stayed full for a whole wait (or, on the
    // network thread, was full at once), or the agent is stopped.
    // `agent_request` marks the agent's own printer-info, objects-list and
    // subscription requests: on the network thread a newer one replaces the
    // one of its kind still waiting for that printer.
    bool send(const std::string& device_id, std::int32_t request_id, std::string text, bool await_reply,
              bool agent_request = false);

    // --- Request operations (the request catalogue) -----------------------
    void request_objects_list(const std::string& device_id);
    void request_subscribe(const std::string& device_id, const std::string& objects_text);
    void request_printer_info(const std::string& device_id);
    void request_file_list(const std::string& device_id, const std::string& path);
    void request_file_metadata(const std::string& device_id, const std::string& file_name);
    void request_latest_job(const std::string& device_id);
    void request_history(const std::string& device_id, std::int32_t start, std::int32_t limit,
                         const std::string& order);
    void request_delete_file(const std::string& device_id, const std::string& file_name);

    // --- Callback slots and invokers ---------------------------------------
    void set_callbacks_muted(bool muted) { callbacks_muted_.store(muted); }
    bool callbacks_muted() const { return callbacks_muted_.load(); }

    void set_machine_status_changed_fn(MachineStatusChangedFn fn) { machine_status_changed_fn_.set(std::move(fn)); }
    void set_file_list_arrived_fn(FileListArrivedFn fn) { file_list_arrived_fn_.set(std::move(fn)); }
    void set_file_meta_arrived_fn(FileMetaArrivedFn fn) { file_meta_arrived_fn_.set(std::move(fn)); }
    void set_print_history_arrived_fn(PrintHistoryArrivedFn fn) { print_history_arrived_fn_.set(std::move(fn)); }
    void set_error_arrived_fn(ErrorArrivedFn fn) { error_arrived_fn_.set(std::move(fn)); }
    void set_file_changed_fn(FileChangedFn fn) { file_changed_fn_.set(std::move(fn)); }
    void set_history_changed_fn(HistoryChangedFn fn) { history_changed_fn_.set(std::move(fn)); }

    // The machine-status callback, taken once for all the reports of one
    // event, and whether a report would reach the host now, so that callers
    // can skip copying the record for nobody. A report goes to the callback
    // as it stands when the report is made.
    MachineStatusReceiver machine_status_receiver() const;
    bool machine_status_wanted(const MachineStatusReceiver& receiver) const;
    void report_machine_status(MachineStatusReceiver& receiver, const std::string& device_id, MachineStatus&& status);
    void report_file_list(std::string device_id, std::string text);
    void report_file_meta(std::string device_id, std::string text);
    void report_print_history(std::string device_id, std::string text);
    void report_error(std::string device_id, std::string text);
    void report_file_changed(std::string device_id, std::string text);
    void report_history_changed(std::string device_id, std::string text);

    // One keep-alive pass now: ping and tick the open connections, reopen the
    // closed and failed ones. The keep-alive thread runs one every period.
    void run_keepalive_pass();

    // --- Inspection (tests, demo) ------------------------------------------
    std::shared_ptr<PrinterConnection> find(const std::string& device_id) const;
    std::vector<std::string> registered_ids() const;
    const ManagerTiming& timing() const { return timing_; }
    // The send queue itself, for tests that run the protocol without the
    // send thread and take the queued records out themselves.
    MessageQueue& send_queue() { return send_queue_; }
    bool started() const { return started_.load(); }

private:
    // A reopen prepared under registry_mutex_, finished outside it: the host
    // hears "connecting again" before the new link can produce any event.
    struct Launch {
        std::shared_ptr<PrinterConnection> connection;
        LinkRef link;
        bool reopened = false;
        // The link the new one replaces while it is opening or open; closed
        // once the new one is started.
        LinkHandle replaced;
    };

    // The body of `connect` that needs registry_mutex_ held by the caller.
    std::int32_t prepare_connect_locked(const std::string& device_id, const std::string& uri,
                                        Launch& launch);
    void finish_connect(Launch& launch);
    void bind_handlers(const std::shared_ptr<PrinterConnection>& connection, const LinkRef& link);

    void run_network_loop();
    void do_send_loop();
    void do_socket_check_loop();
    void keepalive_pass(std::vector<Launch>& reopened);  // registry_mutex_ held
    void finish_reopens(std::vector<Launch>& reopened);
    void wait_for_closes(const std::vector<std::shared_ptr<PrinterConnection>>& closing);

    const ManagerTiming timing_;
    std::atomic<bool> callbacks_muted_{false};
    WebSocketEndpoint endpoint_;
    std::shared_ptr<std::thread> io_thread_;
    std::shared_ptr<std::thread> send_thread_;
    std::shared_ptr<std::thread> keepalive_thread_;
    // Each thread enters its own id first thing, for on_plugin_thread.
    std::atomic<std::thread::id> io_thread_id_{};
    std::atomic<std::thread::id> send_thread_id_{};
    std::atomic<std::thread::id> keepalive_thread_id_{};
    std::map<std::string, std::shared_ptr<PrinterConnection>> connections_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> stopped_{false};
    mutable std::mutex registry_mutex_;
    std::condition_variable keepalive_cv_;
    MessageQueue send_queue_;

    CallbackSlot<MachineStatusChangedFn> machine_status_changed_fn_;
    CallbackSlot<FileListArrivedFn> file_list_arrived_fn_;
    CallbackSlot<FileMetaArrivedFn> file_meta_arrived_fn_;
    CallbackSlot<PrintHistoryArrivedFn> print_history_arrived_fn_;
    CallbackSlot<ErrorArrivedFn> error_arrived_fn_;
    CallbackSlot<FileChangedFn> file_changed_fn_;
    CallbackSlot<HistoryChangedFn> history_changed_fn_;

    friend class PrinterConnection;
};

}  // namespace zorim
