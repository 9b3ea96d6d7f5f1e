#pragma once
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iostream>
#include <string_view>

#include "kemora/common/process.hpp"

namespace kemora::motor {

/// Prints one console line of the engine to standard output and flushes it,
/// so that it lands before anything a notebook then writes to standard error.
/// When standard output is a pipe whose reader has gone (`kemora run | head`),
/// the log cannot be written any more: the run ends as on an interrupt
/// (common::ProcessInterrupted with SIGPIPE), and the write does not kill the
/// process by SIGPIPE. Other write failures drop the line, as before.
inline void say(std::string_view line) {
  bool failed = false;
  int error = 0;
  {
    common::SigpipeBlock no_sigpipe;
    errno = 0;
    const bool was_good = std::cout.good();
    std::cout << line << '\n' << std::flush;
    error = errno;
    failed = was_good && !std::cout.good();
  }
  if (failed && (error == EPIPE || common::is_broken_pipe(STDOUT_FILENO))) {
    std::cout.clear();
    throw common::ProcessInterrupted(SIGPIPE);
  }
}

}  // namespace kemora::motor
