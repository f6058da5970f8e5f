#include "diagnostics/console.h"

#include <cstdio>
#include <utility>

namespace zorim {
namespace {

std::function<void(std::string_view)>& console_writer() {
    static std::function<void(std::string_view)> writer;
    return writer;
}

}  // namespace

void console_write(std::string_view text) {
    try {
        auto& writer = console_writer();
        if (writer) {
            writer(text);
            return;
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    } catch (...) {
        // A console line is best effort; losing one must not end a thread.
    }
}

void set_console_writer(std::function<void(std::string_view)> writer) {
    console_writer() = std::move(writer);
}

}  // namespace zorim
