#include "printer_model.h"

#include "recorded_seeds.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace zorim::sim {

namespace {

constexpr double ambient = 25.0;
constexpr const char* gcodes_root = "gcodes";
constexpr const char* gcodes_dir_on_printer = "/home/printer/printer_data/gcodes/";
constexpr const char* shutdown_advice =
    "\nOnce the underlying issue is corrected, use the\n"
    "\"FIRMWARE_RESTART\" command to reset the firmware, reload the\n"
    "config, and restart the host software.\n"
    "Printer is shutdown\n";

// What Klipper still accepts while it is shut down (the command list of the
// shutdown in failed_stepper_too_far_in_past).
const std::set<std::string> commands_while_shutdown = {
    "M110", "M112", "M115", "RESTART", "FIRMWARE_RESTART", "ECHO", "STATUS",
    "HELP", "M105", "M118", "RESPOND", "M114", "GET_POSITION"};

// Dumps never throw on text that is not valid UTF-8: a request may carry any
// bytes, and the answer must still go out.
std::string dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string reply_text(const Json& id, const Json& result) {
    Json message = Json::object();
    message["jsonrpc"] = "2.0";
    message["result"] = result;
    message["id"] = id;
    return dump(message);
}

std::string error_text(const Json& id, int code, const std::string& text) {
    Json message = Json::object();
    message["jsonrpc"] = "2.0";
    message["error"] = Json::object();
    message["error"]["code"] = code;
    message["error"]["message"] = text;
    message["id"] = id;
    return dump(message);
}

// Rounds to a number of decimals given as a power of ten; dividing by the
// exact power keeps 10.0 at 10.0.
double round_to(double value, double scale) { return std::round(value * scale) / scale; }

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string format_position(const char* what, const std::vector<double>& p) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: %.3f %.3f %.3f [%.3f]", what, p[0], p[1], p[2], p[3]);
    return text;
}

std::vector<double> four_numbers(const Json& value) {
    std::vector<double> numbers(4, 0.0);
    if (!value.is_array()) return numbers;
    for (std::size_t i = 0; i < 4 && i < value.size(); ++i) {
        if (value[i].is_number()) numbers[i] = value[i].get<double>();
    }
    return numbers;
}

}  // namespace

