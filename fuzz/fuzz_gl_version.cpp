// The launcher's OpenGL version test on any GL_VERSION text: it must order
// versions like a comparison does (a requirement it meets is met by every
// lower one, a version meets itself and nothing above it, two different
// versions never meet each other), and only the first piece of the text counts.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "launcher_core.h"

namespace {

using zorim::launcher::gl_version_at_least;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

std::uint32_t take_number(const std::uint8_t*& data, std::size_t& size) {
    std::uint32_t value = 0;
    const std::size_t n = size < sizeof value ? size : sizeof value;
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

bool below(std::uint32_t major, std::uint32_t minor, std::uint32_t other_major, std::uint32_t other_minor) {
    return major < other_major || (major == other_major && minor < other_minor);
}

std::string version_text(std::uint32_t major, std::uint32_t minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint32_t top = std::numeric_limits<std::uint32_t>::max();
    const std::uint32_t major = take_number(data, size);
    const std::uint32_t minor = take_number(data, size);
    const std::uint32_t other_major = take_number(data, size);
    const std::uint32_t other_minor = take_number(data, size);
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Any text: the versions it meets form a lower set of the version order.
    const bool meets = gl_version_at_least(text, major, minor);
    check(gl_version_at_least(text, 0, 0));
    if (meets) {
        if (minor > 0) check(gl_version_at_least(text, major, minor - 1));
        if (major > 0) check(gl_version_at_least(text, major - 1, top));
    } else {
        if (minor < top) check(!gl_version_at_least(text, major, minor + 1));
        if (major < top) check(!gl_version_at_least(text, major + 1, 0));
    }
    // Met and missed requirements are ordered: what is missed lies above.
    if (!meets && gl_version_at_least(text, other_major, other_minor)) {
        check(below(other_major, other_minor, major, minor));
    }

    // Only the first space-separated piece carries the version.
    const std::string_view first_piece = std::string_view(text).substr(0, text.find(' '));
    check(gl_version_at_least(std::string(first_piece) + " 99999.99999 " + text, major, minor) == meets);

    // A plain "major.minor" text names exactly that version.
    const std::string plain = version_text(major, minor);
    check(gl_version_at_least(plain, major, minor));
    if (minor < top) check(!gl_version_at_least(plain, major, minor + 1));
    if (major < top) check(!gl_version_at_least(plain, major + 1, 0));
    const bool this_meets_other = gl_version_at_least(plain, other_major, other_minor);
    const bool other_meets_this = gl_version_at_least(version_text(other_major, other_minor), major, minor);
    check(this_meets_other == !below(major, minor, other_major, other_minor));
    check((this_meets_other && other_meets_this) == (major == other_major && minor == other_minor));
    check(this_meets_other || other_meets_this);
    return 0;
}
