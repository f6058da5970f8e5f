// The agent against a printer that misbehaves and a host that does awkward
// things from inside its callbacks. Each row provokes one fault and names
// what must follow it; one engine checks that and ends every row the same
// way: the agent is destroyed within a deadline (no deadlock), and a printer
// that is meant to work again brings fresh status and answers.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "support/agent_fixture.h"

namespace zorim::test {
namespace {

constexpr auto kPeriod = 400ms;
// For what has to get through after megabytes of hostile text, which takes
// seconds under ThreadSanitizer on a loaded machine.
constexpr auto kHeavyWait = 60000ms;

enum class After {
    kStaysOpen,  // the same link carries on
    kReopens,    // reported offline, then opened and subscribed again by the keep-alive pass
    kGone,       // the host took the printer (or the agent) away: no link is left
};

class FaultMatrix;

struct Fault;
void PrintTo(const Fault& fault, std::ostream* out);

struct Fault {
    const char* name;
    std::function<void(FaultMatrix&)> provoke;
    After after;
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

// Runs `step` on a thread of its own; a step that does not end in time is a
// deadlock, which ends the test binary instead of hanging it.
void within(std::chrono::milliseconds limit, const char* what, std::function<void()> step) {
    std::packaged_task<void()> task(std::move(step));
    auto done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock: %s did not end within %lld ms\n", what,
                     static_cast<long long>(limit.count()));
        std::abort();
    }
    runner.join();
    done.get();
}

std::size_t count_texts(const sim::PrinterSimulator& simulator, const std::string& needle) {
    std::size_t count = 0;
    for (const auto& text : simulator.texts()) count += text.text.find(needle) != std::string::npos;
    return count;
}

std::string status_text(const std::string& fields) {
    return R"({"jsonrpc":"2.0","method":"notify_status_update","params":[)" + fields + ",1000.0]}";
}

bool offline(const StatusReport& r) { return r.status.connection_state == kConnectionClosed; }
bool reconnecting(const StatusReport& r) { return r.status.machine_state == kMachineReconnecting; }
bool idle(const StatusReport& r) { return r.status.machine_state == kMachineIdle; }

class FaultMatrix : public AgentTest, public ::testing::WithParamInterface<Fault> {
public:
    // The rows are free functions that work on the fixture.
    using AgentTest::agent;
    using AgentTest::connect;
    using AgentTest::connection;
    using AgentTest::file_lists;
    using AgentTest::log;
    using AgentTest::simulator;
    using AgentTest::statuses;

    // A working link: a status change reaches the host, a request its answer.
    void expect_working(const char* when) {
        const double temperature = 100.0 + next_temperature_++;
        simulator->notify_status_update(R"({"extruder":{"temperature":)" + std::to_string(temperature) + "}}");
        EXPECT_TRUE(statuses.wait_for(
            [&](const StatusReport& r) { return r.status.extruder.temperature == temperature; }, kHeavyWait))
            << "no fresh status " << when;
        const std::size_t lists = file_lists.size();
        zorim_get_file_list_fn(agent.get(), kPrinter);
        EXPECT_TRUE(file_lists.wait_for_count(lists + 1, kHeavyWait)) << "no answer " << when;
    }

    // Reports offline, then connecting again, then idle once subscribed anew.
    void expect_reopened(std::size_t from) {
        ASSERT_TRUE(statuses.wait_for(offline, 5s, from)) << "not reported offline";
        ASSERT_TRUE(statuses.wait_for(reconnecting, 5s, from)) << "not opened again";
        std::size_t after = from;
        const auto reports = statuses.reports();
        for (std::size_t i = from; i < reports.size(); ++i) {
            if (reconnecting(reports[i])) after = i;
        }
        ASSERT_TRUE(statuses.wait_for(idle, 5s, after)) << "not subscribed again";
        EXPECT_EQ(connection()->link_state(), kLinkOpen);
    }

    void destroy_agent() {
        within(10s, "destroying the agent", [this] { agent.reset(); });
    }