// A request that Moonraker refuses: answered with its code and message.
class PrinterModel::RequestError : public std::runtime_error {
public:
    RequestError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

namespace {

const Json* member(const Json& params, const char* key) {
    if (!params.is_object()) return nullptr;
    const auto it = params.find(key);
    return it == params.end() ? nullptr : &*it;
}

}  // namespace

double wall_seconds() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

std::vector<std::string> recording_names() {
    std::vector<std::string> names;
    const Json seeds = Json::parse(recorded_seeds_text());
    for (const auto& item : seeds.at("recordings").items()) names.push_back(item.key());
    return names;
}

PrinterModel::PrinterModel(ModelOptions options, double now) : options_(std::move(options)), last_advance_(now) {
    load_seeds(options_);
    if (!options_.hostname.empty()) info_["hostname"] = options_.hostname;
    if (!options_.cpu_info.empty()) info_["cpu_info"] = options_.cpu_info;
    if (!options_.software_version.empty()) info_["software_version"] = options_.software_version;
    if (!options_.state.empty()) set_klippy_state(options_.state, {});
    if (options_.live) {
        // The recorded sensors start at 0.0 before their first reading; a
        // live printer starts at room temperature instead.
        for (const char* heater : {"extruder", "heater_bed"}) {
            auto it = status_.find(heater);
            if (it != status_.end() && it->contains("temperature") && (*it)["temperature"].is_number() &&
                (*it)["temperature"].get<double>() < ambient) {
                (*it)["temperature"] = ambient;
            }
        }
    }
}

void PrinterModel::load_seeds(const ModelOptions& options) {
    const Json seeds = Json::parse(recorded_seeds_text());
    const Json& recordings = seeds.at("recordings");
    if (!recordings.contains(options.recording)) {
        std::string known;
        for (const auto& item : recordings.items()) known += (known.empty() ? "" : ", ") + item.key();
        throw std::invalid_argument("unknown recording \"" + options.recording + "\" (known: " + known + ")");
    }
    info_ = seeds.at("printer_info");
    server_info_ = seeds.at("server_info");
    status_ = seeds.at("status");
    base_eventtime_ = seeds.at("eventtime").get<double>();
    proc_stat_ = seeds.at("proc_stat");
    disk_usage_ = seeds.at("disk_usage");
    for (const Json& file : seeds.at("files")) {
        FileEntry entry;
        entry.modified = file.at("modified").get<double>();
        entry.size = file.at("size").get<std::int64_t>();
        entry.permissions = file.at("permissions").get<std::string>();
        entry.metadata = file.at("metadata");
        for (const Json& thumb : entry.metadata.value("thumbnails", Json::array())) {
            FileEntry picture;
            picture.modified = entry.modified;
            picture.size = thumb.value("size", 0);
            files_[thumb.at("relative_path").get<std::string>()] = picture;
        }
        files_[file.at("path").get<std::string>()] = std::move(entry);
    }
    for (const Json& job : seeds.at("history")) history_.push_back(job);

    const Json& recording = recordings.at(options.recording);
    if (recording.contains("status")) {
        for (const auto& item : recording["status"].items()) merge_status(item.key(), item.value());
    }
    if (recording.contains("printer_info")) {
        for (const auto& item : recording["printer_info"].items()) info_[item.key()] = item.value();
    }
    if (recording.value("klippy_connected", true) == false) klippy_connected_ = false;
    if (recording.value("empty_history", false)) history_.clear();
    seed_status_ = status_;

    for (const Json& job : history_) {
        const unsigned number = std::stoul(job.value("job_id", std::string("0")), nullptr, 16);
        next_job_number_ = std::max(next_job_number_, number + 1);
    }
}

// ---- Requests ---------------------------------------------------------------

PrinterModel::Handled PrinterModel::handle_text(std::size_t connection, const std::string& text, double now) {
    Handled handled;
    Json request;
    try {
        request = Json::parse(text);
    } catch (const Json::parse_error&) {
        handled.summary = "text that is not JSON";
        if (answer_requests_) handled.out.push_back({connection, error_text(nullptr, -32700, "Parse error")});
        return handled;
    }
    const bool has_id = request.is_object() && request.contains("id");
    const Json id = has_id ? request["id"] : Json();
    if (!request.is_object() || !request.contains("method") || !request["method"].is_string()) {
        handled.summary = "invalid request";
        if (answer_requests_) handled.out.push_back({connection, error_text(id, -32600, "Invalid Request")});
        return handled;
    }
    const std::string method = request["method"].get<std::string>();
    handled.summary = method + (has_id ? " (id " + dump(id) + ")" : "");
    if (!answer_requests_) {
        handled.summary += ", not answered";
        return handled;
    }

    const bool numeric = id.is_number_integer();
    const std::int64_t numeric_id = numeric ? id.get<std::int64_t>() : 0;
    for (auto rule = rules_.begin(); rule != rules_.end(); ++rule) {
        const bool matches = (rule->by_method && rule->method == method) ||
                             (rule->by_id && numeric && rule->id == numeric_id);
        if (!matches) continue;
        const bool ignore = rule->ignore;
        const int code = rule->code;
        const std::string message = rule->message;
        if (rule->times == Times::once) rules_.erase(rule);
        if (ignore) {
            handled.summary += ", ignored on purpose";
        } else {
            handled.summary += ", injected error " + std::to_string(code);
            if (has_id) handled.out.push_back({connection, error_text(id, code, message)});
        }
        return handled;
    }

    const Json params = request.contains("params") ? request["params"] : Json::object();
    std::vector<Outgoing> before;
    std::vector<Outgoing> after;
    std::string reply;
    try {
        Json result = answer(connection, method, params, before, now);
        reply = reply_text(id, result);
        after.swap(follow_);
    } catch (const RequestError& error) {
        follow_.clear();
        reply = error_text(id, error.code(), error.what());
    } catch (const Json::exception& error) {
        // A parameter of an unexpected type deep inside a method.
        follow_.clear();
        reply = error_text(id, 400, std::string("Invalid argument: ") + error.what());
    }
    handled.out = std::move(before);
    if (has_id) handled.out.push_back({connection, std::move(reply)});
    for (auto& message : after) handled.out.push_back(std::move(message));
    return handled;
}

Json PrinterModel::answer(std::size_t connection, const std::string& method, const Json& params,
                          std::vector<Outgoing>& before, double now) {
    const auto require_string = [&params](const char* key) {
        const Json* value = member(params, key);
        if (value == nullptr || value->is_null()) throw RequestError(400, std::string("No data for argument: ") + key);
        if (!value->is_string()) throw RequestError(400, std::string("Invalid argument type: ") + key);
        return value->get<std::string>();
    };

    if (method.rfind("printer.", 0) == 0 && !klippy_connected_) {
        // Moonraker serves the print and restart endpoints itself and answers
        // 503 without Klipper; the others are Klipper's and are then unknown.
        const bool moonraker_endpoint = method.rfind("printer.print.", 0) == 0 || method == "printer.restart" ||
                                        method == "printer.firmware_restart";
        if (moonraker_endpoint) throw RequestError(503, "Klippy Host not connected");
        throw RequestError(-32601, "Method not found");
    }

    if (method == "server.connection.identify") {
        return Json{{"connection_id", 140309292600000ULL + connection}};
    }
    if (method == "server.info") {
        Json result = server_info_;
        result["klippy_connected"] = klippy_connected_;
        result["klippy_state"] = klippy_connected_ ? klippy_state() : "disconnected";
        return result;
    }
    if (method == "printer.info") return printer_info();
    if (method == "printer.objects.list") {
        Json names = Json::array();
        for (const auto& item : status_.items()) names.push_back(item.key());
        return Json{{"objects", names}};
    }
    if (method == "printer.objects.subscribe") return subscribe(connection, params, now);
    if (method == "printer.objects.query") return query(params, now);
    if (method == "printer.gcode.script") {
        run_gcode_script(require_string("script"), before, now);
        return "ok";
    }
    if (method == "printer.print.start") {
        print_start(require_string("filename"), before);
        return "ok";
    }
    if (method == "printer.print.pause") {
        require_ready(before);
        print_pause(before);
        return "ok";
    }
    if (method == "printer.print.resume") {
        require_ready(before);
        print_resume(before);
        return "ok";
    }
    if (method == "printer.print.cancel") {
        require_ready(before);
        print_cancel();
        return "ok";
    }
    if (method == "printer.emergency_stop") {
        emergency_stop(before, "Shutdown due to webhooks request");
        return "ok";
    }
    if (method == "printer.restart" || method == "printer.firmware_restart") {
        restart_klippy(now);
        return "ok";
    }
    if (method == "server.files.get_directory") return get_directory(params);
    if (method == "server.files.list") return file_list();
    if (method == "server.files.metadata") return file_metadata(require_string("filename"));
    if (method == "server.files.delete_file") return delete_file(require_string("path"));
    if (method == "server.history.list") return history_list(params);
    if (method == "server.history.totals") return history_totals();
    throw RequestError(-32601, "Method not found");
}

// ---- Status objects ---------------------------------------------------------

Json PrinterModel::status_of(const std::string& object, const Json& fields) const {
    const Json& current = status_.at(object);
    if (!fields.is_array() || !current.is_object()) return current;
    Json selected = Json::object();
    for (const Json& field : fields) {
        if (!field.is_string()) continue;
        const auto it = current.find(field.get<std::string>());
        if (it != current.end()) selected[field.get<std::string>()] = *it;
    }
    return selected;
}

Json PrinterModel::subscribe(std::size_t connection, const Json& params, double now) {
    const Json* objects = member(params, "objects");
    if (objects == nullptr || objects->is_null()) throw RequestError(400, "No data for argument: objects");
    if (!objects->is_object()) throw RequestError(400, "Invalid argument type: objects");
    Subscription subscription;
    Json status = Json::object();
    for (const auto& item : objects->items()) {
        // Like Klipper, objects that the printer does not have are left out.
        if (!status_.contains(item.key())) continue;
        status[item.key()] = status_of(item.key(), item.value());
        subscription.objects.emplace_back(item.key(), item.value());
    }
    subscription.sent = status;
    // A new subscription replaces the connection's previous one, as in Moonraker.
    subscriptions_[connection] = std::move(subscription);
    return Json{{"eventtime", eventtime(now)}, {"status", status}};
}

Json PrinterModel::query(const Json& params, double now) const {
    const Json* objects = member(params, "objects");
    if (objects == nullptr || !objects->is_object()) throw RequestError(400, "No data for argument: objects");
    Json status = Json::object();
    for (const auto& item : objects->items()) {
        if (status_.contains(item.key())) status[item.key()] = status_of(item.key(), item.value());
    }
    return Json{{"eventtime", eventtime(now)}, {"status", status}};
}

std::vector<Outgoing> PrinterModel::flush_status(double now) {
    std::vector<Outgoing> out;
    for (auto& [connection, subscription] : subscriptions_) {
        Json changed = Json::object();
        for (const auto& [object, fields] : subscription.objects) {
            if (!status_.contains(object)) continue;
            const Json current = status_of(object, fields);
            Json& sent = subscription.sent[object];
            if (!current.is_object()) {
                if (sent != current) changed[object] = sent = current;
                continue;
            }
            if (!sent.is_object()) sent = Json::object();
            Json diff = Json::object();
            for (const auto& field : current.items()) {
                const auto previous = sent.find(field.key());
                if (previous == sent.end() || *previous != field.value()) {
                    diff[field.key()] = field.value();
                    sent[field.key()] = field.value();
                }
            }
            if (!diff.empty()) changed[object] = std::move(diff);
        }
        if (!changed.empty()) out.push_back({connection, status_notification(changed, now)});
    }
    for (auto& message : after_flush_) out.push_back(std::move(message));
    after_flush_.clear();
    return out;
}

void PrinterModel::merge_status(const std::string& object, const Json& fields) {
    Json& target = status_[object];
    if (!fields.is_object() || !target.is_object()) {
        target = fields;
        return;
    }
    for (const auto& item : fields.items()) target[item.key()] = item.value();
}

void PrinterModel::set_field(const char* object, const char* key, Json value) {
    const auto it = status_.find(object);
    if (it != status_.end() && it->is_object()) (*it)[key] = std::move(value);
}

double PrinterModel::number(const char* object, const char* key, double fallback) const {
    const auto it = status_.find(object);
    if (it == status_.end() || !it->is_object()) return fallback;
    const auto value = it->find(key);
    return value != it->end() && value->is_number() ? value->get<double>() : fallback;
}

void PrinterModel::connection_closed(std::size_t connection) { subscriptions_.erase(connection); }

std::string PrinterModel::proc_stat_text(std::size_t open_connections) const {
    Json stats = proc_stat_;
    if (stats.contains("moonraker_stats") && stats["moonraker_stats"].is_object()) {
        stats["moonraker_stats"]["time"] = wall_seconds();
    }
    stats["websocket_connections"] = open_connections;
    return notification("notify_proc_stat_update", Json::array({stats}));
}

// ---- Identity ---------------------------------------------------------------

std::string PrinterModel::klippy_state() const {
    const auto it = status_.find("webhooks");
    if (it != status_.end() && it->is_object() && it->contains("state") && (*it)["state"].is_string()) {
        return (*it)["state"].get<std::string>();
    }
    const auto state = info_.find("state");
    return state != info_.end() && state->is_string() ? state->get<std::string>() : "ready";
}

Json PrinterModel::printer_info() const { return info_; }

void PrinterModel::set_info_field(const std::string& key, Json value) { info_[key] = std::move(value); }

void PrinterModel::erase_info_field(const std::string& key) { info_.erase(key); }

void PrinterModel::set_klippy_state(const std::string& state, const std::string& message) {
    std::string text = message;
    if (text.empty()) {
        if (state == "ready") text = "Printer is ready";
        else if (state == "startup") text = "Printer is not ready\nThe klippy host software is attempting to connect.";
        else if (state == "shutdown") text = std::string("Shutdown due to webhooks request") + shutdown_advice;
        else text = "Printer is in an error state";
    }
    info_["state"] = state;
    info_["state_message"] = text;
    set_field("webhooks", "state", state);
    set_field("webhooks", "state_message", text);
}

void PrinterModel::set_klippy_connected(bool connected) { klippy_connected_ = connected; }

// ---- Injected faults -------------------------------------------------------

void PrinterModel::add_error_rule(std::optional<std::string> method, std::optional<std::int64_t> id, int code,
                                  std::string message, Times times) {
    Rule rule;
    rule.by_method = method.has_value();
    rule.method = method.value_or(std::string());
    rule.by_id = id.has_value();
    rule.id = id.value_or(0);
    rule.code = code;
    rule.message = std::move(message);
    rule.times = times;
    rules_.push_back(std::move(rule));
}

void PrinterModel::add_ignore_rule(std::int64_t id, Times times) {
    Rule rule;
    rule.ignore = true;
    rule.by_id = true;
    rule.id = id;
    rule.times = times;
    rules_.push_back(std::move(rule));
}

void PrinterModel::clear_rules() { rules_.clear(); }

void PrinterModel::set_answer_requests(bool answer) { answer_requests_ = answer; }

// ---- Notifications -----------------------------------------------------------

std::string PrinterModel::notification(const std::string& method, const Json& params) {
    Json message = Json::object();
    message["jsonrpc"] = "2.0";
    message["method"] = method;
    if (!params.is_null()) message["params"] = params;
    return dump(message);
}

std::string PrinterModel::status_notification(const Json& fields, double now) const {
    return notification("notify_status_update", Json::array({fields, eventtime(now)}));
}

std::string PrinterModel::gcode_response(const std::string& line) {
    return notification("notify_gcode_response", Json::array({line}));
}

std::string PrinterModel::filelist_changed(const std::string& action, const std::string& path, double modified,
                                           std::int64_t size) {
    Json item = Json::object();
    if (action.rfind("delete_", 0) == 0) {
        // Moonraker's shape for a deleted item: zeros first, no permissions.
        item["size"] = 0;
        item["modified"] = 0;
        item["permissions"] = "";
    } else {
        item["modified"] = modified;
        item["size"] = size;
        item["permissions"] = "rw";
    }
    item["path"] = path;
    item["root"] = gcodes_root;
    return notification("notify_filelist_changed", Json::array({Json{{"action", action}, {"item", item}}}));
}

std::string PrinterModel::filelist_changed_for(const std::string& action, const std::string& path) const {
    const auto it = files_.find(path);
    if (it == files_.end()) return filelist_changed(action, path, wall_seconds(), 0);
    return filelist_changed(action, path, it->second.modified, it->second.size);
}

Json PrinterModel::job_for_notification(const Json& list_job) const {
    // notify_history_changed writes a job's members in another order than
    // server.history.list (see the recordings).
    static const char* const order[] = {"end_time",     "filament_used",  "filename", "metadata",
                                        "print_duration", "status",       "start_time", "total_duration",
                                        "auxiliary_data", "user",         "exists",   "job_id"};
    if (!list_job.is_object()) return list_job;
    Json job = Json::object();
    for (const char* key : order) {
        if (list_job.contains(key)) job[key] = list_job[key];
    }
    for (const auto& item : list_job.items()) {
        if (!job.contains(item.key())) job[item.key()] = item.value();
    }
    return job;
}

std::string PrinterModel::history_changed(const std::string& action, const Json& job) const {
    Json chosen = job;
    if (chosen.is_null()) chosen = history_.empty() ? Json::object() : history_.back();
    return notification("notify_history_changed",
                        Json::array({Json{{"action", action}, {"job", job_for_notification(chosen)}}}));
}

// ---- Files -------------------------------------------------------------------

Json PrinterModel::get_directory(const Json& params) const {
    std::string path = gcodes_root;
    if (const Json* value = member(params, "path"); value != nullptr && !value->is_null()) {
        if (!value->is_string()) throw RequestError(400, "Invalid argument type: path");
        path = value->get<std::string>();
    }
    bool extended = false;
    if (const Json* value = member(params, "extended"); value != nullptr && value->is_boolean()) {
        extended = value->get<bool>();
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::string prefix;
    if (path == gcodes_root) {
        prefix.clear();
    } else if (path.rfind(std::string(gcodes_root) + "/", 0) == 0) {
        prefix = path.substr(std::string(gcodes_root).size() + 1) + "/";
    } else {
        throw RequestError(404, "Directory does not exist (" + path + ")");
    }

    std::map<std::string, double> dirs;
    Json files = Json::array();
    bool found = prefix.empty();
    for (const auto& [file_path, entry] : files_) {
        if (file_path.rfind(prefix, 0) != 0) continue;
        found = true;
        const std::string rest = file_path.substr(prefix.size());
        const auto slash = rest.find('/');
        if (slash != std::string::npos) {
            double& modified = dirs[rest.substr(0, slash)];
            modified = std::max(modified, entry.modified);
            continue;
        }
        Json file = Json::object();
        file["modified"] = entry.modified;
        file["size"] = entry.size;
        file["permissions"] = entry.permissions;
        file["filename"] = rest;
        if (extended && entry.metadata.is_object()) {
            for (const auto& item : entry.metadata.items()) file[item.key()] = item.value();
            file["print_start_time"] = entry.print_start_time;
            file["job_id"] = entry.job_id;
        }
        files.push_back(std::move(file));
    }
    if (!found) throw RequestError(404, "Directory does not exist (" + path + ")");
    Json dir_list = Json::array();
    for (const auto& [name, modified] : dirs) {
        dir_list.push_back(Json{{"modified", modified}, {"size", 4096}, {"permissions", "rw"}, {"dirname", name}});
    }
    Json result = Json::object();
    result["dirs"] = dir_list;
    result["files"] = files;
    result["disk_usage"] = disk_usage_;
    result["root_info"] = Json{{"name", gcodes_root}, {"permissions", "rw"}};
    return result;
}

Json PrinterModel::file_list() const {
    Json files = Json::array();
    for (const auto& [path, entry] : files_) {
        if (path.rfind(".thumbs/", 0) == 0 || path.find("/.thumbs/") != std::string::npos) continue;
        files.push_back(
            Json{{"path", path}, {"modified", entry.modified}, {"size", entry.size}, {"permissions", entry.permissions}});
    }
    return files;
}

Json PrinterModel::metadata_for_job(const std::string& path) const {
    const auto it = files_.find(path);
    Json metadata = Json::object();
    if (it == files_.end()) return metadata;
    metadata["size"] = it->second.size;
    metadata["modified"] = it->second.modified;
    if (it->second.metadata.is_object()) {
        for (const auto& item : it->second.metadata.items()) metadata[item.key()] = item.value();
    }
    return metadata;
}

Json PrinterModel::file_metadata(const std::string& filename) const {
    const auto it = files_.find(filename);
    if (it == files_.end() || !it->second.metadata.is_object()) {
        // Moonraker's code and text for a file without metadata (moonraker_no_klippy).
        throw RequestError(-32601, "Metadata not available for <" + filename + ">");
    }
    Json result = metadata_for_job(filename);
    result["print_start_time"] = it->second.print_start_time;
    result["job_id"] = it->second.job_id;
    result["filename"] = filename;
    return result;
}

Json PrinterModel::delete_file(const std::string& path) {
    const std::string root = std::string(gcodes_root) + "/";
    const auto it = path.rfind(root, 0) == 0 ? files_.find(path.substr(root.size())) : files_.end();
    if (it == files_.end()) throw RequestError(400, "Invalid file path: " + path);
    const std::string name = it->first;
    const Json metadata = it->second.metadata;
    files_.erase(it);
    follow_.push_back({Outgoing::everyone, filelist_changed("delete_file", name, 0.0, 0)});
    // The thumbnails go with the file, each with its own notification.
    if (metadata.is_object() && metadata.contains("thumbnails") && metadata["thumbnails"].is_array()) {
        for (const Json& thumb : metadata["thumbnails"]) {
            if (!thumb.is_object() || !thumb.contains("relative_path") || !thumb["relative_path"].is_string()) continue;
            const std::string picture = thumb["relative_path"].get<std::string>();
            if (files_.erase(picture) != 0) {
                follow_.push_back({Outgoing::everyone, filelist_changed("delete_file", picture, 0.0, 0)});
            }
        }
    }
    for (Json& job : history_) {
        if (job.value("filename", std::string()) == name) job["exists"] = false;
    }
    Json item = Json::object();
    item["modified"] = 0;
    item["size"] = 0;
    item["permissions"] = "";
    item["path"] = name;
    item["root"] = gcodes_root;
    return Json{{"action", "delete_file"}, {"item", item}};
}

std::vector<Outgoing> PrinterModel::add_file(const std::string& path, std::int64_t size, bool with_metadata) {
    std::vector<Outgoing> out;
    FileEntry entry;
    entry.modified = wall_seconds();
    entry.size = size;
    if (with_metadata) {
        // The recorded test file's metadata, with this file's own thumbnail.
        const auto model = files_.find("cube_sim.gcode");
        entry.metadata = model != files_.end() && model->second.metadata.is_object() ? model->second.metadata
                                                                                      : Json::object();
        const auto slash = path.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        std::string stem = slash == std::string::npos ? path : path.substr(slash + 1);
        if (const auto dot = stem.find_last_of('.'); dot != std::string::npos) stem.resize(dot);
        const std::string picture = dir + ".thumbs/" + stem + "-32x32.png";
        entry.metadata["thumbnails"] =
            Json::array({Json{{"width", 32}, {"height", 32}, {"size", 137}, {"relative_path", ".thumbs/" + stem + "-32x32.png"}}});
        FileEntry thumb;
        thumb.modified = entry.modified;
        thumb.size = 137;
        files_[picture] = thumb;
        out.push_back({Outgoing::everyone, filelist_changed("create_file", path, entry.modified, size)});
        out.push_back({Outgoing::everyone, filelist_changed("create_file", picture, thumb.modified, thumb.size)});
    } else {
        out.push_back({Outgoing::everyone, filelist_changed("create_file", path, entry.modified, size)});
    }
    files_[path] = std::move(entry);
    return out;
}

std::vector<std::string> PrinterModel::file_paths() const {
    std::vector<std::string> paths;
    for (const auto& item : files_) paths.push_back(item.first);
    return paths;
}

// ---- History -------------------------------------------------------------------

Json PrinterModel::history_list(const Json& params) const {
    const auto integer = [&params](const char* key, std::int64_t fallback) {
        const Json* value = member(params, key);
        if (value == nullptr || value->is_null()) return fallback;
        if (!value->is_number()) throw RequestError(400, std::string("Invalid argument type: ") + key);
        return value->get<std::int64_t>();
    };
    // Moonraker reads the page with SQL's LIMIT and OFFSET: a negative offset
    // counts as 0 and a negative limit as no limit.
    const std::int64_t start = std::max<std::int64_t>(0, integer("start", 0));
    const std::int64_t limit = integer("limit", 50);
    std::string order = "desc";
    if (const Json* value = member(params, "order"); value != nullptr && !value->is_null()) {
        if (!value->is_string()) throw RequestError(400, "Invalid argument type: order");
        order = value->get<std::string>();
    }
    if (order != "asc" && order != "desc") throw RequestError(400, "Invalid `order` value: " + order);
    const Json* since = member(params, "since");
    const Json* before = member(params, "before");

    std::vector<const Json*> selected;
    for (const Json& job : history_) {
        const double started = job.value("start_time", 0.0);
        if (since != nullptr && since->is_number() && !(started > since->get<double>())) continue;
        if (before != nullptr && before->is_number() && !(started < before->get<double>())) continue;
        selected.push_back(&job);
    }
    if (order == "desc") std::reverse(selected.begin(), selected.end());
    Json jobs = Json::array();
    for (std::size_t i = static_cast<std::size_t>(start); i < selected.size(); ++i) {
        if (limit >= 0 && jobs.size() >= static_cast<std::size_t>(limit)) break;
        jobs.push_back(*selected[i]);
    }
    Json result = Json::object();
    result["count"] = jobs.size();
    result["jobs"] = jobs;
    return result;
}

Json PrinterModel::history_totals() const {
    double total_time = 0;
    double print_time = 0;
    double filament = 0;
    double longest_job = 0;
    double longest_print = 0;
    for (const Json& job : history_) {
        const double total = job.value("total_duration", 0.0);
        const double print = job.value("print_duration", 0.0);
        total_time += total;
        print_time += print;
        filament += job.value("filament_used", 0.0);
        longest_job = std::max(longest_job, total);
        longest_print = std::max(longest_print, print);
    }
    Json totals = Json::object();
    totals["total_jobs"] = static_cast<double>(history_.size());
    totals["total_time"] = total_time;
    totals["total_print_time"] = print_time;
    totals["total_filament_used"] = filament;
    totals["longest_job"] = longest_job;
    totals["longest_print"] = longest_print;
    return Json{{"job_totals", totals}, {"auxiliary_totals", Json::array()}};
}

// ---- G-code ----------------------------------------------------------------------

void PrinterModel::require_ready(std::vector<Outgoing>& before) const {
    if (klippy_ready()) return;
    // Klipper's answer to a command it cannot run now (klippy_mcu_shutdown):
    // the state message as a console comment, its first line as an error.
    const auto webhooks = status_.find("webhooks");
    std::string message = webhooks != status_.end() && webhooks->is_object()
                              ? webhooks->value("state_message", std::string())
                              : info_.value("state_message", std::string());
    if (message.empty()) message = "Printer is not ready";
    std::string comment;
    std::string first_line;
    std::istringstream lines(message);
    for (std::string line; std::getline(lines, line);) {
        if (first_line.empty()) first_line = line;
        comment += (comment.empty() ? "// " : "\n// ") + line;
    }
    before.push_back({Outgoing::everyone, gcode_response(comment)});
    before.push_back({Outgoing::everyone, gcode_response("!! " + first_line)});
    throw RequestError(400, message);
}

void PrinterModel::run_gcode_script(const std::string& script, std::vector<Outgoing>& before, double now) {
    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
        if (run_gcode_line(line, before, now) == LineResult::stop) break;
    }
}

PrinterModel::LineResult PrinterModel::run_gcode_line(const std::string& raw, std::vector<Outgoing>& before,
                                                      double now) {
    std::string line = raw.substr(0, raw.find(';'));
    line = trim(line);
    if (line.empty()) return LineResult::next;
    std::istringstream words(line);
    std::string command;
    words >> command;
    command = upper(command);
    std::map<char, double> params;
    for (std::string word; words >> word;) {
        if (word.size() < 2 || !std::isalpha(static_cast<unsigned char>(word[0]))) continue;
        char* end = nullptr;
        const double value = std::strtod(word.c_str() + 1, &end);
        if (end != nullptr && *end == '\0') {
            params[static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])))] = value;
        }
    }
    const auto param = [&params](char letter, double fallback) {
        const auto it = params.find(letter);
        return it == params.end() ? fallback : it->second;
    };

    if (!klippy_ready() && commands_while_shutdown.count(command) == 0) require_ready(before);

    if (command == "M104" || command == "M109") {
        // The waiting forms answer at once: the simulator does not hold a reply
        // back until the heater gets there.
        set_field("extruder", "target", std::max(0.0, param('S', 0.0)));
    } else if (command == "M140" || command == "M190") {
        set_field("heater_bed", "target", std::max(0.0, param('S', 0.0)));
    } else if (command == "M106") {
        set_field("fan", "speed", std::clamp(param('S', 255.0), 0.0, 255.0) / 255.0);
    } else if (command == "M107") {
        set_field("fan", "speed", 0.0);
    } else if (command == "G28") {
        home(params);
    } else if (command == "G0" || command == "G1") {
        move(params, before);
    } else if (command == "G90") {
        relative_moves_ = false;
        set_field("gcode_move", "absolute_coordinates", true);
    } else if (command == "G91") {
        relative_moves_ = true;
        set_field("gcode_move", "absolute_coordinates", false);
    } else if (command == "M105") {
        char text[120];
        std::snprintf(text, sizeof text, "B:%.1f /%.1f T0:%.1f /%.1f", number("heater_bed", "temperature", 0.0),
                      number("heater_bed", "target", 0.0), number("extruder", "temperature", 0.0),
                      number("extruder", "target", 0.0));
        before.push_back({Outgoing::everyone, gcode_response(text)});
    } else if (command == "M112") {
        emergency_stop(before, "Shutdown due to M112 command");
        return LineResult::stop;
    } else if (command == "FIRMWARE_RESTART" || command == "RESTART") {
        restart_klippy(now);
        return LineResult::stop;
    } else if (!known_command(command)) {
        // Klipper answers "ok" and complains on the console only.
        before.push_back({Outgoing::everyone, gcode_response("// Unknown command:\"" + command + "\"")});
    }
    return LineResult::next;
}

