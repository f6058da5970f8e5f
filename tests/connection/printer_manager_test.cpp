// The agent's life and its registry: start, stop, connect, close, send.
#include <atomic>
#include <map>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>

#include "support/agent_fixture.h"

namespace zorim::test {
namespace {

TEST_F(AgentTest, OpeningRequestsAskForPrinterInfoFirstThenTheObjectList) {
    start_simulator();
    start_agent();
    connect();

    ASSERT_TRUE(simulator->wait_for_texts(2, 5s));
    const auto texts = simulator->texts();
    EXPECT_EQ(texts[0].text, R"({"jsonrpc":"2.0","method":"printer.info","params":{},"id":3})");
    EXPECT_EQ(texts[1].text, R"({"jsonrpc":"2.0","method":"printer.objects.list","params":{},"id":1})");
    EXPECT_TRUE(log.wait_for("send to printer-1 msg:{\"jsonrpc\":\"2.0\",\"method\":\"printer.info\""));
    EXPECT_TRUE(log.contains("send msg:id,{\"jsonrpc\":\"2.0\",\"method\":\"printer.objects.list\""));
    EXPECT_TRUE(log.contains("on_open:printer-1\n"));
}

TEST_F(AgentTest, ConnectMakesTheWebSocketAddressFromTheHostAddress) {
    start_simulator();
    start_agent();
    connect();
    ASSERT_TRUE(simulator->wait_for_connections(1, 5s));
    EXPECT_EQ(connection()->uri(), "ws://" + simulator->url_for_plugin() + "/websocket");
}

TEST_F(AgentTest, DisconnectClosesWithCode1000AndForgetsThePrinterAtOnce) {
    start_simulator();
    start_agent();
    connect_and_subscribe();

    zorim_network_disconnect_printer(agent.get(), kPrinter);
    EXPECT_EQ(connection(), nullptr);

    const auto close = simulator->wait_for_close(5s);
    ASSERT_TRUE(close);
    EXPECT_EQ(close->code, 1000);
    EXPECT_FALSE(close->server_initiated);
    // The handshake ends later and is still reported for the removed printer.
    EXPECT_TRUE(statuses.wait_for([](const StatusReport& r) {
        return r.status.connection_state == kConnectionClosed && r.status.machine_state == kMachineOffline;
    }));
}

TEST_F(AgentTest, DisconnectOfAnUnknownPrinterOnlyWritesARecord) {
    start_agent();
    zorim_network_disconnect_printer(agent.get(), "nobody");
    EXPECT_TRUE(log.contains("No connection found with id nobody"));
}

TEST_F(AgentTest, ConnectAfterDisconnectStartsAFreshPrinter) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    const auto before = connection();
    ASSERT_EQ(before->status_copy().firmware_state, kFirmwareReady);
    const std::size_t before_close = statuses.size();
    zorim_network_disconnect_printer(agent.get(), kPrinter);
    ASSERT_TRUE(statuses.wait_for(
        [](const StatusReport& r) { return r.status.connection_state == kConnectionClosed; }, 5s, before_close));

