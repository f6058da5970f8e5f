#include "simulator_connection.h"

#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <chrono>
#include <utility>

namespace zorim::sim {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

// A client that connects but never finishes its handshake is dropped after
// this, well inside the time stop() waits for the loop.
constexpr std::chrono::seconds open_handshake_timeout{2};
// How long a client may take to answer a close frame before its connection is
// dropped (this bounds stop()).
constexpr std::chrono::seconds close_handshake_timeout{1};
// The largest message taken from a client.
constexpr std::size_t max_message_size = 32'000'000;

}  // namespace

bool Connection::sendable_close_code(int code) {
    return code == 0 || code == 1005 || (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

Connection::Connection(ConnectionOwner& owner, tcp::socket socket)
    : owner_(owner), ws_(std::move(socket)), handshake_timer_(ws_.get_executor()) {}

void Connection::start() {
    auto self = shared_from_this();
    handshake_timer_.expires_after(open_handshake_timeout);
    handshake_timer_.async_wait([self](error_code ec) {
        if (!ec && !self->open_) self->ws_.next_layer().close();
    });
    http::async_read(ws_.next_layer(), buffer_, request_,
                     [self](error_code ec, std::size_t) { self->on_request(ec); });
}

void Connection::on_request(error_code ec) {
    request_read_ = true;
    if (ec) {
        handshake_timer_.cancel();
        finished_ = true;
        owner_.failed(*this, ec.message());
        return;
    }
    const std::string target(request_.target());
    if (!websocket::is_upgrade(request_) || (target != "/websocket" && target.rfind("/websocket?", 0) != 0)) {
        refuse(target);
        return;
    }
    ws_.set_option(websocket::stream_base::timeout{close_handshake_timeout, websocket::stream_base::none(), false});
    ws_.auto_fragment(false);
    ws_.read_message_max(max_message_size);
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
        if (kind == websocket::frame_type::ping) {
            ws_.next_layer().expect_pong(owner_.pinged(*this, std::string(payload)));
        } else if (kind == websocket::frame_type::close) {
            close_frame_seen_ = true;
        }
    });
    auto self = shared_from_this();
    ws_.async_accept(request_, [self](error_code accept_ec) { self->on_accept(accept_ec); });
}

void Connection::refuse(const std::string& target) {
    owner_.log("refused a handshake for " + target);
    const auto status = websocket::is_upgrade(request_) ? http::status::not_found : http::status::upgrade_required;
    auto response = std::make_shared<http::response<http::string_body>>(status, request_.version());
    response->keep_alive(false);
    response->prepare_payload();
    auto self = shared_from_this();
    http::async_write(ws_.next_layer(), *response, [self, response](error_code, std::size_t) {
        self->handshake_timer_.cancel();
        self->ws_.next_layer().close();
        self->finished_ = true;
        self->owner_.failed(*self, "handshake refused");
    });
}

void Connection::on_accept(error_code ec) {
    handshake_timer_.cancel();
    if (ec) {
        finished_ = true;
        owner_.failed(*this, ec.message());
        return;
    }
    ws_.next_layer().follow_frames();
    buffer_.clear();
    index_ = owner_.next_index();
    open_ = true;
    owner_.opened(*this);
    read();
}

void Connection::read() {
    auto self = shared_from_this();
    ws_.async_read(buffer_, [self](error_code ec, std::size_t) { self->on_read(ec); });
}

void Connection::on_read(error_code ec) {
    if (ec) {
        reading_ended_ = ec;
        finish();
        return;
    }
    if (ws_.got_text()) {
        const auto data = buffer_.cdata();
        std::string text(static_cast<const char*>(data.data()), data.size());
        buffer_.clear();
        owner_.received(*this, std::move(text));
    } else {
        buffer_.clear();
        owner_.log("connection " + std::to_string(index_) + ": binary frame ignored");
    }
    read();
}

// The connection is over once its read loop and any close of the server's
// have ended: recorded with the close frame the client sent (1005 when it had
// no code), or 1006 when none came.
void Connection::finish() {
    if (!reading_ended_ || closing_handshake_) return;
    ClientClose record;
    record.connection = index_;
    record.server_initiated = server_initiated_;
    record.code = 1006;
    // The close frame counts even when what followed it failed (a client
    // that resets the connection right after it, say).
    const websocket::close_reason& reason = ws_.reason();
    if (close_frame_seen_ || closed_by_handshake_ || *reading_ended_ == websocket::error::closed ||
        reason.code != websocket::close_code::none) {
        record.code = reason.code == websocket::close_code::none ? 1005 : reason.code;
        record.reason.assign(reason.reason.data(), reason.reason.size());
    } else {
        ws_.next_layer().close();
    }
    open_ = false;
    finished_ = true;
    closing_ = true;
    flood_.reset();
    queue_.clear();
    owner_.closed(*this, record);
}

bool Connection::close(int code, const std::string& reason) {
    if (!open_ || closing_ || !sendable_close_code(code)) return false;
    Item item{Item::close_frame, nullptr};
    if (code != 0 && code != 1005) item.reason.code = static_cast<std::uint16_t>(code);
    item.reason.reason.assign(reason.data(), std::min(reason.size(), item.reason.reason.max_size()));
    queue_.push_back(std::move(item));
    closing_ = true;
    server_initiated_ = true;
    write_next();
    return true;
}

bool Connection::drop() {
    if (finished_) return false;
    closing_ = true;
    server_initiated_ = true;
    ws_.next_layer().close();
    return true;
}

bool Connection::flood(std::shared_ptr<const std::string> text) {
    if (!open_ || closing_) return false;
    flood_ = std::move(text);
    write_next();
    return true;
}

bool Connection::queue(Item item) {
    if (!open_ || closing_) return false;
    queue_.push_back(std::move(item));
    write_next();
    return true;
}

void Connection::write_next() {
    if (busy_ || finished_) return;
    if (!queue_.empty()) {
        writing_ = std::move(queue_.front());
        queue_.pop_front();
    } else if (flood_ && !closing_) {
        writing_ = Item{Item::text_frame, flood_};
    } else {
        return;
    }
    busy_ = true;
    auto self = shared_from_this();
    switch (writing_.kind) {
        case Item::text_frame:
        case Item::binary_frame:
            ws_.text(writing_.kind == Item::text_frame);
            ws_.async_write(net::buffer(*writing_.data), [self](error_code ec, std::size_t) { self->written(ec); });
            break;
        case Item::raw_bytes:
            ws_.next_layer().write_raw(net::buffer(*writing_.data), [self](error_code ec) { self->written(ec); });
            break;
        case Item::close_frame:
            // Nothing is written after the close frame; the read under way
            // ends with it, and the handshake's outcome decides the record.
            closing_handshake_ = true;
            ws_.async_close(writing_.reason, [self](error_code ec) {
                self->closing_handshake_ = false;
                self->closed_by_handshake_ = !ec;
                self->finish();
            });
            break;
    }
}

void Connection::written(error_code ec) {
    busy_ = false;
    if (!ec) {
        write_next();
        return;
    }
    // The read loop sees the same end and records it.
    owner_.log("connection " + std::to_string(index_) + ": writing failed: " + ec.message());
}

}  // namespace zorim::sim