bool PrinterModel::known_command(const std::string& command) const {
    static const std::set<std::string> extra = {"M84", "M400", "M117", "M73", "M82", "M83", "G92"};
    if (extra.count(command) != 0) return true;
    const auto gcode = status_.find("gcode");
    if (gcode == status_.end() || !gcode->is_object() || !gcode->contains("commands")) return false;
    const Json& commands = (*gcode)["commands"];
    return commands.is_object() && commands.contains(command);
}

void PrinterModel::home(const std::map<char, double>& params) {
    std::string axes;
    const auto homed = status_.find("toolhead");
    if (homed != status_.end() && homed->is_object()) axes = homed->value("homed_axes", std::string());
    std::vector<double> position = four_numbers(homed != status_.end() ? homed->value("position", Json()) : Json());
    const bool all = params.count('X') == 0 && params.count('Y') == 0 && params.count('Z') == 0;
    std::string result;
    for (int i = 0; i < 3; ++i) {
        const char axis = "xyz"[i];
        const bool requested = all || params.count(static_cast<char>(std::toupper(axis))) != 0;
        if (requested) position[static_cast<std::size_t>(i)] = 0.0;
        if (requested || axes.find(axis) != std::string::npos) result += axis;
    }
    set_field("toolhead", "homed_axes", result);
    set_position(position);
}

