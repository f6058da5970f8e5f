// The requests the plug-in composes: their exact texts, ids and resend flags
// as the printer receives them, and how host-given strings are put into them.
#include "protocol/request_catalogue.h"

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "connection/printer_manager.h"
#include "support/test_support.h"

namespace zorim {
namespace {

using nlohmann::json;
using test::take_queued;

// What one request operation put on the send queue.
OutgoingMessage queued_by(const std::function<void(PrinterManager&)>& operation) {
    PrinterManager manager(test::fast_timing());
    operation(manager);
    std::vector<OutgoingMessage> queued = take_queued(manager);
    if (queued.size() != 1) {
        ADD_FAILURE() << "expected one queued request, found " << queued.size();
        return {};
    }
    return queued.front();
}

struct ExpectedRequest {
    const char* what;
    std::function<void(PrinterManager&)> operation;
    std::int32_t id;
    bool await_reply;
    const char* text;
};

TEST(RequestCatalogue, EveryOperationQueuesItsExactTextWithItsIdAndResendFlag) {
    const std::vector<ExpectedRequest> requests = {
        {"objects list", [](PrinterManager& m) { m.request_objects_list("dev"); }, 1, true,
         R"({"jsonrpc":"2.0","method":"printer.objects.list","params":{},"id":1})"},
        {"subscribe", [](PrinterManager& m) { m.request_subscribe("dev", R"("objects":{"webhooks":null})"); }, 2,
         true, R"({"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{"webhooks":null}},"id":2})"},
        {"printer info", [](PrinterManager& m) { m.request_printer_info("dev"); }, 3, true,
         R"({"jsonrpc":"2.0","method":"printer.info","params":{},"id":3})"},
        {"file list", [](PrinterManager& m) { m.request_file_list("dev", "gcodes"); }, 4, true,
         R"({"jsonrpc":"2.0","method":"server.files.get_directory","params":{"path":"gcodes"},"id":4})"},
        {"file metadata", [](PrinterManager& m) { m.request_file_metadata("dev", "cube_sim.gcode"); }, 5, true,
         R"({"jsonrpc":"2.0","method":"server.files.metadata","params":{"filename":"cube_sim.gcode"},"id":5})"},
        {"latest job", [](PrinterManager& m) { m.request_latest_job("dev"); }, 6, true,
         R"({"jsonrpc":"2.0","method":"server.history.list","params":{"start":0,"limit":1,"order":"desc"},"id":6})"},
        {"history page", [](PrinterManager& m) { m.request_history("dev", 20, 10, "asc"); }, 7, true,
         R"({"jsonrpc":"2.0","method":"server.history.list","params":{"start":20,"limit":10,"order":"asc"},"id":7})"},
        {"delete file", [](PrinterManager& m) { m.request_delete_file("dev", "cube_sim.gcode"); }, 8, false,
         R"({"jsonrpc":"2.0","method":"server.files.delete_file","params":{"path":"gcodes/cube_sim.gcode"},"id":8})"},
    };
    for (const ExpectedRequest& expected : requests) {
        SCOPED_TRACE(expected.what);
        const OutgoingMessage message = queued_by(expected.operation);
        EXPECT_EQ(message.text, expected.text);
        EXPECT_EQ(message.request_id, expected.id);
        EXPECT_EQ(message.await_reply, expected.await_reply);
        EXPECT_EQ(message.device_id, "dev");
        EXPECT_EQ(message.age, 0);
    }
}

TEST(RequestCatalogue, HistoryNumbersAreWrittenInDecimalWithTheirSign) {
    EXPECT_EQ(queued_by([](PrinterManager& m) { m.request_history("dev", -1, -20, "desc"); }).text,
              R"({"jsonrpc":"2.0","method":"server.history.list","params":{"start":-1,"limit":-20,"order":"desc"},"id":7})");
    EXPECT_EQ(queued_by([](PrinterManager& m) { m.request_history("dev", INT32_MIN, INT32_MAX, "desc"); }).text,
              R"({"jsonrpc":"2.0","method":"server.history.list","params":{"start":-2147483648,"limit":2147483647,"order":"desc"},"id":7})");
}

