// Compile-time checks of the records that cross the host boundary as raw
// bytes. Their text members are the standard library's string, 32 bytes with
// the GNU library on both Linux and Windows; a host built with another
// library (24-byte strings) fails here instead of at run time.
#pragma once

#include <cstddef>
#include <string>

static_assert(sizeof(std::string) == 32, "the host interface needs 32-byte strings");

#define ZORIM_ASSERT_OFFSET(type, member, offset) \
    static_assert(offsetof(type, member) == (offset), #type "::" #member " must sit at " #offset)

// offsetof on records holding strings is "conditionally supported"; GCC and
// clang support it and only warn.
#if defined(__GNUC__)
#define ZORIM_LAYOUT_CHECKS_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Winvalid-offsetof\"")
#define ZORIM_LAYOUT_CHECKS_END _Pragma("GCC diagnostic pop")
#else
#define ZORIM_LAYOUT_CHECKS_BEGIN
#define ZORIM_LAYOUT_CHECKS_END
#endif