    // The same identity at an address that refuses: the failure report shows
    // a record that starts from scratch, not a reopened one.
    const std::size_t reports = statuses.size();
    zorim_network_connect_printer(agent.get(), kPrinter, refused_address(), "", "");
    StatusReport failed;
    ASSERT_TRUE(statuses.wait_for(
        [](const StatusReport& r) { return r.status.connection_state == kConnectionClosed; }, 5s, reports, &failed));
    EXPECT_NE(connection(), before);
    EXPECT_EQ(failed.status.firmware_state, kFirmwareUnknown);
    EXPECT_EQ(failed.status.model, "");
    EXPECT_EQ(failed.status.heartbeat_state, kHeartbeatNone);
    EXPECT_EQ(failed.status.machine_state, kMachineOffline);
    for (const auto& report : statuses.reports()) {
        EXPECT_NE(report.status.machine_state, kMachineReconnecting) << "a new printer is not a reopen";
    }
}

TEST_F(AgentTest, DisconnectWhileTheLinkIsStillOpeningClosesItOnceItOpens) {
    start_simulator();
    start_agent();
    // Another printer's offline report holds the network thread, so this
    // printer's link cannot open before the host lets it go.
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<bool> holding{false};
    zorim_set_machine_status_changed_fn(agent.get(), [&](std::string id, MachineStatus status) {
        if (id != "holder" || status.machine_state != kMachineOffline) return;
        holding.store(true);
        std::unique_lock<std::mutex> lock(mutex);
        released.wait_for(lock, 5s, [&] { return release; });
    });
    zorim_network_connect_printer(agent.get(), "holder", refused_address(), "", "");
    ASSERT_TRUE(wait_until([&] { return holding.load(); }));
    connect();
    zorim_network_disconnect_printer(agent.get(), kPrinter);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();

    const auto close = simulator->wait_for_close(5s);
    ASSERT_TRUE(close) << "the link that was opening stayed open";
    EXPECT_EQ(close->code, 1000);
    EXPECT_TRUE(simulator->wait_for_connections(0, 5s));
    for (const auto& text : simulator->texts()) {
        EXPECT_EQ(text.text.find("printer.info"), std::string::npos) << "the protocol started for a removed printer";
    }
    agent.reset();  // the callback refers to this test's locals
}

TEST_F(AgentTest, SecondConnectOfAnOpenPrinterChangesNothing) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    const std::size_t reports = statuses.size();
    const std::size_t texts = simulator->text_count();

    EXPECT_EQ(agent->connect(kPrinter, "ws://" + simulator->url_for_plugin() + "/websocket"), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(statuses.size(), reports);
    EXPECT_EQ(simulator->text_count(), texts);
    EXPECT_EQ(simulator->accepted_connections(), 1u);
}

TEST_F(AgentTest, SecondConnectWhileConnectingReplacesTheOpeningLink) {
    start_simulator();
    start_agent();
    const std::string uri = "ws://" + simulator->url_for_plugin() + "/websocket";
    ASSERT_EQ(agent->connect(kPrinter, uri), 0);
    // The first link's start is queued on the network thread behind this
    // call at the earliest, so it is still opening here.
    if (connection()->link_state() != kLinkConnecting) GTEST_SKIP() << "the first link opened already";
    ASSERT_EQ(agent->connect(kPrinter, uri), 0);
    EXPECT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.machine_state == kMachineReconnecting; }));
    ASSERT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.machine_state == kMachineIdle; }));

    // The replaced link is closed by the agent once it opens; its events
    // neither start the protocol nor mark the current link offline.
    const auto close = simulator->wait_for_close(5s);
    ASSERT_TRUE(close) << "the replaced link was left running";
    EXPECT_EQ(close->code, 1000);
    EXPECT_FALSE(close->server_initiated);
    ASSERT_TRUE(log.wait_for("on_close:printer-1 of a replaced link"));
    EXPECT_EQ(connection()->link_state(), kLinkOpen);
    for (const auto& report : statuses.reports()) EXPECT_NE(report.status.connection_state, kConnectionClosed);
    std::size_t info_requests = 0;
    for (const auto& text : simulator->texts()) info_requests += text.text.find("printer.info") != std::string::npos;
    EXPECT_EQ(info_requests, 1u);

    zorim_network_disconnect_printer(agent.get(), kPrinter);
    EXPECT_TRUE(simulator->wait_for_connections(0, 5s));
    EXPECT_TRUE(agent->registered_ids().empty());
}

TEST_F(AgentTest, ConnectWithANewAddressMovesThePrinterThereForGood) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    sim::PrinterSimulator moved(quiet_printer());
    moved.start();
    const std::size_t reports = statuses.size();

    zorim_network_connect_printer(agent.get(), kPrinter, moved.url_for_plugin(), "", "");
    const auto close = simulator->wait_for_close(5s);
    ASSERT_TRUE(close) << "the link to the old address stayed open";
    EXPECT_EQ(close->code, 1000);
    ASSERT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.machine_state == kMachineIdle; }, 5s,
                                  reports));
    EXPECT_EQ(connection()->uri(), "ws://" + moved.url_for_plugin() + "/websocket");

    // A reopen after a loss goes to the address the host gave last.
    moved.close_all(1001, "restart");
    ASSERT_TRUE(wait_until([&] { return connection()->link_state() == kLinkClosed; }));
    agent->run_keepalive_pass();
    EXPECT_TRUE(moved.wait_for_accepted(2, 5s));
    EXPECT_EQ(simulator->accepted_connections(), 1u);
    agent.reset();  // before the printer it talks to goes away
    moved.stop();
}

