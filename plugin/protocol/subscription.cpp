#include "protocol/subscription.h"

#include <string_view>


namespace zorim {
namespace {

// Replaces every occurrence from the left; the scan resumes after the
// inserted text, so a replacement is never rescanned.
void replace_all(std::string& text, std::string_view from, std::string_view to) {
    std::string result;
    result.reserve(text.size() + text.size() / 4);
    std::size_t done = 0;
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, done)) {
        result.append(text, done, at - done);
        result.append(to);
        done = at + from.size();
    }
    result.append(text, done, std::string::npos);
    text = std::move(result);
}

}  // namespace

std::optional<std::string> rewrite_objects_list(const std::string& reply) {
    const std::size_t start = reply.find("\"objects");
    if (start == std::string::npos) return std::nullopt;
    const std::size_t end = reply.find("]}", start);
    if (end == std::string::npos) return std::nullopt;

    // From the key's opening quote up to and including the list's "]".
    std::string objects = reply.substr(start, end - start + 1);
    replace_all(objects, ",", ":null,");
    replace_all(objects, "]", ":null}");
    replace_all(objects, "[", "{");
    replace_all(objects, "\"display_status\":null", "\"display_status\": [\"progress\", \"message\"]");
    return objects;
}

}  // namespace zorim
