// The objects-list reply is rewritten as text, never parsed: any input must
// give either nothing or a text, without reading out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/subscription.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto rewritten = zorim::rewrite_objects_list(std::string(reinterpret_cast<const char*>(data), size));
    if (rewritten && rewritten->empty()) __builtin_trap();  // a cut always holds at least `"objects` ... `]`
    return 0;
}
