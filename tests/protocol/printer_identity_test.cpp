// The printer's identity from its printer.info reply: Klipper state, model
// name and software version in the status record.
#include "protocol/printer_identity.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "connection/printer_connection.h"
#include "connection/printer_manager.h"
#include "support/test_support.h"

namespace zorim {
namespace {

using nlohmann::json;

class PrinterIdentity : public ::testing::Test {
protected:
    test::ConsoleCapture console;  // keeps the dispatch's console lines out of the test output
    std::shared_ptr<PrinterConnection> connection =
        std::make_shared<PrinterConnection>("dev", LinkHandle{}, "ws://x/websocket");

    MachineStatus folded;  // one printer's record across the calls of a test

    MachineStatus apply(const std::string& result) {
        apply_printer_info(folded, json::parse(result));
        return folded;
    }
    std::string model_after(const std::string& result) { return apply(result).model; }
};

TEST_F(PrinterIdentity, KlipperStateSetsFirmwareStateOnlyForTheFourKnownStates) {
    EXPECT_EQ(apply(R"({"state":"ready"})").firmware_state, 1);
    EXPECT_EQ(apply(R"({"state":"shutdown"})").firmware_state, 4);
    EXPECT_EQ(apply(R"({"state":"startup"})").firmware_state, 4);
    EXPECT_EQ(apply(R"({"state":"disconnected"})").firmware_state, 3);
    EXPECT_EQ(apply(R"({"state":"error"})").firmware_state, 4);  // cannot print: not ready, not idle
    EXPECT_EQ(apply(R"({"state":"disconnected"})").firmware_state, 3);
    EXPECT_EQ(apply(R"({"state":"Ready"})").firmware_state, 3);
    EXPECT_EQ(apply(R"({"state":null})").firmware_state, 3);
}

TEST_F(PrinterIdentity, TheZorimHostNameTakesItsModelFromTheCoreCount) {
    EXPECT_EQ(model_after(R"({"hostname":"zorim","cpu_info":"4 core ARM Cortex-A53"})"), "Zorim Alto");
    EXPECT_EQ(model_after(R"({"hostname":"zorim","cpu_info":"2 core ARM Cortex-A7"})"), "Zorim Brio");
    EXPECT_EQ(model_after(R"({"hostname":"zorim","cpu_info":"2 core, 4 core"})"), "Zorim Alto");
    EXPECT_EQ(model_after(R"({"hostname":"zorim","cpu_info":"8 core"})"), "zorim");
    EXPECT_EQ(model_after(R"({"hostname":"zorim","cpu_info":"4 Core"})"), "zorim");
}

TEST_F(PrinterIdentity, OtherHostNamesGetOneSpaceAfterTheirFirstZorim) {
    EXPECT_EQ(model_after(R"({"hostname":"nimbi-hub"})"), "Zorim Corsa");
    EXPECT_EQ(model_after(R"({"hostname":"nimbi-hub-2"})"), "nimbi-hub-2");
    EXPECT_EQ(model_after(R"({"hostname":"Zorim"})"), "Zorim ");
    EXPECT_EQ(model_after(R"({"hostname":"ZorimZorim"})"), "Zorim Zorim");
    EXPECT_EQ(model_after(R"({"hostname":"ZorimX1"})"), "Zorim X1");
    EXPECT_EQ(model_after(R"({"hostname":"Zorim X1"})"), "Zorim X1");
    EXPECT_EQ(model_after(R"({"hostname":"my Zorim  X1"})"), "my Zorim  X1");
    EXPECT_EQ(model_after(R"({"hostname":"ZORIM"})"), "ZORIM");
    EXPECT_EQ(model_after(R"({"hostname":"vm"})"), "vm");
    EXPECT_EQ(model_after(R"({"hostname":""})"), "");
    // Only the exact "zorim" reads cpu_info.
    EXPECT_EQ(model_after(R"({"hostname":"zorim2","cpu_info":"4 core"})"), "zorim2");
}

TEST_F(PrinterIdentity, MissingMembersLeaveTheirFieldsAndTheOtherStepsStillApply) {
    apply(R"({"state":"shutdown","hostname":"nimbi-hub","software_version":"v1"})");

    MachineStatus status = apply(R"({"state":"ready","software_version":"v2"})");
    EXPECT_EQ(status.model, "Zorim Corsa");
    EXPECT_EQ(status.firmware_state, 1);
    EXPECT_EQ(status.software_version, "v2");

    status = apply(R"({"hostname":null,"software_version":null,"state":"disconnected"})");
    EXPECT_EQ(status.model, "Zorim Corsa");
    EXPECT_EQ(status.software_version, "v2");
    EXPECT_EQ(status.firmware_state, 3);

    status = apply(R"({"hostname":"vm"})");
    EXPECT_EQ(status.model, "vm");
    EXPECT_EQ(status.software_version, "v2");
    EXPECT_EQ(status.firmware_state, 3);
}

TEST_F(PrinterIdentity, TheRecordedReplyFillsTheRecordWithoutAReport) {
    PrinterManager manager(test::fast_timing());
    test::StatusRecorder reports;
    manager.set_machine_status_changed_fn(reports.callback());

    // Third frame of the recording: the reply to printer.info (id 3 there too).
    connection->dispatch_message(manager, test::read_fixture_lines("klipper_sim_session.jsonl").at(2));
    const MachineStatus status = connection->status_copy();
    EXPECT_EQ(status.firmware_state, 1);
    EXPECT_EQ(status.model, "vm");
    EXPECT_EQ(status.software_version, "v0.13.0-730-g84104bbbd");
    EXPECT_EQ(reports.size(), 0u);
}

// --- Wrongly typed replies -------------------------------------------------------

class PrinterIdentityContainment : public PrinterIdentity {
protected:
    test::LogCapture log{4};
    PrinterManager manager{test::fast_timing()};
    test::TextRecorder file_lists;

