// The WebSocket endpoint against scripted peers on loopback: how every way a
// link can fail or end reads in the log (the texts and numbers it has always
// shown), what the printer gets back, and which addresses are taken.
#include "connection/websocket_endpoint.h"

#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace zorim {
namespace {

using namespace std::chrono_literals;
namespace net = boost::asio;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;
using WebSocket = websocket::stream<tcp::socket>;

using Script = std::function<void(tcp::socket&, std::string& got)>;

// Reads the handshake request, then answers `reply` (none: stays silent) or
// hangs up.
Script http_reply(std::string reply, bool hang_up = false) {
    return [reply, hang_up](tcp::socket& socket, std::string&) {
        net::streambuf request;
        net::read_until(socket, request, "\r\n\r\n");
        if (hang_up) return socket.close();
        if (!reply.empty()) net::write(socket, net::buffer(reply));
        std::this_thread::sleep_for(reply.empty() ? 1s : 200ms);
    };
}

// Accepts the WebSocket, runs `act`, then reads until the link ends and notes
// the close frame the client sent: "<code> <reason>".
Script websocket_peer(std::function<void(WebSocket&)> act) {
    return [act](tcp::socket& socket, std::string& got) {
        WebSocket ws(std::move(socket));
        ws.accept();
        act(ws);
        boost::beast::flat_buffer buffer;
        boost::system::error_code error;
        while (!error) ws.read(buffer, error);
        if (ws.reason().code != websocket::close_code::none) {
            got = std::to_string(ws.reason().code) + " " + std::string(ws.reason().reason.c_str());
        }
    };
}

void raw(WebSocket& ws, const std::string& bytes) { net::write(ws.next_layer(), net::buffer(bytes)); }

using Client = std::function<void(WebSocketEndpoint&, const LinkHandle&)>;

// One link from an endpoint with short timeouts to `address`, where `peer`
// (if any) runs on the first connection; `client` acts once the link is
// open. Returns how the link ended as the log prints it, and what the peer
// noted.
std::pair<std::string, std::string> exchange(const std::string& address, tcp::acceptor* listener, const Script& peer,
                                             const Client& client = nullptr) {
    std::string got;
    std::thread peer_thread([&] {
        if (!peer) return;
        tcp::socket socket(listener->get_executor());
        boost::system::error_code error;
        listener->accept(socket, error);
        if (!error) peer(socket, got);
    });
    EndpointSettings settings;
    settings.open_handshake_timeout = settings.connect_timeout = settings.close_handshake_timeout = 300ms;
    WebSocketEndpoint endpoint;
    endpoint.init(settings);
    std::thread loop([&] { endpoint.run(); });
    std::string logged;  // read after `ended`
    std::atomic<bool> opened{false}, ended{false};
    auto note = [&](std::string text) {
        logged = std::move(text);
        ended.store(true);
    };
    std::error_code error;
    LinkRef link = endpoint.create_link(address, error);
    const LinkHandle handle = link;
    LinkHandlers handlers;
    handlers.on_open = [&](LinkHandle) { opened.store(true); };
    handlers.on_fail = [&](LinkHandle h) {
        const LinkOutcome o = endpoint.outcome(h);
        note(o.error.message() + "," + std::to_string(o.error.value()) + "," + std::to_string(o.remote_close_code));
    };
    handlers.on_close = [&](LinkHandle h) {
        const LinkOutcome o = endpoint.outcome(h);
        note(std::to_string(o.remote_close_code) + " (" + o.remote_close_code_name + ") " + o.remote_close_reason);
    };
    endpoint.bind(link, std::move(handlers));
    endpoint.start_link(std::move(link));
    if (client && test::wait_until([&] { return opened.load(); })) client(endpoint, handle);
    test::wait_until([&] { return ended.load(); });
    endpoint.stop_perpetual();
    endpoint.stop();
    loop.join();
    peer_thread.join();
    return {logged, got};
}

std::string address_of(const tcp::acceptor& listener) {
    return "ws://127.0.0.1:" + std::to_string(listener.local_endpoint().port()) + "/websocket";
}

struct Ending {
    const char* what;
    Script peer;
    Client client;  // after the link opened
    const char* logged;
    const char* peer_got;
};

TEST(WebSocketEndpoint, EveryWayALinkFailsOrEndsReadsAsItAlwaysHas) {
    const Client close_ours = [](WebSocketEndpoint& e, const LinkHandle& h) { e.close(h, 1000, "", nullptr); };
    const Ending endings[] = {
        {"no reply to the handshake", http_reply(""), nullptr, "The opening handshake timed out,22,1006", ""},
        {"a 404", http_reply("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"), nullptr,
         "Invalid HTTP status.,20,1006", ""},
        {"a 101 without the accept key",
         http_reply("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                    "Connection: Upgrade\r\nSec-WebSocket-Accept: x\r\n\r\n"),
         nullptr, "A required HTTP header is missing,21,1006", ""},
        {"a reply that is not HTTP", http_reply("hello\r\n\r\n"), nullptr, "Generic error,1,1006", ""},
        {"a hang-up during the handshake", http_reply("", true), nullptr, "End of File,7,1006", ""},
        {"a close with code and reason", websocket_peer([](WebSocket& ws) {
             ws.close({websocket::close_code(4000), "bye"});
         }),
         nullptr, "4000 (Unknown) bye", "4000 bye"},
        {"a close frame without a code", websocket_peer([](WebSocket& ws) { ws.close(websocket::close_reason()); }),
         nullptr, "1005 (No status set) ", "1000 "},
        {"a close code out of range",
         websocket_peer([](WebSocket& ws) { raw(ws, std::string("\x88\x02\x03\xe7", 4)); }), nullptr,
         "1002 (Protocol error) ", "1002 "},
        {"a frame over the size limit",
         websocket_peer([](WebSocket& ws) { raw(ws, std::string("\x81\x7f\0\0\0\0\x01\xf7\x8c\x58{", 11)); }), nullptr,
         "1006 (Abnormal close) ", "1009 "},
        {"text that is not UTF-8", websocket_peer([](WebSocket& ws) { raw(ws, std::string("\x81\x01\xff", 3)); }),
         nullptr, "1006 (Abnormal close) ", "1007 "},
        {"a close of ours, answered", websocket_peer([](WebSocket&) {}), close_ours, "1000 (Normal close) ", "1000 "},
        {"a close of ours, unanswered",
         [](tcp::socket& socket, std::string&) {
             WebSocket ws(std::move(socket));
             ws.accept();
             std::this_thread::sleep_for(1s);  // reads nothing, answers nothing
         },
         close_ours, "1006 (Abnormal close) ", ""},
    };
    net::io_context io;
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.what);
        tcp::acceptor listener(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
        const auto [logged, got] = exchange(address_of(listener), &listener, ending.peer, ending.client);
        EXPECT_EQ(logged, ending.logged);
        EXPECT_EQ(got, ending.peer_got);
    }
}

#if defined(__linux__)
TEST(WebSocketEndpoint, AnAddressThatNeverAnswersTimesOutAsItAlwaysHas) {
    // A full backlog: Linux drops the attempt instead of refusing it.
    net::io_context io;
    tcp::acceptor listener(io, tcp::v4());
    listener.bind(tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    listener.listen(0);
    std::vector<tcp::socket> waiting;
    for (int n = 0; n < 3; ++n) {
        waiting.emplace_back(io).async_connect(listener.local_endpoint(), [](const boost::system::error_code&) {});
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(exchange(address_of(listener), nullptr, nullptr).first, "Timer Expired,9,1006");
}
#endif

struct Address {
    const char* uri;
    const char* host_header;  // empty: refused
};

TEST(WebSocketEndpoint, AddressesAreReadAsTheyAlwaysWere) {
    const Address addresses[] = {
        {"ws://127.0.0.1/websocket", "127.0.0.1"},
        {"ws://127.0.0.1:7125/websocket", "127.0.0.1:7125"},
        {"ws://printer.local:80/websocket", "printer.local"},
        {"ws://[::1]:7125/websocket", "[::1]:7125"},
        {"ws://host:12ab/websocket", "host:12"},  // a leading number is the port
        {"ws://host:80:90/websocket", "host"},
        {"ws://host", "host"},
        {"ws://ho st/websocket", "ho st"},  // nothing is checked or escaped
        {"WS://host/websocket", ""},
        {"not a uri", ""},
        {"ws://[::1/websocket", ""},
        {"ws://[::1]x/websocket", ""},
        {"ws://::1:7125/websocket", ""},
        {"ws://host:0/websocket", ""},
        {"ws://host:65536/websocket", ""},
        {"ws://host:abc/websocket", ""},
    };
    WebSocketEndpoint endpoint;
    endpoint.init({});
    for (const Address& address : addresses) {
        SCOPED_TRACE(address.uri);
        std::error_code error;
        const bool taken = endpoint.create_link(address.uri, error) != nullptr;
        EXPECT_EQ(taken, *address.host_header != '\0');
        if (taken) {
            EXPECT_EQ(parse_link_uri(address.uri)->host_header(), address.host_header);
        } else {
            EXPECT_EQ(error.message(), "invalid uri");
        }
    }
}

}  // namespace
}  // namespace zorim
