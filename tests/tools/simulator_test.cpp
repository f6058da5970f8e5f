// The simulator as a network peer: a plain WebSocket client on loopback talks
// to it, every wait is bounded, nothing sleeps blindly.
#include "printer_simulator.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zorim::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace net = boost::asio;
namespace websocket = boost::beast::websocket;
using error_code = boost::system::error_code;

constexpr auto patience = 5s;  // generous for sanitizer builds; passing tests never wait it out

// One WebSocket connection (ws://HOST:PORT/PATH) on its own thread. Every
// operation on the connection is posted to that thread and carried out in
// order, so the test thread never touches the stream directly.
class TestClient {
public:
    explicit TestClient(const std::string& url) {
        const std::string rest = url.substr(std::string("ws://").size());
        const auto colon = rest.find(':');
        const auto slash = rest.find('/');
        const std::string host = rest.substr(0, colon);
        const std::string port = rest.substr(colon + 1, slash - colon - 1);
        ws_.control_callback([this](websocket::frame_type kind, boost::beast::string_view payload) {
            if (kind == websocket::frame_type::pong) update([&] { pongs_.emplace_back(payload); });
        });
        const net::ip::tcp::endpoint endpoint(net::ip::make_address(host), static_cast<unsigned short>(std::stoi(port)));
        ws_.next_layer().async_connect(endpoint, [this, host = host + ":" + port, target = rest.substr(slash)](error_code ec) {
            if (ec) return update([this] { failed_ = true; });
            ws_.async_handshake(host, target, [this](error_code handshake_ec) {
                if (handshake_ec) return update([this] { failed_ = true; });
                update([this] { open_ = true; });
                read();
            });
        });
        thread_ = std::thread([this] { io_.run(); });
    }

    ~TestClient() {
        if (is_open()) close(1000, "test over");
        if (!wait([this] { return closed_ || failed_; }, 2s)) io_.stop();
        thread_.join();
    }

    bool wait_open() { return wait([this] { return open_ || failed_; }, patience) && open_; }
    bool wait_closed() { return wait([this] { return closed_ || failed_; }, patience); }
    bool is_open() {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_ && !closed_;
    }
    int close_code() {
        std::lock_guard<std::mutex> lock(mutex_);
        return close_code_;
    }
    std::string close_reason() {
        std::lock_guard<std::mutex> lock(mutex_);
        return close_reason_;
    }

    void send(const std::string& text) { enqueue({Out::text_frame, text, 0}); }
    void ping(const std::string& payload) { enqueue({Out::ping_frame, payload, 0}); }
    void close(int code, const std::string& reason) { enqueue({Out::close_frame, reason, code}); }
    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<std::string> pongs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return pongs_;
    }
    bool wait_pongs(std::size_t count) {
        return wait([&] { return pongs_.size() >= count; }, patience);
    }
    // The index of the first message at or after `from` that satisfies `predicate`.
    std::optional<std::size_t> wait_message(const std::function<bool(const json&)>& predicate, std::size_t from = 0) {
        std::optional<std::size_t> found;
        wait(
            [&] {
                for (; from < messages_.size(); ++from) {
                    if (predicate(json::parse(messages_[from], nullptr, false))) {
                        found = from;
                        return true;
                    }
                }
                return false;
            },
            patience);
        return found;
    }
    bool wait_text(const std::string& text) {
        return wait([&] { return std::find(messages_.begin(), messages_.end(), text) != messages_.end(); }, patience);
    }
    json message(std::size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return json::parse(messages_.at(index));
    }
    std::string raw(std::size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.at(index);
    }
    // The reply with this id, with its index.
    std::optional<std::size_t> wait_reply(int id, std::size_t from = 0) {
        return wait_message([id](const json& m) { return m.is_object() && m.value("id", json()) == id; }, from);
    }
    std::optional<std::size_t> wait_notification(const std::string& method, std::size_t from = 0) {
        return wait_message([&method](const json& m) { return m.is_object() && m.value("method", "") == method; },
                            from);
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }

