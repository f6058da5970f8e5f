#include "protocol/status_notification_reader.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "status/status_model.h"

// The exact conversion of decimals needs arithmetic in double precision.
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "numbers are converted in double arithmetic: build with SSE2 floating point"
#endif

namespace zorim {
namespace {

using nlohmann::json;

// Deeper texts are left to the full parse.
constexpr int kMaxDepth = 32;

// Numbers: 18 digits always fit an int64; a double holds every integer up to
// 2^53 and every power of ten up to 10^22 exactly.
constexpr int kMantissaDigits = 18;
constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;
constexpr int kExactPowers = 22;
constexpr double kPowersOfTen[kExactPowers + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kLargeExponent = 100000;  // exponents are read up to here; larger ones stay larger

// The bytes a string holds as they are: printable ASCII but the quote and the
// backslash.
struct PlainCharacters {
    bool plain[256] = {};
    constexpr PlainCharacters() {
        for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
    }
    constexpr bool operator[](unsigned char c) const { return plain[c]; }
};
constexpr PlainCharacters kPlainCharacters;

// Where a value sits, which decides what of it is kept when it is an object
// or an array.
enum class Role {
    whole,    // kept whole
    message,  // the message: only "id", "method" and "params", the last in the params role
    params,   // an array of status elements
    element,  // a status element: only the objects a parser reads
    object,   // an object a parser reads: only the keys a field starts at
};

class Reader {
public:
    explicit Reader(const std::string& text) : at_(text.c_str()), end_(text.c_str() + text.size()) {}

    bool read(json& message) {
        skip_space();
        if (at_ == end_ || *at_ != '{') return false;
        if (!value(&message, Role::message, nullptr, 0)) return false;
        skip_space();
        return at_ == end_;
    }

private:
    void skip_space() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
    }
    bool take(char c) {
        if (at_ != end_ && *at_ == c) {
            ++at_;
            return true;
        }
        skip_space();
        if (at_ == end_ || *at_ != c) return false;
        ++at_;
        return true;
    }
    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - at_) < word.size() || std::string_view(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    // A string without escapes, control characters or non-ASCII bytes. The
    // text ends in its NUL, which no string character is, so the scan stops
    // at the end of the text at the latest.
    bool text(std::string_view& out) {
        if (at_ == end_ || *at_ != '"') return false;
        const char* start = ++at_;
        while (kPlainCharacters[static_cast<unsigned char>(*at_)]) ++at_;
        if (at_ == end_ || *at_ != '"') return false;
        out = std::string_view(start, static_cast<std::size_t>(at_ - start));
        ++at_;
        return true;
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }
    bool digits() {
        if (at_ == end_ || !digit(*at_)) return false;
        while (at_ != end_ && digit(*at_)) ++at_;
        return true;
    }

    // A JSON number, converted as the full parse converts it: an integer
    // without sign to unsigned, with sign to signed, either to floating point
    // when it does not fit, and anything with a fraction or exponent as
    // strtod converts it. A number beyond the range of a double is left to the
    // full parse, which refuses it.
    //
    // The common numbers are converted here: integers of up to 18 digits,
    // and decimals whose digits make an integer of at most 2^53 scaled by a
    // power of ten of at most 22, which a double holds exactly, so that one
    // correctly rounded multiplication or division gives what a correctly
    // rounding strtod gives. Others go through the C library, as in the full
    // parse; the text ends in its NUL, so the conversions stop at the number's
    // end, and one that does not (another locale) is left to the full parse.
    bool number(json* target) {
        const char* start = at_;
        const bool negative = at_ != end_ && *at_ == '-';
        if (negative) ++at_;
        if (at_ == end_ || !digit(*at_)) return false;
        std::uint64_t mantissa = 0;
        int mantissa_digits = 0;  // counted from the first non-zero digit
        auto take_digit = [&] {
            const auto d = static_cast<unsigned>(*at_++ - '0');
            if (mantissa_digits > 0 || d != 0) ++mantissa_digits;
            if (mantissa_digits <= kMantissaDigits) mantissa = mantissa * 10 + d;
        };
        if (*at_ == '0') ++at_;
        else while (at_ != end_ && digit(*at_)) take_digit();
        bool integer = true;
        int exponent = 0;
        if (at_ != end_ && *at_ == '.') {
            integer = false;
            ++at_;
            if (at_ == end_ || !digit(*at_)) return false;
            while (at_ != end_ && digit(*at_)) {
                take_digit();
                --exponent;
            }
        }
        if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
            integer = false;
            ++at_;
            const bool exponent_negative = at_ != end_ && *at_ == '-';
            if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
            if (at_ == end_ || !digit(*at_)) return false;
            int written = 0;
            while (at_ != end_ && digit(*at_)) {
                if (written < kLargeExponent) written = written * 10 + (*at_ - '0');
                ++at_;
            }
            exponent += exponent_negative ? -written : written;
        }
        const bool plain = mantissa_digits <= kMantissaDigits;
        if (integer && plain) {
            if (target == nullptr) return true;
            if (negative) *target = -static_cast<std::int64_t>(mantissa);
            else *target = mantissa;
            return true;
        }
        if (!integer && plain && mantissa <= kExactMantissa && exponent >= -kExactPowers &&
            exponent <= kExactPowers) {
            if (target == nullptr) return true;
            double x = static_cast<double>(mantissa);
            x = exponent < 0 ? x / kPowersOfTen[-exponent] : x * kPowersOfTen[exponent];
            *target = negative ? -x : x;
            return true;
        }
        return convert(start, negative, integer, target);
    }

