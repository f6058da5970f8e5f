// The many-printers benchmark; `scripts/bench --scale` drives it.
//
//   serve
//       One Moonraker-like peer on 127.0.0.1 for every printer. It answers the
//       opening requests and, on every subscribed connection, sends a status
//       update every 250 ms whose toolhead "estimated_print_time" is the
//       monotonic clock in seconds at sending. A "bench.drop_all" request
//       drops every connection at once (TCP shutdown, no close frame). Prints
//       its port on the first line; ends when its standard input closes.
//   host --port P --lib PATH --printers N --seconds S --log-dir DIR
//       Loads the plug-in as a host does, connects N printers to the peer, lets
//       them run for S seconds, drops all their links through the peer, waits
//       for every printer to report a status over a new link, and destroys the
//       agent. Prints one JSON line with the figures.
#include <sys/resource.h>

#include <algorithm>
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
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json.hpp>

#include "bench_common.h"
#include "zorim_network/zorim_network.h"

namespace {

using namespace zorim::bench;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// steady_clock is CLOCK_MONOTONIC, the same clock in both processes.
double monotonic_seconds() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

double rss_bytes() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// A thousand sockets need more than the usual 1024 descriptors.
void raise_open_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// ---- serve ------------------------------------------------------------------

const char* const kObjects =
    R"({"objects":["webhooks","toolhead","extruder","heater_bed","print_stats","virtual_sdcard","display_status"]})";
const char* const kInfo =
    R"({"state":"ready","state_message":"Printer is ready","hostname":"bench","software_version":"v0.13.0","cpu_info":"bench"})";

class ScaleServer {
public:
    std::uint16_t listen() {
        const std::uint16_t port = listen_on_loopback(acceptor_, 4096);
        accept_peers(acceptor_, [this](PeerSession& session, const std::string& text) { on_message(session, text); });
        return port;
    }
    void run() { io_.run(); }
    void stop() {
        net::post(io_, [this] {
            error_code ignored;
            acceptor_.close(ignored);
            drop_all();
            io_.stop();
        });
    }

private:
    using Timer = std::shared_ptr<net::steady_timer>;

    void on_message(PeerSession& session, const std::string& text) {
        const json request = json::parse(text, nullptr, false);
        if (!request.is_object() || !request.contains("method") || !request["method"].is_string()) return;
        const std::string method = request["method"].get<std::string>();
        if (method == "bench.drop_all") {
            drop_all();
            return;
        }
        if (!request.contains("id")) return;
        const std::string id = request["id"].dump();
        std::string result = R"({"jobs":[],"count":0})";
        if (method == "printer.info") result = kInfo;
        if (method == "printer.objects.list") result = kObjects;
        if (method == "printer.objects.subscribe") result = R"({"eventtime":1.0,"status":)" + frame_status() + "}";
        session.send(R"({"jsonrpc":"2.0","result":)" + result + R"(,"id":)" + id + "}");
        auto stream = session.shared_from_this();
        if (method == "printer.objects.subscribe" && streams_.count(stream) == 0) {
            auto timer = std::make_shared<net::steady_timer>(io_);
            streams_.emplace(stream, timer);
            // Spread the printers over the period, as real ones would be.
            std::uniform_int_distribution<int> phase(0, 249);
            tick(stream, timer, std::chrono::milliseconds(phase(random_)));
        }
    }

    std::string frame_status() const {
        char text[256];
        std::snprintf(text, sizeof text,
                      R"({"toolhead":{"estimated_print_time":%.9f},"extruder":{"temperature":%.2f,"power":0.5}})",
                      monotonic_seconds(), 200.0 + static_cast<double>(sent_ % 100) / 100.0);
        return text;
    }

    void tick(const std::shared_ptr<PeerSession>& session, const Timer& timer, std::chrono::milliseconds delay) {
        timer->expires_after(delay);
        timer->async_wait([this, session, timer](error_code ec) {
            if (ec || !session->open()) {
                streams_.erase(session);
                return;
            }
            ++sent_;
            session->send(R"({"jsonrpc":"2.0","method":"notify_status_update","params":[)" + frame_status() +
                          R"(,1.0]})");
            tick(session, timer, std::chrono::milliseconds(250));
        });
    }

    void drop_all() {
        for (auto& [session, timer] : streams_) {
            timer->cancel();
            session->drop();
        }
        streams_.clear();
    }

    net::io_context io_;
    tcp::acceptor acceptor_{io_};
    std::map<std::shared_ptr<PeerSession>, Timer> streams_;
    std::mt19937 random_{7};
    std::size_t sent_ = 0;
};

int serve() {
    raise_open_file_limit();
    ScaleServer server;
    std::cout << server.listen() << std::endl;
    std::thread watcher([&server] {
        for (std::string line; std::getline(std::cin, line);) {
        }
        server.stop();
    });
    server.run();
    watcher.join();
    return 0;
}

// ---- host -------------------------------------------------------------------

// What the host's callback keeps, per printer by the number in its id ("p17"
// is 17), so that the host's own share of the measured CPU stays small. The
// callback runs on the plug-in's network thread; everything else reads under
// the mutex, and waiters are woken only when a count they wait on changes.
struct Tally {
    explicit Tally(std::size_t count) : printers(count) {}