    int next_temperature_ = 0;
};

TEST_P(FaultMatrix, NothingCrashesNothingHangsAndWhatShouldArriveArrives) {
    sim::SimulatorOptions options = quiet_printer();
    options.restart_seconds = 0.2;
    start_simulator(options);
    start_agent(fast_timing(kPeriod));
    connect_and_subscribe();
    const std::size_t from = statuses.size();
    const std::size_t accepted = simulator->accepted_connections();

    GetParam().provoke(*this);
    if (HasFatalFailure()) return;

    switch (GetParam().after) {
        case After::kStaysOpen:
            EXPECT_EQ(simulator->accepted_connections(), accepted) << "the link was replaced";
            EXPECT_EQ(connection()->link_state(), kLinkOpen);
            expect_working("on the same link");
            break;
        case After::kReopens:
            expect_reopened(from);
            EXPECT_TRUE(simulator->wait_for_connections(1, 5s)) << "a link was left behind";
            expect_working("after the reopen");
            break;
        case After::kGone:
            EXPECT_TRUE(simulator->wait_for_connections(0, 5s)) << "a link was left open";
            if (agent) {
                EXPECT_TRUE(wait_until([&] { return agent->registered_ids().empty(); }));
            }
            break;
    }
    destroy_agent();
}

// --- The printer -------------------------------------------------------------

void close_with(FaultMatrix& t, int code) {
    ASSERT_EQ(t.simulator->close_all(code, "fault"), 1u);
    const auto close = t.simulator->wait_for_close(5s);
    ASSERT_TRUE(close);
    EXPECT_TRUE(close->server_initiated);
}

void refuses(FaultMatrix& t) {
    const std::size_t from = t.statuses.size();
    t.simulator->stop();
    // Tried again on every pass while nothing listens, reported each time.
    ASSERT_TRUE(wait_until([&] {
        const auto reports = t.statuses.reports();
        return std::count_if(reports.begin() + from, reports.end(), reconnecting) >= 2;
    })) << "not tried again on every pass";
    t.simulator->start();
}

void drops_mid_frame(FaultMatrix& t) {
    ASSERT_EQ(t.simulator->send_partial_frame(2000, std::string(1000, ' ')), 1u);
    ASSERT_EQ(t.simulator->drop_all(), 1u);
}

void sends_a_frame_over_the_size_limit(FaultMatrix& t) {
    // The client refuses it from the header alone and closes with 1009.
    ASSERT_EQ(t.simulator->send_partial_frame(33'000'000, "{"), 1u);
    const auto close = t.simulator->wait_for_close(5s);
    ASSERT_TRUE(close) << "the link took a frame over its limit";
    EXPECT_EQ(close->code, 1009);
}

void sends_invalid_utf8(FaultMatrix& t) {
    // A whole frame, written raw: the simulator's own sending checks UTF-8.
    const std::string text = status_text("{\"print_stats\":{\"filename\":\"\xff\xfe\"}}");
    ASSERT_EQ(t.simulator->send_partial_frame(text.size(), text), 1u);
    const auto close = t.simulator->wait_for_close(5s);
    ASSERT_TRUE(close) << "the link took text that is not UTF-8";
    EXPECT_EQ(close->code, 1007);
}

void stops_answering_pings(FaultMatrix& t) {
    const std::size_t from = t.statuses.size();
    t.simulator->set_answer_pings(false);
    ASSERT_TRUE(t.statuses.wait_for(
        [](const StatusReport& r) { return r.status.heartbeat_state == kHeartbeatTimedOut; }, 5s, from));
    EXPECT_EQ(t.connection()->link_state(), kLinkOpen);
    const std::size_t pings = t.simulator->pings().size();
    t.simulator->set_answer_pings(true);
    ASSERT_TRUE(t.simulator->wait_for_pings(pings + 1, 5s));
    EXPECT_TRUE(wait_until([&] { return t.connection()->status_copy().heartbeat_state == kHeartbeatAlive; }));
}

void answers_slowly(FaultMatrix& t) {
    t.simulator->set_answer_delay(1500ms);
    const std::size_t lists = t.file_lists.size();
    const auto begin = std::chrono::steady_clock::now();
    zorim_get_file_list_fn(t.agent.get(), "printer-1");
    // Status keeps streaming while the answer is on its way.
    t.expect_working("while an answer is late");
    ASSERT_TRUE(t.file_lists.wait_for_count(lists + 1, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 1500ms);
}

void sends_texts(FaultMatrix& t, const std::vector<std::string>& texts) {
    for (const auto& text : texts) ASSERT_EQ(t.simulator->send_text(text), 1u) << text;
}

void sends_malformed_json(FaultMatrix& t) {
    sends_texts(t, {"{", "}{", R"({"jsonrpc":"2.0","method":)", "nul", "[1,2", R"({"id":1,"result":{"objects":[)",
                    "\"unterminated", "{\"a\":1}}"});
}

void sends_wrong_types(FaultMatrix& t) {
    sends_texts(t, {
                       "[]", "5", "null", "\"text\"", "{}",
                       R"({"jsonrpc":"2.0","method":5})",
                       R"({"jsonrpc":"2.0","method":"notify_status_update","params":"oops"})",
                       R"({"jsonrpc":"2.0","method":"notify_status_update","params":[5,"x"]})",
                       status_text(R"({"extruder":{"temperature":"hot","target":[1]},"print_stats":7})"),
                       status_text(R"({"print_stats":{"state":[],"filename":{},"info":"x"}})"),
                       status_text(R"({"virtual_sdcard":{"progress":"half"},"display_status":{"progress":1e400}})"),
                       R"({"jsonrpc":"2.0","id":"3","result":{"state":5}})",
                       R"({"jsonrpc":"2.0","id":3,"result":[]})",
                       R"({"jsonrpc":"2.0","id":3,"result":{"state":[],"hostname":7,"software_version":{}}})",
                       R"({"jsonrpc":"2.0","id":1,"result":{"objects":"none"}})",
                       R"({"jsonrpc":"2.0","id":1,"result":{"objects":[1,null,{}]}})",
                       R"({"jsonrpc":"2.0","id":2,"result":{"status":[]}})",
                       R"({"jsonrpc":"2.0","id":1e300,"result":{}})",
                       R"({"jsonrpc":"2.0","id":-1e300,"error":"x"})",
                       R"({"jsonrpc":"2.0","id":4,"error":{"code":"x","message":5}})",
                       R"({"jsonrpc":"2.0","id":4,"result":{"files":"none"}})",
                       R"({"jsonrpc":"2.0","id":5,"result":{"count":"many","jobs":{}}})",
                       R"({"jsonrpc":"2.0","method":"notify_history_changed","params":[{"action":5,"job":"x"}]})",
                       R"({"jsonrpc":"2.0","method":"notify_filelist_changed","params":[{"action":[],"item":7}]})",
                       R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":[7]})",
                       R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":{}})",
                   });
}

void sends_binary_and_empty_frames(FaultMatrix& t) {
    ASSERT_EQ(t.simulator->send_binary(status_text(R"({"extruder":{"temperature":1.0}})")), 1u);
    ASSERT_EQ(t.simulator->send_binary(""), 1u);
    ASSERT_EQ(t.simulator->send_text(""), 1u);
}

void sends_deeply_nested_json(FaultMatrix& t) {
    constexpr int kDepth = 100000;
    std::string objects, arrays;
    for (int i = 0; i < kDepth; ++i) objects += "{\"a\":";
    objects += "1";
    objects.append(kDepth, '}');
    arrays.append(kDepth, '[');
    arrays.append(kDepth, ']');
    sends_texts(t, {status_text("{\"extruder\":" + objects + ",\"print_stats\":" + arrays + "}"),
                    R"({"jsonrpc":"2.0","id":4,"result":)" + objects + "}"});
}

void sends_a_two_megabyte_string(FaultMatrix& t) {
    const std::string big(2u << 20, 'x');
    sends_texts(t, {status_text(R"({"print_stats":{"filename":")" + big + "\"}}"),
                    R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":[")" + big + "\"]}"});
    EXPECT_TRUE(t.statuses.wait_for([&](const StatusReport& r) { return r.status.print_stats.filename == big; },
                                    kHeavyWait))
        << "the long file name did not arrive";
    // Every later report would carry it; a short name keeps the rest quick.
    ASSERT_EQ(t.simulator->send_text(status_text(R"({"print_stats":{"filename":"short.gcode"}})")), 1u);
}