    // The rare numbers, through the C library as the full parse converts them.
    bool convert(const char* start, bool negative, bool integer, json* target) {
        char* stop = nullptr;
        errno = 0;
        if (integer && !negative) {
            const unsigned long long x = std::strtoull(start, &stop, 10);
            if (stop != at_) return false;
            if (errno == 0) {
                if (target != nullptr) *target = static_cast<std::uint64_t>(x);
                return true;
            }
        } else if (integer) {
            const long long x = std::strtoll(start, &stop, 10);
            if (stop != at_) return false;
            if (errno == 0) {
                if (target != nullptr) *target = static_cast<std::int64_t>(x);
                return true;
            }
        }
        const double x = std::strtod(start, &stop);
        if (stop != at_ || !std::isfinite(x)) return false;
        if (target != nullptr) *target = x;
        return true;
    }

    // One value into `target`, or checked and left out when `target` is null.
    bool value(json* target, Role role, const ReadKeys* keys, int depth) {
        skip_space();
        if (at_ == end_) return false;
        switch (*at_) {
            case '{': return object(target, role, keys, depth + 1);
            case '[': return array(target, role, depth + 1);
            case '"': {
                std::string_view s;
                if (!text(s)) return false;
                if (target != nullptr) *target = std::string(s);
                return true;
            }
            case 't':
                if (!literal("true")) return false;
                if (target != nullptr) *target = true;
                return true;
            case 'f':
                if (!literal("false")) return false;
                if (target != nullptr) *target = false;
                return true;
            case 'n':
                if (!literal("null")) return false;
                if (target != nullptr) *target = nullptr;
                return true;
            default:
                return number(target);
        }
    }

    bool object(json* target, Role role, const ReadKeys* keys, int depth) {
        if (depth > kMaxDepth) return false;
        ++at_;  // '{'
        if (target != nullptr) *target = json::object();
        if (take('}')) return true;
        do {
            skip_space();
            std::string_view key;
            if (!text(key) || !take(':')) return false;
            // What the member's value is read into, and in which role.
            json* slot = target;
            Role member_role = Role::whole;
            const ReadKeys* member_keys = nullptr;
            if (target != nullptr) {
                switch (role) {
                    case Role::message:
                        if (key == "params") member_role = Role::params;
                        else if (key != "id" && key != "method") slot = nullptr;
                        break;
                    case Role::element:
                        member_keys = read_keys_of(key);
                        if (member_keys == nullptr) slot = nullptr;
                        else member_role = Role::object;
                        break;
                    case Role::object:
                        if (!reads_key(*keys, key)) slot = nullptr;
                        break;
                    default:
                        break;
                }
                // A repeated key's value replaces the earlier one, as in the full parse.
                if (slot != nullptr) slot = &(*target)[std::string(key)];
            }
            if (!value(slot, member_role, member_keys, depth)) return false;
        } while (take(','));
        return take('}');
    }

    bool array(json* target, Role role, int depth) {
        if (depth > kMaxDepth) return false;
        ++at_;  // '['
        json::array_t* elements = nullptr;
        if (target != nullptr) {
            *target = json::array();
            elements = &target->get_ref<json::array_t&>();
        }
        if (take(']')) return true;
        // Objects in a params array are status elements; all else is whole.
        const Role element_role = role == Role::params ? Role::element : Role::whole;
        do {
            json* slot = nullptr;
            if (elements != nullptr) {
                elements->emplace_back();
                slot = &elements->back();
            }
            skip_space();
            const Role slot_role = at_ != end_ && *at_ == '{' ? element_role : Role::whole;
            if (!value(slot, slot_role, nullptr, depth)) return false;
        } while (take(','));
        return take(']');
    }

    const char* at_;
    const char* end_;
};

}  // namespace

bool read_status_notification(const std::string& payload, nlohmann::json& message) {
    return Reader(payload).read(message);
}

}  // namespace zorim