void PrinterModel::move(const std::map<char, double>& params, std::vector<Outgoing>& before) {
    const auto toolhead = status_.find("toolhead");
    if (toolhead == status_.end() || !toolhead->is_object()) return;
    const std::vector<double> from = four_numbers(toolhead->value("position", Json()));
    const std::vector<double> minimum = four_numbers(toolhead->value("axis_minimum", Json()));
    const std::vector<double> maximum = four_numbers(toolhead->value("axis_maximum", Json()));
    const std::string homed = toolhead->value("homed_axes", std::string());
    std::vector<double> to = from;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto it = params.find("XYZE"[i]);
        if (it != params.end()) to[i] = relative_moves_ ? from[i] + it->second : it->second;
    }
    // Klipper's check: the first moving axis that is unhomed or leaves its
    // range refuses the move, naming the end position.
    for (std::size_t i = 0; i < 3; ++i) {
        if (to[i] == from[i]) continue;
        const char* refusal = nullptr;
        if (homed.find("xyz"[i]) == std::string::npos) {
            refusal = "Must home axis first";
        } else if (to[i] < minimum[i] || to[i] > maximum[i]) {
            refusal = "Move out of range";
        }
        if (refusal != nullptr) {
            const std::string message = format_position(refusal, to);
            before.push_back({Outgoing::everyone, gcode_response("!! " + message)});
            throw RequestError(400, message);
        }
    }
    if (const auto speed = params.find('F'); speed != params.end()) set_field("gcode_move", "speed", speed->second);
    set_position(to);
}

