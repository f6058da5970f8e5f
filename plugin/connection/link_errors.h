// What the WebSocket transport says about a link that failed or ended: its
// error codes, the names of WebSocket close codes, and how a printer's
// address is read. The texts and numbers are the ones the diagnostic log has
// always shown ("on_fail:printer-1,Underlying Transport Error,2,1006,",
// "close code: 1001 (Going away)"), so a log read by support tooling keeps
// its meaning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace zorim {

// Failures of a link. The first seven end a link before it opens and are
// printed with their values in the "on_fail:" record; the last three answer
// an operation that cannot be carried out and are printed as text only.
enum class LinkError {
    general = 1,                  // the handshake reply is not HTTP
    transport = 2,                // resolve, connect or the socket failed
    end_of_file = 7,              // the printer hung up during the handshake
    timer_expired = 9,            // resolving or connecting took too long
    invalid_http_status = 20,     // the handshake reply is not 101
    missing_header = 21,          // a 101 reply without a valid upgrade
    open_handshake_timeout = 22,  // no handshake reply in time
    invalid_uri = 100,            // the address is not a ws:// URI with a host
    invalid_state = 101,          // the link is not open (yet, or any more)
    bad_connection = 102,         // the link is gone
};

const std::error_category& link_category();
std::error_code make_error_code(LinkError error);

// The log's name for a WebSocket close code: "Normal close", "Going away",
// ..., "Unknown" for codes without a name.
const char* close_code_name(std::uint16_t code);

// A printer address as the endpoint reads it.
struct LinkUri {
    std::string scheme;  // "ws", "wss", "http" or "https"
    std::string host;    // an IPv6 literal without its brackets
    std::uint16_t port = 0;
    std::string resource;  // "/" and the rest
    // The Host header: the host (an IPv6 literal in brackets), and ":" with
    // the port unless it is the scheme's default.
    std::string host_header() const;
};

// Reads `uri` the way the endpoint always has: one of the four schemes, a
// host (or a bracketed IPv6 literal), an optional port read as a leading
// decimal number (1 to 65535; none is the scheme's default), then the
// resource. Nothing is escaped or checked beyond that. Empty when the text
// does not parse.
std::optional<LinkUri> parse_link_uri(const std::string& uri);

}  // namespace zorim

namespace std {
template <>
struct is_error_code_enum<zorim::LinkError> : true_type {};
}  // namespace std
