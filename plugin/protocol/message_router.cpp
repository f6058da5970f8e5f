// Every text message from a printer goes through route_message: replies
// (which carry an id) clear their pending request and are routed by id,
// notifications (which carry a method) are routed by method.
#include "protocol/message_router.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "files/print_history.h"
#include "protocol/outgoing_message.h"
#include "protocol/printer_identity.h"
#include "protocol/status_notification_reader.h"
#include "protocol/subscription.h"
#include "status/json_members.h"
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

void add(RouteResult& result, ActionKind kind, std::string text = std::string(), std::int32_t id = 0) {
    result.actions.push_back(Action{kind, id, std::move(text)});
}

void report_status(const PrinterView& printer, const MachineStatus& status, RouteResult& result) {
    if (printer.copy_records) result.records.push_back(status);
    add(result, ActionKind::report_status);
}

// An error reply to printer.info or to the objects list while the link is
// open means Moonraker has no ready Klipper behind it (503 "Klippy Host not
// connected", or -32601 "Method not found" while Klipper is away). The record
// takes firmware_state "disconnected" and its derived machine_state, and is
// reported when that is news: the keep-alive keeps asking for the objects
// list, and the repeated error replies, like the two replies of one opening,
// report nothing more while the firmware is already known to be away.
// notify_klippy_ready (or a reopened link) ends that.
void note_klipper_unreachable(const PrinterView& printer, MachineStatus& status, RouteResult& result) {
    if (!printer.link_open) return;
    if (status.firmware_state == kFirmwareDisconnected) return;
    status.firmware_state = kFirmwareDisconnected;
    derive_states(status);
    report_status(printer, status, result);
}

// What follows a status element's members into the record, however they
// were read: counted, states derived, wrongly typed members logged, reported.
void finish_status_element(const PrinterView& printer, const std::vector<std::string>& problems,
                           MachineStatus& status, RouteResult& result) {
    ++result.status_updates;
    derive_states(status);
    for (const std::string& problem : problems) {
        add(result, ActionKind::log_error,
            "status update from " + std::string(printer.device_id) + ": skipped " + problem);
    }
    report_status(printer, status, result);
}

void apply_status_notification(const PrinterView& printer, const json& message, MachineStatus& status,
                               RouteResult& result) {
    auto params = message.find("params");
    if (params == message.end() || !params->is_array()) return;
    for (const json& element : *params) apply_status_element(printer, element, status, result);
}

struct Notification {
    const PrinterView& printer;
    const json& message;
    const std::string& payload;
    MachineStatus& status;
    RouteResult& result;
};

void set_firmware_state_and_report(const Notification& n, std::int32_t state) {
    n.status.firmware_state = state;
    report_status(n.printer, n.status, n.result);
}

struct NotificationRow {
    std::string_view method;
    void (*handle)(const Notification&);
};

constexpr NotificationRow kNotifications[] = {
    {"notify_proc_stat_update", [](const Notification&) {}},
    {"notify_status_update",
     [](const Notification& n) { apply_status_notification(n.printer, n.message, n.status, n.result); }},
    // No report of its own: the change reaches the host with the next one.
    {"notify_gcode_response", [](const Notification& n) { apply_gcode_phrases(n.status, n.payload); }},
    {"notify_history_changed",
     [](const Notification& n) { apply_history_changed(n.printer, n.message, n.status, n.result); }},
    {"notify_filelist_changed", [](const Notification& n) { add(n.result, ActionKind::report_file_changed); }},
    // Moonraker drops every client's subscription when its link to Klipper
    // closes, so a Klipper that is ready again streams nothing until asked:
    // the objects list is requested at once and its reply subscribes anew.
    // The printer information is asked for again too: Klipper may have been
    // away when the link opened, and the model it names sets the ceilings.
    {"notify_klippy_ready",
     [](const Notification& n) {
         set_firmware_state_and_report(n, kFirmwareReady);
         add(n.result, ActionKind::request_printer_info);
         add(n.result, ActionKind::request_objects_list);
     }},
    {"notify_klippy_shutdown", [](const Notification& n) { set_firmware_state_and_report(n, kFirmwareShutdown); }},
    {"notify_klippy_disconnected",
     [](const Notification& n) { set_firmware_state_and_report(n, kFirmwareDisconnected); }},
};

// The top level of a message, read without building it: whether it is an
// object with a non-null "id", and the text of its "method" when that is a
// string. With repeated keys the last one counts, as in the parsed value.
// Parse errors are the parser's own exceptions, as the full parse throws them.
class TopLevelScan : public nlohmann::json_sax<json> {
public:
    bool object = false;
    bool has_id = false;
    bool method_is_text = false;
    std::string method;

