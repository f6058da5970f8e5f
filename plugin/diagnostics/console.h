// Short progress lines on standard output (never in the log file).
#pragma once

#include <functional>
#include <string_view>

namespace zorim {

// Writes `text` to standard output as one piece, so that lines from several
// threads never interleave inside a line. Adds nothing: callers put in the
// line end where one belongs. Never throws.
void console_write(std::string_view text);

// Replaces where console text goes (tests capture it); an empty function
// restores standard output. Not for use while plug-in threads run.
void set_console_writer(std::function<void(std::string_view)> writer);

}  // namespace zorim
