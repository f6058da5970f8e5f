// The end-to-end status stream benchmark's C++ roles; scripts/bench drives them.
//
//   serve  --recording FILE --frames N
//       A Moonraker-like peer on 127.0.0.1. It answers the opening requests with
//       the replies recorded in FILE (FILE's .sent.jsonl gives each request id its
//       method) and, to every subscriber, streams FILE's notify_status_update
//       frames looped to N and then one end frame, never holding more than 1 MiB
//       unsent per connection. Prints its port on the first line; ends when its
//       standard input closes.
//   floor  --port P              a Beast client that only counts frames
//   dom    --port P              a Beast client that parses every frame with
//                                nlohmann's DOM and folds it per object and field
//   plugin --port P --lib PATH --log-level L --log-dir DIR --timeout SECONDS
//       Loads the plug-in as a host does (dlopen, exports by name) and counts the
//       machine-status reports; gives up after SECONDS without the end frame.
//
// Every client ends on the end frame and prints one JSON line: frames seen,
// wall and process CPU seconds from the subscription reply to the end frame,
// and what it folded (dom: the whole state; plugin: the record's members named
// like Klipper's fields), which scripts/bench compares across clients.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <dlfcn.h>

#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include "bench_common.h"
#include "zorim_network/zorim_network.h"

namespace {

using namespace zorim::bench;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// The last frame of every stream; every client folds it and stops there.
const std::string kEndFrame =
    R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"print_stats":{"message":"bench end"}},1.0]})";
const std::string kEndMark = "bench end";
const std::string kSubscribe =
    R"({"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{}},"id":2})";

// The measured window: from the subscription reply to the end frame.
struct Window {
    Clock::time_point wall_start{}, wall_end{};
    double cpu_start = 0.0, cpu_end = 0.0;
    void start() { wall_start = Clock::now(); cpu_start = process_cpu_seconds(); }
    void end() { wall_end = Clock::now(); cpu_end = process_cpu_seconds(); }
    bool ended() const { return wall_end != Clock::time_point{}; }
    json fields() const {
        return {{"seconds", std::chrono::duration<double>(wall_end - wall_start).count()},
                {"cpu_seconds", cpu_end - cpu_start}};
    }
};

// ---- serve ------------------------------------------------------------------

struct Recording {
    std::map<std::string, std::string> results;  // method -> first recorded reply's "result", as JSON text
    std::vector<std::string> frames;             // notify_status_update texts, in order
};

