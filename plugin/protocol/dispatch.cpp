// Every text message from a printer goes through dispatch_message: replies
// (which carry an id) clear their pending request and are routed by id,
// notifications (which carry a method) are routed by method.
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "boundary/console.h"
#include "boundary/diagnostic_log.h"
#include "connection/printer_connection.h"
#include "connection/printer_manager.h"
#include "protocol/json_members.h"
#include "status/reading_rules.h"
#include "status/status_model.h"

namespace zorim {
namespace {

using nlohmann::json;

// The two motion errors the host is told about, searched for in this order:
// the text the host receives and the wordings that stand for it. Mainline
// Klipper refuses a move before homing with "Must home axis first: X Y Z [E]";
// other firmware says "Must home first". Either gives the host one "Must home
// first" per message.
struct MotionError {
    std::string_view reported;
    std::string_view wordings[2];
};
constexpr MotionError kMotionErrors[] = {
    {"Move out of range", {"Move out of range", {}}},
    {"Must home first", {"Must home first", "Must home axis first"}},
};

bool mentions(const std::string& text, const MotionError& error) {
    for (std::string_view wording : error.wordings) {
        if (!wording.empty() && text.find(wording) != std::string::npos) return true;
    }
    return false;
}

// An error reply to printer.info or to the objects list while the link is
// open means Moonraker has no ready Klipper behind it (503 "Klippy Host not
// connected", or -32601 "Method not found" while Klipper is away). The record
// takes firmware_state "disconnected" and its derived machine_state, and is
// reported when that is news: the keep-alive keeps asking for the objects
// list, and the repeated error replies, like the two replies of one opening,
// report nothing more while the firmware is already known to be away.
// notify_klippy_ready (or a reopened link) ends that.
void note_klipper_unreachable(PrinterConnection& connection, PrinterManager& manager) {
    if (connection.link_state() != kLinkOpen) return;
    bool changed = false;
    connection.update_status([&changed](MachineStatus& status) {
        if (status.firmware_state == kFirmwareDisconnected) return;
        status.firmware_state = kFirmwareDisconnected;
        derive_states(status);
        changed = true;
    });
    if (changed) connection.report_status(manager);
}

struct NotificationContext {
    PrinterConnection& connection;
    PrinterManager& manager;
    const json& message;
    const std::string& payload;
};

void set_firmware_state_and_report(const NotificationContext& n, std::int32_t state) {
    n.connection.update_status([state](MachineStatus& status) { status.firmware_state = state; });
    n.connection.report_status(n.manager);
}

struct NotificationRow {
    std::string_view method;
    void (*handle)(const NotificationContext&);
};

constexpr NotificationRow kNotifications[] = {
    {"notify_proc_stat_update", [](const NotificationContext&) {}},
    {"notify_status_update",
     [](const NotificationContext& n) {
         auto params = n.message.find("params");
         if (params == n.message.end() || !params->is_array()) return;
         for (const json& element : *params) n.connection.apply_status_update(n.manager, element);
     }},
    {"notify_gcode_response", [](const NotificationContext& n) { n.connection.apply_gcode_response(n.payload); }},
    {"notify_history_changed",
     [](const NotificationContext& n) { n.connection.apply_history_changed(n.manager, n.message); }},
    {"notify_filelist_changed",
     [](const NotificationContext& n) { n.manager.report_file_changed(n.connection.device_id(), std::string()); }},
    // Moonraker drops every client's subscription when its link to Klipper
    // closes, so a Klipper that is ready again streams nothing until asked:
    // the objects list is requested at once and its reply subscribes anew.
    {"notify_klippy_ready",
     [](const NotificationContext& n) {
         set_firmware_state_and_report(n, kFirmwareReady);
         n.manager.request_objects_list(n.connection.device_id());
     }},
    {"notify_klippy_shutdown",
     [](const NotificationContext& n) { set_firmware_state_and_report(n, kFirmwareShutdown); }},
    {"notify_klippy_disconnected",
     [](const NotificationContext& n) { set_firmware_state_and_report(n, kFirmwareDisconnected); }},
};

}  // namespace

void PrinterConnection::dispatch_message(PrinterManager& manager, const std::string& payload) {
    try {
        const json message = json::parse(payload);

        if (has_non_null(message, "id")) {
            const json& id_value = message["id"];
            const int id = id_value.is_number_float() ? read_integer(id_value) : id_value.get<int>();
            console_write(device_id_ + " msg receive id:" + std::to_string(id));
            erase_pending(id);

            if (has_non_null(message, "error")) {
                const json& error = message["error"];
                if (error.is_object() && error.contains("message")) {
                    const std::string text = error["message"].get<std::string>();
                    for (const MotionError& motion_error : kMotionErrors) {
                        if (!mentions(text, motion_error)) continue;
                        manager.report_error(device_id_, std::string(motion_error.reported));
                    }
                }
                if (id == kPrinterInfo || id == kObjectsList) note_klipper_unreachable(*this, manager);
                return;  // an error reply never reaches its id's handler
            }

            switch (id) {
                case kObjectsList:
                    build_subscription(manager, payload);
                    break;
                case kSubscribe: {
                    if (!has_member(message, "result") || !has_member(message["result"], "status")) break;
                    apply_status_update(manager, message["result"]["status"]);
                    const bool file_loaded =
                        read_status([](const MachineStatus& status) { return !status.print_stats.filename.empty(); });
                    if (file_loaded) manager.request_latest_job(device_id_);
                    break;
                }
                case kPrinterInfo:
                    if (has_non_null(message, "result")) apply_printer_info(message["result"]);
                    break;
                case kFileList:
                    manager.report_file_list(device_id_, payload);
                    break;
                case kFileMetadata:
                    manager.report_file_meta(device_id_, payload);
                    break;
                case kLatestJob: {
                    if (!has_non_null(message, "result")) break;
                    const json& result = message["result"];
                    if (!has_non_null(result, "count")) break;
                    const json& count = result["count"];
                    if ((count.is_number_float() ? read_integer(count) : count.get<int>()) <= 0 ||
                        !result.contains("jobs"))
                        break;
                    const json& jobs = result["jobs"];
                    if (!jobs.empty()) apply_print_job(*jobs.begin());
                    break;
                }
                case kHistoryList:
                    manager.report_print_history(device_id_, payload);
                    break;
                default:
                    break;  // delete-file replies and the host's own ids
            }
            return;
        }

        if (has_non_null(message, "method")) {
            const std::string method = message["method"].get<std::string>();
            for (const NotificationRow& row : kNotifications) {
                if (row.method == method) {
                    row.handle(NotificationContext{*this, manager, message, payload});
                    return;
                }
            }
        }
        console_write(device_id_ + "msg not do:" + payload);
    } catch (const nlohmann::json::exception& e) {
        // A malformed or wrongly typed message is dropped on its own; the
        // connection and the next message are not affected.
        log_record(Severity::error, "dispatch_message: dropped a message from " + device_id_ + ": " + e.what() +
                                        "; message: " + payload);
    }
}

}  // namespace zorim
