// The connection layer under a long, random load: a hundred printers on
// in-process simulators that close, drop their TCP connections, refuse and
// come back (a fixed seed picks what and when), while their status streams
// and a host thread keeps asking for files, history and its own G-code.
//
// It asserts that every printer keeps coming back, that the memory the process
// holds does not grow once warmed up, and that at the end the printers' open
// connections and the agent's open links are the same ones. The figures go to standard output
// for the log. The environment variable ZORIM_SOAK_SECONDS sets the length of
// the random phase; without it the build's default applies.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "connection/printer_connection.h"
#include "connection/printer_manager.h"
#include "diagnostics/console.h"
#include "printer_simulator.h"
#include "support/test_support.h"
#include "zorim_network/zorim_network.h"

// The sanitizers bring their own allocators: the heap figures below are the C
// library's, and AddressSanitizer holds freed blocks in quarantine.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZORIM_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZORIM_SOAK_SANITIZED 1
#endif
#endif

namespace zorim::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kPrinters = 100;
constexpr std::uint32_t kSeed = 20261209;
// At most this many printers are in a fault at once, so that most of them
// stream status the whole time.
constexpr std::size_t kMostDown = 15;
// Whether the printers live (stream status every half second, heaters and
// clocks moving) and how long the host pauses between requests. Sanitized,
// a hundred live printers and the agent need more than two cores: every
// event (an opening handshake included) then waits behind a backlog, reopens
// time out and the printers come back only after tens of seconds. There the
// printers change only when asked, and the host asks less often.
#ifdef ZORIM_SOAK_SANITIZED
constexpr bool kLivePrinters = false;
constexpr std::chrono::milliseconds kHostPause{50};
#else
constexpr bool kLivePrinters = true;
constexpr std::chrono::milliseconds kHostPause{5};
#endif

std::chrono::seconds soak_length() {
    const char* text = std::getenv("ZORIM_SOAK_SECONDS");
    const long seconds = text ? std::strtol(text, nullptr, 10) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : ZORIM_SOAK_DEFAULT_SECONDS);
}

// The memory the process holds, sampled once a second.
struct MemorySample {
    double resident_mib = 0;  // after free pages went back to the system
    double heap_mib = 0;      // bytes in allocated blocks, all arenas
};

MemorySample sample_memory() {
    ::malloc_trim(0);
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    const struct mallinfo2 heap = ::mallinfo2();
    return {static_cast<double>(resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))) / 1048576.0,
            static_cast<double>(heap.uordblks + heap.hblkhd) / 1048576.0};
}

// The medians of a run of samples: one busy moment does not decide.
MemorySample median(std::vector<MemorySample> samples) {
    if (samples.empty()) return {};
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    MemorySample result;
    std::nth_element(samples.begin(), middle, samples.end(),
                     [](const auto& a, const auto& b) { return a.resident_mib < b.resident_mib; });
    result.resident_mib = middle->resident_mib;
    std::nth_element(samples.begin(), middle, samples.end(),
                     [](const auto& a, const auto& b) { return a.heap_mib < b.heap_mib; });
    result.heap_mib = middle->heap_mib;
    return result;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// Follows each printer through a fault from the host's side: the fault, then
// a report that the link closed, then the first report that it is open again.
// The time from the fault (or, for a refusing printer, from its return) to
// that report is the reconnect latency.
class RecoveryTracker {
public:
    enum class Phase { steady, loss_awaited, return_awaited };

    explicit RecoveryTracker(const std::vector<std::string>& ids) {
        for (const auto& id : ids) entries_[id];
    }

    void on_report(const std::string& id, const MachineStatus& status) {
        reports_.fetch_add(1);
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = entries_.find(id);
        if (it == entries_.end()) {
            ++strangers_;
            return;
        }
        Entry& entry = it->second;
        ++entry.reports;
        if (entry.phase == Phase::loss_awaited && status.connection_state == kConnectionClosed) {
            entry.phase = Phase::return_awaited;
        } else if (entry.phase == Phase::return_awaited && status.connection_state == kConnectionOpen &&
                   entry.counting) {
            latencies_ms_.push_back(std::chrono::duration<double, std::milli>(now - entry.since).count());
            entry.phase = Phase::steady;
        }
    }

    // A fault starts now; `counting` false: the latency starts at back().
    void fault(const std::string& id, bool counting) {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry& entry = entries_.at(id);
        entry.phase = Phase::loss_awaited;
        entry.since = Clock::now();
        entry.counting = counting;
    }
    void back(const std::string& id) {
        std::lock_guard<std::mutex> lock(mutex_);
        Entry& entry = entries_.at(id);
        entry.since = Clock::now();
        entry.counting = true;
    }
    Phase phase(const std::string& id) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_.at(id).phase;
    }
    std::size_t in_fault() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), [](const auto& item) {
            return item.second.phase != Phase::steady;
        }));
    }
    std::vector<double> latencies_ms() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return latencies_ms_;
    }
    std::size_t reports() const { return reports_.load(); }
    std::size_t strangers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return strangers_;
    }
    // Printers that got no report since the last call.
    std::vector<std::string> silent_since_last_call() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> silent;
        for (auto& [id, entry] : entries_) {
            if (entry.reports == entry.reports_seen) silent.push_back(id);
            entry.reports_seen = entry.reports;
        }
        return silent;
    }

