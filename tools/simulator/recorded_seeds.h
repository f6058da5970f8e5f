// The recorded printer state the simulator starts from: seeds/recorded_seeds.json,
// embedded at build time (the build writes recorded_seeds.cpp).
#pragma once

#include <string_view>

namespace zorim::sim {

std::string_view recorded_seeds_text();

}  // namespace zorim::sim
