// What one printer can cost the others and the agent: a printer that stops
// reading holds back only its own texts, and a printer that floods the agent
// with Klipper-ready notifications cannot make its requests pile up.
#include <algorithm>
#include <fstream>
#include <thread>

#include "diagnostics/console.h"
#include "support/agent_fixture.h"

#if defined(__linux__)
#include <malloc.h>
#include <unistd.h>
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZORIM_UNDER_SANITIZER 1
#endif
#endif

namespace zorim::test {
namespace {

// The process's resident memory once freed memory is given back; 0 where that
// is not cheap to read or means little (sanitizers keep freed memory).
std::size_t resident_bytes() {
#if defined(__linux__) && !defined(ZORIM_UNDER_SANITIZER)
    ::malloc_trim(0);
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
#else
    return 0;
#endif
}

TEST_F(AgentTest, APrinterThatStopsReadingHoldsBackOnlyItsOwnTexts) {
    start_simulator();
    sim::PrinterSimulator reading(quiet_printer());
    reading.start();
    start_agent();
    connect_and_subscribe("stalled");
    zorim_network_connect_printer(agent.get(), "reading", reading.url_for_plugin(), "", "");
    ASSERT_TRUE(statuses.wait_for(
        [](const StatusReport& r) { return r.device_id == "reading" && r.status.machine_state == kMachineIdle; }));

    simulator->set_reading(false);
    const std::string pad(200 * 1024, 'x');
    for (int n = 0; n < 120; ++n) {
        zorim_network_send_message_to_printer(agent.get(), "stalled",
                                              R"({"pad":")" + pad + R"(","id":)" + std::to_string(1000 + n) + "}");
    }
    const auto sent = std::chrono::steady_clock::now();
    for (int n = 0; n < 3; ++n) {
        zorim_network_send_message_to_printer(agent.get(), "reading", R"({"id":)" + std::to_string(900 + n) + "}");
    }
    for (int n = 0; n < 3; ++n) {
        const std::string text = R"({"id":)" + std::to_string(900 + n) + "}";
        EXPECT_TRUE(reading.wait_for_text([&](const std::string& t) { return t == text; }, 1s)) << text;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s) << "the reading printer waited for the stalled one";
    EXPECT_TRUE(log.wait_for("send: dropped request id 0 for stalled: the printer has not taken"));
    EXPECT_FALSE(log.contains("for reading:"));
    // Its ping waits behind the texts: the next pass restarts the pong
    // timeout instead of starting a second ping, and the timeout is reported.
    const std::size_t reports = statuses.size();
    agent->run_keepalive_pass();
    agent->run_keepalive_pass();
    EXPECT_TRUE(statuses.wait_for(
        [](const StatusReport& r) {
            return r.device_id == "stalled" && r.status.heartbeat_state == kHeartbeatTimedOut;
        },
        5s, reports));
    simulator->set_reading(true);
    agent.reset();  // before the second printer goes
}

TEST_F(AgentTest, APrinterFloodingKlipperReadyCannotMakeTheAgentGrow) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    // Nothing kept per event: a quiet log, console lines and reports only counted.
    LogCapture quiet_log(3);
    std::atomic<std::size_t> reports{0}, lines{0};
    set_console_writer([&](std::string_view) { lines.fetch_add(1); });
    zorim_set_machine_status_changed_fn(agent.get(), [&](std::string, MachineStatus) { reports.fetch_add(1); });
    const std::size_t before = resident_bytes();

    // It reads everything but answers nothing: its answers would queue up in
    // this same process behind the flood and count against the agent.
    simulator->set_answer_requests(false);
    ASSERT_EQ(simulator->start_flood(R"({"jsonrpc":"2.0","method":"notify_klippy_ready"})"), 1u);
    std::size_t most_queued = 0;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
        most_queued = std::max(most_queued, agent->send_queue().size());
        simulator->clear_records();  // the printer's own memory is not the agent's
        std::this_thread::sleep_for(20ms);
    }
    simulator->clear_records();
    const std::size_t after = resident_bytes();  // with the flood still on
    simulator->stop_flood();

    EXPECT_GT(reports.load(), 1000u) << "the flood did not reach the host";
    // One waiting printer-info, objects-list and subscription request at most.
    EXPECT_LE(most_queued, 3u);
    if (before != 0) {
        EXPECT_LT(after - std::min(after, before), std::size_t{16} << 20);
    }
    zorim_set_machine_status_changed_fn(agent.get(), statuses.callback());
    simulator->notify_status_update(R"({"extruder":{"temperature":66.5}})");
    EXPECT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.extruder.temperature == 66.5; }, 20s))
        << "the printer's status stopped after the flood";
    agent.reset();  // the callbacks refer to this test's locals
}

}  // namespace
}  // namespace zorim::test