private:
    struct Out {
        enum Kind { text_frame, ping_frame, close_frame } kind;
        std::string data;  // the text, the ping's payload or the close reason
        int code;
    };

    template <typename Change>
    void update(Change change) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            change();
        }
        changed_.notify_all();
    }
    template <typename Predicate>
    bool wait(Predicate predicate, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, predicate);
    }

    void read() {
        ws_.async_read(buffer_, [this](error_code ec, std::size_t) {
            if (ec) {
                // A close of this client's own ends when the server answers it.
                if (!closing_) ended(ec == websocket::error::closed);
                return;
            }
            std::string text = boost::beast::buffers_to_string(buffer_.data());
            buffer_.clear();
            update([&] { messages_.push_back(std::move(text)); });
            read();
        });
    }
    // 1006 when no close frame came, 1005 when it had no code.
    void ended(bool got_close) {
        const websocket::close_reason& reason = ws_.reason();
        const int code = !got_close ? 1006 : reason.code == websocket::close_code::none ? 1005 : reason.code;
        update([&] {
            closed_ = true;
            close_code_ = code;
            close_reason_.assign(reason.reason.data(), reason.reason.size());
        });
    }

    void enqueue(Out out) {
        net::post(io_, [this, out = std::move(out)]() mutable {
            out_.push_back(std::move(out));
            write_next();
        });
    }
    void write_next() {
        if (writing_ || closing_ || out_.empty()) return;
        writing_ = true;
        current_ = std::move(out_.front());
        out_.pop_front();
        const auto written = [this](error_code ec, std::size_t = 0) {
            writing_ = false;
            if (!ec) write_next();
        };
        switch (current_.kind) {
            case Out::text_frame:
                ws_.async_write(net::buffer(current_.data), written);
                break;
            case Out::ping_frame: {
                websocket::ping_data payload;
                payload.assign(current_.data.data(), current_.data.size());
                ws_.async_ping(payload, written);
                break;
            }
            case Out::close_frame: {
                closing_ = true;
                websocket::close_reason reason(static_cast<std::uint16_t>(current_.code));
                reason.reason.assign(current_.data.data(), current_.data.size());
                ws_.async_close(reason, [this](error_code ec) { ended(!ec); });
                break;
            }
        }
    }

    net::io_context io_;
    websocket::stream<net::ip::tcp::socket> ws_{io_};
    boost::beast::flat_buffer buffer_;
    std::deque<Out> out_;     // client thread only, like the three below
    Out current_{Out::text_frame, {}, 0};
    bool writing_ = false;
    bool closing_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool failed_ = false;
    bool closed_ = false;
    int close_code_ = 0;
    std::string close_reason_;
    std::vector<std::string> messages_;
    std::vector<std::string> pongs_;
};

SimulatorOptions quiet_printer() {
    SimulatorOptions options;
    options.live = false;
    options.status_period = 50ms;
    options.proc_stat_period = 0ms;
    return options;
}

std::string request(const std::string& method, const json& params, int id) {
    return json{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}, {"id", id}}.dump();
}

TEST(Simulator, ServesTheOpeningRequestsOnAnEphemeralPort) {
    SimulatorOptions options = quiet_printer();
    options.hostname = "zorim";
    options.cpu_info = "4 core ARM";
    PrinterSimulator simulator(options);
    simulator.start();
    ASSERT_NE(simulator.port(), 0);
    EXPECT_EQ(simulator.url_for_plugin(), "127.0.0.1:" + std::to_string(simulator.port()));
    EXPECT_EQ(simulator.websocket_url(), "ws://" + simulator.url_for_plugin() + "/websocket");

    TestClient client(simulator.websocket_url());
    ASSERT_TRUE(client.wait_open());
    ASSERT_TRUE(simulator.wait_for_connections(1, patience));
    const std::string info = R"({"jsonrpc":"2.0","method":"printer.info","params":{},"id":3})";
    const std::string objects = R"({"jsonrpc":"2.0","method":"printer.objects.list","params":{},"id":1})";
    client.send(info);
    client.send(objects);

    const auto info_reply = client.wait_reply(3);
    ASSERT_TRUE(info_reply);
    const json result = client.message(*info_reply)["result"];
    EXPECT_EQ(result["hostname"], "zorim");
    EXPECT_EQ(result["cpu_info"], "4 core ARM");
    EXPECT_EQ(result["state"], "ready");
    EXPECT_EQ(result["software_version"], "v0.13.0-730-g84104bbbd");
    const auto list_reply = client.wait_reply(1);
    ASSERT_TRUE(list_reply);
    // The plug-in cuts the list out of this text by its characters.
    const std::string list = client.raw(*list_reply);
    EXPECT_EQ(list.rfind(R"({"jsonrpc":"2.0","result":{"objects":["gcode","webhooks","configfile",)", 0), 0u);
    EXPECT_EQ(list.substr(list.size() - 10), R"(]},"id":1})");

    const auto texts = simulator.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].text, info);
    EXPECT_EQ(texts[1].text, objects);
    EXPECT_EQ(texts[1].connection, 0u);

    TestClient stranger("ws://" + simulator.url_for_plugin() + "/elsewhere");
    EXPECT_FALSE(stranger.wait_open()) << "only /websocket is served";
    EXPECT_EQ(simulator.accepted_connections(), 1u);
}