Recording read_recording(const std::string& path) {
    const std::string suffix = ".jsonl";
    if (path.size() <= suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        throw std::runtime_error(path + " is not a .jsonl recording");
    const std::string sent_path = path.substr(0, path.size() - suffix.size()) + ".sent.jsonl";

    std::map<std::int64_t, std::string> method_of_id;
    std::ifstream sent(sent_path);
    if (!sent) throw std::runtime_error("cannot read " + sent_path);
    for (std::string line; std::getline(sent, line);) {
        const json request = json::parse(line, nullptr, false);
        if (request.is_object() && request.contains("id") && request.contains("method"))
            method_of_id.emplace(request["id"].get<std::int64_t>(), request["method"].get<std::string>());
    }

    Recording r;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    for (std::string line; std::getline(in, line);) {
        if (line.find("\"notify_status_update\"") != std::string::npos) {
            r.frames.push_back(line);
            continue;
        }
        const json message = json::parse(line, nullptr, false);
        if (!message.is_object() || !message.contains("result") || !message.contains("id")) continue;
        const auto method = method_of_id.find(message["id"].get<std::int64_t>());
        if (method != method_of_id.end()) r.results.emplace(method->second, message["result"].dump());
    }
    for (const char* needed : {"printer.info", "printer.objects.list", "printer.objects.subscribe"}) {
        if (r.results.count(needed) == 0) throw std::runtime_error(path + " holds no reply to " + needed);
    }
    if (r.frames.empty()) throw std::runtime_error(path + " holds no notify_status_update");
    return r;
}

// A server text frame's bytes (unmasked): header and payload.
std::string text_frame(const std::string& payload) {
    std::string frame(1, static_cast<char>(0x81));  // FIN, text
    const std::uint64_t size = payload.size();
    if (size < 126) {
        frame += static_cast<char>(size);
    } else if (size < 65536) {
        frame += static_cast<char>(126);
        for (int shift = 8; shift >= 0; shift -= 8) frame += static_cast<char>((size >> shift) & 0xff);
    } else {
        frame += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>((size >> shift) & 0xff);
    }
    return frame + payload;
}

// The recording's frames are made once, back to back in one buffer, and
// written straight from it in slices of whole frames: the peer spends almost
// nothing per frame and the clients, not the peer, set the pace.
class StreamServer {
public:
    StreamServer(Recording recording, std::size_t frames) : rec_(std::move(recording)), total_(frames) {
        for (const std::string& frame : rec_.frames) {
            offsets_.push_back(cycle_.size());
            cycle_ += text_frame(frame);
        }
        offsets_.push_back(cycle_.size());
        end_frame_ = text_frame(kEndFrame);
    }

    std::uint16_t listen() {
        const std::uint16_t port = listen_on_loopback(acceptor_);
        accept_peers(acceptor_, [this](PeerSession& session, const std::string& text) { on_message(session, text); });
        return port;
    }
    void run() { io_.run(); }
    void stop() {
        net::post(io_, [this] {
            error_code ignored;
            acceptor_.close(ignored);
            io_.stop();
        });
    }

private:
    static constexpr std::size_t slice_bytes = 1u << 20;

    struct Stream {
        std::shared_ptr<PeerSession> session;
        std::size_t sent = 0;
    };

    void on_message(PeerSession& session, const std::string& text) {
        const json request = json::parse(text, nullptr, false);
        if (!request.is_object() || !request.contains("id") || !request.contains("method") ||
            !request["method"].is_string())
            return;
        const std::string method = request["method"].get<std::string>();
        const auto result = rec_.results.find(method);
        const std::string id = request["id"].dump();
        auto reply = std::make_shared<const std::string>(text_frame(
            result != rec_.results.end()
                ? R"({"jsonrpc":"2.0","result":)" + result->second + R"(,"id":)" + id + "}"
                : R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"},"id":)" + id + "}"));
        session.write_raw(net::buffer(*reply), [reply](error_code) {});
        // One stream per connection: a second subscription gets its reply only.
        if (method == "printer.objects.subscribe" && streamed_.insert(session.weak_from_this()).second) {
            pump(std::make_shared<Stream>(Stream{session.shared_from_this()}));
        }
    }

    // The next slice of whole frames, at most 1 MiB, once the last one is
    // written; then the end frame.
    void pump(const std::shared_ptr<Stream>& stream) {
        if (stream->sent == total_) {
            stream->session->write_raw(net::buffer(end_frame_), [](error_code) {});
            return;
        }
        const std::size_t first = stream->sent % rec_.frames.size();
        std::size_t last = first + 1;
        while (last < rec_.frames.size() && stream->sent + (last - first) < total_ &&
               offsets_[last + 1] - offsets_[first] <= slice_bytes) {
            ++last;
        }
        stream->sent += last - first;
        const net::const_buffer slice(cycle_.data() + offsets_[first], offsets_[last] - offsets_[first]);
        stream->session->write_raw(slice, [this, stream](error_code ec) {
            if (!ec) net::post(io_, [this, stream] { pump(stream); });
        });
    }

    Recording rec_;
    const std::size_t total_;
    std::string cycle_;                 // every recorded frame, as a server writes it
    std::vector<std::size_t> offsets_;  // where each starts in cycle_, and its end
    std::string end_frame_;
    // Owner order: a closed connection's session never matches a new one.
    std::set<std::weak_ptr<PeerSession>, std::owner_less<std::weak_ptr<PeerSession>>> streamed_;
    net::io_context io_;
    tcp::acceptor acceptor_{io_};
};

int serve(const Options& opts) {
    StreamServer server(read_recording(option(opts, "--recording")), std::stoul(option(opts, "--frames")));
    std::cout << server.listen() << std::endl;
    // The driver holds our standard input open for as long as it needs us.
    std::thread watcher([&server] {
        for (std::string line; std::getline(std::cin, line);) {
        }
        server.stop();
    });
    server.run();
    watcher.join();
    return 0;
}

// ---- Beast clients ---------------------------------------------------------

// Subscribes, hands the reply and every later frame to `on_frame`, and stops
// on the end frame. `on_frame` gets the text and whether it is the reply.
template <typename OnFrame>
Window run_client(const std::string& port, std::size_t& frames, OnFrame on_frame) {
    net::io_context io;
    websocket::stream<tcp::socket> ws(io);
    ws.next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<std::uint16_t>(std::stoi(port))));
    ws.next_layer().set_option(tcp::no_delay(true));
    ws.handshake("127.0.0.1:" + port, "/websocket");
    ws.write(net::buffer(kSubscribe));
    boost::beast::flat_buffer buffer;
    Window window;
    ws.read(buffer);
    window.start();
    const auto text = [&buffer] {
        const auto data = buffer.cdata();
        return std::string_view(static_cast<const char*>(data.data()), data.size());
    };
    on_frame(text(), true);
    for (;;) {
        buffer.clear();
        ws.read(buffer);
        ++frames;
        on_frame(text(), false);
        if (text().size() == kEndFrame.size() && text() == kEndFrame) break;
    }
    window.end();
    ws.close(websocket::close_code::normal);
    return window;
}

