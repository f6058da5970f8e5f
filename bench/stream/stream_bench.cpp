// The end-to-end status stream benchmark: one program, three roles.
//
//   serve  --frames N                 a Moonraker-like peer on 127.0.0.1 that answers the
//                                     opening requests from a recording and, to every
//                                     subscriber, streams the recording's notify_status_update
//                                     frames looped to N, then one end frame, with
//                                     back-pressure; prints its port on the first line
//   floor  --port P                   a websocketpp client that only counts frames
//   plugin --port P --lib PATH --log-level L --log-dir DIR
//                                     loads the plug-in as a host does and counts
//                                     machine-status reports
//
// Every client prints one JSON line: frames, seconds from the first streamed frame
// to the end frame, and (plugin) the members of its last record that the fold
// check compares. scripts/bench runs the roles and measures each client's CPU.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>

#include <nlohmann/json.hpp>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>
#include <websocketpp/server.hpp>

#include "zorim_network/zorim_network.h"

namespace {

using json = nlohmann::json;
namespace asio = websocketpp::lib::asio;
using Clock = std::chrono::steady_clock;

// The last frame of every stream: all clients fold it too, and each knows the
// stream has ended when it sees this message.
constexpr const char* kEndFrame =
    R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"print_stats":{"message":"bench end"}},1.0]})";
constexpr const char* kEndMark = "bench end";

std::map<std::string, std::string> options(int argc, char** argv, int first) {
    std::map<std::string, std::string> out;
    for (int i = first; i + 1 < argc; i += 2) out[argv[i]] = argv[i + 1];
    return out;
}

std::string option(const std::map<std::string, std::string>& opts, const std::string& name,
                   const std::string& fallback = {}) {
    auto it = opts.find(name);
    if (it != opts.end()) return it->second;
    if (fallback.empty()) throw std::runtime_error("missing option " + name);
    return fallback;
}

// ---- serve ------------------------------------------------------------------

struct Recording {
    std::string info, objects, subscribe;  // result members, as JSON text
    std::vector<std::string> frames;       // notify_status_update texts
};

Recording read_recording(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    Recording r;
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("\"notify_status_update\"") != std::string::npos) {
            r.frames.push_back(line);
            continue;
        }
        if (line.find("\"result\"") == std::string::npos) continue;
        const json message = json::parse(line, nullptr, false);
        if (message.is_discarded() || !message.contains("result") || !message["result"].is_object()) continue;
        const json& result = message["result"];
        if (result.contains("state_message") && r.info.empty()) r.info = result.dump();
        if (result.contains("objects") && r.objects.empty()) r.objects = result.dump();
        if (result.contains("status") && result.contains("eventtime") && r.subscribe.empty())
            r.subscribe = result.dump();
    }
    if (r.frames.empty() || r.info.empty() || r.objects.empty() || r.subscribe.empty())
        throw std::runtime_error(path + " lacks printer.info, objects list, subscribe or status frames");
    return r;
}

using Server = websocketpp::server<websocketpp::config::asio>;

class StreamServer {
public:
    StreamServer(Recording recording, std::size_t frames) : rec_(std::move(recording)), total_(frames) {
        server_.clear_access_channels(websocketpp::log::alevel::all);
        server_.clear_error_channels(websocketpp::log::elevel::all);
        server_.init_asio();
        server_.set_reuse_addr(true);
        server_.set_message_handler([this](websocketpp::connection_hdl hdl, Server::message_ptr msg) {
            on_message(hdl, msg->get_payload());
        });
    }