void floods_notifications(FaultMatrix& t) {
    constexpr int kNotifications = 1000;
    for (int n = 1; n <= kNotifications; ++n) {
        ASSERT_EQ(t.simulator->send_text(status_text(R"({"heater_bed":{"temperature":)" + std::to_string(n) + "}}")),
                  1u);
    }
    EXPECT_TRUE(t.statuses.wait_for(
        [](const StatusReport& r) { return r.status.heater_bed.temperature == kNotifications; }, kHeavyWait))
        << "the last of the flood did not arrive";
}

void restarts_klipper(FaultMatrix& t) {
    const std::size_t subscribes = count_texts(*t.simulator, "printer.objects.subscribe");
    std::size_t from = t.statuses.size();
    t.simulator->notify_klippy_shutdown();
    // Like Moonraker, the simulator ends every subscription when Klipper restarts.
    zorim_network_send_message_to_printer(t.agent.get(), "printer-1",
                                          R"({"jsonrpc":"2.0","method":"printer.firmware_restart","params":{},"id":100})");
    for (std::int32_t state : {kFirmwareShutdown, kFirmwareDisconnected, kFirmwareReady}) {
        ASSERT_TRUE(t.statuses.wait_for([&](const StatusReport& r) { return r.status.firmware_state == state; }, 5s,
                                        from, nullptr, &from))
            << "no report of firmware state " << state;
        ++from;
    }
    const auto ready = std::chrono::steady_clock::now();
    // Within two keep-alive passes: subscribed again and streaming.
    const auto deadline = ready + 2 * kPeriod + 500ms;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    EXPECT_TRUE(wait_until([&] { return count_texts(*t.simulator, "printer.objects.subscribe") > subscribes; },
                           left()));
    t.simulator->set_status_fields("extruder", R"({"temperature":77.5})");
    EXPECT_TRUE(t.statuses.wait_for([](const StatusReport& r) { return r.status.extruder.temperature == 77.5; },
                                    std::max(left(), 100ms), from))
        << "no fresh status within two passes of Klipper being ready";
}