TEST(Simulator, SubscriptionStreamsOnlyChangedFields) {
    PrinterSimulator simulator(quiet_printer());
    simulator.start();
    TestClient client(simulator.websocket_url());
    ASSERT_TRUE(client.wait_open());
    // The plug-in's own subscribe text, spaces included.
    client.send(R"({"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{"webhooks":null,"extruder":null,"display_status": ["progress", "message"]}},"id":2})");
    const auto reply = client.wait_reply(2);
    ASSERT_TRUE(reply);
    const json status = client.message(*reply)["result"]["status"];
    EXPECT_EQ(status.size(), 3u);
    EXPECT_EQ(status["display_status"], (json{{"progress", 0.0}, {"message", nullptr}}));
    EXPECT_EQ(status["webhooks"]["state"], "ready");

    client.send(request("printer.gcode.script", {{"script", "M104 S215"}}, 7));
    auto update = client.wait_notification("notify_status_update", *reply);
    ASSERT_TRUE(update);
    EXPECT_EQ(client.message(*update)["params"][0], (json{{"extruder", {{"target", 215.0}}}}));

    simulator.set_status_fields("heater_bed", R"({"target":50.0})");  // not subscribed
    simulator.set_status_fields("extruder", R"({"power":0.5})");
    update = client.wait_notification("notify_status_update", *update + 1);
    ASSERT_TRUE(update);
    EXPECT_EQ(client.message(*update)["params"][0], (json{{"extruder", {{"power", 0.5}}}}));
    EXPECT_NE(simulator.status_json("heater_bed").find("\"target\":50.0"), std::string::npos);
}

TEST(Simulator, LivePrinterStreamsAtMostOncePerPeriod) {
    SimulatorOptions options;
    options.status_period = 100ms;
    options.proc_stat_period = 0ms;
    options.time_scale = 50.0;
    options.job_seconds = 5.0;
    PrinterSimulator simulator(options);
    simulator.start();
    TestClient client(simulator.websocket_url());
    ASSERT_TRUE(client.wait_open());
    client.send(request("printer.objects.subscribe", {{"objects", {{"print_stats", nullptr}, {"toolhead", nullptr}}}}, 2));
    const auto reply = client.wait_reply(2);
    ASSERT_TRUE(reply);
    const auto subscribed = std::chrono::steady_clock::now();
    std::optional<std::size_t> update = *reply;
    for (int i = 0; i < 4 && update; ++i) update = client.wait_notification("notify_status_update", *update + 1);
    ASSERT_TRUE(update) << "a live printer changes every period";
    EXPECT_GE(std::chrono::steady_clock::now() - subscribed, 300ms) << "four updates need at least three periods";

    client.send(request("printer.print.start", {{"filename", "cube_sim.gcode"}}, 10));
    const auto done = client.wait_message([](const json& m) {
        return m.value("method", "") == "notify_history_changed" && m["params"][0]["action"] == "finished";
    });
    ASSERT_TRUE(done) << "heating and printing take a few seconds at fifty times the speed";
    EXPECT_EQ(client.message(*done)["params"][0]["job"]["status"], "completed");
    EXPECT_NE(simulator.status_json("print_stats").find("\"state\":\"complete\""), std::string::npos);
}

