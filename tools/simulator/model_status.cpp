// The model's status objects, subscriptions and notification texts.
#include "model_support.h"

#include <utility>

namespace zorim::sim {

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

}  // namespace zorim::sim