void fills_the_queue_while_the_printer_is_gone(FaultMatrix& t) {
    const std::size_t from = t.statuses.size();
    t.simulator->stop();
    ASSERT_TRUE(t.statuses.wait_for(offline, 5s, from));
    // Texts for a printer without a link are dropped, each with a record,
    // rather than held: the queue never grows past its bound.
    std::atomic<bool> done{false};
    std::size_t most = 0;
    std::thread producer([&] {
        for (int n = 0; n < 1500; ++n) zorim_network_send_message_to_printer(t.agent.get(), "printer-1", "{}");
        done.store(true);
    });
    while (!done.load()) most = std::max(most, t.agent->send_queue().size());
    within(10s, "joining the producer", [&] { producer.join(); });
    EXPECT_LE(most, MessageQueue::kDefaultCapacity);
    EXPECT_TRUE(t.log.wait_for("send: dropped request id 0 for printer-1: the link is not open"));
    t.simulator->start();
}

// --- The host -----------------------------------------------------------------

void sleeps_in_a_callback(FaultMatrix& t) {
    auto record = t.statuses.callback();
    auto slept = std::make_shared<std::atomic<bool>>(false);
    zorim_set_machine_status_changed_fn(t.agent.get(), [record, slept](std::string id, MachineStatus status) {
        if (!slept->exchange(true)) std::this_thread::sleep_for(1s);
        record(std::move(id), status);
    });
    t.simulator->notify_status_update(R"({"extruder":{"temperature":55.0}})");
    t.simulator->notify_status_update(R"({"extruder":{"temperature":56.0}})");
    EXPECT_TRUE(t.statuses.wait_for([](const StatusReport& r) { return r.status.extruder.temperature == 56.0; }));
    EXPECT_TRUE(slept->load());
}

// Every callback calls back into the agent; a close makes them run on the
// network thread (offline) and on the keep-alive thread (connecting again).
void calls_back_into_the_agent(FaultMatrix& t) {
    PrinterManager* agent = t.agent.get();
    const std::string address = t.simulator->url_for_plugin();
    auto record = t.statuses.callback();
    zorim_set_machine_status_changed_fn(agent, [agent, address, record](std::string id, MachineStatus status) {
        zorim_network_connect_printer(agent, id, address, "", "");
        zorim_network_send_message_to_printer(agent, id, R"({"jsonrpc":"2.0","method":"server.info","id":99})");
        zorim_network_track_enable(agent, true);
        zorim_network_disconnect_printer(agent, "nobody");
        record(std::move(id), status);
    });
    auto lists = t.file_lists.callback();
    zorim_set_file_list_arrived_fn(agent, [agent, lists](std::string id, std::string text) {
        zorim_get_file_list_fn(agent, "nobody");
        zorim_network_track_enable(agent, true);
        lists(std::move(id), std::move(text));
    });
    close_with(t, 1001);
}

