#include "connection/link_errors.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace zorim {
namespace {

struct ErrorText {
    LinkError error;
    const char* text;
};

// The texts as the log has always printed them.
constexpr ErrorText kErrorTexts[] = {
    {LinkError::general, "Generic error"},
    {LinkError::transport, "Underlying Transport Error"},
    {LinkError::end_of_file, "End of File"},
    {LinkError::timer_expired, "Timer Expired"},
    {LinkError::invalid_http_status, "Invalid HTTP status."},
    {LinkError::missing_header, "A required HTTP header is missing"},
    {LinkError::open_handshake_timeout, "The opening handshake timed out"},
    {LinkError::invalid_uri, "invalid uri"},
    {LinkError::invalid_state, "invalid state"},
    {LinkError::bad_connection, "Bad Connection"},
};

class LinkCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "zorim.link"; }
    std::string message(int value) const override {
        for (const ErrorText& entry : kErrorTexts) {
            if (static_cast<int>(entry.error) == value) return entry.text;
        }
        return "Unknown";
    }
};

struct CloseName {
    std::uint16_t code;
    const char* name;
};

// Spelling included: the log has always named 1008 this way.
constexpr CloseName kCloseNames[] = {
    {1000, "Normal close"},
    {1001, "Going away"},
    {1002, "Protocol error"},
    {1003, "Unsupported data"},
    {1005, "No status set"},
    {1006, "Abnormal close"},
    {1007, "Invalid payload"},
    {1008, "Policy violoation"},
    {1009, "Message too big"},
    {1010, "Extension required"},
    {1011, "Internal endpoint error"},
    {1012, "Service restart"},
    {1013, "Try again later"},
    {1014, "Bad gateway"},
    {1015, "TLS handshake failure"},
    {3000, "Generic subprotocol error"},
    {3001, "Invalid subprotocol data"},
};

struct Scheme {
    std::string_view prefix;
    const char* name;
    std::uint16_t default_port;
};

constexpr Scheme kSchemes[] = {
    {"wss://", "wss", 443},
    {"ws://", "ws", 80},
    {"http://", "http", 80},
    {"https://", "https", 443},
};

std::uint16_t default_port(const std::string& scheme) {
    for (const Scheme& entry : kSchemes) {
        if (scheme == entry.name) return entry.default_port;
    }
    return 0;
}

}  // namespace

const std::error_category& link_category() {
    static const LinkCategory category;
    return category;
}

std::error_code make_error_code(LinkError error) { return {static_cast<int>(error), link_category()}; }

const char* close_code_name(std::uint16_t code) {
    for (const CloseName& entry : kCloseNames) {
        if (entry.code == code) return entry.name;
    }
    return "Unknown";
}

std::string LinkUri::host_header() const {
    // An IPv6 literal keeps its brackets, or its port could not be told
    // from its last group.
    const std::string name = host.find(':') == std::string::npos ? host : "[" + host + "]";
    return port == default_port(scheme) ? name : name + ":" + std::to_string(port);
}

std::optional<LinkUri> parse_link_uri(const std::string& uri) {
    LinkUri parsed;
    std::size_t at = std::string::npos;
    for (const Scheme& scheme : kSchemes) {
        // At least one character after the prefix.
        if (uri.size() > scheme.prefix.size() && uri.compare(0, scheme.prefix.size(), scheme.prefix) == 0) {
            parsed.scheme = scheme.name;
            at = scheme.prefix.size();
            break;
        }
    }
    if (at == std::string::npos) return std::nullopt;

    bool port_follows = false;
    if (uri[at] == '[') {
        const std::size_t close = uri.find(']', at + 1);
        if (close == std::string::npos) return std::nullopt;
        parsed.host = uri.substr(at + 1, close - at - 1);
        at = close + 1;
        if (at < uri.size()) {
            if (uri[at] != '/' && uri[at] != ':') return std::nullopt;
            port_follows = uri[at] == ':';
            ++at;
        }
    } else {
        const std::size_t end = uri.find_first_of(":/", at);
        parsed.host = uri.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? uri.size() : end + 1;
        port_follows = end != std::string::npos && uri[end] == ':';
    }

    std::string port;
    if (port_follows) {
        const std::size_t end = uri.find('/', at);
        port = uri.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? uri.size() : end + 1;
    }
    if (port.empty()) {
        parsed.port = default_port(parsed.scheme);
    } else {
        // A leading decimal number, as atoi reads it: "12ab" is 12.
        const long value = std::strtol(port.c_str(), nullptr, 10);
        if (value <= 0 || value > 65535) return std::nullopt;
        parsed.port = static_cast<std::uint16_t>(value);
    }
    parsed.resource = "/" + uri.substr(std::min(at, uri.size()));
    return parsed;
}

}  // namespace zorim
