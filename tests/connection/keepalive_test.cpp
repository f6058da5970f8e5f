// The keep-alive pass: pings, the resend of unanswered requests, the
// subscription watchdog, and the reopening of lost links.
#include <algorithm>
#include <thread>

#include "support/agent_fixture.h"

namespace zorim::test {
namespace {

std::size_t count_texts(const sim::PrinterSimulator& simulator, const std::string& needle) {
    const auto texts = simulator.texts();
    return static_cast<std::size_t>(std::count_if(texts.begin(), texts.end(), [&](const sim::ReceivedText& t) {
        return t.text.find(needle) != std::string::npos;
    }));
}

constexpr char kFileListText[] =
    R"({"jsonrpc":"2.0","method":"server.files.get_directory","params":{"path":"gcodes"},"id":4})";
constexpr char kObjectsListText[] = R"({"jsonrpc":"2.0","method":"printer.objects.list","params":{},"id":1})";

TEST_F(AgentTest, AnUnansweredRequestGoesOutAgainOnTheFourthPass) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    simulator->ignore_request_id(4, sim::Times::always);

    zorim_get_file_list_fn(agent.get(), kPrinter);
    ASSERT_TRUE(simulator->wait_for_text([](const std::string& t) { return t == kFileListText; }, 5s));

    for (int pass = 1; pass <= 3; ++pass) {
        agent->run_keepalive_pass();
        EXPECT_EQ(connection()->pending_snapshot().at(4).age, pass);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(count_texts(*simulator, kFileListText), 1u) << "sent again too early";

    agent->run_keepalive_pass();
    EXPECT_TRUE(wait_until([&] { return count_texts(*simulator, kFileListText) == 2; }));
    EXPECT_EQ(connection()->pending_snapshot().at(4).age, 0);

    // The reply, when it finally comes, ends the resending.
    simulator->clear_injections();
    zorim_get_file_list_fn(agent.get(), kPrinter);
    ASSERT_TRUE(file_lists.wait_for_count(1));
    EXPECT_TRUE(wait_until([&] { return connection()->pending_snapshot().count(4) == 0; }));
}

TEST_F(AgentTest, TheWatchdogAsksForTheObjectsAgainWhenNoStatusArrived) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    ASSERT_EQ(count_texts(*simulator, kObjectsListText), 1u);

    agent->run_keepalive_pass();  // the subscription's status counts for this pass
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(count_texts(*simulator, kObjectsListText), 1u);

    // No status since: the objects list is asked for again, without being
    // registered for resending, and its answer renews the subscription.
    simulator->ignore_request_id(1, sim::Times::once);
    agent->run_keepalive_pass();
    ASSERT_TRUE(wait_until([&] { return count_texts(*simulator, kObjectsListText) == 2; }));
    EXPECT_EQ(connection()->pending_snapshot().count(1), 0u);

    agent->run_keepalive_pass();
    ASSERT_TRUE(wait_until([&] { return count_texts(*simulator, kObjectsListText) == 3; }));
    EXPECT_TRUE(wait_until([&] { return count_texts(*simulator, "printer.objects.subscribe") == 2; }));
}

// The keep-alive pass never runs on its own in these two tests: only the
// plug-in's answer to Klipper's state can bring the status stream back.
TEST_F(AgentTest, AKlipperRestartIsFollowedByANewSubscriptionAtOnce) {
    sim::SimulatorOptions options = quiet_printer();
    options.restart_seconds = 0.2;
    start_simulator(options);
    start_agent();
    connect_and_subscribe();
    const std::size_t before = statuses.size();

    // Like Moonraker, the simulator ends every subscription when Klipper restarts.
    zorim_network_send_message_to_printer(
        agent.get(), kPrinter, R"({"jsonrpc":"2.0","method":"printer.firmware_restart","params":{},"id":100})");
    std::size_t from = before;
    for (std::int32_t firmware_state : {kFirmwareDisconnected, kFirmwareReady}) {
        ASSERT_TRUE(statuses.wait_for([&](const StatusReport& r) { return r.status.firmware_state == firmware_state; },
                                      5s, from, nullptr, &from))
            << "no report of firmware state " << firmware_state;
        ++from;
    }
    EXPECT_TRUE(wait_until([&] { return count_texts(*simulator, "printer.objects.subscribe") == 2; }));
    EXPECT_EQ(count_texts(*simulator, kObjectsListText), 2u);

    simulator->set_status_fields("extruder", R"({"temperature":123.5})");
    EXPECT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.extruder.temperature == 123.5; }, 5s,
                                  from))
        << "the status does not stream after the restart";
}

