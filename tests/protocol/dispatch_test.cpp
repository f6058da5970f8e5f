// Every message a printer sends goes through dispatch_message: replies by id,
// notifications by method, malformed messages contained. These tests drive a
// connection of an agent that was never started, so nothing leaves the
// process; what the dispatch queues is taken from the send queue.
#include <algorithm>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "connection/printer_connection.h"
#include "connection/printer_manager.h"
#include "connection/websocket_endpoint.h"
#include "protocol/message_router.h"
#include "protocol/status_notification_reader.h"
#include "support/test_support.h"

namespace zorim {
namespace {

using nlohmann::json;

constexpr char kLatestJobText[] =
    R"({"jsonrpc":"2.0","method":"server.history.list","params":{"start":0,"limit":1,"order":"desc"},"id":6})";

std::vector<std::string> texts_of(const test::TextRecorder& recorder) {
    std::vector<std::string> texts;
    for (const test::TextEvent& event : recorder.events()) {
        EXPECT_EQ(event.device_id, "dev");
        texts.push_back(event.text);
    }
    return texts;
}

bool has_record_containing(const std::vector<std::string>& records, const std::string& needle) {
    for (const std::string& record : records) {
        if (record.find(needle) != std::string::npos) return true;
    }
    return false;
}

class Dispatch : public ::testing::Test {
protected:
    test::ConsoleCapture console;
    test::LogCapture log{4};
    // The recorders outlive the agent that holds their callbacks.
    test::StatusRecorder reports;
    test::TextRecorder errors, file_lists, file_metas, histories, file_changes, history_changes;
    PrinterManager manager{test::fast_timing()};
    std::shared_ptr<PrinterConnection> connection =
        std::make_shared<PrinterConnection>("dev", LinkHandle{}, "ws://x/websocket");

    void SetUp() override {
        manager.set_machine_status_changed_fn(reports.callback());
        manager.set_error_arrived_fn(errors.callback());
        manager.set_file_list_arrived_fn(file_lists.callback());
        manager.set_file_meta_arrived_fn(file_metas.callback());
        manager.set_print_history_arrived_fn(histories.callback());
        manager.set_file_changed_fn(file_changes.callback());
        manager.set_history_changed_fn(history_changes.callback());
    }

    void dispatch(const std::string& payload) { ASSERT_NO_THROW(connection->dispatch_message(manager, payload)); }
    std::vector<OutgoingMessage> queued() { return test::take_queued(manager); }

    std::size_t host_text_events() const {
        return errors.size() + file_lists.size() + file_metas.size() + histories.size() + file_changes.size() +
               history_changes.size();
    }
};

// --- Replies ------------------------------------------------------------------------

TEST_F(Dispatch, AReplyWritesItsIdToTheConsoleWithoutALineEnd) {
    dispatch(R"({"jsonrpc":"2.0","result":"ok","id":8})");
    EXPECT_EQ(console.text(), "dev msg receive id:8");
    dispatch(R"({"jsonrpc":"2.0","result":"ok","id":-3})");
    EXPECT_EQ(console.text(), "dev msg receive id:8dev msg receive id:-3");
}

TEST_F(Dispatch, FileAndHistoryRepliesReachTheirCallbacksWithTheUnchangedText) {
    const std::string list = R"({"jsonrpc":"2.0","result":{"dirs":[],"files":[{"path":"a.gcode"}]},"id":4})";
    const std::string list_null = R"({"jsonrpc":"2.0","result":null,"id":4})";
    const std::string meta = "{ \"jsonrpc\" : \"2.0\",\n \"result\":{\"filename\":\"a.gcode\"},\"id\":5 }";
    const std::string history = R"({"jsonrpc":"2.0","result":{"count":0,"jobs":[]},"id":7})";
    for (const std::string& reply : {list, list_null, meta, history}) dispatch(reply);

    EXPECT_EQ(texts_of(file_lists), (std::vector<std::string>{list, list_null}));
    EXPECT_EQ(texts_of(file_metas), (std::vector<std::string>{meta}));
    EXPECT_EQ(texts_of(histories), (std::vector<std::string>{history}));
    EXPECT_EQ(errors.size(), 0u);
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_TRUE(queued().empty());
}

TEST_F(Dispatch, RepliesThatNothingIsRoutedToAreDropped) {
    for (const char* reply : {R"({"jsonrpc":"2.0","result":{"item":"gcodes/a.gcode"},"id":8})",
                              R"({"jsonrpc":"2.0","result":"ok","id":0})",
                              R"({"jsonrpc":"2.0","result":"ok","id":9})",
                              R"({"jsonrpc":"2.0","result":"ok","id":12345})"}) {
        dispatch(reply);
    }
    EXPECT_EQ(host_text_events(), 0u);
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(console.count("msg not do:"), 0u);
}

TEST_F(Dispatch, AMessageWithBothIdAndMethodIsAReply) {
    const std::string reply = R"({"jsonrpc":"2.0","method":"notify_klippy_shutdown","result":{},"id":4})";
    dispatch(reply);
    EXPECT_EQ(texts_of(file_lists), (std::vector<std::string>{reply}));
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_EQ(connection->status_copy().firmware_state, 0);
}

TEST_F(Dispatch, AnObjectsListReplyQueuesTheSubscriptionAndAnErrorReplyQueuesNothing) {
    dispatch(R"({"jsonrpc":"2.0","result":{"objects":["webhooks","print_stats"]},"id":1})");
    std::vector<OutgoingMessage> sent = queued();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text,
              R"({"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{"webhooks":null,"print_stats":null}},"id":2})");

    dispatch(R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"},"id":1})");
    EXPECT_TRUE(queued().empty());
}

TEST_F(Dispatch, ASubscriptionReplyIsAppliedAndAskForTheLatestJobOnlyWithAFileLoaded) {
    dispatch(R"({"jsonrpc":"2.0","result":{"eventtime":1.0,"status":{"print_stats":{"filename":"","state":"standby"}}},"id":2})");
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(connection->status_update_count(), 1);
    EXPECT_TRUE(queued().empty());

    dispatch(R"({"jsonrpc":"2.0","result":{"status":{"print_stats":{"filename":"cube.gcode"}}},"id":2})");
    EXPECT_EQ(reports.size(), 2u);
    std::vector<OutgoingMessage> sent = queued();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, kLatestJobText);
    EXPECT_EQ(sent[0].request_id, 6);
    EXPECT_TRUE(sent[0].await_reply);
    EXPECT_EQ(sent[0].device_id, "dev");

    // The file name is the record's, not the reply's: a later subscription
    // reply without print_stats still finds the file loaded.
    dispatch(R"({"jsonrpc":"2.0","result":{"status":{"webhooks":{"state":"ready"}}},"id":2})");
    sent = queued();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, kLatestJobText);

    // Status notifications never ask for it.
    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"print_stats":{"filename":"b.gcode"}},2.0]})");
    EXPECT_TRUE(queued().empty());
}

