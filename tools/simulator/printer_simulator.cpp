// PrinterSimulator: the public face of the simulator. What the clients sent
// is read from the records here; actions go to the server
// (simulator_server.cpp), the printer's state to the model.
#include "printer_simulator.h"

#include "simulator_server.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace zorim::sim {

namespace {

Json parse_argument(const std::string& text, const char* what) {
    try {
        return Json::parse(text);
    } catch (const Json::parse_error& error) {
        throw std::invalid_argument(std::string(what) + " is not JSON: " + error.what());
    }
}

}  // namespace

PrinterSimulator::PrinterSimulator(SimulatorOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

PrinterSimulator::~PrinterSimulator() = default;

void PrinterSimulator::start() { impl_->start(); }

void PrinterSimulator::stop() { impl_->stop(); }

bool PrinterSimulator::running() const { return impl_->running(); }

std::uint16_t PrinterSimulator::port() const { return impl_->port_.load(); }

std::string PrinterSimulator::url_for_plugin() const {
    return impl_->options_.host + ":" + std::to_string(port());
}

std::string PrinterSimulator::websocket_url() const { return "ws://" + url_for_plugin() + "/websocket"; }

std::vector<ReceivedText> PrinterSimulator::texts() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->texts_;
}

std::size_t PrinterSimulator::text_count() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->texts_.size();
}

std::vector<std::string> PrinterSimulator::pings() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->pings_;
}

std::vector<ClientClose> PrinterSimulator::closes() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->closes_;
}

std::size_t PrinterSimulator::open_connections() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->open_ids_.size();
}

std::size_t PrinterSimulator::accepted_connections() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return impl_->accepted_;
}

std::vector<std::size_t> PrinterSimulator::open_connection_ids() const {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    return {impl_->open_ids_.begin(), impl_->open_ids_.end()};
}

void PrinterSimulator::clear_records() {
    std::lock_guard<std::mutex> lock(impl_->records_mutex_);
    impl_->texts_.clear();
    impl_->pings_.clear();
    impl_->closes_.clear();
}

std::optional<ReceivedText> PrinterSimulator::wait_for_text(const std::function<bool(const std::string&)>& predicate,
                                                            std::chrono::milliseconds timeout,
                                                            std::size_t from) const {
    std::optional<ReceivedText> found;
    std::size_t next = from;
    impl_->wait_records(timeout, [&] {
        for (; next < impl_->texts_.size(); ++next) {
            if (predicate(impl_->texts_[next].text)) {
                found = impl_->texts_[next];
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<ReceivedText> PrinterSimulator::wait_for_request(const std::string& method,
                                                               std::chrono::milliseconds timeout,
                                                               std::size_t from) const {
    return wait_for_text(
        [&method](const std::string& text) {
            const Json request = Json::parse(text, nullptr, false);
            return request.is_object() && request.contains("method") && request["method"] == method;
        },
        timeout, from);
}

bool PrinterSimulator::wait_for_texts(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->wait_records(timeout, [&] { return impl_->texts_.size() >= count; });
}

bool PrinterSimulator::wait_for_pings(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->wait_records(timeout, [&] { return impl_->pings_.size() >= count; });
}

bool PrinterSimulator::wait_for_connections(std::size_t open, std::chrono::milliseconds timeout) const {
    return impl_->wait_records(timeout, [&] { return impl_->open_ids_.size() == open; });
}

bool PrinterSimulator::wait_for_accepted(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->wait_records(timeout, [&] { return impl_->accepted_ >= count; });
}

std::optional<ClientClose> PrinterSimulator::wait_for_close(std::chrono::milliseconds timeout,
                                                            std::size_t from) const {
    std::optional<ClientClose> found;
    impl_->wait_records(timeout, [&] {
        if (impl_->closes_.size() <= from) return false;
        found = impl_->closes_[from];
        return true;
    });
    return found;
}

std::size_t PrinterSimulator::send_text(const std::string& text) { return impl_->broadcast(text); }

bool PrinterSimulator::send_text(std::size_t connection, const std::string& text) {
    return impl_->send_text_to(connection, text);
}

std::size_t PrinterSimulator::send_binary(const std::string& payload) { return impl_->send_binary(payload); }

std::size_t PrinterSimulator::close_all(int code, const std::string& reason) { return impl_->close_all(code, reason); }

bool PrinterSimulator::close(std::size_t connection, int code, const std::string& reason) {
    return impl_->close(connection, code, reason);
}

std::size_t PrinterSimulator::drop_all() { return impl_->drop_all(); }

bool PrinterSimulator::drop(std::size_t connection) { return impl_->drop(connection); }

void PrinterSimulator::set_answer_pings(bool answer) { impl_->answer_pings_ = answer; }

void PrinterSimulator::set_reading(bool reading) { impl_->set_reading(reading); }

std::size_t PrinterSimulator::start_flood(const std::string& text) { return impl_->start_flood(text); }

void PrinterSimulator::stop_flood() { impl_->stop_flood(); }

void PrinterSimulator::set_answer_delay(std::chrono::milliseconds delay) {
    impl_->answer_delay_ms_ = delay.count();
}

std::size_t PrinterSimulator::send_partial_frame(std::uint64_t declared_length, const std::string& payload) {
    std::string bytes(1, static_cast<char>(0x81));  // FIN, text
    if (declared_length < 126) {
        bytes += static_cast<char>(declared_length);
    } else if (declared_length <= 0xFFFF) {
        bytes += static_cast<char>(126);
        for (int shift = 8; shift >= 0; shift -= 8) bytes += static_cast<char>((declared_length >> shift) & 0xFF);
    } else {
        bytes += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>((declared_length >> shift) & 0xFF);
    }
    bytes += payload.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(declared_length, payload.size())));
    return impl_->send_raw(std::move(bytes));
}

void PrinterSimulator::set_answer_requests(bool answer) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.set_answer_requests(answer);
}

void PrinterSimulator::fail_method(const std::string& method, int code, const std::string& message, Times times) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.add_error_rule(method, std::nullopt, code, message, times);
}

void PrinterSimulator::fail_request_id(std::int64_t id, int code, const std::string& message, Times times) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.add_error_rule(std::nullopt, id, code, message, times);
}

