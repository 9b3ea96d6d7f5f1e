#pragma once
#include <string_view>

#include "kemora/console.hpp"

namespace kemora::motor {

/// Prints one console line of the engine through `sink` (standard output
/// when empty; see kemora::stdout_sink for a closed standard output).
inline void say(const ConsoleSink& sink, std::string_view line) { console_line(sink, line); }

}  // namespace kemora::motor