TEST_F(AgentTest, DisconnectsRacingForOnePrinterCloseItWithOneCallersCodeAndReason) {
    start_simulator();
    start_agent();
    constexpr int kPrinters = 6;
    for (int i = 0; i < kPrinters; ++i) connect("racer-" + std::to_string(i));
    // Both callers start together while the links may still be opening.
    for (int i = 0; i < kPrinters; ++i) {
        const std::string id = "racer-" + std::to_string(i);
        std::atomic<bool> go{false};
        std::thread other([&] {
            while (!go.load()) std::this_thread::yield();
            agent->close(id, 4001, "other");
        });
        go.store(true);
        agent->close(id, 4000, "this");
        other.join();
    }
    EXPECT_TRUE(agent->registered_ids().empty());
    ASSERT_TRUE(simulator->wait_for_connections(0, 5s));
    std::vector<sim::ClientClose> closes;
    for (std::size_t from = 0; closes.size() < kPrinters;) {
        const auto close = simulator->wait_for_close(5s, from);
        ASSERT_TRUE(close);
        closes.push_back(*close);
        from = closes.size();
    }
    for (const auto& close : closes) {
        EXPECT_TRUE((close.code == 4000 && close.reason == "this") || (close.code == 4001 && close.reason == "other"))
            << close.code << " " << close.reason;
    }
}

TEST_F(AgentTest, DisconnectDoesNotWaitForABusyNetworkThread) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<bool> busy{false};
    zorim_set_machine_status_changed_fn(agent.get(), [&](std::string, MachineStatus) {
        busy.store(true);
        std::unique_lock<std::mutex> lock(mutex);
        released.wait_for(lock, 3s, [&] { return release; });
    });
    simulator->close_all(1001, "restart");  // its offline report holds the network thread
    ASSERT_TRUE(wait_until([&] { return busy.load(); }));

    const auto begin = std::chrono::steady_clock::now();
    zorim_network_disconnect_printer(agent.get(), kPrinter);
    const auto took = std::chrono::steady_clock::now() - begin;
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();
    EXPECT_LT(took, 1s) << "the host's thread waited for the network thread";
    EXPECT_TRUE(agent->registered_ids().empty());
    agent.reset();  // the callback refers to this test's locals
    EXPECT_FALSE(log.contains("timed out"));
}

TEST_F(AgentTest, ABusyNetworkThreadHoldsNoProducerAndAPrinterNoMoreThanItsOutbox) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    simulator->set_answer_requests(false);
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<bool> busy{false};
    zorim_set_machine_status_changed_fn(agent.get(), [&](std::string, MachineStatus) {
        busy.store(true);
        std::unique_lock<std::mutex> lock(mutex);
        released.wait_for(lock, 30s, [&] { return release; });
    });
    simulator->notify_status_update(R"({"extruder":{"temperature":201.5}})");
    ASSERT_TRUE(wait_until([&] { return busy.load(); }));

    const std::size_t before = simulator->text_count();
    constexpr int kTexts = 2000;
    int accepted = 0;
    const std::string pad(4000, 'x');
    for (int n = 0; n < kTexts; ++n) {
        const std::string text = R"({"jsonrpc":"2.0","method":"pad","params":{"pad":")" + pad + R"("},"id":)" +
                                 std::to_string(n + 100) + "}";
        accepted += agent->send(kPrinter, 0, text, false);
    }
    // The send thread hands every text to the printer's outbox without
    // waiting; the outbox takes its bound and drops the rest, each named.
    EXPECT_EQ(accepted, kTexts);
    constexpr auto kHeld = WebSocketEndpoint::kMaxOutboxTexts;
    const std::string drop = "send: dropped request id 0 for printer-1: the printer has not taken the " +
                             std::to_string(kHeld) + " texts";
    EXPECT_TRUE(wait_until([&] { return log.text().find(drop) != std::string::npos && agent->send_queue().size() == 0; },
                           20s));
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();
    EXPECT_TRUE(simulator->wait_for_texts(before + kHeld, 20s)) << simulator->text_count() - before;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(simulator->text_count(), before + kHeld);
    std::size_t drops = 0;
    for (const auto& record : log.records("warning")) drops += record.find(drop) == 0;
    EXPECT_EQ(drops, kTexts - kHeld);
    agent.reset();  // the callback refers to this test's locals
}