TEST_F(Dispatch, ASubscriptionReplyWithoutStatusRunsNothingAndQueuesNothing) {
    connection->update_status([](MachineStatus& status) { status.print_stats.filename = "cube.gcode"; });
    for (const char* reply : {R"({"jsonrpc":"2.0","result":{"eventtime":1.0},"id":2})",
                              R"({"jsonrpc":"2.0","result":null,"id":2})",
                              R"({"jsonrpc":"2.0","result":"ok","id":2})",
                              R"({"jsonrpc":"2.0","error":{"code":400,"message":"bad"},"id":2})"}) {
        dispatch(reply);
    }
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_EQ(connection->status_update_count(), 0);
    EXPECT_TRUE(queued().empty());
}

// A float id or job count takes the status integer rule: truncated toward
// zero, saturated at 64 bits, low 32 bits kept; never an undefined cast.
TEST_F(Dispatch, FloatIdsAndJobCountsFollowTheIntegerRule) {
    const struct {
        const char* number;
        int as_int;
    } cases[] = {{"7.9", 7}, {"-2.5", -2}, {"4294967299.0", 3}, {"1e300", -1}, {"-1e300", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        const std::size_t before = console.text().size();
        dispatch(std::string(R"({"jsonrpc":"2.0","result":"ok","id":)") + c.number + "}");
        EXPECT_EQ(console.text().substr(before), "dev msg receive id:" + std::to_string(c.as_int));

        connection->update_status([](MachineStatus& status) { status.last_job = PrintJobRecord{}; });
        dispatch(std::string(R"({"jsonrpc":"2.0","result":{"count":)") + c.number +
                 R"(,"jobs":[{"job_id":"J"}]},"id":6})");
        EXPECT_EQ(connection->status_copy().last_job.job_id, c.as_int > 0 ? "J" : "");
    }
    EXPECT_FALSE(log.contains("dispatch_message"));
}

TEST_F(Dispatch, ALatestJobReplyFillsTheLastJobFromItsFirstJobOnly) {
    dispatch(R"({"jsonrpc":"2.0","result":{"count":0,"jobs":[{"job_id":"A"}]},"id":6})");
    dispatch(R"({"jsonrpc":"2.0","result":{"count":3,"jobs":[]},"id":6})");
    dispatch(R"({"jsonrpc":"2.0","result":{"count":3},"id":6})");
    dispatch(R"({"jsonrpc":"2.0","result":{"jobs":[{"job_id":"B"}]},"id":6})");
    dispatch(R"({"jsonrpc":"2.0","result":{"count":null,"jobs":[{"job_id":"C"}]},"id":6})");
    dispatch(R"({"jsonrpc":"2.0","result":null,"id":6})");
    EXPECT_EQ(connection->status_copy().last_job.job_id, "");

    dispatch(R"({"jsonrpc":"2.0","result":{"count":2,"jobs":[{"job_id":"first","filename":"a.gcode"},{"job_id":"second","slicer":"S"}]},"id":6})");
    const PrintJobRecord job = connection->status_copy().last_job;
    EXPECT_EQ(job.job_id, "first");
    EXPECT_EQ(job.filename, "a.gcode");
    EXPECT_EQ(job.slicer, "");
    // The record reaches the host only with the next status report.
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_EQ(host_text_events(), 0u);
}

// --- Error replies ----------------------------------------------------------------------

TEST_F(Dispatch, OnlyTheTwoMotionErrorsReachTheHostOncePerMessageAndAnErrorIsNeverRouted) {
    struct Case {
        const char* error;
        std::vector<std::string> reported;
    };
    const Case cases[] = {
        {R"({"code":400,"message":"Move out of range: 9999.000 0.000 0.000 [0.000]"})", {"Move out of range"}},
        {R"({"code":400,"message":"Must home first"})", {"Must home first"}},
        // Mainline Klipper's wording, as recorded in klipper_sim_move_errors.
        {R"({"code":400,"message":"Must home axis first: 10.000 0.000 0.000 [0.000]"})", {"Must home first"}},
        {R"({"code":400,"message":"Must home first; Must home axis first"})", {"Must home first"}},
        // Both errors, in either order in the message: "Move out of range" first.
        {R"({"code":400,"message":"Must home first; Move out of range"})", {"Move out of range", "Must home first"}},
        {R"({"code":400,"message":"Must home axis first; Move out of range"})",
         {"Move out of range", "Must home first"}},
        // Other letter case, other errors, no message: nothing.
        {R"({"code":400,"message":"move out of range"})", {}},
        {R"({"code":400,"message":"MUST HOME FIRST"})", {}},
        {R"({"code":400,"message":"must home axis first"})", {}},
        {R"({"code":400,"message":"Must home"})", {}},
        {R"({"code":-32601,"message":"Method not found"})", {}},
        {R"({"code":400})", {}},
        {R"("Move out of range")", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        const std::size_t before = errors.size();
        for (int id : {7, 4, 5}) dispatch(R"({"jsonrpc":"2.0","error":)" + std::string(c.error) + R"(,"id":)" +
                                          std::to_string(id) + "}");
        std::vector<std::string> expected;
        for (int times = 0; times < 3; ++times) expected.insert(expected.end(), c.reported.begin(), c.reported.end());
        const std::vector<std::string> all = texts_of(errors);
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()), expected);
    }
    EXPECT_EQ(histories.size() + file_lists.size() + file_metas.size(), 0u);
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_EQ(console.count("msg not do:"), 0u);
}

TEST_F(Dispatch, AnErrorWithANullIdIsAMessageWithoutId) {
    const std::string payload = R"({"jsonrpc":"2.0","error":{"code":-32700,"message":"Move out of range"},"id":null})";
    dispatch(payload);
    EXPECT_EQ(console.text(), "devmsg not do:" + payload);
    EXPECT_EQ(errors.size(), 0u);
}

// --- Notifications -------------------------------------------------------------------------

TEST_F(Dispatch, UnknownMethodsAndMessagesWithoutIdOrMethodGetTheConsoleLine) {
    const std::vector<std::string> payloads = {
        R"({"jsonrpc":"2.0","method":"notify_service_state_changed","params":[]})",
        R"({"jsonrpc":"2.0","method":"Notify_Klippy_Ready"})",
        R"({"jsonrpc":"2.0","method":null,"id":null})",
        R"({"jsonrpc":"2.0"})",
        "[1,2]",
        "\"just a string\"",
        "null",
    };
    std::string expected;
    for (const std::string& payload : payloads) {
        dispatch(payload);
        expected += "devmsg not do:" + payload;
    }
    EXPECT_EQ(console.text(), expected);
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_EQ(host_text_events(), 0u);
    EXPECT_TRUE(log.records("error").empty()) << log.text();
}

