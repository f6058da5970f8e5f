// Putting host-given values into the JSON texts of requests.
#pragma once

#include <string>
#include <string_view>

namespace zorim {

// `value` as the content of a JSON string (without the quotes): quote,
// backslash and control characters escaped by the JSON library. Text without
// such characters comes back byte for byte. Invalid UTF-8 is replaced by
// U+FFFD rather than failing, since the text has to go out.
std::string json_string_content(std::string_view value);

}  // namespace zorim