TEST_F(AgentTest, StopClosesOpenPrintersWith1001AndKeepsFailedOnesRegistered) {
    start_simulator();
    start_agent();
    connect_and_subscribe("open-one");
    zorim_network_connect_printer(agent.get(), "failed-one", refused_address(), "", "");
    ASSERT_TRUE(wait_until([&] { return connection("failed-one")->link_state() == kLinkFailed; }));

    agent->stop();

    // The printer may finish recording the handshake a moment after the
    // agent has seen it end; what matters is that the frame (not just a
    // dropped socket, which would read 1006) got there.
    const auto close = simulator->wait_for_close(5s);
    ASSERT_TRUE(close);
    EXPECT_EQ(close->code, 1001) << "the close frame did not arrive before the loop stopped";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(simulator->closes().size(), 1u);
    EXPECT_EQ(agent->registered_ids(), std::vector<std::string>{"failed-one"});
    EXPECT_TRUE(log.contains("> Closing connection open-one"));
    EXPECT_TRUE(log.contains("stop connection thread start"));
    EXPECT_TRUE(log.contains("stop connection thread end"));
    EXPECT_TRUE(log.contains("do_send_loop stop\n"));
    EXPECT_TRUE(log.contains("do_socket_check_loop stop\n"));
    // A text the stopped agent cannot queue is still logged as sent, beside its warning.
    zorim_network_send_message_to_printer(agent.get(), "open-one", "{}");
    EXPECT_TRUE(log.contains("send msg:id,{}\n"));
    EXPECT_TRUE(log.contains("send: dropped request id 0 for open-one: the agent is stopped"));
}

TEST_F(AgentTest, ConnectBeforeStartFailsCleanlyAndStartTwiceIsIgnored) {
    agent = std::make_unique<PrinterManager>(fast_timing());
    EXPECT_EQ(agent->connect(kPrinter, "ws://127.0.0.1:1/websocket"), -1);
    EXPECT_TRUE(log.contains("Connect initialization error: printer-1,"));
    EXPECT_TRUE(agent->registered_ids().empty());

    agent->start();
    agent->start();
    EXPECT_TRUE(log.contains("already started"));
}

TEST_F(AgentTest, RefusedUrisReturnMinusOneWithTheLibrarysMessage) {
    start_agent();
    for (const std::string uri : {"ws:///websocket", "ws://:7125/websocket", "wss://127.0.0.1/websocket",
                                  "http://127.0.0.1/websocket", "ftp://127.0.0.1/websocket", "not a uri"}) {
        EXPECT_EQ(agent->connect("bad", uri), -1) << uri;
    }
    EXPECT_TRUE(agent->registered_ids().empty());
    const std::string text = log.text();
    EXPECT_TRUE(std::regex_search(text, std::regex("Connect initialization error: bad,[^\\n]+\\n")));
    // The export still answers 0: failures are only logged.
    EXPECT_EQ(zorim_network_connect_printer(agent.get(), "bad", "", "", ""), 0);
}

TEST_F(AgentTest, DestroyingANeverStartedAgentWorks) {
    void* never_started = zorim_network_create_agent(log.dir(), 9);
    ASSERT_NE(never_started, nullptr);
    EXPECT_EQ(zorim_network_destroy_agent(never_started), 0);
}