private:
    struct Entry {
        Phase phase = Phase::steady;
        Clock::time_point since;
        bool counting = false;
        std::size_t reports = 0;
        std::size_t reports_seen = 0;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Entry> entries_;  // the keys never change once built
    std::vector<double> latencies_ms_;
    std::size_t strangers_ = 0;
    std::atomic<std::size_t> reports_{0};
};

struct SoakPrinter {
    std::string id;
    std::unique_ptr<sim::PrinterSimulator> simulator;
    bool refusing = false;  // stopped; the flapper's own state
    Clock::time_point back_at;
};

TEST(Soak, AHundredFlappingPrintersKeepComingBackWithoutGrowthOrOrphanLinks) {
    const auto length = soak_length();
    const auto warm_up = std::max<Clock::duration>(std::chrono::seconds(10), length / 5);

    // The console's progress lines (pings, pongs, sends) would be millions of
    // lines here; they are counted instead.
    std::atomic<std::size_t> console_lines{0};
    set_console_writer([&](std::string_view) { console_lines.fetch_add(1); });

    std::vector<SoakPrinter> printers(kPrinters);
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < kPrinters; ++i) {
        sim::SimulatorOptions options;
        options.live = kLivePrinters;
        options.status_period = std::chrono::milliseconds(500);
        options.proc_stat_period = std::chrono::milliseconds(0);
        options.log = [](const std::string&) {};
        printers[i].id = "soak-" + std::to_string(i);
        printers[i].simulator = std::make_unique<sim::PrinterSimulator>(std::move(options));
        printers[i].simulator->start();
        ids.push_back(printers[i].id);
    }

    RecoveryTracker tracker(ids);
    std::atomic<std::size_t> file_lists{0}, histories{0}, errors{0}, other_texts{0};
    ManagerTiming timing;
    timing.keepalive_period = std::chrono::milliseconds(1000);
    timing.queue_wait = std::chrono::milliseconds(2000);
    timing.open_handshake_timeout = std::chrono::milliseconds(10000);
    timing.pong_timeout = std::chrono::milliseconds(5000);
    auto agent = std::make_unique<PrinterManager>(timing);
    void* handle = agent.get();
    zorim_set_machine_status_changed_fn(handle, [&](std::string id, MachineStatus status) {
        tracker.on_report(id, status);
    });
    zorim_set_file_list_arrived_fn(handle, [&](std::string, std::string) { file_lists.fetch_add(1); });
    zorim_set_print_history_arrived_fn(handle, [&](std::string, std::string) { histories.fetch_add(1); });
    zorim_set_error_arrived_fn(handle, [&](std::string, std::string) { errors.fetch_add(1); });
    zorim_set_file_meta_arrived_fn(handle, [&](std::string, std::string) { other_texts.fetch_add(1); });
    zorim_set_file_changed_fn(handle, [&](std::string, std::string) { other_texts.fetch_add(1); });
    zorim_set_history_changed_fn(handle, [&](std::string, std::string) { other_texts.fetch_add(1); });
    ASSERT_EQ(zorim_network_start(handle), 0);
    for (const auto& printer : printers) {
        ASSERT_EQ(zorim_network_connect_printer(handle, printer.id, printer.simulator->url_for_plugin(), "", ""), 0);
    }
    ASSERT_TRUE(wait_until(
        [&] {
            for (const auto& printer : printers) {
                const auto connection = agent->find(printer.id);
                if (!connection || connection->link_state() != kLinkOpen) return false;
            }
            return true;
        },
        std::chrono::seconds(60)))
        << "not every printer opened";

    // The host keeps asking while printers come and go; requests for a
    // printer that is away are dropped by design, so only their replies are
    // counted.
    std::atomic<bool> host_stop{false};
    std::atomic<std::size_t> host_requests{0};
    std::thread host([&] {
        std::mt19937 random(kSeed + 1);
        std::uniform_int_distribution<std::size_t> pick(0, kPrinters - 1);
        while (!host_stop.load()) {
            const std::string& id = ids[pick(random)];
            switch (random() % 3) {
                case 0: zorim_get_file_list_fn(handle, id); break;
                case 1: zorim_get_print_history_fn(handle, id, 0, 10, "desc"); break;
                default:
                    zorim_network_send_message_to_printer(
                        handle, id,
                        R"({"jsonrpc":"2.0","method":"printer.gcode.script","params":{"script":"M105"},"id":100})");
            }
            host_requests.fetch_add(1);
            std::this_thread::sleep_for(kHostPause);
        }
    });

    // The flapper: every 50 ms a fault for a random steady printer, or the
    // return of a refusing one whose time is up.
    std::mt19937 random(kSeed);
    std::size_t closes = 0, drops = 0, refusals = 0;
    constexpr std::size_t kWindow = 20;  // samples, one a second
    std::vector<MemorySample> first_window, last_window;
    std::size_t reports_at_start = 0;
    const auto begin = Clock::now();
    auto next_check = begin + std::chrono::seconds(10);
    auto next_sample = begin + warm_up;
    while (Clock::now() - begin < length) {
        const auto now = Clock::now();
        for (auto& printer : printers) {
            if (printer.refusing && now >= printer.back_at) {
                printer.simulator->start();
                printer.refusing = false;
                tracker.back(printer.id);
            }
        }
        SoakPrinter& printer = printers[random() % kPrinters];
        const unsigned action = random() % 8;
        if (!printer.refusing && tracker.phase(printer.id) == RecoveryTracker::Phase::steady &&
            tracker.in_fault() < kMostDown && action < 3) {
            if (action == 0) {
                static constexpr int kCodes[] = {1000, 1001, 1011, 4000};
                tracker.fault(printer.id, true);
                printer.simulator->close_all(kCodes[random() % 4], "soak");
                ++closes;
            } else if (action == 1) {
                tracker.fault(printer.id, true);
                printer.simulator->drop_all();
                ++drops;
            } else {
                tracker.fault(printer.id, false);
                printer.simulator->stop();
                printer.refusing = true;
                printer.back_at = now + std::chrono::milliseconds(300 + random() % 2000);
                ++refusals;
            }
        }
        if (now >= next_sample) {
            for (auto& p : printers) p.simulator->clear_records();
            const MemorySample sample = sample_memory();
            if (first_window.empty()) reports_at_start = tracker.reports();
            if (first_window.size() < kWindow) first_window.push_back(sample);
            last_window.push_back(sample);
            if (last_window.size() > kWindow) last_window.erase(last_window.begin());
            next_sample = now + std::chrono::seconds(1);
        }
        if (now >= next_check) {
            // The simulators record every text they receive; the soak has no
            // use for those records.
            for (auto& p : printers) p.simulator->clear_records();
            // A live printer that is in no fault yet sends nothing for ten
            // seconds is stuck (its status streams every half second).
            std::vector<std::string> stuck;
            for (const auto& id : tracker.silent_since_last_call()) {
                if (kLivePrinters && tracker.phase(id) == RecoveryTracker::Phase::steady) stuck.push_back(id);
            }
            EXPECT_TRUE(stuck.empty()) << stuck.size() << " steady printers sent no report for 10 s, first "
                                       << stuck.front();
            const MemorySample sample = sample_memory();
            std::printf("soak: %.0f s, %zu reports, RSS %.1f MiB, heap in use %.2f MiB\n",
                        std::chrono::duration<double>(now - begin).count(), tracker.reports(), sample.resident_mib,
                        sample.heap_mib);
            std::fflush(stdout);
            next_check = now + std::chrono::seconds(10);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const MemorySample start = median(first_window);
    const MemorySample end = median(last_window);
    const std::size_t reports_in_window = tracker.reports() - reports_at_start;

    // Everyone back; the agent must find every printer again on its own.
    for (auto& printer : printers) {
        if (printer.refusing) {
            printer.simulator->start();
            printer.refusing = false;
            tracker.back(printer.id);
        }
    }
    const bool settled = wait_until(
        [&] {
            for (const auto& printer : printers) {
                const auto connection = agent->find(printer.id);
                if (!connection || connection->link_state() != kLinkOpen ||
                    printer.simulator->open_connections() != 1) {
                    return false;
                }
            }
            return true;
        },
        std::chrono::seconds(30));
    host_stop.store(true);
    host.join();
    if (!settled) {
        for (const auto& printer : printers) {
            const auto connection = agent->find(printer.id);
            const int state = connection ? connection->link_state() : -1;
            if (state == kLinkOpen && printer.simulator->open_connections() == 1) continue;
            std::printf("soak: not settled: %s link state %d, printer %s, %zu open and %zu accepted connections\n",
                        printer.id.c_str(), state, printer.simulator->running() ? "running" : "stopped",
                        printer.simulator->open_connections(), printer.simulator->accepted_connections());
        }
    }

    std::size_t open_links = 0, open_connections = 0;
    for (const auto& printer : printers) {
        const auto connection = agent->find(printer.id);
        open_links += connection && connection->link_state() == kLinkOpen;
        open_connections += printer.simulator->open_connections();
    }
    std::size_t accepted = 0;
    for (const auto& printer : printers) accepted += printer.simulator->accepted_connections();

    const auto latencies = tracker.latencies_ms();
    auto growth = [](double from, double to) { return from > 0 ? (to - from) / from : 0.0; };
    std::printf(
        "soak: %lld s with %zu printers, seed %u\n"
        "soak: faults %zu closes, %zu drops, %zu refusals; %zu connections accepted by the printers\n"
        "soak: %zu status reports (%zu after warm-up), %zu host requests, replies: %zu file lists, %zu histories,"
        " %zu errors, %zu other; %zu console lines\n"
        "soak: %zu reconnections measured, latency p50 %.0f ms, p99 %.0f ms, max %.0f ms\n"
        "soak: after warm-up (median of %zu s) and at the end (last %zu s): RSS %.1f -> %.1f MiB (%+.2f %%),"
        " heap in use %.2f -> %.2f MiB (%+.2f %%)\n"
        "soak: at the end %zu open links in the agent's registry, %zu open connections at the printers\n",
        static_cast<long long>(length.count()), kPrinters, kSeed, closes, drops, refusals, accepted,
        tracker.reports(), reports_in_window, host_requests.load(), file_lists.load(), histories.load(),
        errors.load(), other_texts.load(), console_lines.load(), latencies.size(), percentile(latencies, 0.5),
        percentile(latencies, 0.99), latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()),
        first_window.size(), last_window.size(), start.resident_mib, end.resident_mib,
        100.0 * growth(start.resident_mib, end.resident_mib), start.heap_mib, end.heap_mib,
        100.0 * growth(start.heap_mib, end.heap_mib), open_links, open_connections);
    std::fflush(stdout);

    EXPECT_TRUE(settled) << "not every printer came back with exactly one link";
    EXPECT_EQ(open_links, kPrinters);
    EXPECT_EQ(open_connections, open_links) << "the printers hold links the agent does not know";
    EXPECT_EQ(tracker.strangers(), 0u);
    EXPECT_GT(closes + drops + refusals, 0u);
    EXPECT_GE(latencies.size(), (closes + drops + refusals) * 9 / 10)
        << "faults after which the host never heard the printer come back";
    EXPECT_GT(file_lists.load(), 0u);
    EXPECT_GT(histories.load(), 0u);
    ASSERT_EQ(first_window.size(), kWindow) << "the run is too short to measure growth";
#ifndef ZORIM_SOAK_SANITIZED
    // The bar is on what the process holds. RSS also counts the allocator's
    // fragmentation across a hundred and more threads' arenas, which creeps
    // up by a few percent a minute here; it is printed, not judged. The held
    // bytes swing by a few percent with the traffic in flight (medians of 20
    // samples steady that to about one), so the bar sits above that: a leak
    // of two kilobytes for every reconnection crosses it in two minutes.
    // LeakSanitizer covers the sanitizer builds.
    EXPECT_LT(growth(start.heap_mib, end.heap_mib), 0.05) << "the heap grew after warm-up";
#endif

    // Disconnecting everyone leaves no link at either end.
    for (const auto& id : ids) zorim_network_disconnect_printer(handle, id);
    EXPECT_TRUE(agent->registered_ids().empty());
    EXPECT_TRUE(wait_until(
        [&] {
            for (const auto& printer : printers) {
                if (printer.simulator->open_connections() != 0) return false;
            }
            return true;
        },
        std::chrono::seconds(15)))
        << "printers still hold links after every printer was disconnected";

    agent.reset();
    for (auto& printer : printers) printer.simulator->stop();
    set_console_writer({});
}

}  // namespace
}  // namespace zorim::test