int floor_client(const Options& opts) {
    std::size_t frames = 0;
    const Window window = run_client(option(opts, "--port"), frames, [](std::string_view, bool) {});
    json out = window.fields();
    out["frames"] = frames;
    std::cout << out.dump() << std::endl;
    return 0;
}

// The per-object, per-field merge of web and screen clients: each changed
// field replaces the stored one whole.
void fold(json& state, json& objects) {
    if (!objects.is_object()) return;
    for (auto& [name, fields] : objects.items()) {
        if (!fields.is_object()) continue;
        json& target = state[name];
        if (!target.is_object()) target = json::object();
        for (auto& [field, value] : fields.items()) target[field] = std::move(value);
    }
}

int dom_client(const Options& opts) {
    std::size_t frames = 0;
    json state = json::object();
    const Window window = run_client(option(opts, "--port"), frames, [&](std::string_view text, bool reply) {
        json message = json::parse(text);
        if (reply) {
            fold(state, message["result"]["status"]);
        } else if (message["method"] == "notify_status_update") {
            fold(state, message["params"][0]);
        }
    });
    json out = window.fields();
    out["frames"] = frames;
    out["state"] = std::move(state);
    std::cout << out.dump() << std::endl;
    return 0;
}

// ---- plugin -----------------------------------------------------------------

json array4(const double (&values)[4]) { return json::array({values[0], values[1], values[2], values[3]}); }

// The record's members that a Klipper field feeds, named like that field
// (the box peripherals and bed mesh are left out: the recording has none).
json record_members(const zorim::MachineStatus& s) {
    return {
        {"webhooks", {{"state", s.webhooks.state}, {"state_message", s.webhooks.state_message}}},
        {"gcode_move",
         {{"speed_factor", s.gcode_move.speed_factor}, {"speed", s.gcode_move.speed},
          {"extrude_factor", s.gcode_move.extrude_factor}, {"homing_origin", array4(s.gcode_move.homing_origin)},
          {"position", array4(s.gcode_move.position)}, {"gcode_position", array4(s.gcode_move.gcode_position)},
          {"absolute_coordinates", s.gcode_move.absolute_coordinates},
          {"absolute_extrude", s.gcode_move.absolute_extrude}}},
        {"toolhead",
         {{"print_time", s.toolhead.print_time}, {"estimated_print_time", s.toolhead.estimated_print_time},
          {"position", array4(s.toolhead.position)}, {"max_velocity", s.toolhead.max_velocity},
          {"max_accel", s.toolhead.max_accel}, {"square_corner_velocity", s.toolhead.square_corner_velocity},
          {"axis_minimum", array4(s.toolhead.axis_minimum)}, {"axis_maximum", array4(s.toolhead.axis_maximum)},
          {"stalls", s.toolhead.stalls}, {"homed_axes", s.toolhead.homed_axes},
          {"extruder", s.toolhead.extruder}}},
        {"extruder",
         {{"temperature", s.extruder.temperature}, {"target", s.extruder.target}, {"power", s.extruder.power},
          {"pressure_advance", s.extruder.pressure_advance}, {"smooth_time", s.extruder.smooth_time},
          {"can_extrude", s.extruder.can_extrude}}},
        {"heater_bed",
         {{"temperature", s.heater_bed.temperature}, {"target", s.heater_bed.target},
          {"power", s.heater_bed.power}}},
        {"fan", {{"speed", s.fan.speed}, {"rpm", s.fan.rpm}}},
        {"idle_timeout", {{"state", s.idle_timeout.state}, {"printing_time", s.idle_timeout.printing_time}}},
        {"virtual_sdcard",
         {{"is_active", s.virtual_sdcard.is_active}, {"progress", s.virtual_sdcard.progress},
          {"file_position", s.virtual_sdcard.file_position}, {"file_size", s.virtual_sdcard.file_size},
          {"file_path", s.virtual_sdcard.file_path}}},
        {"print_stats",
         {{"total_duration", s.print_stats.total_duration}, {"print_duration", s.print_stats.print_duration},
          {"filament_used", s.print_stats.filament_used}, {"filename", s.print_stats.filename},
          {"state", s.print_stats.state}, {"message", s.print_stats.message},
          {"info",
           {{"total_layer", s.print_stats.info.total_layer}, {"current_layer", s.print_stats.info.current_layer}}}}},
        // The record keeps a place for the display message but never fills it.
        {"display_status", {{"progress", s.display_status.progress}}},
        {"configfile",
         {{"save_config_pending", s.save_config_pending}, {"settings", {{"fan", {{"max_power", s.fan.max_power}}}}}}},
    };
}