// --- Taking printers away while links open, reopen and close ---------------------

void disconnects_while_opening(FaultMatrix& t) {
    t.connect("second");
    zorim_network_disconnect_printer(t.agent.get(), "second");
    zorim_network_disconnect_printer(t.agent.get(), "printer-1");
}

void disconnects_while_reopening(FaultMatrix& t) {
    PrinterManager* agent = t.agent.get();
    zorim_set_machine_status_changed_fn(agent, [agent](std::string id, MachineStatus status) {
        if (status.machine_state == kMachineReconnecting) zorim_network_disconnect_printer(agent, id);
    });
    close_with(t, 1001);
}

void disconnects_while_closing(FaultMatrix& t) {
    ASSERT_EQ(t.simulator->close_all(1001, "fault"), 1u);
    zorim_network_disconnect_printer(t.agent.get(), "printer-1");
}

void destroys_while_opening(FaultMatrix& t) {
    for (int n = 0; n < 4; ++n) t.connect("more-" + std::to_string(n));
    t.destroy_agent();
}

void destroys_while_reopening(FaultMatrix& t) {
    const std::size_t from = t.statuses.size();
    ASSERT_EQ(t.simulator->close_all(1001, "fault"), 1u);
    ASSERT_TRUE(t.statuses.wait_for(reconnecting, 5s, from));
    t.destroy_agent();
}

void destroys_while_closing(FaultMatrix& t) {
    zorim_network_disconnect_printer(t.agent.get(), "printer-1");
    t.destroy_agent();
}

const Fault kFaults[] = {
    {"Refuses", refuses, After::kReopens},
    {"Closes1000", [](FaultMatrix& t) { close_with(t, 1000); }, After::kReopens},
    {"Closes1001", [](FaultMatrix& t) { close_with(t, 1001); }, After::kReopens},
    {"Closes1009", [](FaultMatrix& t) { close_with(t, 1009); }, After::kReopens},
    {"Closes1011", [](FaultMatrix& t) { close_with(t, 1011); }, After::kReopens},
    // 1006 is never sent: it is what the client reads when no close frame came.
    {"DropsWithoutCloseFrame1006", [](FaultMatrix& t) { ASSERT_EQ(t.simulator->drop_all(), 1u); }, After::kReopens},
    {"DropsMidFrame", drops_mid_frame, After::kReopens},
    {"SendsAFrameOverTheSizeLimit", sends_a_frame_over_the_size_limit, After::kReopens},
    {"SendsInvalidUtf8", sends_invalid_utf8, After::kReopens},
    {"StopsAnsweringPings", stops_answering_pings, After::kStaysOpen},
    {"AnswersSlowly", answers_slowly, After::kStaysOpen},
    {"SendsMalformedJson", sends_malformed_json, After::kStaysOpen},
    {"SendsWrongTypes", sends_wrong_types, After::kStaysOpen},
    {"SendsBinaryAndEmptyFrames", sends_binary_and_empty_frames, After::kStaysOpen},
    {"SendsDeeplyNestedJson", sends_deeply_nested_json, After::kStaysOpen},
    {"SendsATwoMegabyteString", sends_a_two_megabyte_string, After::kStaysOpen},
    {"FloodsNotifications", floods_notifications, After::kStaysOpen},
    {"RestartsKlipper", restarts_klipper, After::kStaysOpen},
    {"FillsTheQueueWhileThePrinterIsGone", fills_the_queue_while_the_printer_is_gone, After::kReopens},
    {"HostSleepsInACallback", sleeps_in_a_callback, After::kStaysOpen},
    {"HostCallsBackIntoTheAgent", calls_back_into_the_agent, After::kReopens},
    {"DisconnectWhileOpening", disconnects_while_opening, After::kGone},
    {"DisconnectWhileReopening", disconnects_while_reopening, After::kGone},
    {"DisconnectWhileClosing", disconnects_while_closing, After::kGone},
    {"DestroyWhileOpening", destroys_while_opening, After::kGone},
    {"DestroyWhileReopening", destroys_while_reopening, After::kGone},
    {"DestroyWhileClosing", destroys_while_closing, After::kGone},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace zorim::test
