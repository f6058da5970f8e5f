// The model's G-code file store and print history.
#include "model_support.h"

#include <algorithm>
#include <map>

namespace zorim::sim {

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

}  // namespace zorim::sim