    struct Printer {
        double last_stamp = 0.0;
        bool open = false;      // its latest report came over an open link
        bool closed = false;    // it reported its link lost after the drop
        bool reopened = false;  // ... and then a status over a new link
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Printer> printers;
    std::size_t open = 0, reopened = 0;
    bool dropped = false, measuring = false;
    std::vector<double> latencies;  // seconds, while measuring
    std::size_t reports = 0;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

int host(const Options& opts) {
    raise_open_file_limit();
    const std::size_t printers = std::stoul(option(opts, "--printers"));
    const double steady_seconds = std::stod(option(opts, "--seconds"));
    const std::string address = "127.0.0.1:" + option(opts, "--port");

    void* library = dlopen(option(opts, "--lib").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) throw std::runtime_error(dlerror());
    auto create = resolve<decltype(&zorim_network_create_agent)>(library, "zorim_network_create_agent");
    auto destroy = resolve<decltype(&zorim_network_destroy_agent)>(library, "zorim_network_destroy_agent");
    auto start = resolve<decltype(&zorim_network_start)>(library, "zorim_network_start");
    auto connect = resolve<decltype(&zorim_network_connect_printer)>(library, "zorim_network_connect_printer");
    auto send = resolve<decltype(&zorim_network_send_message_to_printer)>(library,
                                                                            "zorim_network_send_message_to_printer");
    auto set_status_fn =
        resolve<decltype(&zorim_set_machine_status_changed_fn)>(library, "zorim_set_machine_status_changed_fn");

    Tally tally(printers);
    void* agent = create(option(opts, "--log-dir"), 3);
    if (!agent) throw std::runtime_error("the plug-in made no agent");
    set_status_fn(agent, [&tally](std::string id, zorim::MachineStatus status) {
        const double now = monotonic_seconds();
        const std::size_t index = std::stoul(id.substr(1));
        std::lock_guard<std::mutex> lock(tally.mutex);
        ++tally.reports;
        Tally::Printer& printer = tally.printers.at(index);
        const bool is_open = status.connection_state == zorim::kConnectionOpen && status.machine_state != 0;
        bool counts_changed = false;
        if (printer.open != is_open) {
            printer.open = is_open;
            if (is_open) ++tally.open;
            else --tally.open;
            counts_changed = true;
        }
        if (!is_open) {
            if (tally.dropped) printer.closed = true;
            return;
        }
        if (printer.closed && !printer.reopened) {
            printer.reopened = true;
            ++tally.reopened;
            counts_changed = true;
        }
        // Two reports per frame carry the same stamp: count the first.
        const double stamp = status.toolhead.estimated_print_time;
        if (stamp != printer.last_stamp) {
            printer.last_stamp = stamp;
            if (tally.measuring && stamp > 0.0) tally.latencies.push_back(now - stamp);
        }
        if (counts_changed) tally.changed.notify_all();
    });
    start(agent);

    auto wait_until = [&tally](double seconds, auto done) {
        std::unique_lock<std::mutex> lock(tally.mutex);
        return tally.changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done(); });
    };

    json out = {{"printers", printers}};
    const double rss_before = rss_bytes();
    const Clock::time_point connect_start = Clock::now();
    for (std::size_t i = 0; i < printers; ++i) connect(agent, "p" + std::to_string(i), address, "", "");
    if (!wait_until(120.0, [&] { return tally.open == printers; }))
        throw std::runtime_error("not every printer reported an open link within 120 s");
    out["connect_seconds"] = std::chrono::duration<double>(Clock::now() - connect_start).count();

    // Settle, then measure a steady window.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    {
        std::lock_guard<std::mutex> lock(tally.mutex);
        tally.measuring = true;
    }
    const double cpu_start = process_cpu_seconds();
    const Clock::time_point steady_start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(steady_seconds));
    const double cpu = process_cpu_seconds() - cpu_start;
    const double wall = std::chrono::duration<double>(Clock::now() - steady_start).count();
    std::vector<double> latencies;
    {
        std::lock_guard<std::mutex> lock(tally.mutex);
        tally.measuring = false;
        latencies.swap(tally.latencies);
    }
    out["cpu_share_of_one_core"] = cpu / wall;
    out["rss_per_printer_bytes"] = (rss_bytes() - rss_before) / static_cast<double>(printers);
    out["updates_per_second"] = static_cast<double>(latencies.size()) / wall;
    out["latency_ms"] = {{"p50", percentile(latencies, 0.50) * 1e3},
                         {"p99", percentile(latencies, 0.99) * 1e3},
                         {"max", latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()) * 1e3}};

    // All links drop at once; the keep-alive passes bring them back.
    {
        std::lock_guard<std::mutex> lock(tally.mutex);
        tally.dropped = true;
    }
    const Clock::time_point drop_start = Clock::now();
    send(agent, "p0", R"({"jsonrpc":"2.0","method":"bench.drop_all"})");
    if (!wait_until(60.0, [&] { return tally.reopened == printers; }))
        throw std::runtime_error("only " + std::to_string(tally.reopened) + " printers came back within 60 s");
    out["reconnect_seconds"] = std::chrono::duration<double>(Clock::now() - drop_start).count();

    const Clock::time_point destroy_start = Clock::now();
    destroy(agent);
    out["destroy_seconds"] = std::chrono::duration<double>(Clock::now() - destroy_start).count();
    std::cout << '\n' << out.dump() << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 2) throw std::runtime_error("usage: zorim_scale_bench serve|host [--option value]...");
        const std::string role = argv[1];
        const Options opts = parse_options(argc, argv, 2);
        if (role == "serve") return serve();
        if (role == "host") return host(opts);
        throw std::runtime_error("unknown role " + role);
    } catch (const std::exception& e) {
        std::cerr << "zorim_scale_bench: " << e.what() << std::endl;
        return 2;
    }
}
