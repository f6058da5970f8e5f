// The only way any part of the plug-in reaches a host callback. Each invoker
// calls its slot when the host has filled it and callbacks are not muted;
// otherwise the event is dropped (muting loses events, it does not queue
// them). Invokers run without any plug-in lock held.
#include <exception>

#include "connection/printer_manager.h"
#include "diagnostics/diagnostic_log.h"

namespace zorim {
namespace {

// The agents whose host callbacks run on this thread now, innermost first (a
// callback may drive another agent, whose callback then runs inside it). The
// report of a reopen runs on the host's own thread, inside its connect call:
// the agent must not be destroyed from there either.
struct HostCall {
    const PrinterManager* agent;
    const HostCall* outer;
};
thread_local const HostCall* t_host_calls = nullptr;

class HostCallScope {
public:
    explicit HostCallScope(const PrinterManager* agent) : call_{agent, t_host_calls} { t_host_calls = &call_; }
    ~HostCallScope() { t_host_calls = call_.outer; }
    HostCallScope(const HostCallScope&) = delete;
    HostCallScope& operator=(const HostCallScope&) = delete;

private:
    HostCall call_;
};

// Calls the host. A callback that throws is the host's fault, but it must not
// cost the rest of the message that raised the event (the other elements of
// a status notification, say), so it is contained and logged here.
template <typename Call>
bool contain_host(const PrinterManager* agent, const char* slot_name, Call&& call) {
    const HostCallScope scope(agent);
    try {
        return call();
    } catch (const std::exception& e) {
        log_record(Severity::error, std::string("host callback ") + slot_name + " threw: " + e.what());
    } catch (...) {
        log_record(Severity::error, std::string("host callback ") + slot_name + " threw an unknown exception");
    }
    return true;  // it was called
}

template <typename Slot, typename... Args>
bool call_host(const PrinterManager* agent, const char* slot_name, const Slot& slot, Args&&... args) {
    return contain_host(agent, slot_name, [&] { return slot.invoke(std::forward<Args>(args)...); });
}

}  // namespace

bool PrinterManager::in_host_callback() const {
    for (const HostCall* call = t_host_calls; call != nullptr; call = call->outer) {
        if (call->agent == this) return true;
    }
    return false;
}

MachineStatusReceiver PrinterManager::machine_status_receiver() const {
    return machine_status_changed_fn_.hold();
}

bool PrinterManager::machine_status_wanted(const MachineStatusReceiver& receiver) const {
    return receiver.fn && !callbacks_muted_.load();
}

void PrinterManager::report_machine_status(MachineStatusReceiver& receiver, const std::string& device_id,
                                           MachineStatus&& status) {
    if (callbacks_muted_.load()) return;
    machine_status_changed_fn_.refresh(receiver);  // a callback set since then takes this report
    if (!receiver.fn) return;
    const MachineStatusChangedFn& fn = *receiver.fn;
    contain_host(this, "machine_status_changed_fn", [&] {
        fn(device_id, std::move(status));
        return true;
    });
}

void PrinterManager::report_file_list(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    call_host(this, "file_list_arrived_fn", file_list_arrived_fn_, std::move(device_id), std::move(text));
}

void PrinterManager::report_file_meta(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    call_host(this, "file_meta_arrived_fn", file_meta_arrived_fn_, std::move(device_id), std::move(text));
}

void PrinterManager::report_print_history(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    call_host(this, "print_history_arrived_fn", print_history_arrived_fn_, std::move(device_id), std::move(text));
}

void PrinterManager::report_error(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    call_host(this, "error_arrived_fn", error_arrived_fn_, std::move(device_id), std::move(text));
}

void PrinterManager::report_file_changed(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    const std::string record = "file changed:" + device_id;
    if (call_host(this, "file_changed_fn", file_changed_fn_, std::move(device_id), std::move(text))) {
        log_record(Severity::debug, record);
    }
}

void PrinterManager::report_history_changed(std::string device_id, std::string text) {
    if (callbacks_muted_.load()) return;
    const std::string record = "history changed:" + device_id;
    if (call_host(this, "history_changed_fn", history_changed_fn_, std::move(device_id), std::move(text))) {
        log_record(Severity::debug, record);
    }
}

}  // namespace zorim