TEST_F(AgentTest, KlipperAwayAtConnectIsReportedOnceAndItsReadinessSubscribes) {
    start_simulator();
    simulator->set_klippy_connected(false);  // printer.* answers "Method not found"
    start_agent();
    connect();
    ASSERT_TRUE(statuses.wait_for([](const StatusReport& r) {
        return r.status.firmware_state == kFirmwareDisconnected && r.status.machine_state == kMachineFirmwareNotReady &&
               r.status.connection_state == kConnectionOpen;
    }));
    // Both opening requests and the watchdog's objects list are refused.
    agent->run_keepalive_pass();
    ASSERT_TRUE(wait_until([&] {
        return console.count(" msg receive id:1") == 2 && console.count(" msg receive id:3") == 1;
    }));
    EXPECT_EQ(statuses.size(), 1u);
    EXPECT_EQ(errors.size(), 0u);

    simulator->set_klippy_connected(true);
    simulator->notify_klippy_ready();
    StatusReport ready;
    EXPECT_TRUE(statuses.wait_for([](const StatusReport& r) {
        return r.status.firmware_state == kFirmwareReady && r.status.machine_state == kMachineIdle;
    }, 5s, 0, &ready)) << "no subscription after Klipper became ready";
    EXPECT_EQ(ready.status.model, "vm") << "the printer information was not asked for again";
}

TEST_F(AgentTest, ALostLinkIsReopenedOnTheNextPassKeepingWhatWasKnown) {
    start_simulator();
    ManagerTiming timing = fast_timing(200ms);
    // A pong late on a loaded machine would change the heartbeat between
    // the snapshot below and the reopen.
    timing.pong_timeout = 5s;
    start_agent(timing);
    connect_and_subscribe();
    const MachineStatus known = connection()->status_copy();
    ASSERT_EQ(known.heartbeat_state, kHeartbeatAlive);
    ASSERT_FALSE(known.model.empty());

    const std::size_t reports = statuses.size();
    simulator->close_all(1001, "restart");

    StatusReport reopened;
    ASSERT_TRUE(statuses.wait_for(
        [](const StatusReport& r) { return r.status.machine_state == kMachineReconnecting; }, 5s, reports,
        &reopened));
    EXPECT_EQ(reopened.status.job_state, 0);
    EXPECT_EQ(reopened.status.connection_state, 0);
    EXPECT_EQ(reopened.status.firmware_state, 0);
    EXPECT_EQ(reopened.status.heartbeat_state, known.heartbeat_state);
    EXPECT_EQ(reopened.status.model, known.model);
    EXPECT_EQ(reopened.status.print_stats.state, known.print_stats.state);
    EXPECT_TRUE(simulator->wait_for_accepted(2, 5s));
    EXPECT_TRUE(statuses.wait_for(
        [](const StatusReport& r) { return r.status.machine_state == kMachineIdle; }, 5s, reports));
}

TEST_F(AgentTest, AnUnreachablePrinterIsTriedAgainOnEveryPass) {
    start_agent();
    zorim_network_connect_printer(agent.get(), kPrinter, refused_address(), "", "");
    ASSERT_TRUE(wait_until([&] { return connection()->link_state() == kLinkFailed; }));

    for (int attempt = 0; attempt < 2; ++attempt) {
        agent->run_keepalive_pass();
        ASSERT_TRUE(wait_until([&] { return connection()->link_state() == kLinkFailed; }));
    }
    // Each attempt is reported as connecting again, then as offline.
    std::vector<std::int32_t> machine_states;
    ASSERT_TRUE(wait_until([&] { return statuses.size() == 5; }));
    for (const auto& report : statuses.reports()) machine_states.push_back(report.status.machine_state);
    EXPECT_EQ(machine_states, (std::vector<std::int32_t>{kMachineOffline, kMachineReconnecting, kMachineOffline,
                                                         kMachineReconnecting, kMachineOffline}));
}