TEST_F(Dispatch, ProcessStatisticsAreIgnoredSilently) {
    dispatch(test::read_fixture_lines("klipper_sim_session.jsonl").at(3));
    EXPECT_EQ(console.text(), "");
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_EQ(host_text_events(), 0u);
}

TEST_F(Dispatch, OnlyAWellFormedStatisticsNotificationIsIgnoredAndItsNameElsewhereChangesNothing) {
    struct Case {
        const char* payload;
        const char* console;  // the whole console text the message writes
        std::size_t reports;
        bool error_logged;
    };
    const Case cases[] = {
        {R"({"method":"notify_proc_stat_update","params":[{"cpu_temp":null}],"id":null})", "", 0, false},
        {R"({"method":"notify_proc_stat_update","params":[],"id":7})", "dev msg receive id:7", 0, false},
        // With a repeated key the last one counts, as in the parsed message.
        {R"({"method":"notify_proc_stat_update","method":"notify_klippy_ready"})", "", 1, false},
        {R"({"method":"notify_klippy_ready","method":"notify_proc_stat_update"})", "", 0, false},
        {R"({"method":"notify_proc_stat_update","method":null})", R"(devmsg not do:{"method":"notify_proc_stat_update","method":null})", 0, false},
        {R"({"method":"x","params":["notify_proc_stat_update"]})", R"(devmsg not do:{"method":"x","params":["notify_proc_stat_update"]})", 0, false},
        {R"(["notify_proc_stat_update"])", R"(devmsg not do:["notify_proc_stat_update"])", 0, false},
        {R"({"method":{"notify_proc_stat_update":1}})", "", 0, true},  // a method that is no text
        {R"({"method":"notify_proc_stat_update","params":[{"cpu_temp":nul}]})", "", 0, true},
        {R"({"method":"notify_proc_stat_update"} trailing)", "", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        const std::size_t reports_before = reports.size();
        const std::size_t errors_before = log.records("error").size();
        const std::string console_before = console.text();
        dispatch(c.payload);
        EXPECT_EQ(console.text().substr(console_before.size()), c.console);
        EXPECT_EQ(reports.size() - reports_before, c.reports);
        EXPECT_EQ(log.records("error").size() - errors_before, c.error_logged ? 1u : 0u) << log.text();
    }
}

TEST_F(Dispatch, AStatusNotificationRunsTheUpdateForEveryElementIncludingTheEventTime) {
    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"extruder":{"temperature":201.5},"print_stats":{"state":"printing"}},1234.5]})");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(connection->status_update_count(), 2);
    for (const test::StatusReport& report : reports.reports()) {
        EXPECT_EQ(report.device_id, "dev");
        EXPECT_DOUBLE_EQ(report.status.extruder.temperature, 201.5);
        EXPECT_EQ(report.status.job_state, 2);
        EXPECT_EQ(report.status.machine_state, 5);
    }

    // Params that are not an array run nothing.
    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update","params":{"extruder":{"temperature":1.0}}})");
    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update"})");
    EXPECT_EQ(reports.size(), 2u);
    EXPECT_EQ(connection->status_update_count(), 2);
    EXPECT_DOUBLE_EQ(connection->status_copy().extruder.temperature, 201.5);
}

TEST_F(Dispatch, KlipperStateNotificationsReportTheFirmwareStateWithoutDerivation) {
    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"print_stats":{"state":"printing"}},1.0]})");
    const std::size_t before = reports.size();
    const std::map<std::string, std::int32_t> states = {
        {"notify_klippy_ready", 1}, {"notify_klippy_shutdown", 4}, {"notify_klippy_disconnected", 3}};
    for (const auto& [method, firmware_state] : states) {
        SCOPED_TRACE(method);
        dispatch(R"({"jsonrpc":"2.0","method":")" + method + R"("})");
        const test::StatusReport report = reports.last();
        EXPECT_EQ(report.status.firmware_state, firmware_state);
        EXPECT_EQ(report.status.machine_state, 5);  // not derived again
        EXPECT_EQ(report.status.job_state, 2);
    }
    EXPECT_EQ(reports.size(), before + 3);
    EXPECT_EQ(connection->status_update_count(), 2);  // the object and the event time only

    // Klipper's restart ended the subscription: "ready" asks for the printer
    // information and the objects list at once, registered for resending;
    // the other two ask for nothing.
    const std::vector<OutgoingMessage> sent = queued();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].text, R"({"jsonrpc":"2.0","method":"printer.info","params":{},"id":3})");
    EXPECT_EQ(sent[1].request_id, 1);
    EXPECT_EQ(sent[1].text, R"({"jsonrpc":"2.0","method":"printer.objects.list","params":{},"id":1})");
    EXPECT_TRUE(sent[0].await_reply && sent[1].await_reply);

    // The next status element derives from the stored firmware state.
    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"extruder":{"temperature":20.0}}]})");
    EXPECT_EQ(reports.last().status.machine_state, 7);
    EXPECT_EQ(reports.last().status.job_state, 2);

    // A null id does not make a notification a reply.
    dispatch(R"({"jsonrpc":"2.0","method":"notify_klippy_ready","id":null})");
    EXPECT_EQ(reports.last().status.firmware_state, 1);
}

TEST_F(Dispatch, GcodeResponsesChangeTheRecordWithoutAReport) {
    dispatch(R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":["MEASURING RESONANCES START"]})");
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_EQ(connection->status_copy().machine_state, 6);

    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"print_stats":{"state":"standby"}}]})");
    EXPECT_EQ(reports.last().status.machine_state, 6);
    EXPECT_EQ(reports.last().status.job_state, 1);

    // The phrase is searched in the whole text, not only in the params.
    dispatch(R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":[],"note":"load_filament done"})");
    EXPECT_EQ(connection->status_copy().load_filament_state, 3);
}

TEST_F(Dispatch, ChangeNotificationsSignalWithAnEmptyTextAndLogOnlyWhatWasDelivered) {
    dispatch(R"({"jsonrpc":"2.0","method":"notify_filelist_changed","params":[{"action":"create_file","item":{"path":"a.gcode"}}]})");
    dispatch(R"({"jsonrpc":"2.0","method":"notify_history_changed","params":[{"action":"finished","job":{}}]})");
    EXPECT_EQ(texts_of(file_changes), (std::vector<std::string>{""}));
    EXPECT_EQ(texts_of(history_changes), (std::vector<std::string>{""}));
    std::vector<std::string> debug = log.records("debug");
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "file changed:dev"), 1);
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "history changed:dev"), 1);

    manager.set_file_changed_fn({});
    manager.set_history_changed_fn({});
    dispatch(R"({"jsonrpc":"2.0","method":"notify_filelist_changed","params":[]})");
    dispatch(R"({"jsonrpc":"2.0","method":"notify_history_changed","params":[]})");
    debug = log.records("debug");
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "file changed:dev"), 1);
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "history changed:dev"), 1);
}

