// Any text a printer sends goes through the message router: nothing may
// escape it, crash it or leave the record in a state the next message trips
// on. The router is plain code over data, so no connection or agent is needed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/message_router.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zorim::MachineStatus status;  // carried across inputs, as a connection carries it
    static bool link_open = false;
    link_open = !link_open;
    zorim::RouteResult result;
    zorim::route_message(zorim::PrinterView{"fuzz", link_open, true},
                         std::string(reinterpret_cast<const char*>(data), size), status, result);
    std::size_t reports = 0;
    for (const zorim::Action& action : result.actions) reports += action.kind == zorim::ActionKind::report_status;
    if (reports != result.records.size()) __builtin_trap();
    return 0;
}
