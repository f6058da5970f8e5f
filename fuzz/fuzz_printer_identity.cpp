// A printer.info result of any shape: apply_printer_info either folds it in
// or stops at a wrongly typed member with the JSON library's error (which the
// message path logs), and the model name obeys its rules whatever the host
// name is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/printer_identity.h"

namespace {

std::string without_spaces(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

std::size_t spaces(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), ' ')); }

void check(bool holds) {
    if (!holds) __builtin_trap();
}

// The host-name rules. The two exact names have fixed answers; any other name
// gets one space after its first "Zorim": nothing before it changes, no other
// character changes, at most one space is added, and the rule is idempotent.
void check_model(const std::string& hostname, const std::string& cpu_info) {
    const std::string model = zorim::model_for_hostname(hostname, cpu_info);
    if (hostname == "zorim") {
        const bool four = cpu_info.find("4 core") != std::string::npos;
        const bool two = cpu_info.find("2 core") != std::string::npos;
        check(model == (four ? "Zorim Alto" : two ? "Zorim Brio" : "zorim"));
        return;
    }
    if (hostname == "nimbi-hub") {
        check(model == "Zorim Corsa");
        return;
    }
    const std::size_t first = hostname.find("Zorim");
    if (first == std::string::npos) {
        check(model == hostname);
        return;
    }
    check(model.compare(0, first, hostname, 0, first) == 0);
    check(model.compare(first, 6, "Zorim ") == 0);
    check(without_spaces(model) == without_spaces(hostname));
    check(spaces(model) == spaces(hostname) || spaces(model) == spaces(hostname) + 1);
    check(zorim::model_for_hostname(model, cpu_info) == model);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The raw bytes as a host name, split at the first NUL into host name and
    // cpu_info, so that the rules see names no JSON text would carry.
    const std::size_t cut = text.find('\0');
    check_model(text.substr(0, cut), cut == std::string::npos ? std::string() : text.substr(cut + 1));

    const nlohmann::json result = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (result.is_discarded() || !result.is_object()) return 0;
    const zorim::MachineStatus before{};
    zorim::MachineStatus after = before;
    bool complete = true;
    try {
        zorim::apply_printer_info(after, result);
    } catch (const nlohmann::json::exception&) {
        complete = false;  // a wrongly typed member; anything else escapes and fails
    }
    if (!complete) return 0;

    auto text_member = [&](const char* key) -> const nlohmann::json* {
        const auto it = result.find(key);
        return it == result.end() || it->is_null() ? nullptr : &*it;
    };
    const nlohmann::json* state = text_member("state");
    std::int32_t firmware = before.firmware_state;
    if (state && *state == "ready") firmware = zorim::kFirmwareReady;
    if (state && *state == "shutdown") firmware = zorim::kFirmwareShutdown;
    if (state && *state == "disconnected") firmware = zorim::kFirmwareDisconnected;
    check(after.firmware_state == firmware);

    const nlohmann::json* hostname = text_member("hostname");
    if (hostname) {
        const std::string name = hostname->get<std::string>();
        const std::string cpu = name == "zorim" ? result.at("cpu_info").get<std::string>() : std::string();
        check(after.model == zorim::model_for_hostname(name, cpu));
    } else {
        check(after.model == before.model);
    }
    const nlohmann::json* version = text_member("software_version");
    check(after.software_version == (version ? version->get<std::string>() : before.software_version));
    return 0;
}