void PrinterSimulator::ignore_request_id(std::int64_t id, Times times) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.add_ignore_rule(id, times);
}

void PrinterSimulator::clear_injections() {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.clear_rules();
}

std::size_t PrinterSimulator::notify_klippy_ready() {
    return impl_->broadcast(PrinterModel::notification("notify_klippy_ready"));
}

std::size_t PrinterSimulator::notify_klippy_shutdown() {
    return impl_->broadcast(PrinterModel::notification("notify_klippy_shutdown"));
}

std::size_t PrinterSimulator::notify_klippy_disconnected() {
    return impl_->broadcast(PrinterModel::notification("notify_klippy_disconnected"));
}

std::size_t PrinterSimulator::notify_gcode_response(const std::string& line) {
    return impl_->broadcast(PrinterModel::gcode_response(line));
}

std::size_t PrinterSimulator::notify_filelist_changed(const std::string& action, const std::string& path) {
    std::string text;
    {
        std::lock_guard<std::mutex> model(impl_->model_mutex_);
        text = impl_->model_.filelist_changed_for(action, path);
    }
    return impl_->broadcast(text);
}

std::size_t PrinterSimulator::notify_history_changed(const std::string& action, const std::string& job_json) {
    const Json job = job_json.empty() ? Json() : parse_argument(job_json, "the job");
    std::string text;
    {
        std::lock_guard<std::mutex> model(impl_->model_mutex_);
        text = impl_->model_.history_changed(action, job);
    }
    return impl_->broadcast(text);
}

std::size_t PrinterSimulator::notify_status_update(const std::string& fields_json) {
    const Json fields = parse_argument(fields_json, "the status fields");
    std::string text;
    {
        std::lock_guard<std::mutex> model(impl_->model_mutex_);
        text = impl_->model_.status_notification(fields, impl_->now());
    }
    return impl_->broadcast(text);
}

std::size_t PrinterSimulator::notify_proc_stat_update() { return impl_->notify_proc_stat(); }

void PrinterSimulator::set_hostname(const std::string& hostname) { set_info_field("hostname", Json(hostname).dump()); }

void PrinterSimulator::set_cpu_info(const std::string& cpu_info) { set_info_field("cpu_info", Json(cpu_info).dump()); }

void PrinterSimulator::set_software_version(const std::string& version) {
    set_info_field("software_version", Json(version).dump());
}

void PrinterSimulator::set_klippy_state(const std::string& state, const std::string& message) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.set_klippy_state(state, message);
}

void PrinterSimulator::set_klippy_connected(bool connected) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.set_klippy_connected(connected);
}

void PrinterSimulator::set_info_field(const std::string& key, const std::string& value_json) {
    Json value = parse_argument(value_json, "the printer.info value");
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.set_info_field(key, std::move(value));
}

void PrinterSimulator::erase_info_field(const std::string& key) {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.erase_info_field(key);
}

void PrinterSimulator::set_status_fields(const std::string& object, const std::string& fields_json) {
    Json fields = parse_argument(fields_json, "the status fields");
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    impl_->model_.merge_status(object, fields);
}

std::string PrinterSimulator::status_json() const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return impl_->model_.status().dump();
}

std::string PrinterSimulator::status_json(const std::string& object) const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    const Json& status = impl_->model_.status();
    const auto it = status.find(object);
    return it == status.end() ? "null" : it->dump();
}

void PrinterSimulator::add_file(const std::string& path, std::int64_t size, bool with_metadata) {
    std::vector<Outgoing> notifications;
    {
        std::lock_guard<std::mutex> model(impl_->model_mutex_);
        notifications = impl_->model_.add_file(path, size, with_metadata);
    }
    impl_->deliver(std::move(notifications));
}

bool PrinterSimulator::has_file(const std::string& path) const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return impl_->model_.has_file(path);
}

std::vector<std::string> PrinterSimulator::files() const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return impl_->model_.file_paths();
}

std::size_t PrinterSimulator::history_size() const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return impl_->model_.history().size();
}

std::string PrinterSimulator::history_json() const {
    std::lock_guard<std::mutex> model(impl_->model_mutex_);
    return Json(impl_->model_.history()).dump();
}

}  // namespace zorim::sim