    void SetUp() override { manager.set_file_list_arrived_fn(file_lists.callback()); }

    // Sends `result` as a printer.info reply; the dispatch must contain
    // whatever the reading raises and log it with the message.
    void dispatch_info(const std::string& result) {
        const std::string reply = R"({"jsonrpc":"2.0","result":)" + result + R"(,"id":3})";
        ASSERT_NO_THROW(connection->dispatch_message(manager, reply));
        bool logged = false;
        for (const std::string& record : log.records("error")) logged = logged || record.find(reply) != std::string::npos;
        EXPECT_TRUE(logged) << "no error record holds " << reply << "\nlog:\n" << log.text();

        // The connection goes on handling messages.
        const std::string next = R"({"jsonrpc":"2.0","result":{"dirs":[]},"id":4})";
        const std::size_t before = file_lists.size();
        connection->dispatch_message(manager, next);
        ASSERT_EQ(file_lists.size(), before + 1);
        EXPECT_EQ(file_lists.events().back().text, next);
    }
};

TEST_F(PrinterIdentityContainment, ZorimWithoutCpuInfoIsLoggedAndDropped) {
    apply(R"({"hostname":"vm","software_version":"v1"})");
    dispatch_info(R"({"state":"ready","hostname":"zorim","software_version":"v9"})");
    const MachineStatus status = connection->status_copy();
    // The state comes before the bad member; what the model holds after the
    // failed step is either the host name or the earlier model, never garbage.
    EXPECT_EQ(status.firmware_state, 1);
    EXPECT_TRUE(status.model == "zorim" || status.model == "vm") << status.model;
}

TEST_F(PrinterIdentityContainment, MembersOfTheWrongTypeAreLoggedAndDropped) {
    dispatch_info(R"({"hostname":"zorim","cpu_info":4})");
    dispatch_info(R"({"state":1})");
    dispatch_info(R"({"hostname":["zorim"]})");
    dispatch_info(R"({"software_version":{"major":1}})");
}

}  // namespace
}  // namespace zorim
