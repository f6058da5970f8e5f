// The JSON-RPC requests that the plug-in composes itself: one row per fixed
// request id, one composer. Replies are matched by id alone, so each kind of
// request always carries the same id.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "protocol/outgoing_message.h"

namespace zorim {

// One value for a placeholder of a row's params: a host text (escaped as
// JSON string content), a number, or a ready JSON fragment (put in as is).
struct RequestArg {
    enum class Kind { text, number, fragment } kind;
    std::string_view text;
    std::int32_t number = 0;

    static RequestArg host_text(std::string_view value) { return {Kind::text, value, 0}; }
    static RequestArg integer(std::int32_t value) { return {Kind::number, {}, value}; }
    static RequestArg raw(std::string_view json) { return {Kind::fragment, json, 0}; }
};

struct RequestRow {
    RequestId id;
    std::string_view method;
    // Compact JSON with placeholders filled in order: '$' a host text,
    // '#' a number, '@' a fragment.
    std::string_view params;
    bool await_reply;
};

// The row of a plug-in request id (1 to 8).
const RequestRow& request_row(RequestId id);

// {"jsonrpc":"2.0","method":...,"params":...,"id":N} for `id` with `args`
// filling the row's placeholders. Throws std::invalid_argument when the
// arguments do not match the row.
std::string compose_request(RequestId id, std::initializer_list<RequestArg> args = {});

}  // namespace zorim
