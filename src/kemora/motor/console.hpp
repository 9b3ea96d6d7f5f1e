#pragma once
#include <iostream>
#include <string_view>

namespace kemora::motor {

/// Prints one console line of the engine to standard output and flushes it,
/// so that it lands before anything a notebook then writes to standard error.
inline void say(std::string_view line) { std::cout << line << '\n' << std::flush; }

}  // namespace kemora::motor