    bool null() override { return value(Kind::null); }
    bool boolean(bool) override { return value(Kind::other); }
    bool number_integer(number_integer_t) override { return value(Kind::other); }
    bool number_unsigned(number_unsigned_t) override { return value(Kind::other); }
    bool number_float(number_float_t, const string_t&) override { return value(Kind::other); }
    bool string(string_t& text) override {
        if (depth_ == 1 && key_ == Key::method) method = text;
        return value(Kind::text);
    }
    bool binary(binary_t&) override { return value(Kind::other); }
    bool start_object(std::size_t) override {
        if (depth_ == 0) object = true;
        value(Kind::other);
        ++depth_;
        return true;
    }
    bool end_object() override {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        value(Kind::other);
        ++depth_;
        return true;
    }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool key(string_t& text) override {
        if (depth_ == 1) key_ = text == "id" ? Key::id : text == "method" ? Key::method : Key::other;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        throw error;
    }

private:
    enum class Key { other, id, method };
    enum class Kind { null, text, other };

    bool value(Kind kind) {
        if (depth_ != 1) return true;
        if (key_ == Key::id) has_id = kind != Kind::null;
        if (key_ == Key::method) method_is_text = kind == Kind::text;
        return true;
    }

    int depth_ = 0;
    Key key_ = Key::other;
};

// notify_proc_stat_update comes about once a second and changes nothing, so
// one that the quick reader does not take (an escape or a non-ASCII byte in
// it) is still recognised without building the parsed value (the scan checks
// the whole text, so a malformed one fails as before). Only a text that names
// the method near its start, where Moonraker writes it, is scanned: looking
// through the whole of every status frame would cost more than it saves, and
// a statistics message written otherwise simply takes the full parse.
bool is_process_statistics(const std::string& payload) {
    constexpr std::string_view kMethod = "notify_proc_stat_update";
    constexpr std::size_t kMethodWithin = 64;
    if (std::string_view(payload).substr(0, kMethodWithin).find(kMethod) == std::string_view::npos) return false;
    TopLevelScan scan;
    json::sax_parse(payload, &scan);
    return scan.object && !scan.has_id && scan.method_is_text && scan.method == kMethod;
}

// The two notifications that make most of a printer's traffic are routed
// from what the quick reader builds: notify_status_update from the members
// its parsers read, notify_proc_stat_update (whose elements no parser reads)
// from nothing but its method. Only a text that names one of them near its
// start, where Moonraker writes it, is tried; a text the quick reader does not
// take, or that turns out to be something else, is left to the other routes.
// Returns whether it was routed.
bool route_frequent_notification(const PrinterView& printer, const std::string& payload, MachineStatus& status,
                                 RouteResult& result) {
    constexpr std::string_view kStatus = "notify_status_update";
    constexpr std::string_view kStatistics = "notify_proc_stat_update";
    // Moonraker's own way of writing it first, then anywhere near the start.
    constexpr std::string_view kUsualStart = R"({"jsonrpc":"2.0","method":")";
    constexpr std::size_t kMethodWithin = 64;
    const std::string_view text(payload);
    const bool usual = text.compare(0, kUsualStart.size(), kUsualStart) == 0 &&
                       (text.compare(kUsualStart.size(), kStatus.size(), kStatus) == 0 ||
                        text.compare(kUsualStart.size(), kStatistics.size(), kStatistics) == 0);
    if (!usual) {
        const std::string_view start = text.substr(0, kMethodWithin);
        if (start.find(kStatus) == std::string_view::npos && start.find(kStatistics) == std::string_view::npos) {
            return false;
        }
    }
    StatusNotificationText message;
    if (!read_status_notification(payload, message)) return false;
    if (message.has_id || !message.method_is_text) return false;
    if (message.method == kStatistics) return true;  // changes nothing
    if (message.method != kStatus) return false;
    for (const StatusNotificationText::Element& element : message.elements) {
        const FieldEntry* entries = message.entries.data();
        std::vector<std::string> problems;
        if (element.object) {
            apply_field_entries(status, entries + element.first_entry, entries + element.end_entry, problems);
        }
        finish_status_element(printer, problems, status, result);
    }
    return true;
}

