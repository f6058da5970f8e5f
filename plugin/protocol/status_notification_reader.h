// A quick reader for the most frequent message a printer sends, the status
// notification: it finds the values the status parsers read where they stand
// in the text and builds nothing else, instead of building the parsed value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <boost/container/small_vector.hpp>

#include "status/status_model.h"

namespace zorim {

// What a message holds for the routing of status notifications. The views
// point into the text read.
struct StatusNotificationText {
    struct Element {
        bool object;              // anything else changes no member
        std::size_t first_entry;  // its values: entries [first_entry, end_entry)
        std::size_t end_entry;
    };

    bool has_id = false;          // a non-null "id"
    bool method_is_text = false;  // "method" is a string ...
    std::string_view method;      // ... with these characters
    bool params_is_array = false;
    // The elements of "params" in order, and the values that the fields of the
    // status parsers start at, in the order of the text.
    boost::container::small_vector<Element, 4> elements;
    boost::container::small_vector<FieldEntry, 24> entries;
};

// Reads `payload` into `message` when it is a JSON object written in the
// plain form printers use (no escapes or non-ASCII bytes in strings, not
// nested beyond a few levels, numbers in the C locale's form). Repeated keys
// keep their last value, and numbers take the integer, unsigned or
// floating-point type that the full parse gives them, so that the values
// apply_field_entries receives change the record as the parsed message would.
//
// Returns false, with `message` unspecified, for any other text, well-formed
// or not: the caller then parses it in full, which gives the usual value or
// error.
bool read_status_notification(const std::string& payload, StatusNotificationText& message);

}  // namespace zorim