void PrinterModel::set_position(const std::vector<double>& position) {
    Json value = Json::array();
    for (double coordinate : position) value.push_back(round_to(coordinate, 1e6));
    set_field("gcode_move", "position", value);
    set_field("gcode_move", "gcode_position", value);
    set_field("toolhead", "position", value);
    set_field("motion_report", "live_position", value);
}

// ---- Printing --------------------------------------------------------------------

void PrinterModel::print_start(const std::string& filename, std::vector<Outgoing>& before) {
    require_ready(before);
    if (job_) {
        before.push_back({Outgoing::everyone, gcode_response("!! SD busy")});
        throw RequestError(400, "SD busy");
    }
    const auto file = files_.find(filename);
    if (file == files_.end()) {
        before.push_back({Outgoing::everyone, gcode_response("!! Unable to open file")});
        throw RequestError(400, "Unable to open file");
    }
    before.push_back({Outgoing::everyone,
                      gcode_response("File opened:" + filename + " Size:" + std::to_string(file->second.size))});
    before.push_back({Outgoing::everyone, gcode_response("File selected")});

    const Json metadata = file->second.metadata.is_object() ? file->second.metadata : Json::object();
    Job job;
    job.path = filename;
    job.size = file->second.size;
    job.seconds = options_.job_seconds > 0 ? options_.job_seconds : metadata.value("estimated_time", 60.0);
    if (job.seconds <= 0) job.seconds = 60.0;
    const double height = metadata.value("object_height", 2.0);
    job.layer_height = metadata.value("layer_height", 0.2);
    job.layers = job.layer_height > 0 ? std::max(1, static_cast<int>(std::lround(height / job.layer_height))) : 1;
    job.filament_total = metadata.value("filament_total", 0.0);
    job.start_byte = metadata.value("gcode_start_byte", std::int64_t{0});
    job.end_byte = metadata.value("gcode_end_byte", job.size);
    job.start_wall = wall_seconds();
    // The job is printed from the start: the file's start code heats and homes.
    if (metadata.contains("first_layer_extr_temp")) set_field("extruder", "target", metadata["first_layer_extr_temp"]);
    if (metadata.contains("first_layer_bed_temp")) set_field("heater_bed", "target", metadata["first_layer_bed_temp"]);
    set_field("toolhead", "homed_axes", "xyz");

    Json info = Json::object();
    info["total_layer"] = job.layers;
    info["current_layer"] = 0;
    merge_status("print_stats", Json{{"filename", filename},
                                     {"total_duration", 0.0},
                                     {"print_duration", 0.0},
                                     {"filament_used", 0.0},
                                     {"state", "printing"},
                                     {"message", ""},
                                     {"info", info}});
    merge_status("virtual_sdcard", Json{{"file_path", gcodes_dir_on_printer + filename},
                                        {"progress", 0.0},
                                        {"is_active", true},
                                        {"file_position", 0},
                                        {"file_size", job.size}});
    set_field("display_status", "progress", 0.0);
    set_field("idle_timeout", "state", "Printing");
    set_field("pause_resume", "is_paused", false);

    char job_id[16];
    std::snprintf(job_id, sizeof job_id, "%06X", next_job_number_++);
    Json entry = Json::object();
    entry["job_id"] = job_id;
    entry["user"] = "_TRUSTED_USER_";
    entry["filename"] = filename;
    entry["status"] = "in_progress";
    entry["start_time"] = job.start_wall;
    entry["end_time"] = nullptr;
    entry["print_duration"] = 0.0;
    entry["total_duration"] = 0.0;
    entry["filament_used"] = 0.0;
    entry["metadata"] = metadata_for_job(filename);
    entry["auxiliary_data"] = Json::array();
    entry["exists"] = true;
    history_.push_back(entry);
    job.history_index = history_.size() - 1;
    file->second.print_start_time = job.start_wall;
    file->second.job_id = job_id;
    job_ = job;
    after_flush_.push_back({Outgoing::everyone, history_changed("added", entry)});
}

