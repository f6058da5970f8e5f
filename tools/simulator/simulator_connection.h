// One client connection of the simulator's server: the opening handshake, the
// read loop, one queue of what goes out (frames, raw bytes, the close), the
// flood, and how the connection ended. Network thread only.
#pragma once

#include "gated_socket.h"
#include "printer_simulator.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace zorim::sim {

class Connection;

// What a connection tells the server it belongs to.
class ConnectionOwner {
public:
    // Indexes count the connections that opened, from 0, and are never reused.
    virtual std::size_t next_index() = 0;
    virtual void opened(Connection& connection) = 0;
    virtual void failed(Connection& connection, const std::string& why) = 0;  // before it opened
    virtual void received(Connection& connection, std::string text) = 0;
    // Whether to answer the ping.
    virtual bool pinged(Connection& connection, const std::string& payload) = 0;
    virtual void closed(Connection& connection, const ClientClose& record) = 0;
    virtual void log(const std::string& line) = 0;

protected:
    ~ConnectionOwner() = default;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(ConnectionOwner& owner, tcp::socket socket);

    // Reads the opening handshake; only /websocket is served.
    void start();
    std::size_t index() const { return index_; }
    bool open() const { return open_; }

    // Queued behind what was queued before; false once the connection is
    // closing or gone.
    bool send_text(std::shared_ptr<const std::string> text) { return queue({Item::text_frame, std::move(text)}); }
    bool send_binary(std::shared_ptr<const std::string> payload) { return queue({Item::binary_frame, std::move(payload)}); }
    bool send_raw(std::shared_ptr<const std::string> bytes) { return queue({Item::raw_bytes, std::move(bytes)}); }
    // The close frame goes out after what is queued; the client's answer ends
    // the connection, or, after a second without one, the socket is closed.
    bool close(int code, const std::string& reason);
    // TCP shutdown and close, at once, without a close frame. Before the
    // connection opened it only ends the handshake.
    bool drop();
    // Ends a handshake whose request has not come yet; one that has comes to
    // its end (and the server closes the connection it opens).
    void end_waiting_handshake() {
        if (!request_read_) drop();
    }
    // Close codes that may go out in a close frame; 0 and 1005 send one
    // without a code.
    static bool sendable_close_code(int code);

    void set_reading(bool reading) { ws_.next_layer().set_reading(reading); }
    // Whenever nothing else is queued, `text` goes out, until stop_flood().
    bool flood(std::shared_ptr<const std::string> text);
    void stop_flood() { flood_.reset(); }

private:
    struct Item {
        enum Kind { text_frame, binary_frame, raw_bytes, close_frame } kind;
        std::shared_ptr<const std::string> data;
        boost::beast::websocket::close_reason reason{};
    };

    void on_request(error_code ec);
    void refuse(const std::string& target);
    void on_accept(error_code ec);
    void read();
    void on_read(error_code ec);
    void finish();
    bool queue(Item item);
    void write_next();
    void written(error_code ec);

    ConnectionOwner& owner_;
    boost::beast::websocket::stream<GatedSocket> ws_;
    std::size_t index_ = 0;  // set when the connection opens
    net::steady_timer handshake_timer_;
    boost::beast::flat_buffer buffer_;
    boost::beast::http::request<boost::beast::http::string_body> request_;
    bool request_read_ = false;
    bool open_ = false;
    bool closing_ = false;           // a close was queued or the connection dropped
    bool server_initiated_ = false;
    bool finished_ = false;
    std::optional<error_code> reading_ended_;  // how the read loop ended
    bool closing_handshake_ = false;           // the server's close is under way
    bool closed_by_handshake_ = false;         // ... and the client answered it
    bool close_frame_seen_ = false;            // the read loop took the client's close frame
    std::deque<Item> queue_;
    Item writing_{Item::text_frame, nullptr};
    bool busy_ = false;  // an item is being written
    std::shared_ptr<const std::string> flood_;
};

}  // namespace zorim::sim
