// A quick reader for the most frequent message a printer sends, the status
// notification: it builds only the members the routing reads and leaves the
// rest of each element out, instead of building the whole parsed value.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace zorim {

// Reads `payload` into `message` when it is a JSON object written in the
// plain form printers use (no escapes or non-ASCII bytes in strings, not
// nested beyond a few levels, numbers in the C locale's form). `message` then
// holds the members "id", "method" and "params" of the text, and in each
// element of "params" only the objects a status parser reads, and in those
// only the keys a field starts at. Repeated keys keep their last value and numbers take the
// integer, unsigned or floating-point type that the full parse gives them, so
// the status parsers find the same values where they look.
//
// Returns false, with `message` unspecified, for any other text, well-formed
// or not: the caller then parses it in full, which gives the usual value or
// error.
bool read_status_notification(const std::string& payload, nlohmann::json& message);

}  // namespace zorim