TEST(Simulator, InjectedErrorsAndIgnoredRequests) {
    PrinterSimulator simulator(quiet_printer());
    simulator.start();
    TestClient client(simulator.websocket_url());
    ASSERT_TRUE(client.wait_open());
    const std::string list = R"({"jsonrpc":"2.0","method":"server.files.get_directory","params":{"path":"gcodes"},"id":4})";

    simulator.fail_method("server.files.get_directory", 400, "boom");
    client.send(list);
    auto reply = client.wait_reply(4);
    ASSERT_TRUE(reply);
    EXPECT_EQ(client.raw(*reply), R"({"jsonrpc":"2.0","error":{"code":400,"message":"boom"},"id":4})");
    client.send(list);
    reply = client.wait_reply(4, *reply + 1);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(client.message(*reply).contains("result")) << "a fault injected once applies once";

    simulator.fail_request_id(7, 400, "Move out of range: 0.000 0.000 -5.000 [0.000]", Times::always);
    for (int round = 0; round < 2; ++round) {
        const std::size_t from = client.count();
        client.send(request("server.history.list", {{"start", 0}, {"limit", 5}, {"order", "desc"}}, 7));
        reply = client.wait_reply(7, from);
        ASSERT_TRUE(reply);
        EXPECT_EQ(client.message(*reply)["error"]["message"], "Move out of range: 0.000 0.000 -5.000 [0.000]");
    }

    // An ignored request leaves no reply: the one sent after it is answered first.
    simulator.ignore_request_id(5);
    std::size_t from = client.count();
    client.send(request("server.files.metadata", {{"filename", "cube_sim.gcode"}}, 5));
    client.send(request("printer.info", json::object(), 3));
    reply = client.wait_reply(3, from);
    ASSERT_TRUE(reply);
    EXPECT_EQ(client.count(), from + 1) << client.raw(client.count() - 1);
    client.send(request("server.files.metadata", {{"filename", "cube_sim.gcode"}}, 5));
    reply = client.wait_reply(5, from);
    ASSERT_TRUE(reply);
    EXPECT_EQ(client.message(*reply)["result"]["filename"], "cube_sim.gcode");

    simulator.set_answer_requests(false);
    from = client.count();
    client.send(request("printer.info", json::object(), 3));
    ASSERT_TRUE(simulator.wait_for_request("printer.info", patience, simulator.text_count() - 1));
    simulator.set_answer_requests(true);
    simulator.clear_injections();
    client.send(request("server.history.list", json::object(), 7));
    reply = client.wait_reply(7, from);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, from) << "the silent printer answered " << client.raw(from);
    EXPECT_TRUE(client.message(*reply).contains("result"));
}

TEST(Simulator, RecordsPingsAndStopsAnsweringThemOnRequest) {
    PrinterSimulator simulator(quiet_printer());
    simulator.start();
    TestClient client(simulator.websocket_url());
    ASSERT_TRUE(client.wait_open());
    client.ping("heartbeat");
    ASSERT_TRUE(client.wait_pongs(1));
    simulator.set_answer_pings(false);
    client.ping("unanswered");
    ASSERT_TRUE(simulator.wait_for_pings(2, patience));
    simulator.set_answer_pings(true);
    client.ping("again");
    ASSERT_TRUE(client.wait_pongs(2));
    EXPECT_EQ(client.pongs(), (std::vector<std::string>{"heartbeat", "again"}));
    EXPECT_EQ(simulator.pings(), (std::vector<std::string>{"heartbeat", "unanswered", "again"}));
}

TEST(Simulator, ClosesWithCodeAndReasonAndRecordsWhatClientsSend) {
    PrinterSimulator simulator(quiet_printer());
    simulator.start();
    {
        TestClient client(simulator.websocket_url());
        ASSERT_TRUE(client.wait_open());
        // The client may see the handshake end before the server's side does.
        ASSERT_TRUE(simulator.wait_for_connections(1, patience));
        EXPECT_EQ(simulator.close_all(1001, "restart"), 1u);
        ASSERT_TRUE(client.wait_closed());
        EXPECT_EQ(client.close_code(), 1001);
        EXPECT_EQ(client.close_reason(), "restart");
        const auto record = simulator.wait_for_close(patience);
        ASSERT_TRUE(record);
        EXPECT_TRUE(record->server_initiated);
        EXPECT_EQ(record->code, 1001);
    }
    TestClient client(simulator.websocket_url());
    ASSERT_TRUE(client.wait_open());
    client.close(1000, "bye");
    const auto record = simulator.wait_for_close(patience, 1);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->connection, 1u);
    EXPECT_EQ(record->code, 1000);
    EXPECT_EQ(record->reason, "bye");
    EXPECT_FALSE(record->server_initiated);
    EXPECT_TRUE(simulator.wait_for_connections(0, patience));
    EXPECT_FALSE(simulator.close(1, 1000, "gone already"));

    TestClient silent(simulator.websocket_url());
    ASSERT_TRUE(silent.wait_open());
    silent.close(0, "");  // a close frame without a code
    const auto no_code = simulator.wait_for_close(patience, 2);
    ASSERT_TRUE(no_code);
    EXPECT_EQ(no_code->code, 1005);
}