TEST_F(AgentTest, DestroyingTheAgentFromInsideACallbackIsRefusedAndTheAgentCarriesOn) {
    start_simulator();
    start_agent(fast_timing(100ms));
    connect_and_subscribe();
    // The offline report runs on the network thread, the report of the
    // keep-alive thread's reopen on that thread.
    std::mutex mutex;
    std::map<std::int32_t, std::int32_t> results;  // machine state -> what destroy returned
    void* raw = agent.get();
    zorim_set_machine_status_changed_fn(agent.get(), [&, raw](std::string, MachineStatus status) {
        if (status.machine_state != kMachineOffline && status.machine_state != kMachineReconnecting) return;
        const std::int32_t result = zorim_network_destroy_agent(raw);
        std::lock_guard<std::mutex> lock(mutex);
        results.emplace(status.machine_state, result);
    });
    simulator->close_all(1001, "restart");
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return results.size() == 2;
    }));
    EXPECT_EQ(results, (std::map<std::int32_t, std::int32_t>{{kMachineOffline, -1}, {kMachineReconnecting, -1}}));
    EXPECT_TRUE(log.contains("zorim_network_destroy_agent: refused inside a callback"));
    // The agent is intact: the reopened link runs the protocol again.
    ASSERT_TRUE(simulator->wait_for_accepted(2, 5s));
    EXPECT_TRUE(wait_until([&] { return connection()->status_copy().machine_state == kMachineIdle; }));
    agent.reset();  // from this thread, while the callback's locals exist
}

TEST_F(AgentTest, DestroyingTheAgentFromAReopenReportOnTheHostsThreadIsRefusedToo) {
    start_agent();
    void* raw = agent.get();
    std::atomic<std::int32_t> result{1};
    zorim_set_machine_status_changed_fn(raw, [&result, raw](std::string, MachineStatus status) {
        if (status.machine_state == kMachineReconnecting) result.store(zorim_network_destroy_agent(raw));
    });
    zorim_network_connect_printer(raw, kPrinter, "127.0.0.1:1", "", "");
    zorim_network_connect_printer(raw, kPrinter, "127.0.0.1:2", "", "");  // a reopen, reported on this thread
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(agent->registered_ids(), std::vector<std::string>{kPrinter});
    agent.reset();  // while `result` exists
}

TEST_F(AgentTest, TextForAPrinterThatIsNotOpenIsDroppedAndNeverRegistered) {
    start_agent();
    zorim_network_connect_printer(agent.get(), kPrinter, refused_address(), "", "");
    ASSERT_TRUE(wait_until([&] { return connection()->link_state() == kLinkFailed; }));

    zorim_get_file_list_fn(agent.get(), kPrinter);
    EXPECT_TRUE(log.wait_for(
        R"(websocket is not connected, send msg:{"jsonrpc":"2.0","method":"server.files.get_directory","params":{"path":"gcodes"},"id":4})"
        "\n"));
    EXPECT_TRUE(connection()->pending_snapshot().empty());
}

TEST_F(AgentTest, TextForAnUnknownPrinterIsDroppedWithAConsoleLine) {
    start_agent();
    zorim_network_send_message_to_printer(agent.get(), "ghost", "{}");
    EXPECT_TRUE(console.wait_for("> No connection found with id ghost\n"));
}

TEST_F(AgentTest, OnlyAwaitedRequestsWithAPositiveIdAreRegistered) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    simulator->set_answer_requests(false);

    const std::size_t sent = simulator->text_count();
    zorim_network_send_message_to_printer(
        agent.get(), kPrinter, R"({"jsonrpc":"2.0","method":"server.files.list","params":{},"id":5})");
    zorim_delete_file_fn(agent.get(), kPrinter, "old.gcode");
    zorim_get_file_list_fn(agent.get(), kPrinter);
    ASSERT_TRUE(simulator->wait_for_texts(sent + 3, 5s));

    const auto pending = connection()->pending_snapshot();
    EXPECT_EQ(pending.count(5), 0u);  // host text, even with a catalogue id
    EXPECT_EQ(pending.count(8), 0u);  // delete: sent once
    ASSERT_EQ(pending.count(4), 1u);
    EXPECT_EQ(pending.at(4).text,
              R"({"jsonrpc":"2.0","method":"server.files.get_directory","params":{"path":"gcodes"},"id":4})");
    EXPECT_EQ(pending.at(4).age, 0);
    EXPECT_TRUE(pending.at(4).device_id.empty());
}

