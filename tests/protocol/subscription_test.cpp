// The subscribe request made by rewriting the text of an objects-list reply.
#include "protocol/subscription.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "connection/printer_connection.h"
#include "connection/printer_manager.h"
#include "support/test_support.h"

namespace zorim {
namespace {

using nlohmann::json;

std::string reply_with(const std::string& list) {
    return R"({"jsonrpc":"2.0","result":{"objects":)" + list + R"(},"id":1})";
}

std::string objects_text(const std::string& reply) {
    const std::optional<std::string> rewritten = rewrite_objects_list(reply);
    if (!rewritten) {
        ADD_FAILURE() << "no subscription made from " << reply;
        return {};
    }
    return *rewritten;
}

TEST(Subscription, TheWorkedExampleBecomesItsExactRequest) {
    const std::string reply =
        R"({"jsonrpc":"2.0","result":{"objects":["webhooks","configfile","display_status"]},"id":1})";
    EXPECT_EQ(objects_text(reply),
              R"("objects":{"webhooks":null,"configfile":null,"display_status": ["progress", "message"]})");

    PrinterManager manager(test::fast_timing());
    auto connection = std::make_shared<PrinterConnection>("dev", LinkHandle{}, "ws://x/websocket");
    connection->dispatch_message(manager, reply);
    const std::vector<OutgoingMessage> queued = test::take_queued(manager);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].text,
              R"({"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{"webhooks":null,"configfile":null,"display_status": ["progress", "message"]}},"id":2})");
    EXPECT_EQ(queued[0].request_id, 2);
    EXPECT_TRUE(queued[0].await_reply);
    EXPECT_EQ(queued[0].device_id, "dev");
}

TEST(Subscription, SpacesInTheListSurvive) {
    EXPECT_EQ(objects_text(reply_with(R"(["webhooks", "configfile"])")),
              R"("objects":{"webhooks":null, "configfile":null})");
    EXPECT_EQ(objects_text(reply_with("[\"webhooks\",\n  \"heater_fan hotend_fan\"]")),
              "\"objects\":{\"webhooks\":null,\n  \"heater_fan hotend_fan\":null}");
}

TEST(Subscription, DisplayStatusAsksForItsTwoFieldsWhereverItIsListed) {
    const char* fields = R"("display_status": ["progress", "message"])";
    EXPECT_EQ(objects_text(reply_with(R"(["display_status","webhooks"])")),
              std::string(R"("objects":{)") + fields + R"(,"webhooks":null})");
    EXPECT_EQ(objects_text(reply_with(R"(["webhooks","display_status","toolhead"])")),
              std::string(R"("objects":{"webhooks":null,)") + fields + R"(,"toolhead":null})");
    EXPECT_EQ(objects_text(reply_with(R"(["webhooks","display_status"])")),
              std::string(R"("objects":{"webhooks":null,)") + fields + "}");
    EXPECT_EQ(objects_text(reply_with(R"(["display_status"])")), std::string(R"("objects":{)") + fields + "}");

    const std::string absent = objects_text(reply_with(R"(["webhooks","display_status_extra","toolhead"])"));
    EXPECT_EQ(absent, R"("objects":{"webhooks":null,"display_status_extra":null,"toolhead":null})");
}

TEST(Subscription, AnEmptyListIsStillSentAlthoughItIsNotJson) {
    const std::string reply = reply_with("[]");
    EXPECT_EQ(objects_text(reply), R"("objects":{:null})");

    PrinterManager manager(test::fast_timing());
    auto connection = std::make_shared<PrinterConnection>("dev", LinkHandle{}, "ws://x/websocket");
    connection->dispatch_message(manager, reply);
    const std::vector<OutgoingMessage> queued = test::take_queued(manager);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].text,
              R"({"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{:null}},"id":2})");
}

TEST(Subscription, NoRequestWithoutTheKeyOrWithoutAClosingBracketAndBraceAfterIt) {
    const std::vector<std::string> replies = {
        R"({"jsonrpc":"2.0","result":{"objects":["webhooks"] },"id":1})",
        "{\"jsonrpc\":\"2.0\",\"result\":{\"objects\":[\"webhooks\"]\n},\"id\":1}",
        R"({"jsonrpc":"2.0","result":{"things":["webhooks"]},"id":1})",
        // The only "]}" comes before the key.
        R"({"jsonrpc":"2.0","before":{"x":[1]},"result":{"objects":["webhooks"] },"id":1})",
        R"({"jsonrpc":"2.0","result":{"objects":["webh)",
        R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"},"id":1})",
        "",
    };
    for (const std::string& reply : replies) {
        SCOPED_TRACE(reply);
        EXPECT_FALSE(rewrite_objects_list(reply).has_value());
        PrinterManager manager(test::fast_timing());
        auto connection = std::make_shared<PrinterConnection>("dev", LinkHandle{}, "ws://x/websocket");
        connection->dispatch_message(manager, reply);
        EXPECT_TRUE(test::take_queued(manager).empty());
    }
}

TEST(Subscription, OnlyTheFirstObjectsKeyCountsAndTheFirstClosingPairAfterItEndsTheCut) {
    // A key that merely begins with "objects comes first and is taken along.
    EXPECT_EQ(objects_text(R"({"result":{"objects_count":2,"objects":["a","b"]},"id":1})"),
              R"("objects_count":2:null,"objects":{"a":null,"b":null})");
    // A second list later in the text is never reached.
    EXPECT_EQ(objects_text(R"({"result":{"objects":["a"]},"more":{"objects":["b","c"]},"id":1})"),
              R"("objects":{"a":null})");
    // The first "]}" after the key ends the cut, even inside a name.
    EXPECT_EQ(objects_text(R"({"result":{"objects":["we]}ird","b"]},"id":1})"), R"("objects":{"we:null})");
}

TEST(Subscription, NamesWithCommasOrBracketsAreCutApart) {
    const std::string text = objects_text(reply_with(R"(["gcode_macro A,B","sensor[1]"])"));
    EXPECT_EQ(text, R"("objects":{"gcode_macro A:null,B":null,"sensor{1:null}":null})");
    // The passes also rewrite inside the names, so the printer is asked for
    // objects it does not have.
    const json objects = json::parse("{" + text + "}").at("objects");
    EXPECT_FALSE(objects.contains("gcode_macro A,B"));
    EXPECT_FALSE(objects.contains("sensor[1]"));
}

TEST(Subscription, ARecordedObjectsListSubscribesToEveryObjectItNames) {
    // The printer's fifth frame in this recording answers printer.objects.list.
    const std::string reply = test::read_fixture_lines("klipper_sim_session.jsonl").at(4);
    const json listed = json::parse(reply).at("result").at("objects");
    ASSERT_EQ(listed.size(), 26u);

    const json subscribed = json::parse("{" + objects_text(reply) + "}").at("objects");
    ASSERT_EQ(subscribed.size(), listed.size());
    for (const json& name : listed) {
        SCOPED_TRACE(name.dump());
        ASSERT_TRUE(subscribed.contains(name.get<std::string>()));
        if (name == "display_status") {
            EXPECT_EQ(subscribed.at("display_status"), json::parse(R"(["progress","message"])"));
        } else {
            EXPECT_TRUE(subscribed.at(name.get<std::string>()).is_null());
        }
    }
}

}  // namespace
}  // namespace zorim