TEST(Simulator, DropsConnectionsWithoutACloseFrame) {
    PrinterSimulator simulator(quiet_printer());
    simulator.start();
    TestClient client(simulator.websocket_url());
    ASSERT_TRUE(client.wait_open());
    ASSERT_TRUE(simulator.wait_for_connections(1, patience));
    EXPECT_EQ(simulator.drop_all(), 1u);
    ASSERT_TRUE(client.wait_closed());
    EXPECT_EQ(client.close_code(), 1006) << "no close frame reached the client";
    const auto record = simulator.wait_for_close(patience);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->code, 1006);
    EXPECT_TRUE(record->server_initiated);
}

TEST(Simulator, StopsAndRestartsOnTheSamePort) {
    PrinterSimulator simulator(quiet_printer());
    simulator.start();
    const auto port = simulator.port();
    TestClient first(simulator.websocket_url());
    ASSERT_TRUE(first.wait_open());
    simulator.stop();  // also when the server has not seen the open yet
    EXPECT_FALSE(simulator.running());
    ASSERT_TRUE(first.wait_closed());
    EXPECT_EQ(first.close_code(), 1001);
    EXPECT_EQ(first.close_reason(), "server shutdown");
    EXPECT_EQ(simulator.send_text("nobody listens"), 0u);
    EXPECT_EQ(simulator.notify_klippy_ready(), 0u);

    simulator.start();
    EXPECT_EQ(simulator.port(), port);
    TestClient second(simulator.websocket_url());
    ASSERT_TRUE(second.wait_open());
    ASSERT_TRUE(simulator.wait_for_connections(1, patience));
    EXPECT_EQ(simulator.open_connection_ids(), std::vector<std::size_t>{1});
    EXPECT_EQ(simulator.accepted_connections(), 2u);
}

TEST(Simulator, FileDeletionNotifiesEveryConnection) {
    PrinterSimulator simulator(quiet_printer());
    simulator.start();
    TestClient deleting(simulator.websocket_url());
    TestClient watching(simulator.websocket_url());
    ASSERT_TRUE(deleting.wait_open());
    ASSERT_TRUE(watching.wait_open());
    ASSERT_TRUE(simulator.wait_for_connections(2, patience));
    deleting.send(R"({"jsonrpc":"2.0","method":"server.files.delete_file","params":{"path":"gcodes/x.gcode"},"id":8})");
    ASSERT_TRUE(deleting.wait_reply(8));
    for (TestClient* client : {&deleting, &watching}) {
        const auto file = client->wait_notification("notify_filelist_changed");
        ASSERT_TRUE(file);
        EXPECT_EQ(client->message(*file)["params"][0]["item"]["path"], "x.gcode");
        const auto thumbnail = client->wait_notification("notify_filelist_changed", *file + 1);
        ASSERT_TRUE(thumbnail);
        EXPECT_EQ(client->message(*thumbnail)["params"][0]["item"]["path"], ".thumbs/x-32x32.png");
    }
    EXPECT_FALSE(simulator.has_file("x.gcode"));
    EXPECT_TRUE(simulator.has_file("cube_sim.gcode"));
}