TEST_F(AgentTest, HostTextIsPassedOnUnchanged) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    const std::string text = "{\"jsonrpc\":\"2.0\",\"method\":\"printer.gcode.script\",\"params\":{\"script\":\"M105\"},"
                             "\"id\":4242}  ";
    zorim_network_send_message_to_printer(agent.get(), kPrinter, text);
    EXPECT_TRUE(simulator->wait_for_text([&](const std::string& t) { return t == text; }, 5s));
}

TEST_F(AgentTest, MutedCallbacksLoseEventsAndUnmutingDoesNotReplayThem) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    const std::size_t reports = statuses.size();

    zorim_network_track_enable(agent.get(), false);
    simulator->notify_klippy_shutdown();
    simulator->notify_filelist_changed();
    ASSERT_TRUE(log.wait_for("notify_filelist_changed"));  // both were handled
    EXPECT_EQ(statuses.size(), reports);
    EXPECT_EQ(file_changes.size(), 0u);
    EXPECT_FALSE(log.contains("file changed:"));

    zorim_network_track_enable(agent.get(), true);
    simulator->notify_klippy_ready();
    ASSERT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.firmware_state == kFirmwareReady; }, 5s,
                                  reports));
    for (std::size_t i = reports; i < statuses.size(); ++i) {
        EXPECT_NE(statuses.reports()[i].status.firmware_state, kFirmwareShutdown);
    }
}

TEST_F(AgentTest, AnEmptiedSlotDropsItsEvents) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    zorim_set_file_changed_fn(agent.get(), nullptr);
    simulator->notify_filelist_changed();
    simulator->notify_klippy_ready();  // a later event that still arrives
    ASSERT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.firmware_state == kFirmwareReady; }));
    EXPECT_EQ(file_changes.size(), 0u);
}

TEST_F(AgentTest, ACallbackThatThrowsDoesNotEndTheNetworkThread) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    zorim_set_file_changed_fn(agent.get(), [](std::string, std::string) { throw std::runtime_error("host bug"); });

    simulator->notify_filelist_changed();
    ASSERT_TRUE(log.wait_for("host bug"));
    simulator->notify_klippy_ready();
    EXPECT_TRUE(statuses.wait_for([](const StatusReport& r) { return r.status.firmware_state == kFirmwareReady; }));
    EXPECT_EQ(connection()->link_state(), kLinkOpen);
}

TEST_F(AgentTest, ACallbackThatThrowsDoesNotCostTheRestOfTheMessage) {
    start_simulator();
    start_agent();
    connect_and_subscribe();
    auto calls = std::make_shared<std::atomic<int>>(0);
    zorim_set_machine_status_changed_fn(agent.get(), [calls](std::string, MachineStatus) {
        if (calls->fetch_add(1) == 0) throw std::runtime_error("first report refused");
    });
    // One notification, two elements (the status and the event time): two reports.
    simulator->notify_status_update(R"({"extruder":{"temperature":201.5}})");
    EXPECT_TRUE(wait_until([&] { return calls->load() == 2; }));
    EXPECT_TRUE(log.contains("host callback machine_status_changed_fn threw: first report refused"));
    EXPECT_EQ(connection()->status_copy().extruder.temperature, 201.5);
}

TEST(Version, IsTheSameTextAtTheSamePlaceWithoutAnyAgent) {
    const char* first = zorim_network_get_version();
    EXPECT_STREQ(first, "01.09.03.50");
    void* agent = zorim_network_create_agent(TempDir().path(), 0);
    zorim_network_destroy_agent(agent);
    EXPECT_EQ(zorim_network_get_version(), first);
}

}  // namespace
}  // namespace zorim::test