TEST_F(Dispatch, ACallbackReplacedDuringAReportTakesTheNextReportOfTheSameMessage) {
    test::StatusRecorder replacement;
    int first_calls = 0;
    manager.set_machine_status_changed_fn([&](std::string, MachineStatus) {
        ++first_calls;
        manager.set_machine_status_changed_fn(replacement.callback());
    });
    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"extruder":{"temperature":20.0}},1.5,2.5]})");
    EXPECT_EQ(first_calls, 1);
    EXPECT_EQ(replacement.size(), 2u);

    // Emptied during a report: the rest of the message reaches nobody.
    manager.set_machine_status_changed_fn([&](std::string, MachineStatus) {
        ++first_calls;
        manager.set_machine_status_changed_fn(nullptr);
    });
    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"extruder":{"temperature":21.0}},1.5]})");
    EXPECT_EQ(first_calls, 2);
    EXPECT_EQ(replacement.size(), 2u);
}

TEST_F(Dispatch, MutedCallbacksDeliverNothingButMessagesAreStillConsumed) {
    WebSocketEndpoint endpoint;  // never started: writes fail, registration still happens
    connection->on_open(manager, endpoint, LinkHandle{});
    static_cast<void>(queued());
    connection->transmit(endpoint, LinkHandle{}, 4, "list", true);

    manager.set_callbacks_muted(true);
    dispatch(R"({"jsonrpc":"2.0","result":{"dirs":[]},"id":4})");
    dispatch(R"({"jsonrpc":"2.0","error":{"code":400,"message":"Move out of range"},"id":7})");
    dispatch(R"({"jsonrpc":"2.0","method":"notify_status_update","params":[{"extruder":{"temperature":30.0}}]})");
    dispatch(R"({"jsonrpc":"2.0","method":"notify_klippy_shutdown"})");
    dispatch(R"({"jsonrpc":"2.0","method":"notify_filelist_changed"})");
    dispatch(R"({"jsonrpc":"2.0","method":"notify_history_changed","params":[{"action":"added","job":{"job_id":"7"}}]})");

    EXPECT_EQ(reports.size(), 0u);
    EXPECT_EQ(host_text_events(), 0u);
    EXPECT_TRUE(connection->pending_snapshot().empty());
    const MachineStatus status = connection->status_copy();
    EXPECT_DOUBLE_EQ(status.extruder.temperature, 30.0);
    EXPECT_EQ(status.firmware_state, 4);
    EXPECT_EQ(status.last_job.job_id, "7");
    const std::vector<std::string> debug = log.records("debug");
    EXPECT_FALSE(has_record_containing(debug, "file changed:"));
    EXPECT_FALSE(has_record_containing(debug, "history changed:"));
}

// --- The pending-request table -----------------------------------------------------------

class DispatchPending : public Dispatch {
protected:
    WebSocketEndpoint endpoint;  // never started: writes fail, registration still happens

    void SetUp() override {
        Dispatch::SetUp();
        connection->on_open(manager, endpoint, LinkHandle{});
        static_cast<void>(queued());  // printer.info and objects list of the opening
    }
    void sent(std::int32_t id, const std::string& text) { connection->transmit(endpoint, LinkHandle{}, id, text, true); }
    std::vector<std::int32_t> pending_ids() const {
        std::vector<std::int32_t> ids;
        for (const auto& entry : connection->pending_snapshot()) ids.push_back(entry.first);
        return ids;
    }
};

TEST_F(DispatchPending, OneEntryPerIdHoldsTheLastTextAndTheFirstReplyClearsIt) {
    sent(4, "first list request");
    sent(4, "second list request");
    sent(5, "metadata request");
    ASSERT_EQ(pending_ids(), (std::vector<std::int32_t>{4, 5}));
    EXPECT_EQ(connection->pending_snapshot().at(4).text, "second list request");

    dispatch(R"({"jsonrpc":"2.0","result":{},"id":4})");
    EXPECT_EQ(pending_ids(), (std::vector<std::int32_t>{5}));
    dispatch(R"({"jsonrpc":"2.0","result":{},"id":4})");
    EXPECT_EQ(pending_ids(), (std::vector<std::int32_t>{5}));
    EXPECT_EQ(file_lists.size(), 2u);  // replies cannot be told apart; each one is delivered
}