TEST(Simulator, SendsNotificationsAndTextsOnDemand) {
    SimulatorOptions options = quiet_printer();
    options.proc_stat_period = 100ms;
    PrinterSimulator simulator(options);
    simulator.start();
    TestClient first(simulator.websocket_url());
    ASSERT_TRUE(first.wait_open());
    ASSERT_TRUE(simulator.wait_for_connections(1, patience));
    TestClient second(simulator.websocket_url());
    ASSERT_TRUE(second.wait_open());
    ASSERT_TRUE(simulator.wait_for_connections(2, patience));
    const auto ids = simulator.open_connection_ids();

    // A tick before the second connection opened counts only one (it may
    // still be on its way); a later one counts both.
    const auto proc = first.wait_message([](const json& message) {
        return message.is_object() && message.value("method", "") == "notify_proc_stat_update" &&
               message.at("params").at(0).value("websocket_connections", 0) == 2;
    });
    ASSERT_TRUE(proc) << "no proc stat update counted both connections";
    ASSERT_TRUE(first.wait_notification("notify_proc_stat_update", *proc + 1)) << "every period";

    EXPECT_TRUE(simulator.send_text(ids[0], "only the first"));
    EXPECT_EQ(simulator.notify_klippy_ready(), 2u);
    EXPECT_EQ(simulator.notify_klippy_shutdown(), 2u);
    EXPECT_EQ(simulator.notify_klippy_disconnected(), 2u);
    EXPECT_EQ(simulator.notify_gcode_response("// hello"), 2u);
    EXPECT_EQ(simulator.notify_history_changed("added"), 2u);
    EXPECT_EQ(simulator.notify_status_update(R"({"extruder":{"temperature":210.0}})"), 2u);
    EXPECT_EQ(simulator.notify_filelist_changed(), 2u);
    EXPECT_EQ(simulator.send_text("last"), 2u);

    const auto texts_without_proc_stat = [](TestClient& client) {
        EXPECT_TRUE(client.wait_text("last"));
        std::vector<std::string> texts;
        for (const auto& text : client.messages()) {
            if (text.find("notify_proc_stat_update") == std::string::npos) texts.push_back(text);
        }
        return texts;
    };
    const auto on_first = texts_without_proc_stat(first);
    const auto on_second = texts_without_proc_stat(second);
    ASSERT_EQ(on_second.size(), 8u);
    EXPECT_EQ(on_second[0], R"({"jsonrpc":"2.0","method":"notify_klippy_ready"})");
    EXPECT_EQ(on_second[1], R"({"jsonrpc":"2.0","method":"notify_klippy_shutdown"})");
    EXPECT_EQ(on_second[2], R"({"jsonrpc":"2.0","method":"notify_klippy_disconnected"})");
    EXPECT_EQ(on_second[3], R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":["// hello"]})");
    const json history = json::parse(on_second[4]);
    EXPECT_EQ(history["params"][0]["action"], "added");
    EXPECT_EQ(history["params"][0]["job"]["job_id"], "000005");
    const json update = json::parse(on_second[5]);
    EXPECT_EQ(update["params"][0], (json{{"extruder", {{"temperature", 210.0}}}}));
    EXPECT_TRUE(update["params"][1].is_number());
    EXPECT_EQ(json::parse(on_second[6])["params"][0]["item"]["path"], "cube_sim.gcode");
    EXPECT_EQ(on_second[7], "last");
    ASSERT_EQ(on_first.size(), 9u);
    EXPECT_EQ(on_first[0], "only the first");
}

TEST(Simulator, StopsReadingUntilToldToReadAgain) {
    PrinterSimulator simulator(quiet_printer());
    simulator.start();
    TestClient client(simulator.websocket_url());
    ASSERT_TRUE(client.wait_open());
    ASSERT_TRUE(simulator.wait_for_connections(1, patience));
    simulator.set_reading(false);
    client.send(request("printer.info", json::object(), 3));
    client.ping("unread");
    EXPECT_FALSE(simulator.wait_for_texts(1, 300ms)) << "a printer that reads nothing took a request";
    EXPECT_TRUE(client.messages().empty());
    simulator.set_reading(true);
    ASSERT_TRUE(client.wait_reply(3));
    EXPECT_TRUE(client.wait_pongs(1));
    EXPECT_EQ(simulator.text_count(), 1u);
}

TEST(Simulator, FloodsUntilStoppedAndStillAnswers) {
    PrinterSimulator simulator(quiet_printer());
    simulator.start();
    TestClient client(simulator.websocket_url());
    ASSERT_TRUE(client.wait_open());
    ASSERT_TRUE(simulator.wait_for_connections(1, patience));
    const std::string flood = R"({"jsonrpc":"2.0","method":"notify_gcode_response","params":["flood"]})";
    EXPECT_EQ(simulator.start_flood(flood), 1u);
    ASSERT_TRUE(client.wait_notification("notify_gcode_response", 200)) << "no stream of flood frames";
    client.send(request("printer.info", json::object(), 3));
    ASSERT_TRUE(client.wait_reply(3)) << "a request went unanswered during the flood";
    simulator.stop_flood();
    ASSERT_EQ(simulator.send_text("end"), 1u);
    client.send(request("printer.info", json::object(), 4));
    ASSERT_TRUE(client.wait_text("end"));
    ASSERT_TRUE(client.wait_reply(4));
    const auto texts = client.messages();
    const auto end = std::find(texts.begin(), texts.end(), "end");
    EXPECT_EQ(std::find(end, texts.end(), flood), texts.end()) << "the flood went on after stop_flood()";
}

}  // namespace
}  // namespace zorim::sim
