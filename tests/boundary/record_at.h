// The status record's members read at the byte offsets that the host
// interface fixes, not through the header's member names: what a host that
// was built apart from the plug-in sees.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "zorim_network/machine_status.h"

namespace zorim::test {

template <typename T>
T read_at(const MachineStatus& status, std::size_t offset) {
    T value;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(&status) + offset, sizeof value);
    return value;
}

inline const std::string& text_at(const MachineStatus& status, std::size_t offset) {
    return *reinterpret_cast<const std::string*>(reinterpret_cast<const unsigned char*>(&status) + offset);
}

}  // namespace zorim::test