void PrinterModel::print_pause(std::vector<Outgoing>& before) {
    if (!job_) return;
    if (job_->phase == Phase::paused) {
        before.push_back({Outgoing::everyone, gcode_response("Print already paused")});
        return;
    }
    job_->resume_phase = job_->phase;
    job_->phase = Phase::paused;
    set_field("print_stats", "state", "paused");
    set_field("virtual_sdcard", "is_active", false);
    set_field("pause_resume", "is_paused", true);
    set_field("idle_timeout", "state", "Ready");
}

void PrinterModel::print_resume(std::vector<Outgoing>& before) {
    if (!job_ || job_->phase != Phase::paused) {
        before.push_back({Outgoing::everyone, gcode_response("Print is not paused, resume aborted")});
        return;
    }
    job_->phase = job_->resume_phase;
    set_field("print_stats", "state", "printing");
    set_field("virtual_sdcard", "is_active", true);
    set_field("pause_resume", "is_paused", false);
    set_field("idle_timeout", "state", "Printing");
}

void PrinterModel::print_cancel() {
    if (!job_) return;
    set_field("print_stats", "state", "cancelled");
    merge_status("virtual_sdcard", Json{{"file_path", nullptr}, {"is_active", false}, {"file_size", 0}});
    set_field("display_status", "progress", 0.0);
    set_field("pause_resume", "is_paused", false);
    heaters_off();
    set_field("fan", "speed", 0.0);
    finish_job("cancelled", after_flush_);
}

