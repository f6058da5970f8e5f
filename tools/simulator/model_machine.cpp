// The model's machine: G-code commands, print jobs, restarts, and what time
// does to heaters and jobs.
#include "model_support.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <sstream>

namespace zorim::sim {

namespace {

// What Klipper still accepts while it is shut down (the command list of the
// shutdown in failed_stepper_too_far_in_past).
const std::set<std::string> commands_while_shutdown = {
    "M110", "M112", "M115", "RESTART", "FIRMWARE_RESTART", "ECHO", "STATUS",
    "HELP", "M105", "M118", "RESPOND", "M114", "GET_POSITION"};

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
