#pragma once
#include <functional>
#include <string_view>

/// The console of the engine and the renderer: every line they print goes
/// through one sink, which a host may replace to show or keep the lines.
namespace kemora {

/// Receives console text one line per call, with the line's final '\n'. A
/// prompt that waits for an answer on the same line is the one piece that
/// comes without it. So the calls, joined, are exactly the bytes that standard
/// output gets from the default sink. An empty sink stands for the default.
/// A sink may throw: the exception leaves the engine or the renderer like any
/// other error at that point.
using ConsoleSink = std::function<void(std::string_view line)>;

/// The default sink: writes `line` to standard output and flushes it, so that
/// it lands before anything a notebook then writes to standard error. When
/// standard output is a pipe whose reader has gone (`kemora run | head`), it
/// throws kemora::ProcessInterrupted with SIGPIPE, as an interrupt does, and
/// the write does not kill the process by SIGPIPE. Other write failures drop
/// the line.
void stdout_sink(std::string_view line);

}  // namespace kemora