void PrinterModel::heaters_off() {
    for (const char* heater : {"extruder", "heater_bed"}) {
        set_field(heater, "target", 0.0);
        set_field(heater, "power", 0.0);
    }
}

void PrinterModel::emergency_stop(std::vector<Outgoing>& before, const std::string& reason) {
    before.push_back({Outgoing::everyone, gcode_response("// Klipper state: Shutdown")});
    set_klippy_state("shutdown", reason + shutdown_advice);
    heaters_off();
    if (job_) {
        set_field("print_stats", "state", "error");
        set_field("print_stats", "message", reason);
        set_field("virtual_sdcard", "is_active", false);
        finish_job("klippy_shutdown", after_flush_);
    }
    after_flush_.push_back({Outgoing::everyone, notification("notify_klippy_shutdown")});
}

void PrinterModel::restart_klippy(double now) {
    follow_.push_back({Outgoing::everyone, gcode_response("// Klipper state: Disconnect")});
    follow_.push_back({Outgoing::everyone, notification("notify_klippy_disconnected")});
    if (job_) finish_job("klippy_disconnect", follow_);
    klippy_connected_ = false;
    // Moonraker drops every client's subscription when its link to Klipper
    // closes (klipper_restart_drops_subscription): nothing streams until a
    // client subscribes again.
    subscriptions_.clear();
    events_.push_back({now + options_.restart_seconds});
}

void PrinterModel::reset_after_restart() {
    Json info = Json::object();
    info["total_layer"] = nullptr;
    info["current_layer"] = nullptr;
    merge_status("print_stats", Json{{"filename", ""},
                                     {"total_duration", 0.0},
                                     {"print_duration", 0.0},
                                     {"filament_used", 0.0},
                                     {"state", "standby"},
                                     {"message", ""},
                                     {"info", info}});
    merge_status("virtual_sdcard", Json{{"file_path", nullptr},
                                        {"progress", 0.0},
                                        {"is_active", false},
                                        {"file_position", 0},
                                        {"file_size", 0}});
    merge_status("display_status", Json{{"progress", 0.0}, {"message", nullptr}});
    set_field("pause_resume", "is_paused", false);
    merge_status("idle_timeout", Json{{"state", "Idle"}, {"printing_time", 0.0}});
    set_field("toolhead", "homed_axes", "");
    set_field("fan", "speed", 0.0);
    set_steppers(false);
    heaters_off();
    set_klippy_state("ready", {});
    klippy_connected_ = true;
}

void PrinterModel::set_steppers(bool enabled) {
    const auto it = status_.find("stepper_enable");
    if (it == status_.end() || !it->is_object() || !it->contains("steppers") || !(*it)["steppers"].is_object()) return;
    for (auto& stepper : (*it)["steppers"].items()) stepper.value() = enabled;
}

