#include "status/reading_rules.h"

#include <cmath>
#include <limits>

namespace zorim {
namespace {

std::string type_name(const nlohmann::json& value) { return value.type_name(); }

std::int32_t low_32_bits(std::uint64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value & 0xffffffffu));
}

}  // namespace

double read_number(const nlohmann::json& value) {
    if (!value.is_number()) throw ReadingError("a number was expected, not " + type_name(value));
    return value.get<double>();
}

std::int32_t read_integer(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_number_unsigned()) return low_32_bits(value.get<std::uint64_t>());
    if (value.is_number_integer()) return low_32_bits(static_cast<std::uint64_t>(value.get<std::int64_t>()));
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isnan(number)) throw ReadingError("an integer was expected, not NaN");
        // Truncate toward zero; values beyond 64 bits saturate before the low
        // 32 bits are kept, where a plain cast would be undefined.
        constexpr double kLimit = 9.2233720368547748e18;  // 2^63
        const double truncated = std::trunc(number);
        std::int64_t whole;
        if (truncated >= kLimit) whole = std::numeric_limits<std::int64_t>::max();
        else if (truncated < -kLimit) whole = std::numeric_limits<std::int64_t>::min();
        else whole = static_cast<std::int64_t>(truncated);
        return low_32_bits(static_cast<std::uint64_t>(whole));
    }
    throw ReadingError("an integer was expected, not " + type_name(value));
}

bool read_flag(const nlohmann::json& value) {
    if (!value.is_boolean()) throw ReadingError("a boolean was expected, not " + type_name(value));
    return value.get<bool>();
}

std::string read_text(const nlohmann::json& value) {
    if (!value.is_string()) throw ReadingError("a string was expected, not " + type_name(value));
    return value.get<std::string>();
}

void read_array(const nlohmann::json& value, double* target, std::size_t slots) {
    std::size_t slot = 0;
    for (const nlohmann::json& element : value) {
        if (slot == slots) break;
        target[slot++] = read_number(element);
    }
}

}  // namespace zorim