TEST(RequestCatalogue, DeletePathIsTheGcodesFolderFollowedDirectlyByTheName) {
    auto delete_text = [](const std::string& name) {
        return queued_by([&](PrinterManager& m) { m.request_delete_file("dev", name); }).text;
    };
    EXPECT_EQ(delete_text("/cube.gcode"),
              R"({"jsonrpc":"2.0","method":"server.files.delete_file","params":{"path":"gcodes//cube.gcode"},"id":8})");
    EXPECT_EQ(delete_text(""),
              R"({"jsonrpc":"2.0","method":"server.files.delete_file","params":{"path":"gcodes/"},"id":8})");
    EXPECT_EQ(delete_text("sub/dir/part 1.gcode"),
              R"({"jsonrpc":"2.0","method":"server.files.delete_file","params":{"path":"gcodes/sub/dir/part 1.gcode"},"id":8})");
}

// --- Host strings inside the texts ----------------------------------------------

// Each host-given string, the request it lands in, and where its value sits
// in the parsed request.
struct HostStringSlot {
    const char* what;
    std::function<std::string(const std::string&)> compose;
    const char* method;
    std::int32_t id;
    const char* key;
    std::string prefix;  // what the request puts before the host's value
};

std::vector<HostStringSlot> host_string_slots() {
    auto text_of = [](const std::function<void(PrinterManager&)>& operation) { return queued_by(operation).text; };
    return {
        {"file-list path",
         [=](const std::string& v) { return text_of([&](PrinterManager& m) { m.request_file_list("dev", v); }); },
         "server.files.get_directory", 4, "path", ""},
        {"metadata file name",
         [=](const std::string& v) { return text_of([&](PrinterManager& m) { m.request_file_metadata("dev", v); }); },
         "server.files.metadata", 5, "filename", ""},
        {"history order",
         [=](const std::string& v) { return text_of([&](PrinterManager& m) { m.request_history("dev", 0, 5, v); }); },
         "server.history.list", 7, "order", ""},
        {"deleted file name",
         [=](const std::string& v) { return text_of([&](PrinterManager& m) { m.request_delete_file("dev", v); }); },
         "server.files.delete_file", 8, "path", "gcodes/"},
    };
}

TEST(RequestCatalogue, HostStringsWithQuotesBackslashesAndControlsArriveExactlyAsGiven) {
    const std::vector<std::string> awkward = {
        R"(my "best" cube.gcode)",
        R"(C:\prints\cube.gcode)",
        "trailing backslash\\",
        "line\nbreak\ttab\rreturn",
        std::string("nul\0inside", 10),
        "\x01\x1f bell\x07",
        // Would rewrite the request with raw concatenation: a second "path"
        // member pointing at the printer's configuration.
        R"(a.gcode","path":"config/printer.cfg)",
        R"(x"},"id":1,"method":"printer.emergency_stop","params":{"a":")",
    };
    for (const HostStringSlot& slot : host_string_slots()) {
        for (const std::string& value : awkward) {
            SCOPED_TRACE(std::string(slot.what) + ": " + json(value).dump());
            const std::string text = slot.compose(value);
            json parsed;
            ASSERT_NO_THROW(parsed = json::parse(text)) << text;
            EXPECT_EQ(parsed.at("jsonrpc"), "2.0");
            EXPECT_EQ(parsed.at("method"), slot.method);
            EXPECT_EQ(parsed.at("id"), slot.id);
            EXPECT_EQ(parsed.size(), 4u);
            EXPECT_EQ(parsed.at("params").at(slot.key), slot.prefix + value);
            EXPECT_EQ(parsed.at("params").size(), slot.id == 7 ? 3u : 1u) << "no member was injected";
        }
    }
}

TEST(RequestCatalogue, PlainHostStringsStayByteForByte) {
    const std::vector<std::string> plain = {
        "cube_sim.gcode", "sub/dir/part 1.gcode", "it's {braces} [and] brackets,commas:colons.gcode",
        "Würfel_立方体_😀.gcode", "\x7f delete is not a control character", "",
    };
    for (const HostStringSlot& slot : host_string_slots()) {
        for (const std::string& value : plain) {
            SCOPED_TRACE(std::string(slot.what) + ": " + value);
            const std::string text = slot.compose(value);
            EXPECT_NE(text.find("\"" + slot.prefix + value + "\""), std::string::npos) << text;
            EXPECT_TRUE(json::accept(text)) << text;
        }
    }
}

TEST(RequestCatalogue, ANameThatIsNotUtf8StillGivesARequestThatParses) {
    // The host may hand over bytes from a legacy code page; the request must
    // still go out as valid JSON instead of failing on the host's thread.
    const std::string latin1 = "W\xfc" "rfel.gcode";
    for (const HostStringSlot& slot : host_string_slots()) {
        SCOPED_TRACE(slot.what);
        std::string text;
        ASSERT_NO_THROW(text = slot.compose(latin1));
        EXPECT_TRUE(json::accept(text)) << text;
    }
}

TEST(RequestCatalogue, TheSubscribeObjectsTextIsPutInAsItIs) {
    // It is JSON made by the subscription builder, not a host string: quotes
    // stay quotes, and even a text that is not valid JSON goes out unchanged.
    EXPECT_EQ(compose_request(kSubscribe, {RequestArg::raw(R"("objects":{"display_status": ["progress", "message"]})")}),
              R"({"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{"display_status": ["progress", "message"]}},"id":2})");
    EXPECT_EQ(queued_by([](PrinterManager& m) { m.request_subscribe("dev", R"("objects":{:null})"); }).text,
              R"({"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{:null}},"id":2})");
}

TEST(RequestCatalogue, ArgumentsThatDoNotFitTheRowAreRefused) {
    // A missing or surplus value must not leave a placeholder in a text that
    // goes to the printer.
    EXPECT_THROW(compose_request(kFileList), std::invalid_argument);
    EXPECT_THROW(compose_request(kObjectsList, {RequestArg::host_text("x")}), std::invalid_argument);
    EXPECT_THROW(compose_request(kHistoryList, {RequestArg::host_text("desc"), RequestArg::integer(0),
                                                RequestArg::integer(1)}),
                 std::invalid_argument);
    EXPECT_THROW(compose_request(static_cast<RequestId>(9)), std::invalid_argument);
    EXPECT_THROW(compose_request(kHostText), std::invalid_argument);
}

}  // namespace
}  // namespace zorim
