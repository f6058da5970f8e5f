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

namespace zorim {
namespace {

using nlohmann::json;

// The two motion errors the host is told about, searched for in this order.
constexpr std::string_view kMotionErrors[] = {"Move out of range", "Must home first"};

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
    {"notify_klippy_ready", [](const NotificationContext& n) { set_firmware_state_and_report(n, kFirmwareReady); }},
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
                    for (std::string_view motion_error : kMotionErrors) {
                        if (text.find(motion_error) != std::string::npos) {
                            manager.report_error(device_id_, std::string(motion_error));
                        }
                    }
                }
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