int plugin_client(const Options& opts) {
    void* library = dlopen(option(opts, "--lib").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) throw std::runtime_error(dlerror());
    auto create = resolve<decltype(&zorim_network_create_agent)>(library, "zorim_network_create_agent");
    auto destroy = resolve<decltype(&zorim_network_destroy_agent)>(library, "zorim_network_destroy_agent");
    auto start = resolve<decltype(&zorim_network_start)>(library, "zorim_network_start");
    auto connect = resolve<decltype(&zorim_network_connect_printer)>(library, "zorim_network_connect_printer");
    auto set_status_fn =
        resolve<decltype(&zorim_set_machine_status_changed_fn)>(library, "zorim_set_machine_status_changed_fn");

    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;        // guarded by mutex
    bool finished = false;    // the callback's own copy of `done`
    std::size_t reports = 0;  // the callback's own, read after `done`
    Window window;
    zorim::MachineStatus last;

    void* agent = create(option(opts, "--log-dir"), std::stoi(option(opts, "--log-level")));
    if (!agent) throw std::runtime_error("the plug-in made no agent");
    set_status_fn(agent, [&](std::string, zorim::MachineStatus status) {
        // The plug-in's network thread; a host's share is to count and keep
        // the record. The first report is the subscription reply's.
        if (finished) return;
        if (reports++ == 0) window.start();
        if (status.print_stats.message == kEndMark) {
            window.end();
            last = std::move(status);
            finished = true;
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            ended.notify_all();
        }
    });
    start(agent);
    connect(agent, "bench", "127.0.0.1:" + option(opts, "--port"), "", "");
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!ended.wait_for(lock, std::chrono::seconds(std::stoi(option(opts, "--timeout"))),
                            [&] { return done; })) {
            std::cerr << "plugin: the stream did not end in time" << std::endl;
            std::_Exit(1);
        }
    }
    destroy(agent);
    json out = window.fields();
    out["reports"] = reports;
    out["record"] = record_members(last);
    // The plug-in's progress lines share standard output and may lack an end.
    std::cout << '\n' << out.dump() << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 2) throw std::runtime_error("usage: zorim_stream_bench serve|floor|dom|plugin [--option value]...");
        const std::string role = argv[1];
        const Options opts = parse_options(argc, argv, 2);
        if (role == "serve") return serve(opts);
        if (role == "floor") return floor_client(opts);
        if (role == "dom") return dom_client(opts);
        if (role == "plugin") return plugin_client(opts);
        throw std::runtime_error("unknown role " + role);
    } catch (const std::exception& e) {
        std::cerr << "zorim_stream_bench: " << e.what() << std::endl;
        return 2;
    }
}
