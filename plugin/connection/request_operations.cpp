// The agent's request operations: each composes its row of the request
// catalogue and queues it for the send thread.
#include <initializer_list>
#include <string>

#include "connection/printer_manager.h"
#include "protocol/request_catalogue.h"

namespace zorim {
namespace {

void send_row(PrinterManager& manager, const std::string& device_id, RequestId id,
              std::initializer_list<RequestArg> args = {}) {
    const bool agent_request = id == kPrinterInfo || id == kObjectsList || id == kSubscribe;
    manager.send(device_id, id, compose_request(id, args), request_row(id).await_reply, agent_request);
}

}  // namespace

void PrinterManager::request_objects_list(const std::string& device_id) {
    send_row(*this, device_id, kObjectsList);
}

void PrinterManager::request_subscribe(const std::string& device_id, const std::string& objects_text) {
    send_row(*this, device_id, kSubscribe, {RequestArg::raw(objects_text)});
}

void PrinterManager::request_printer_info(const std::string& device_id) {
    send_row(*this, device_id, kPrinterInfo);
}

void PrinterManager::request_file_list(const std::string& device_id, const std::string& path) {
    send_row(*this, device_id, kFileList, {RequestArg::host_text(path)});
}

void PrinterManager::request_file_metadata(const std::string& device_id, const std::string& file_name) {
    send_row(*this, device_id, kFileMetadata, {RequestArg::host_text(file_name)});
}

void PrinterManager::request_latest_job(const std::string& device_id) {
    send_row(*this, device_id, kLatestJob);
}

void PrinterManager::request_history(const std::string& device_id, std::int32_t start, std::int32_t limit,
                                     const std::string& order) {
    send_row(*this, device_id, kHistoryList,
             {RequestArg::integer(start), RequestArg::integer(limit), RequestArg::host_text(order)});
}

void PrinterManager::request_delete_file(const std::string& device_id, const std::string& file_name) {
    send_row(*this, device_id, kDeleteFile, {RequestArg::host_text(file_name)});
}

}  // namespace zorim
