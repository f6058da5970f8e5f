// Any text a printer sends goes through dispatch_message: nothing may escape
// it, crash it or leave the connection in a state the next message trips on.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "connection/printer_connection.h"
#include "connection/printer_manager.h"
#include "protocol/outgoing_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zorim::PrinterManager manager;  // never started: requests only queue
    static auto connection =
        std::make_shared<zorim::PrinterConnection>("fuzz", zorim::LinkHandle{}, "ws://fuzz/websocket");
    static bool callbacks_set = [] {
        manager.set_machine_status_changed_fn([](std::string, zorim::MachineStatus) {});
        manager.set_error_arrived_fn([](std::string, std::string) {});
        return true;
    }();
    (void)callbacks_set;

    connection->dispatch_message(manager, std::string(reinterpret_cast<const char*>(data), size));

    // Keep the queue from growing without bound across runs.
    zorim::OutgoingMessage record;
    while (manager.send_queue().size() > 0 && manager.send_queue().pop(record)) {
    }
    return 0;
}