    std::uint16_t listen() {
        server_.listen(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        server_.start_accept();
        asio::error_code ec;
        return server_.get_local_endpoint(ec).port();
    }
    void run() { server_.run(); }

private:
    struct Stream {
        websocketpp::connection_hdl hdl;
        std::size_t sent = 0;
        std::unique_ptr<asio::steady_timer> timer;
    };

    void on_message(websocketpp::connection_hdl hdl, const std::string& text) {
        const json request = json::parse(text, nullptr, false);
        if (request.is_discarded() || !request.contains("id") || !request.contains("method")) return;
        const std::string method = request["method"].get<std::string>();
        std::string result = "\"ok\"";
        if (method == "printer.info") result = rec_.info;
        if (method == "printer.objects.list") result = rec_.objects;
        if (method == "printer.objects.subscribe") result = rec_.subscribe;
        websocketpp::lib::error_code ec;
        server_.send(hdl, R"({"jsonrpc":"2.0","result":)" + result + R"(,"id":)" + request["id"].dump() + "}",
                     websocketpp::frame::opcode::text, ec);
        if (method == "printer.objects.subscribe" && !ec) {
            auto stream = std::make_shared<Stream>();
            stream->hdl = hdl;
            stream->timer = std::make_unique<asio::steady_timer>(server_.get_io_service());
            pump(stream);
        }
    }

    // Writes frames until the connection's buffer holds 1 MiB, then waits for
    // the client to drain it: the stream runs at the client's pace.
    void pump(const std::shared_ptr<Stream>& stream) {
        websocketpp::lib::error_code ec;
        Server::connection_ptr con = server_.get_con_from_hdl(stream->hdl, ec);
        if (ec || con->get_state() != websocketpp::session::state::open) return;
        while (stream->sent < total_ && con->get_buffered_amount() < (1u << 20)) {
            con->send(rec_.frames[stream->sent % rec_.frames.size()], websocketpp::frame::opcode::text);
            ++stream->sent;
        }
        if (stream->sent == total_) {
            con->send(std::string(kEndFrame), websocketpp::frame::opcode::text);
            return;
        }
        stream->timer->expires_after(std::chrono::microseconds(200));
        stream->timer->async_wait([this, stream](const asio::error_code& wait_ec) {
            if (!wait_ec) pump(stream);
        });
    }

    Recording rec_;
    const std::size_t total_;
    Server server_;
};

int serve(const std::map<std::string, std::string>& opts) {
    StreamServer server(read_recording(option(opts, "--recording")), std::stoul(option(opts, "--frames")));
    std::cout << server.listen() << std::endl;
    server.run();
    return 0;
}

// ---- floor ------------------------------------------------------------------

using Client = websocketpp::client<websocketpp::config::asio_client>;

int floor_client(const std::map<std::string, std::string>& opts) {
    Client client;
    client.clear_access_channels(websocketpp::log::alevel::all);
    client.clear_error_channels(websocketpp::log::elevel::all);
    client.init_asio();
    std::size_t frames = 0;
    Clock::time_point first{}, last{};
    client.set_open_handler([&](websocketpp::connection_hdl hdl) {
        client.send(hdl, R"({"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{}},"id":2})",
                    websocketpp::frame::opcode::text);
    });
    client.set_message_handler([&](websocketpp::connection_hdl hdl, Client::message_ptr msg) {
        const std::string& text = msg->get_payload();
        if (text.compare(0, 40, R"({"jsonrpc":"2.0","method":"notify_statu)") != 0) return;  // the reply
        if (frames++ == 0) first = Clock::now();
        if (text.find(kEndMark) != std::string::npos) {
            last = Clock::now();
            client.close(hdl, websocketpp::close::status::normal, "");
        }
    });
    websocketpp::lib::error_code ec;
    auto con = client.get_connection("ws://127.0.0.1:" + option(opts, "--port") + "/websocket", ec);
    if (ec) throw std::runtime_error(ec.message());
    client.connect(con);
    client.run();
    std::cout << json{{"frames", frames}, {"seconds", std::chrono::duration<double>(last - first).count()}}.dump()
              << std::endl;
    return last == Clock::time_point{} ? 1 : 0;
}

// ---- plugin -----------------------------------------------------------------

template <typename Fn>
Fn resolve(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (!symbol) throw std::runtime_error(std::string("missing export ") + name);
    return reinterpret_cast<Fn>(symbol);
}

int plugin_client(const std::map<std::string, std::string>& opts) {
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
    std::size_t reports = 0;
    bool done = false;
    Clock::time_point first{}, last{};
    zorim::MachineStatus final_status;

    void* agent = create(option(opts, "--log-dir"), std::stoi(option(opts, "--log-level")));
    set_status_fn(agent, [&](std::string, zorim::MachineStatus status) {
        // Runs on the plug-in's network thread; the host's share of the work
        // is counting and keeping the last record.
        if (done) return;
        ++reports;
        if (first == Clock::time_point{} && status.extruder.temperature != 0.0) first = Clock::now();
        if (status.print_stats.message == kEndMark) {
            last = Clock::now();
            final_status = std::move(status);
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            ended.notify_all();
        }
    });
    start(agent);
    connect(agent, "bench", "127.0.0.1:" + option(opts, "--port"), "", "");
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!ended.wait_for(lock, std::chrono::seconds(std::stoi(option(opts, "--timeout", "300"))),
                            [&] { return done; })) {
            std::cerr << "plugin: the stream did not end in time (" << reports << " reports)" << std::endl;
            std::_Exit(1);
        }
    }
    destroy(agent);
    const zorim::MachineStatus& s = final_status;
    std::cout << json{{"reports", reports},
                      {"seconds", std::chrono::duration<double>(last - first).count()},
                      {"state",
                       {{"extruder", {{"temperature", s.extruder.temperature}, {"target", s.extruder.target},
                                      {"power", s.extruder.power}}},
                        {"heater_bed", {{"temperature", s.heater_bed.temperature}, {"target", s.heater_bed.target},
                                        {"power", s.heater_bed.power}}},
                        {"print_stats", {{"state", s.print_stats.state}, {"filename", s.print_stats.filename},
                                         {"print_duration", s.print_stats.print_duration},
                                         {"filament_used", s.print_stats.filament_used},
                                         {"message", s.print_stats.message}}},
                        {"virtual_sdcard", {{"progress", s.virtual_sdcard.progress}}},
                        {"display_status", {{"progress", s.display_status.progress}}}}}}
                     .dump()
              << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 2) throw std::runtime_error("usage: zorim_stream_bench serve|floor|plugin [--option value]...");
        const std::string role = argv[1];
        const auto opts = options(argc, argv, 2);
        if (role == "serve") return serve(opts);
        if (role == "floor") return floor_client(opts);
        if (role == "plugin") return plugin_client(opts);
        throw std::runtime_error("unknown role " + role);
    } catch (const std::exception& e) {
        std::cerr << "zorim_stream_bench: " << e.what() << std::endl;
        return 2;
    }
}
