// The reading conventions for incoming JSON: a value "has a member" K when it
// is an object holding the key K; a "non-null member" also holds a value
// other than null. Wrongly typed values are left to the library's checked
// conversions, which throw its type error.
#pragma once

#include <nlohmann/json.hpp>

namespace zorim {

inline bool has_member(const nlohmann::json& value, const char* key) {
    return value.is_object() && value.contains(key);
}

inline bool has_non_null(const nlohmann::json& value, const char* key) {
    if (!value.is_object()) return false;
    auto found = value.find(key);
    return found != value.end() && !found->is_null();
}

}  // namespace zorim
