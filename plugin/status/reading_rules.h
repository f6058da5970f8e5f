// How a JSON value becomes a member of the status record. Every parser of the
// status model and the job parser read through these rules, so a printer value
// means the same thing wherever it lands.
//
// Each rule takes a value that is present and not null (callers test that) and
// either stores it or throws ReadingError, which names what was wrong; the
// caller skips that one member and logs the error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace zorim {

class ReadingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Number rule: a JSON integer, unsigned integer or floating-point number,
// stored as a double. Booleans and everything else are errors.
double read_number(const nlohmann::json& value);

// Integer rule: a boolean gives 0 or 1, an integer keeps its low 32 bits, a
// floating-point number is truncated toward zero (and then keeps its low 32
// bits, so no value is undefined). NaN and other types are errors.
std::int32_t read_integer(const nlohmann::json& value);

// Flag rule: a JSON boolean only.
bool read_flag(const nlohmann::json& value);

// Text rule: a JSON string only.
std::string read_text(const nlohmann::json& value);

// Array rule: stores elements by the number rule from slot 0 until the value
// has no more elements or `slots` are filled; later slots keep their values.
// A non-array is walked over what it holds (an object's values in key order,
// a single number as one element).
void read_array(const nlohmann::json& value, double* target, std::size_t slots);

}  // namespace zorim
