// The record of the send queue and of the pending-request table.
#pragma once

#include <cstdint>
#include <string>

namespace zorim {

// The fixed ids of the plug-in's own requests. Each kind of request has one
// id, so a reply's id alone says what it answers. 0 marks a host text.
enum RequestId : std::int32_t {
    kHostText = 0,
    kObjectsList = 1,
    kSubscribe = 2,
    kPrinterInfo = 3,
    kFileList = 4,
    kFileMetadata = 5,
    kLatestJob = 6,
    kHistoryList = 7,
    kDeleteFile = 8,
};

struct OutgoingMessage {
    std::string device_id;       // empty in pending-table entries
    std::int32_t request_id = 0;
    std::int16_t age = 0;        // keep-alive ticks since last sent
    bool await_reply = false;    // register for resending when written
    std::string text;            // the complete JSON text
};

}  // namespace zorim