void route_reply(const PrinterView& printer, const json& message, const std::string& payload,
                 MachineStatus& status, RouteResult& result) {
    const json& id_value = message["id"];
    const int id = id_value.is_number_float() ? read_integer(id_value) : id_value.get<int>();
    add(result, ActionKind::console, std::string(printer.device_id) + " msg receive id:" + std::to_string(id));
    add(result, ActionKind::erase_pending, std::string(), id);

    if (has_non_null(message, "error")) {
        const json& error = message["error"];
        if (error.is_object() && error.contains("message")) {
            const std::string text = error["message"].get<std::string>();
            for (const MotionError& motion_error : kMotionErrors) {
                if (!mentions(text, motion_error)) continue;
                add(result, ActionKind::report_error, std::string(motion_error.reported));
            }
        }
        if (id == kPrinterInfo || id == kObjectsList) note_klipper_unreachable(printer, status, result);
        return;  // an error reply never reaches its id's handler
    }

    switch (id) {
        case kObjectsList:
            if (std::optional<std::string> objects = rewrite_objects_list(payload)) {
                add(result, ActionKind::request_subscribe, std::move(*objects));
            }
            break;
        case kSubscribe: {
            if (!has_member(message, "result") || !has_member(message["result"], "status")) break;
            apply_status_element(printer, message["result"]["status"], status, result);
            if (!status.print_stats.filename.empty()) add(result, ActionKind::request_latest_job);
            break;
        }
        case kPrinterInfo:
            if (has_non_null(message, "result")) apply_printer_info(status, message["result"]);
            break;
        case kFileList:
            add(result, ActionKind::report_file_list, payload);
            break;
        case kFileMetadata:
            add(result, ActionKind::report_file_meta, payload);
            break;
        case kLatestJob: {
            if (!has_non_null(message, "result")) break;
            const json& reply = message["result"];
            if (!has_non_null(reply, "count")) break;
            const json& count = reply["count"];
            if ((count.is_number_float() ? read_integer(count) : count.get<int>()) <= 0 || !reply.contains("jobs"))
                break;
            const json& jobs = reply["jobs"];
            if (!jobs.empty()) apply_print_job(printer, *jobs.begin(), status, result);
            break;
        }
        case kHistoryList:
            add(result, ActionKind::report_print_history, payload);
            break;
        default:
            break;  // delete-file replies and the host's own ids
    }
}

}  // namespace

void apply_status_element(const PrinterView& printer, const json& element, MachineStatus& status,
                          RouteResult& result) {
    std::vector<std::string> problems;
    apply_object_parsers(status, element, problems);
    finish_status_element(printer, problems, status, result);
}

bool apply_print_job(const PrinterView& printer, const json& job, MachineStatus& status, RouteResult& result) {
    std::vector<std::string> problems;
    const bool applied = apply_job_fields(status.last_job, job, problems);
    for (const std::string& problem : problems) {
        add(result, ActionKind::log_error, "print job from " + std::string(printer.device_id) + ": skipped " + problem);
    }
    return applied;
}

void apply_history_changed(const PrinterView& printer, const json& message, MachineStatus& status,
                           RouteResult& result) {
    if (!has_member(message, "params")) return;
    const json& params = message["params"];
    bool job_changed = false;
    if (params.is_array()) {
        for (const json& element : params) {
            if (!has_non_null(element, "action")) continue;
            const json& action = element["action"];
            if (!action.is_string()) {
                add(result, ActionKind::log_error,
                    "history change from " + std::string(printer.device_id) +
                        ": skipped an element whose action is not a string");
                continue;
            }
            // A job that ends comes with its final state, duration and end
            // time: it is folded in like a new one.
            const std::string& name = action.get_ref<const std::string&>();
            if ((name == "added" || name == "finished") && element.contains("job")) {
                job_changed = apply_print_job(printer, element["job"], status, result) || job_changed;
            }
        }
    }
    // The host sees the last job as it now stands before it is told the
    // history changed.
    if (job_changed) report_status(printer, status, result);
    add(result, ActionKind::report_history_changed);
}

namespace {

void route(const PrinterView& printer, const std::string& payload, MachineStatus& status, RouteResult& result,
           bool shortcuts) {
    try {
        if (shortcuts) {
            if (route_frequent_notification(printer, payload, status, result)) return;
            if (is_process_statistics(payload)) return;
        }
        const json message = json::parse(payload);
        if (has_non_null(message, "id")) {
            route_reply(printer, message, payload, status, result);
            return;
        }
        if (has_non_null(message, "method")) {
            const std::string method = message["method"].get<std::string>();
            for (const NotificationRow& row : kNotifications) {
                if (row.method == method) {
                    row.handle(Notification{printer, message, payload, status, result});
                    return;
                }
            }
        }
        add(result, ActionKind::console, std::string(printer.device_id) + "msg not do:" + payload);
    } catch (const nlohmann::json::exception& e) {
        // A malformed or wrongly typed message is dropped on its own; the
        // connection and the next message are not affected.
        add(result, ActionKind::log_error,
            "dispatch_message: dropped a message from " + std::string(printer.device_id) + ": " + e.what() +
                "; message: " + payload);
    }
}

}  // namespace

void route_message(const PrinterView& printer, const std::string& payload, MachineStatus& status,
                   RouteResult& result) {
    route(printer, payload, status, result, true);
}

void route_message_from_full_parse(const PrinterView& printer, const std::string& payload, MachineStatus& status,
                                   RouteResult& result) {
    route(printer, payload, status, result, false);
}

}  // namespace zorim