void PrinterModel::finish_job(const std::string& job_status, std::vector<Outgoing>& follow) {
    Json& entry = history_.at(job_->history_index);
    entry["status"] = job_status;
    entry["end_time"] = job_->start_wall + job_->total;
    entry["print_duration"] = job_->printing;
    entry["total_duration"] = job_->total;
    entry["filament_used"] = number("print_stats", "filament_used", 0.0);
    follow.push_back({Outgoing::everyone, history_changed("finished", entry)});
    job_.reset();
}

// ---- Time ----------------------------------------------------------------------

std::vector<Outgoing> PrinterModel::advance(double now) {
    std::vector<Outgoing> out;
    const double dt = std::clamp(now - last_advance_, 0.0, 60.0);
    last_advance_ = now;

    for (auto event = events_.begin(); event != events_.end();) {
        if (event->due > now) {
            ++event;
            continue;
        }
        event = events_.erase(event);
        reset_after_restart();
        out.push_back({Outgoing::everyone, notification("notify_klippy_ready")});
    }

    if (!options_.live || dt <= 0) return out;
    advance_heaters(dt);
    set_field("toolhead", "estimated_print_time", round_to(number("toolhead", "estimated_print_time", 0.0) + dt, 1e8));
    stats_clock_ += dt;
    if (stats_clock_ >= 1.0) {
        set_field("system_stats", "cputime", round_to(number("system_stats", "cputime", 0.0) + 0.008 * stats_clock_, 1e9));
        stats_clock_ = 0.0;
    }
    if (job_) advance_job(dt, out);
    return out;
}

void PrinterModel::advance_heaters(double dt) {
    struct Heater {
        const char* name;
        double rate;  // degrees per second at full power, far from the target
        double tau;   // seconds of the cooling curve
    };
    // Rates seen in the recordings: the extruder gains about 5.5 degrees a
    // second, the bed about 0.6.
    for (const Heater& heater : {Heater{"extruder", 5.5, 90.0}, Heater{"heater_bed", 0.6, 400.0}}) {
        const auto it = status_.find(heater.name);
        if (it == status_.end() || !it->is_object()) continue;
        double temperature = number(heater.name, "temperature", ambient);
        const double target = number(heater.name, "target", 0.0);
        double power = 0.0;
        if (target > 0 && temperature < target - 0.5) {
            const double closeness = std::clamp((target - temperature) / 15.0, 0.15, 1.0);
            temperature = std::min(target, temperature + heater.rate * closeness * dt);
            power = std::clamp((target - temperature) / 15.0, 0.3, 1.0);
        } else if (target > 0) {
            temperature = target + (temperature - target) * std::exp(-dt / 5.0);
            power = 0.3;
        } else {
            temperature = ambient + (temperature - ambient) * std::exp(-dt / heater.tau);
        }
        (*it)["temperature"] = round_to(temperature, 100.0);
        (*it)["power"] = round_to(power, 1000.0);
    }
    // Klipper's heater fan runs while the hotend is hot or heating.
    const bool hot = number("extruder", "temperature", 0.0) > 50.0 || number("extruder", "target", 0.0) > 0.0;
    set_field("heater_fan hotend_fan", "speed", hot ? 1.0 : 0.0);
}

void PrinterModel::advance_job(double dt, std::vector<Outgoing>& out) {
    Job& job = *job_;
    job.total += dt;
    set_field("print_stats", "total_duration", round_to(job.total, 1e6));
    if (job.phase != Phase::paused) {
        set_field("idle_timeout", "printing_time", round_to(number("idle_timeout", "printing_time", 0.0) + dt, 1e6));
    }
    if (job.phase == Phase::heating) {
        const auto reached = [this](const char* heater, double margin) {
            const double target = number(heater, "target", 0.0);
            return target <= 0 || number(heater, "temperature", 0.0) >= target - margin;
        };
        if (!reached("extruder", 2.0) || !reached("heater_bed", 1.0)) return;
        job.phase = Phase::printing;
        set_steppers(true);
        set_field("fan", "speed", 128.0 / 255.0);  // the file's M106 S128
    }
    if (job.phase != Phase::printing) return;

    job.printing = std::min(job.seconds, job.printing + dt);
    const double done = job.printing / job.seconds;
    const int layer = std::min(job.layers, static_cast<int>(done * job.layers) + 1);
    const std::int64_t position =
        job.start_byte + static_cast<std::int64_t>(done * static_cast<double>(job.end_byte - job.start_byte));
    const double file_progress = job.size > 0 ? static_cast<double>(position) / static_cast<double>(job.size) : done;
    const double filament = round_to(done * job.filament_total, 1000.0);
    set_field("print_stats", "print_duration", round_to(job.printing, 1e6));
    set_field("print_stats", "filament_used", filament);
    Json info = Json::object();
    info["total_layer"] = job.layers;
    info["current_layer"] = layer;
    set_field("print_stats", "info", info);
    set_field("virtual_sdcard", "file_position", position);
    set_field("virtual_sdcard", "progress", file_progress);
    set_field("display_status", "progress", file_progress);
    set_field("display_status", "message", "Layer " + std::to_string(layer) + "/" + std::to_string(job.layers));

    // Walk the square of the recorded test cube, one lap per layer.
    const double lap = std::fmod(done * job.layers, 1.0) * 4.0;
    const double side = lap - std::floor(lap);
    double x = 100.0;
    double y = 100.0;
    switch (static_cast<int>(lap)) {
        case 0: x = 100.0 + 20.0 * side; break;
        case 1: x = 120.0; y = 100.0 + 20.0 * side; break;
        case 2: x = 120.0 - 20.0 * side; y = 120.0; break;
        default: y = 120.0 - 20.0 * side; break;
    }
    set_position({x, y, round_to(layer * job.layer_height, 1000.0), filament});

    if (job.printing < job.seconds) return;
    set_field("print_stats", "state", "complete");
    merge_status("virtual_sdcard",
                 Json{{"file_path", nullptr}, {"progress", 1.0}, {"is_active", false}, {"file_position", job.size}});
    set_field("display_status", "progress", 1.0);
    set_field("toolhead", "homed_axes", "");
    set_field("idle_timeout", "state", "Ready");
    set_field("fan", "speed", 0.0);
    set_steppers(false);
    heaters_off();
    out.push_back({Outgoing::everyone, gcode_response("Done printing file")});
    finish_job("completed", after_flush_);
}

}  // namespace zorim::sim
