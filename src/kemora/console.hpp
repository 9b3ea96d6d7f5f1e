#pragma once
#include <string_view>

#include "kemora/console_sink.hpp"

/// Writing console text through a sink (see kemora/console_sink.hpp).
namespace kemora {

/// Hands `text` to `sink` (stdout_sink when empty) cut after each '\n'; a
/// last piece without '\n' is handed over as it is (a prompt).
void console_write(const ConsoleSink& sink, std::string_view text);

/// Hands `line` and a final '\n' to `sink`, as console_write does.
void console_line(const ConsoleSink& sink, std::string_view line);

}  // namespace kemora