TEST_F(DispatchPending, ErrorRepliesAndHostTextRepliesClearTheirIdAndADeleteReplyClearsNothingElse) {
    for (std::int32_t id : {1, 2, 3, 5, 7}) sent(id, "request " + std::to_string(id));

    dispatch(R"({"jsonrpc":"2.0","error":{"code":400,"message":"Move out of range: 1 2 3"},"id":7})");
    EXPECT_EQ(pending_ids(), (std::vector<std::int32_t>{1, 2, 3, 5}));
    EXPECT_EQ(texts_of(errors), (std::vector<std::string>{"Move out of range"}));
    EXPECT_EQ(histories.size(), 0u);

    dispatch(R"({"jsonrpc":"2.0","result":{"item":{}},"id":8})");
    EXPECT_EQ(pending_ids(), (std::vector<std::int32_t>{1, 2, 3, 5}));

    // The reply to a host text that chose id 5 is taken for a metadata reply.
    const std::string host_reply = R"({"jsonrpc":"2.0","result":{"filename":"x.gcode"},"id":5})";
    dispatch(host_reply);
    EXPECT_EQ(pending_ids(), (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(texts_of(file_metas), (std::vector<std::string>{host_reply}));
}

TEST_F(DispatchPending, AReplyThatFailsLaterStaysErased) {
    sent(7, "history request");
    sent(6, "latest job request");
    const std::string bad_error = R"({"jsonrpc":"2.0","error":{"code":400,"message":{"text":"Move out of range"}},"id":7})";
    const std::string bad_count = R"({"jsonrpc":"2.0","result":{"count":"1","jobs":[{"job_id":"x"}]},"id":6})";
    dispatch(bad_error);
    dispatch(bad_count);
    EXPECT_TRUE(connection->pending_snapshot().empty());
    EXPECT_EQ(errors.size(), 0u);
    EXPECT_EQ(connection->status_copy().last_job.job_id, "");
    const std::vector<std::string> logged = log.records("error");
    EXPECT_TRUE(has_record_containing(logged, bad_error)) << log.text();
    EXPECT_TRUE(has_record_containing(logged, bad_count)) << log.text();
}

TEST_F(DispatchPending, AnErrorToPrinterInfoOrObjectsListReportsTheFirmwareDisconnectedOnce) {
    // The replies of moonraker_no_klippy and of a Moonraker whose Klipper is
    // not connected yet.
    const std::string info_error = R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"},"id":3})";
    const std::string list_error =
        R"({"jsonrpc":"2.0","error":{"code":503,"message":"Klippy Host not connected"},"id":1})";
    connection->update_status([](MachineStatus& status) {
        status.firmware_state = kFirmwareReady;
        status.job_state = kJobStandby;
        status.machine_state = kMachineCalibrating;
    });

    // Errors to other requests say nothing about Klipper.
    for (int id : {2, 4, 5, 6, 7, 8, 100}) {
        dispatch(R"({"jsonrpc":"2.0","error":{"code":503,"message":"Klippy Host not connected"},"id":)" +
                 std::to_string(id) + "}");
    }
    EXPECT_EQ(reports.size(), 0u);

    // The opening's two requests both fail, and the watchdog's objects list
    // fails again: one report.
    for (const std::string& reply : {info_error, list_error, list_error, info_error}) dispatch(reply);
    ASSERT_EQ(reports.size(), 1u);
    const MachineStatus reported = reports.last().status;
    EXPECT_EQ(reported.firmware_state, kFirmwareDisconnected);
    EXPECT_EQ(reported.machine_state, kMachineFirmwareNotReady);
    EXPECT_EQ(reported.job_state, kJobStandby);
    EXPECT_EQ(reported.connection_state, kConnectionOpen);
    EXPECT_EQ(errors.size(), 0u);
    EXPECT_TRUE(queued().empty());

    // Once Klipper was ready again, the next failure is news again.
    dispatch(R"({"jsonrpc":"2.0","method":"notify_klippy_ready"})");
    ASSERT_EQ(reports.size(), 2u);
    dispatch(list_error);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports.last().status.firmware_state, kFirmwareDisconnected);
    // After notify_klippy_disconnected the failures are no news.
    dispatch(R"({"jsonrpc":"2.0","method":"notify_klippy_ready"})");
    dispatch(R"({"jsonrpc":"2.0","method":"notify_klippy_disconnected"})");
    dispatch(info_error);
    EXPECT_EQ(reports.size(), 5u);

    // On a link that is not open the reply is stale: nothing changes.
    connection->update_status([](MachineStatus& status) { status.firmware_state = kFirmwareReady; });
    connection->on_close(manager, endpoint, LinkHandle{});
    const std::size_t closed = reports.size();
    dispatch(info_error);
    EXPECT_EQ(reports.size(), closed);
    EXPECT_EQ(connection->status_copy().firmware_state, kFirmwareReady);
}

// --- Malformed and wrongly typed messages ---------------------------------------------

TEST_F(Dispatch, MalformedOrWronglyTypedMessagesAreLoggedWithTheirPayloadAndDropped) {
    const std::vector<std::string> payloads = {
        "this is not JSON",
        R"({"jsonrpc":"2.0","result":{"objects":["webhooks"]},"id":1)",
        R"({"jsonrpc":"2.0","result":{},"id":"4"})",
        R"({"jsonrpc":"2.0","method":42,"params":[]})",
        R"({"jsonrpc":"2.0","error":{"code":400,"message":{"text":"Move out of range"}},"id":7})",
        R"({"jsonrpc":"2.0","result":{"count":"1","jobs":[{"job_id":"x"}]},"id":6})",
        R"({"jsonrpc":"2.0","result":{},"id":[4]})",
        "{\"jsonrpc\":\"2.0\",\"result\":\"\xff\xfe\",\"id\":4}",
    };
    const std::string next = R"({"jsonrpc":"2.0","result":{"dirs":[]},"id":4})";
    for (const std::string& payload : payloads) {
        SCOPED_TRACE(payload);
        const std::size_t logged_before = log.records("error").size();
        const std::size_t lists_before = file_lists.size();
        dispatch(payload);
        const std::vector<std::string> logged = log.records("error");
        ASSERT_EQ(logged.size(), logged_before + 1) << log.text();
        EXPECT_NE(logged.back().find(payload), std::string::npos) << logged.back();
        EXPECT_EQ(file_lists.size(), lists_before) << "the bad message was not dropped";

        dispatch(next);
        ASSERT_EQ(file_lists.size(), lists_before + 1);
        EXPECT_EQ(file_lists.events().back().text, next);
    }
    EXPECT_EQ(errors.size(), 0u);
    EXPECT_EQ(reports.size(), 0u);
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(connection->status_copy().last_job.job_id, "");
}

// --- Recorded traffic -----------------------------------------------------------------------

// The plug-in's fixed id for a request of the recording client, so that the
// recorded replies come back as the answers to the plug-in's own requests.
// Anything the plug-in never asks for is treated as a host text with an id of
// its own.
std::int32_t plugin_id_for(const json& request) {
    const std::string method = request.at("method");
    if (method == "printer.objects.list") return 1;
    if (method == "printer.objects.subscribe") return 2;
    if (method == "printer.info") return 3;
    if (method == "server.files.get_directory") return 4;
    if (method == "server.files.metadata") return 5;
    if (method == "server.history.list") {
        const json& params = request.at("params");
        const bool latest = params.value("start", -1) == 0 && params.value("limit", -1) == 1 &&
                            params.value("order", "") == "desc";
        return latest ? 6 : 7;
    }
    if (method == "server.files.delete_file") return 8;
    return 100 + request.at("id").get<std::int32_t>();
}

// `frame` with the id at its end replaced, the rest byte for byte.
std::string with_id(const std::string& frame, std::int32_t recorded, std::int32_t id) {
    const std::string tail = ",\"id\":" + std::to_string(recorded) + "}";
    if (frame.size() < tail.size() || frame.compare(frame.size() - tail.size(), tail.size(), tail) != 0) {
        ADD_FAILURE() << "the frame does not end with its id: " << frame.substr(0, 200);
        return frame;
    }
    return frame.substr(0, frame.size() - tail.size()) + ",\"id\":" + std::to_string(id) + "}";
}

struct Recording {
    const char* name;
    std::vector<std::int32_t> queued_ids;  // what the plug-in asks for by itself, in order
    std::vector<std::string> errors;
    std::size_t file_lists, file_metas, histories, file_changes, history_changes;
    std::size_t klipper_away_reports;  // error replies to printer.info or the objects list that were news
    void (*check)(const MachineStatus&);
    // FNV-1a over the record image of every report, in order: the whole
    // record of each report, as the host receives it.
    std::uint64_t reports_digest;
};

void PrintTo(const Recording& recording, std::ostream* out) { *out << recording.name; }

// Per recording, facts read off the recorded frames. Every notify_klippy_ready
// asks for the printer information and the objects list (ids 3 and 1).
const Recording kRecordings[] = {
    {"klipper_sim_session", {2, 3, 1}, {}, 0, 1, 0, 0, 4, 0,
     [](const MachineStatus& s) {
         EXPECT_EQ(s.firmware_state, 1);
         EXPECT_EQ(s.model, "vm");
         EXPECT_EQ(s.print_stats.state, "complete");
         EXPECT_EQ(s.job_state, 4);
         EXPECT_EQ(s.machine_state, 4);
         EXPECT_EQ(s.print_stats.filename, "cube_sim.gcode");
         EXPECT_EQ(s.virtual_sdcard.file_size, 3313);
         EXPECT_EQ(s.toolhead.stalls, 2);
         // Jobs 000003 and 000004, each added and finished.
         EXPECT_EQ(s.last_job.job_id, "000004");
         EXPECT_EQ(s.last_job.status, "completed");
         EXPECT_DOUBLE_EQ(s.last_job.end_time, 1796791775.7555308);
         EXPECT_EQ(s.last_job.thumbnail_path, ".thumbs/cube_sim-32x32.png");
     },
     0xee9ea9047e92f6b5},
    // Its first subscription finds the previous job's file still loaded.
    {"klipper_sim_pause_resume_cancel_restart", {6, 3, 1, 3, 1}, {}, 0, 0, 1, 0, 2, 0,
     [](const MachineStatus& s) {
         EXPECT_EQ(s.firmware_state, 1);
         EXPECT_EQ(s.print_stats.state, "standby");
         EXPECT_EQ(s.print_stats.filename, "");
         EXPECT_EQ(s.job_state, 1);
         EXPECT_EQ(s.last_job.job_id, "000005");
     },
     0xf7fafe492bc69012},
    {"failed_stepper_too_far_in_past", {2}, {}, 0, 1, 0, 0, 2, 0,
     [](const MachineStatus& s) {
         EXPECT_EQ(s.firmware_state, 4);
         EXPECT_EQ(s.webhooks.state, "shutdown");
         // "paused" arrived after the shutdown: not derived any more.
         EXPECT_EQ(s.print_stats.state, "paused");
         EXPECT_EQ(s.machine_state, 7);
         EXPECT_EQ(s.job_state, 2);
         EXPECT_EQ(s.last_job.job_id, "000001");
     },
     0x6579839121775581},
    // Mainline Klipper's "Must home axis first" reaches the host as "Must home first".
    {"klipper_sim_move_errors", {3, 1}, {"Must home first", "Move out of range", "Move out of range"}, 0, 0, 0, 0, 0, 0,
     [](const MachineStatus& s) {
         EXPECT_EQ(s.firmware_state, 1);
         EXPECT_EQ(s.model, "vm");
         EXPECT_EQ(s.machine_state, 0);
     },
     0xe0753be66c72dfa7},
    {"klippy_mcu_shutdown", {2}, {}, 0, 0, 0, 0, 0, 0,
     [](const MachineStatus& s) {
         EXPECT_EQ(s.firmware_state, 4);
         EXPECT_EQ(s.machine_state, 7);
         EXPECT_EQ(s.webhooks.state, "shutdown");
     },
     0xfd071b29712c3200},
    // printer.info and the objects list both fail: one report that Klipper is away.
    {"moonraker_no_klippy", {}, {}, 2, 1, 0, 12, 0, 1,
     [](const MachineStatus& s) {
         EXPECT_EQ(s.firmware_state, 3);
         EXPECT_EQ(s.model, "");
         EXPECT_EQ(s.machine_state, 7);
         EXPECT_EQ(s.last_job.job_id, "");
     },
     0xe69553db0c0d6592},
    // The loaded file asks for the latest job; Klipper's restart asks for the
    // objects list; the stream that comes back after subscribing again is applied.
    {"klipper_restart_drops_subscription", {2, 6, 3, 1}, {}, 0, 0, 0, 0, 0, 0,
     [](const MachineStatus& s) {
         EXPECT_EQ(s.firmware_state, 1);
         EXPECT_EQ(s.print_stats.state, "standby");
         EXPECT_EQ(s.machine_state, 4);
         EXPECT_EQ(s.job_state, 1);
         EXPECT_DOUBLE_EQ(s.extruder.temperature, 93.66);
     },
     0x51b86c3c8461df79},
};

// Replayed on an open link, as the plug-in meets the printer.
class RecordedTraffic : public DispatchPending, public ::testing::WithParamInterface<Recording> {};

TEST_P(RecordedTraffic, EveryFrameAsRecordedPassesWithoutAnError) {
    // The recording client's own ids: replies land on whatever the plug-in
    // routes those ids to, and must still never escape or be logged as bad.
    const std::string name = GetParam().name;
    for (const std::string& frame : test::read_fixture_lines(name + ".jsonl")) dispatch(frame);
    EXPECT_TRUE(log.records("error").empty()) << log.text();
}

TEST_P(RecordedTraffic, EveryFrameAsTheAnswerToThePluginsRequests) {
    const Recording& recording = GetParam();
    const std::string name = recording.name;
    std::map<std::int32_t, std::int32_t> id_map;
    for (const std::string& line : test::read_fixture_lines(name + ".sent.jsonl")) {
        const json request = json::parse(line);
        id_map[request.at("id").get<std::int32_t>()] = plugin_id_for(request);
    }

    std::size_t replies = 0, status_elements = 0, firmware_reports = 0, job_reports = 0;
    std::vector<std::string> subscribe_lists;  // objects of every objects-list reply
    for (const std::string& frame : test::read_fixture_lines(name + ".jsonl")) {
        const json message = json::parse(frame);
        std::string payload = frame;
        if (message.contains("id")) {
            ++replies;
            const std::int32_t recorded = message.at("id").get<std::int32_t>();
            ASSERT_EQ(id_map.count(recorded), 1u) << "a reply to a request that was not sent";
            const std::int32_t id = id_map[recorded];
            payload = with_id(frame, recorded, id);
            const bool ok = !message.contains("error");
            if (ok && id == 1) subscribe_lists.push_back(message.at("result").at("objects").dump());
            if (ok && id == 2 && message.at("result").contains("status")) ++status_elements;
        } else {
            const std::string method = message.at("method");
            if (method == "notify_status_update") status_elements += message.at("params").size();
            if (method.rfind("notify_klippy_", 0) == 0) ++firmware_reports;
            if (method == "notify_history_changed") ++job_reports;  // each recorded one carries a job
        }
        dispatch(payload);
    }

    EXPECT_TRUE(log.records("error").empty()) << log.text();
    EXPECT_EQ(console.count(" msg receive id:"), replies);
    EXPECT_EQ(console.count("msg not do:"), 0u);
    EXPECT_EQ(reports.size(), status_elements + firmware_reports + job_reports + recording.klipper_away_reports);
    EXPECT_EQ(static_cast<std::size_t>(connection->status_update_count()), status_elements);

    const std::vector<OutgoingMessage> sent = queued();
    std::vector<std::int32_t> sent_ids;
    std::size_t subscription = 0;
    for (const OutgoingMessage& message : sent) {
        sent_ids.push_back(message.request_id);
        EXPECT_EQ(message.device_id, "dev");
        EXPECT_TRUE(message.await_reply);
        if (message.request_id == 6) {
            EXPECT_EQ(message.text, kLatestJobText);
        }
        if (message.request_id == 2) {
            // Subscribes to exactly the listed objects.
            ASSERT_LT(subscription, subscribe_lists.size());
            const json listed = json::parse(subscribe_lists[subscription++]);
            const json params = json::parse(message.text).at("params").at("objects");
            EXPECT_EQ(params.size(), listed.size());
            for (const json& object : listed) EXPECT_TRUE(params.contains(object.get<std::string>())) << object;
        }
    }
    EXPECT_EQ(sent_ids, recording.queued_ids);

    EXPECT_EQ(texts_of(errors), recording.errors);
    EXPECT_EQ(file_lists.size(), recording.file_lists);
    EXPECT_EQ(file_metas.size(), recording.file_metas);
    EXPECT_EQ(histories.size(), recording.histories);
    EXPECT_EQ(file_changes.size(), recording.file_changes);
    EXPECT_EQ(history_changes.size(), recording.history_changes);
    std::uint64_t digest = test::fnv1a("");
    for (const test::StatusReport& report : reports.reports()) {
        EXPECT_EQ(report.device_id, "dev");
        digest = test::fnv1a(test::record_image(report.status), digest);
    }
    EXPECT_EQ(digest, recording.reports_digest) << std::hex << "0x" << digest;
    recording.check(connection->status_copy());
}

INSTANTIATE_TEST_SUITE_P(Recordings, RecordedTraffic, ::testing::ValuesIn(kRecordings),
                         [](const ::testing::TestParamInfo<Recording>& param) { return std::string(param.param.name); });


// --- The status shortcut --------------------------------------------------------
//
// Status notifications are read by a quick reader that builds only what the
// status parsers read. Whatever the text, routing must give exactly what the
// full parse gives: the same actions, the same reports and the same record.

struct ShortcutCase {
    const char* what;
    bool quick;  // whether the quick reader takes the text (else the full parse does)
    std::string payload;
};

std::string status_text(const std::string& params) {
    return R"({"jsonrpc":"2.0","method":"notify_status_update","params":)" + params + "}";
}

TEST(StatusShortcut, RoutesEveryTextAsTheFullParseDoes) {
    // About 10^900000, written with 100,000 leading zeros: longer than the fuzz runs' inputs.
    const std::string huge = "0." + std::string(99999, '0') + "1e1000000";
    const ShortcutCase cases[] = {
        {"a huge number behind long zeros, read", false, status_text(R"([{"extruder":{"temperature":)" + huge + "}}]")},
        {"... not read", false, status_text(R"([{"mcu":{"x":)" + huge + R"(},"fan":{"speed":1}}])")},
        {"... in the configuration", false, status_text(R"([{"configfile":{"settings":{"fan":{"x":[)" + huge + "]}}}}]")},
        {"... in process statistics", false, R"({"method":"notify_proc_stat_update","params":[{"cpu_temp":)" + huge + "}]}"},
        {"unread objects and keys, nested", true,
         status_text(R"([{"mcu":{"last_stats":{"a":[1,{"b":null}],"c":true}},"extruder":{"temperature":201.5,"x":{"y":[2]},"target":400},"print_stats":{"state":"printing","info":{"total_layer":12,"current_layer":2.0,"z":1}}},948.2])")},
        {"repeated object: the last wins", true,
         status_text(R"([{"toolhead":{"homed_axes":"xyz","stalls":3},"toolhead":{"print_time":5.5}}])")},
        {"repeated object, last not an object", true,
         status_text(R"([{"extruder":{"temperature":3.0},"extruder":5}])")},
        {"repeated field and array", true,
         status_text(R"([{"extruder":{"temperature":1,"temperature":2},"toolhead":{"position":[1,2,3,4,5],"position":[7]}}])")},
        {"numbers at their limits", true,
         status_text(R"([{"virtual_sdcard":{"file_position":18446744073709551615,"file_size":-9223372036854775809,"progress":-0},"fan":{"rpm":18446744073709551616,"speed":1e308},"toolhead":{"stalls":-3.9,"max_accel":1.5E+2,"max_velocity":0.1e-3,"x":1e-999}}])")},
        {"decimals and integers one by one", true,
         status_text(R"([{"extruder":{"temperature":0.1}},{"extruder":{"temperature":-0.0}},{"extruder":{"temperature":0.000001}},{"extruder":{"temperature":123.456e-5}},{"extruder":{"temperature":1e22}},{"extruder":{"temperature":1e23}},{"extruder":{"temperature":9007199254740992.5}},{"extruder":{"temperature":9007199254740993.0}},{"extruder":{"temperature":0.30000000000000004}},{"extruder":{"temperature":1.7976931348623157e308}},{"extruder":{"temperature":4.9e-324}},{"extruder":{"temperature":2.2250738585072011e-308}},{"extruder":{"temperature":123456789012345678.5}},{"extruder":{"temperature":1E-22}},{"extruder":{"temperature":7.0e-23}},{"extruder":{"temperature":-98765.4321e+3}},{"virtual_sdcard":{"file_position":0},"toolhead":{"max_accel":0}},{"virtual_sdcard":{"file_position":-0},"toolhead":{"max_accel":-0}},{"virtual_sdcard":{"file_position":123456789012345678},"toolhead":{"max_accel":123456789012345678}},{"virtual_sdcard":{"file_position":-123456789012345678},"toolhead":{"max_accel":-123456789012345678}},{"virtual_sdcard":{"file_position":1234567890123456789},"toolhead":{"max_accel":1234567890123456789}},{"virtual_sdcard":{"file_position":-1234567890123456789},"toolhead":{"max_accel":-1234567890123456789}},{"virtual_sdcard":{"file_position":9223372036854775807},"toolhead":{"max_accel":9223372036854775807}},{"virtual_sdcard":{"file_position":-9223372036854775808},"toolhead":{"max_accel":-9223372036854775808}},{"virtual_sdcard":{"file_position":4294967297},"toolhead":{"max_accel":4294967297}},{"virtual_sdcard":{"file_position":-4294967297},"toolhead":{"max_accel":-4294967297}}])")},
        {"long digit runs, leading zeros, digits past the 18th", true,
         status_text(R"([{"extruder":{"temperature":12345678901234567.25,"power":0.00000000123456789012345,"target":98765432109876543210.5},"toolhead":{"max_accel":1234567812345678,"stalls":12345678}}])")},
        {"arrays: leading numbers against the slots", true,
         status_text(R"([{"toolhead":{"position":[1,2,3,4,"x"],"axis_minimum":[1,2,"x"],"axis_maximum":[-1.5,2e3]},"bed_mesh":{"mesh_min":[1,2,3],"mesh_max":[[1],2]}}])")},
        {"long plain strings, and one with non-ASCII past eight bytes", true,
         status_text(R"([{"webhooks":{"state_message":"Printer is ready and waiting for a job"},"print_stats":{"filename":"benchy_0.2mm_PLA_1h2m.gcode"}}])")},
        {"non-ASCII past eight bytes is left to the full parse", false,
         status_text("[{\"print_stats\":{\"message\":\"0123456789\xc3\xa9\"}}]")},
        {"a number beyond a double is an error", false, status_text(R"([{"fan":{"speed":1e999}}])")},
        {"even where nothing reads it", false, status_text(R"([{"mcu":{"x":[-1E+400]}}])")},
        {"a long integer beyond a double", false,
         status_text("[{\"mcu\":{\"x\":" + std::string(400, '9') + "}},{\"fan\":{\"speed\":1}}]")},
        {"integer rule on flags and layers on floats", true,
         status_text(R"([{"fan":{"rpm":true},"print_stats":{"info":{"total_layer":4.0,"current_layer":-1}}}])")},
        {"wrong types are logged and skipped", true,
         status_text(R"([{"extruder":{"temperature":"hot","can_extrude":1},"toolhead":{"homed_axes":5,"position":[1,"x"]},"idle_timeout":{"state":[]}}])")},
        {"nulls clear or keep", true,
         status_text(R"([{"print_stats":{"filename":"a.gcode","state":"paused"}},{"print_stats":{"filename":null},"toolhead":{"homed_axes":null},"extruder":{"temperature":null}}])")},
        {"an object read as an array, in key order", true,
         status_text(R"([{"gcode_move":{"position":{"b":2,"a":1,"c":3}},"bed_mesh":{"mesh_min":7,"mesh_max":{"q":[1]}}}])")},
        {"nested paths and their missing levels", true,
         status_text(R"([{"configfile":{"settings":{"fan":{"max_power":0.8,"other":1}},"save_config_pending":true}},{"configfile":{"settings":3}}])")},
        {"switches and colours", true,
         status_text(R"([{"output_pin LED_WHITE":{"value":1.0},"output_pin LED_RED":{"value":0.5},"output_pin box_led":{"value":0.05},"fan_generic box_fan":{"value":1,"speed":0.3,"rpm":7},"output_pin BOXFAN_pin":{"value":0.9}}])")},
        {"elements that are not objects", true, status_text(R"([1.5,null,[1,{"extruder":{"temperature":9}}],"x",true,{}])")},
        {"params not an array, or missing", true, R"({"jsonrpc":"2.0","method":"notify_status_update","params":{"extruder":{"temperature":1.0}}})"},
        {"repeated params: the last wins", true,
         R"({"method":"notify_status_update","params":[{"extruder":{"temperature":1.0}}],"params":[{"heater_bed":{"target":50}}]})"},
        {"method after params, space around everything", true,
         " \t{ \"params\" : [ { \"heater_bed\" : { \"temperature\" : 60 , \"power\" : 0.5 } } , 1 ] ,\r\n \"method\" : \"notify_status_update\" } \n"},
        {"a null id is no id", true, R"({"id":null,"method":"notify_status_update","params":[{"fan":{"speed":0.5}}]})"},
        {"an id makes it a reply", true, R"({"method":"notify_status_update","id":3,"params":[{"fan":{"speed":0.5}}]})"},
        {"a method that is not a string", true, R"({"params":[{"fan":{"speed":0.5}}],"method":5,"x":"notify_status_update"})"},
        {"process statistics", true,
         R"({"jsonrpc":"2.0","method":"notify_proc_stat_update","params":[{"moonraker_stats":{"time":1.5,"cpu_usage":2.1},"cpu_temp":45.2,"network":{"lo":{"rx_bytes":12}},"websocket_connections":2}]})"},
        {"process statistics with an id are a reply", true,
         R"({"method":"notify_proc_stat_update","params":[{"extruder":{"temperature":3}}],"id":7})"},
        {"process statistics with a bad number", false,
         R"({"method":"notify_proc_stat_update","params":[{"cpu_temp":1e999}]})"},
        {"another method", true, R"({"method":"notify_status_updates","params":[{"fan":{"speed":0.5}}]})"},
        {"escapes are left to the full parse", false,
         status_text(R"([{"print_stats":{"state":"pr\u0069nting","message":"a\"b\\c\n"}}])")},
        {"non-ASCII text is left to the full parse", false, status_text("[{\"print_stats\":{\"message\":\"caf\xc3\xa9\"}}]")},
        {"invalid UTF-8 is an error", false, status_text("[{\"print_stats\":{\"message\":\"\xff\"}}]")},
        {"deep nesting is left to the full parse", false,
         status_text("[{\"mcu\":" + std::string(40, '[') + std::string(40, ']') + ",\"fan\":{\"speed\":0.25}}]")},
        {"truncated text is an error", false, status_text(R"([{"extruder":{"temperature":201.5)")},
        {"a trailing comma is an error", false, status_text(R"([{"extruder":{"temperature":1,}}])")},
        {"trailing text is an error", false, status_text(R"([{"extruder":{"temperature":1}}])") + "x"},
        {"a leading zero is an error", false, status_text(R"([{"extruder":{"temperature":01}}])")},
        {"a bare fraction is an error", false, status_text(R"([{"extruder":{"temperature":1.}}])")},
        {"an error in an unread object is an error", false, status_text(R"([{"extruder":{"temperature":1}},{"mcu":{"x":tru}}])")},
    };
    for (const ShortcutCase& c : cases) {
        SCOPED_TRACE(c.what);
        StatusNotificationText unused;
        EXPECT_EQ(read_status_notification(c.payload, unused), c.quick);
        for (bool link_open : {false, true}) {
            const PrinterView printer{"dev", link_open, true};
            MachineStatus quick;
            quick.model = "Zorim Alto";
            quick.connection_state = kConnectionOpen;
            MachineStatus full = quick;
            RouteResult quick_result, full_result;
            route_message(printer, c.payload, quick, quick_result);
            route_message_from_full_parse(printer, c.payload, full, full_result);
            EXPECT_EQ(test::record_image(quick), test::record_image(full));
            EXPECT_EQ(quick_result.status_updates, full_result.status_updates);
            ASSERT_EQ(quick_result.actions.size(), full_result.actions.size());
            for (std::size_t i = 0; i < quick_result.actions.size(); ++i) {
                EXPECT_EQ(quick_result.actions[i].kind, full_result.actions[i].kind);
                EXPECT_EQ(quick_result.actions[i].id, full_result.actions[i].id);
                EXPECT_EQ(quick_result.actions[i].text, full_result.actions[i].text);
            }
            ASSERT_EQ(quick_result.records.size(), full_result.records.size());
            for (std::size_t i = 0; i < quick_result.records.size(); ++i) {
                EXPECT_EQ(test::record_image(quick_result.records[i]), test::record_image(full_result.records[i]));
            }
        }
    }
}

}  // namespace
}  // namespace zorim
