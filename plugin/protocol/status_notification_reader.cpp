#include "protocol/status_notification_reader.h"

#include <cerrno>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

// Digits are read eight at a time as they lie in memory.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the number reader assumes a little-endian machine"
#endif

// The exact conversion of decimals needs arithmetic in double precision.
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "numbers are converted in double arithmetic: build with SSE2 floating point"
#endif

namespace zorim {
namespace {

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
// Exponents are read up to here; larger ones stay larger. It lies beyond the
// digits of any text by far, so that leading zeros can never bring a capped
// exponent back into a double's range.
constexpr std::int64_t kLargeExponent = 100'000'000'000'000'000;  // 10^17: ten times it still fits
constexpr int kFiniteDigits = 308;  // below 10^308 no number overflows a double (DBL_MAX is 1.8e308)

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

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHigh = 0x8080808080808080u;

class Reader {
public:
    Reader(const std::string& text, StatusNotificationText& message)
        : at_(text.c_str()), end_(text.c_str() + text.size()), message_(message) {}

    bool read() {
        skip_space();
        if (at_ == end_ || *at_ != '{') return false;
        if (!top_level()) return false;
        skip_space();
        return at_ == end_;
    }

private:
    // The text ends in its NUL, which is none of the characters looked for
    // here, so no test of the end is needed before one is compared.
    void skip_space() {
        // Every whitespace character lies below '!'.
        while (static_cast<unsigned char>(*at_) <= ' ' &&
               (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) {
            ++at_;
        }
    }
    bool take(char c) {
        if (*at_ != c) {
            skip_space();
            if (*at_ != c) return false;
        }
        ++at_;
        return true;
    }
    bool at(char c) {
        skip_space();
        return *at_ == c;
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
        if (*at_ != '"') return false;
        const char* start = ++at_;
        // Eight characters at a time up to the first that ends the plain run.
        for (;;) {
            if (end_ - at_ < 8) {
                while (kPlainCharacters[static_cast<unsigned char>(*at_)]) ++at_;
                break;
            }
            std::uint64_t eight;
            std::memcpy(&eight, at_, sizeof eight);
            if (const std::uint64_t stops = not_plain(eight)) {
                at_ += first_marked(stops);
                break;
            }
            at_ += 8;
        }
        if (at_ == end_ || *at_ != '"') return false;
        out = std::string_view(start, static_cast<std::size_t>(at_ - start));
        ++at_;
        return true;
    }

    // Eight bytes as they lie in memory, the first of the text lowest: the
    // high bit of each byte that is a control character, a quote, a backslash
    // or a non-ASCII byte (the classic bitwise byte tests: subtracting n from
    // a byte below n sets its high bit). Other non-ASCII bytes may be marked
    // too, and a byte above a marked one may be marked by the borrow, never
    // one below it, so the lowest mark is exact.
    static std::uint64_t not_plain(std::uint64_t x) {
        const std::uint64_t control = x - kOnes * 0x20;
        const std::uint64_t quote = (x ^ (kOnes * '"')) - kOnes;
        const std::uint64_t backslash = (x ^ (kOnes * '\\')) - kOnes;
        return (x | control | quote | backslash) & kHigh;
    }
    // The same for each byte that is not a digit; every mark is exact. A
    // digit becomes 0 to 9 by the exclusive or; adding 0x76 to the low seven
    // bits sets the high bit from 10 up and carries into no other byte.
    static std::uint64_t not_digits(std::uint64_t x) {
        const std::uint64_t y = x ^ (kOnes * '0');
        return (((y & ~kHigh) + kOnes * (0x80 - 10)) | y) & kHigh;
    }
    // The place of the lowest marked byte; `marks` is not zero.
    static std::size_t first_marked(std::uint64_t marks) {
#if defined(_MSC_VER)
        unsigned long bit = 0;
        _BitScanForward64(&bit, marks);
        return bit / 8;
#else
        return static_cast<std::size_t>(__builtin_ctzll(marks)) / 8;
#endif
    }

    // The value of eight digits (the bytes in the order of the text, which is
    // the order of memory on a little-endian machine): the usual bitwise
    // digit trick.
    static std::uint32_t eight_digits_value(std::uint64_t x) {
        x -= 0x3030303030303030u;
        x = x * 10 + (x >> 8);  // pairs
        x = (((x & 0x000000FF000000FFu) * 0x000F424000000064u) +
             (((x >> 16) & 0x000000FF000000FFu) * 0x0000271000000001u)) >> 32;
        return static_cast<std::uint32_t>(x);
    }

    // A key and its colon.
    bool key(std::string_view& out) {
        skip_space();
        return text(out) && take(':');
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }

    // The end of the run of digits at `p`.
    const char* digits_end(const char* p) const {
        while (end_ - p >= 8) {
            std::uint64_t eight;
            std::memcpy(&eight, p, sizeof eight);
            if (const std::uint64_t stops = not_digits(eight)) return p + first_marked(stops);
            p += 8;
        }
        while (digit(*p)) ++p;
        return p;
    }

    // `value` followed by the digits [first, last), eight at a time where
    // there are eight.
    static std::uint64_t append_digits(std::uint64_t value, const char* first, const char* last) {
        for (; last - first >= 8; first += 8) {
            std::uint64_t eight;
            std::memcpy(&eight, first, sizeof eight);
            value = value * 100000000u + eight_digits_value(eight);
        }
        for (; first != last; ++first) value = value * 10 + static_cast<unsigned>(*first - '0');
        return value;
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
    // rounding strtod gives. Others go through convert(); the text ends in its
    // NUL, so the C library's conversions stop at the number's end, and one
    // that does not (another locale) is left to the full parse.
    bool number(FieldValue* out) {
        // Read through a local pointer, which stays in a register; the text
        // ends in its NUL, which is no digit, sign or exponent mark.
        const char* p = at_;
        const char* const start = p;
        const bool negative = *p == '-';
        if (negative) ++p;
        if (!digit(*p)) return false;
        // The integer part (a lone zero, or digits that start with another)
        // and the fraction's digits; the runs are found first and converted
        // only when the number is converted here.
        const char* const whole = p;
        p = *p == '0' ? p + 1 : digits_end(p);
        const char* const whole_end = p;
        const char* fraction = p;
        bool integer = true;
        if (*p == '.') {
            integer = false;
            fraction = ++p;
            p = digits_end(p);
            if (p == fraction) return false;
        }
        const char* const fraction_end = p;
        std::int64_t exponent = -(fraction_end - fraction);
        if (*p == 'e' || *p == 'E') {
            integer = false;
            ++p;
            const bool exponent_negative = *p == '-';
            if (*p == '+' || *p == '-') ++p;
            if (!digit(*p)) return false;
            std::int64_t written = 0;
            while (digit(*p)) {
                if (written < kLargeExponent) written = written * 10 + (*p - '0');
                ++p;
            }
            exponent += exponent_negative ? -written : written;
        }
        at_ = p;
        // The significant digits start at the first that is not zero: a zero
        // integer part and the zeros that open the fraction do not count.
        const char* significant = whole;
        std::int64_t mantissa_digits = (whole_end - whole) + (fraction_end - fraction);
        if (*whole == '0') {
            significant = fraction;
            while (significant != fraction_end && *significant == '0') ++significant;
            mantissa_digits = fraction_end - significant;
        }
        // At 10^309 and above every double overflows, whatever the digits:
        // refused here rather than left to a C library that may not say so
        // (MinGW's strtod reads 0.<99,999 zeros>1e1000000 as 0).
        if (mantissa_digits > 0 && mantissa_digits + exponent > kFiniteDigits + 1) return false;
        // A number only checked needs no conversion when it is below
        // 10^308, which no double overflows at; an underflow is no error.
        if (out == nullptr && (mantissa_digits == 0 || mantissa_digits + exponent <= kFiniteDigits)) return true;
        const bool plain = mantissa_digits <= kMantissaDigits;
        std::uint64_t mantissa = 0;
        if (plain) {
            // At most 18 digits: no overflow.
            if (significant == whole) mantissa = append_digits(0, whole, whole_end);
            mantissa = append_digits(mantissa, significant == whole ? fraction : significant, fraction_end);
        }
        if (integer && plain) {
            if (out == nullptr) return true;
            if (negative) set_integer(*out, -static_cast<std::int64_t>(mantissa));
            else set_unsigned(*out, mantissa);
            return true;
        }
        if (!integer && plain && mantissa <= kExactMantissa && exponent >= -kExactPowers &&
            exponent <= kExactPowers) {
            if (out == nullptr) return true;
            double x = static_cast<double>(mantissa);
            x = exponent < 0 ? x / kPowersOfTen[-exponent] : x * kPowersOfTen[exponent];
            set_floating(*out, negative ? -x : x);
            return true;
        }
        return convert(start, negative, integer, out);
    }

    // The other numbers: decimals through from_chars, which rounds correctly
    // as strtod does, several times faster; integers beyond 18 digits and
    // decimals near the ends of a double's range through the C library, as
    // the full parse converts them.
    bool convert(const char* start, bool negative, bool integer, FieldValue* out) {
        if (!integer) {
            double x = 0.0;
            const std::from_chars_result read = std::from_chars(start, at_, x);
            if (read.ec == std::errc() && read.ptr == at_) {
                if (out != nullptr) set_floating(*out, x);
                return true;
            }
        }
        char* stop = nullptr;
        errno = 0;
        if (integer && !negative) {
            const unsigned long long x = std::strtoull(start, &stop, 10);
            if (stop != at_) return false;
            if (errno == 0) {
                if (out != nullptr) set_unsigned(*out, static_cast<std::uint64_t>(x));
                return true;
            }
        } else if (integer) {
            const long long x = std::strtoll(start, &stop, 10);
            if (stop != at_) return false;
            if (errno == 0) {
                if (out != nullptr) set_integer(*out, static_cast<std::int64_t>(x));
                return true;
            }
        }
        const double x = std::strtod(start, &stop);
        if (stop != at_ || !std::isfinite(x)) return false;
        if (out != nullptr) set_floating(*out, x);
        return true;
    }

    static void set_integer(FieldValue& out, std::int64_t x) {
        out.kind = FieldValue::Kind::integer;
        out.integer = x;
    }
    static void set_unsigned(FieldValue& out, std::uint64_t x) {
        out.kind = FieldValue::Kind::unsigned_integer;
        out.unsigned_integer = x;
    }
    static void set_floating(FieldValue& out, double x) {
        out.kind = FieldValue::Kind::floating;
        out.floating = x;
    }

    // The members of the object at the reader, one level below `depth`:
    // `member(key, depth)` reads each value.
    template <typename Member>
    bool members(int depth, Member&& member) {
        if (depth + 1 > kMaxDepth) return false;
        ++at_;  // '{'
        if (take('}')) return true;
        do {
            std::string_view name;
            if (!key(name) || !member(name, depth + 1)) return false;
        } while (take(','));
        return take('}');
    }

    // The elements of the array at the reader, one level below `depth`:
    // `element(depth)` reads each.
    template <typename Element>
    bool elements(int depth, Element&& element) {
        if (depth + 1 > kMaxDepth) return false;
        ++at_;  // '['
        if (take(']')) return true;
        do {
            if (!element(depth + 1)) return false;
        } while (take(','));
        return take(']');
    }

    // One value, checked and left out.
    bool skip(int depth) {
        skip_space();
        if (at_ == end_) return false;
        switch (*at_) {
            case '{': return members(depth, [this](std::string_view, int below) { return skip(below); });
            case '[': return elements(depth, [this](int below) { return skip(below); });
            case '"': {
                std::string_view unused;
                return text(unused);
            }
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default: return number(nullptr);
        }
    }

    // The value a field starts at.
    bool field_value(FieldValue& out, int depth) {
        skip_space();
        if (at_ == end_) return false;
        switch (*at_) {
            case '{': {
                const char* start = at_;
                if (!skip(depth)) return false;
                set_composite(out, start);
                out.leading_numbers = 0;
                out.whole_array = false;
                return true;
            }
            case '[': return array_value(out, depth);
            case '"': {
                std::string_view s;
                if (!text(s)) return false;
                out.kind = FieldValue::Kind::text;
                out.text = s.data();
                out.text_size = s.size();
                return true;
            }
            case 't':
            case 'f':
                out.kind = FieldValue::Kind::boolean;
                out.boolean = *at_ == 't';
                return literal(out.boolean ? "true" : "false");
            case 'n':
                out.kind = FieldValue::Kind::null;
                return literal("null");
            default: return number(&out);
        }
    }

    void set_composite(FieldValue& out, const char* start) const {
        out.kind = FieldValue::Kind::composite;
        out.text = start;
        out.text_size = static_cast<std::size_t>(at_ - start);
    }

    // An array, with the numbers it starts with.
    bool array_value(FieldValue& out, int depth) {
        const char* start = at_;
        std::size_t count = 0;
        bool numbers = true;  // every element so far is a number
        out.leading_numbers = 0;
        const bool read = elements(depth, [&](int below) {
            skip_space();
            numbers = numbers && at_ != end_ && (*at_ == '-' || digit(*at_));
            ++count;
            if (!numbers || out.leading_numbers == FieldValue::kLeadingNumbers) return skip(below);
            FieldValue element;
            if (!number(&element)) return false;
            out.numbers[out.leading_numbers++] = element.as_double();
            return true;
        });
        if (!read) return false;
        set_composite(out, start);
        out.whole_array = numbers && count == out.leading_numbers;
        return true;
    }

    // An object a status parser reads: the values its fields start at.
    bool field_object(const ObjectFields& fields, int depth) {
        return members(depth, [&](std::string_view name, int below) {
            const FieldMask mask = fields_at(fields, name);
            if (mask == 0) return skip(below);
            FieldEntry& entry = message_.entries.emplace_back();
            entry.fields = mask;
            return field_value(entry.value, below);
        });
    }

    // A status element: the objects a parser reads. A repeated object, or
    // one that is not an object, replaces what the earlier one gave.
    bool element(const StatusNotificationText::Element& element, int depth) {
        return members(depth, [&](std::string_view name, int below) {
            const ObjectFields* fields = object_fields_of(name);
            if (fields == nullptr) return skip(below);
            const FieldMask replaced = ~all_fields(*fields);
            for (std::size_t i = element.first_entry; i < message_.entries.size(); ++i) {
                message_.entries[i].fields &= replaced;
            }
            return at('{') ? field_object(*fields, below) : skip(below);
        });
    }

    bool params(int depth) {
        message_.elements.clear();
        message_.entries.clear();
        message_.params_is_array = at('[');
        if (!message_.params_is_array) return skip(depth);
        return elements(depth, [this](int below) {
            const std::size_t first = message_.entries.size();
            const StatusNotificationText::Element added{at('{'), first, first};
            if (!(added.object ? element(added, below) : skip(below))) return false;
            message_.elements.push_back(added);
            message_.elements.back().end_entry = message_.entries.size();
            return true;
        });
    }

    // The message: "id", "method" and "params"; the last of a repeated key counts.
    bool top_level() {
        return members(0, [this](std::string_view name, int below) {
            if (name == "params") return params(below);
            if (name == "id") {
                message_.has_id = !at('n');
                return skip(below);
            }
            if (name == "method") {
                message_.method_is_text = at('"');
                return message_.method_is_text ? text(message_.method) : skip(below);
            }
            return skip(below);
        });
    }

    const char* at_;
    const char* end_;
    StatusNotificationText& message_;
};

}  // namespace

bool read_status_notification(const std::string& payload, StatusNotificationText& message) {
    return Reader(payload, message).read();
}

}  // namespace zorim