TEST_F(AgentTest, AReopenReportMayDisconnectThePrinterFromItsCallback) {
    start_simulator();
    start_agent(fast_timing(100ms));
    PrinterManager* manager = agent.get();
    zorim_set_machine_status_changed_fn(manager, [manager](std::string device_id, MachineStatus status) {
        if (status.machine_state == kMachineReconnecting) zorim_network_disconnect_printer(manager, device_id);
    });
    connect();
    ASSERT_TRUE(simulator->wait_for_connections(1, 5s));
    simulator->close_all(1000, "bye");

    // The keep-alive thread reopens, the callback disconnects on that thread:
    // no deadlock, and the printer is gone.
    EXPECT_TRUE(wait_until([&] { return agent->registered_ids().empty(); }, 5s));
}

TEST_F(AgentTest, APrinterDisconnectedDuringTheReopenPassIsNeitherReportedNorStarted) {
    start_simulator();
    start_agent();
    connect_and_subscribe("a-printer");
    connect_and_subscribe("b-printer");
    simulator->close_all(1001, "restart");
    ASSERT_TRUE(wait_until([&] {
        return connection("a-printer")->link_state() == kLinkClosed && connection("b-printer")->link_state() == kLinkClosed;
    }));
    // The pass reopens both; the report of the first disconnects the second
    // before the second is reported.
    PrinterManager* manager = agent.get();
    auto record = statuses.callback();
    zorim_set_machine_status_changed_fn(manager, [manager, record](std::string device_id, MachineStatus status) {
        record(device_id, status);
        if (device_id == "a-printer" && status.machine_state == kMachineReconnecting) {
            zorim_network_disconnect_printer(manager, "b-printer");
        }
    });
    const std::size_t reports = statuses.size();
    agent->run_keepalive_pass();

    const auto after = statuses.reports();
    for (std::size_t i = reports; i < after.size(); ++i) {
        EXPECT_FALSE(after[i].device_id == "b-printer" && after[i].status.machine_state == kMachineReconnecting)
            << "a removed printer was reported as connecting again";
    }
    EXPECT_EQ(agent->registered_ids(), std::vector<std::string>{"a-printer"});
    ASSERT_TRUE(statuses.wait_for(
        [](const StatusReport& r) { return r.device_id == "a-printer" && r.status.machine_state == kMachineIdle; },
        5s, reports));
    EXPECT_TRUE(simulator->wait_for_connections(1, 5s));
}

TEST_F(AgentTest, PingsComeAboutEveryPeriodAndAreAnswered) {
    start_simulator();
    start_agent(fast_timing(100ms));
    connect_and_subscribe();
    ASSERT_TRUE(simulator->wait_for_pings(3, 5s));
    EXPECT_TRUE(console.wait_for("pong msg:heartbeatprinter-1\n"));
    EXPECT_GE(console.count("ping printer-1\n"), 3u);
}

TEST_F(AgentTest, APassPingsEveryOpenPrinterOnceAcrossSlices) {
    // More printers than one turn of the network loop pings.
    constexpr std::size_t kPrinters = 70;
    start_simulator();
    start_agent();
    for (std::size_t i = 0; i < kPrinters; ++i) connect_and_subscribe("printer-" + std::to_string(i));
    const std::size_t before = simulator->pings().size();

    agent->run_keepalive_pass();
    ASSERT_TRUE(simulator->wait_for_pings(before + kPrinters, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(simulator->pings().size(), before + kPrinters);
    for (std::size_t i = 0; i < kPrinters; ++i) {
        EXPECT_EQ(console.count("ping printer-" + std::to_string(i) + "\n"), 1u);
    }
}

TEST_F(AgentTest, TheSendThreadSaysWhenItFoundNothingToSend) {
    ManagerTiming timing = fast_timing();
    timing.queue_wait = 50ms;
    start_agent(timing);
    EXPECT_TRUE(wait_until([&] { return console.count("send msg :0\n") >= 2; }));
}

}  // namespace
}  // namespace zorim::test
