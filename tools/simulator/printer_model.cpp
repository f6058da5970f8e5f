// The model's requests: the seeds it starts from, the JSON-RPC dispatch, the
// injected faults and the printer's identity.
#include "model_support.h"
#include "recorded_seeds.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace zorim::sim {

namespace {

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

}  // namespace zorim::sim
