#include "kemora/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iostream>
#include <string>

#include "kemora/common/process.hpp"

namespace kemora {

void stdout_sink(std::string_view line) {
  bool failed = false;
  int error = 0;
  {
    common::SigpipeBlock no_sigpipe;
    errno = 0;
    const bool was_good = std::cout.good();
    std::cout << line << std::flush;
    error = errno;
    failed = was_good && !std::cout.good();
  }
  if (failed && (error == EPIPE || common::is_broken_pipe(STDOUT_FILENO))) {
    std::cout.clear();
    throw common::ProcessInterrupted(SIGPIPE);
  }
}

void console_write(const ConsoleSink& sink, std::string_view text) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    const auto size = end == std::string_view::npos ? text.size() : end + 1;
    if (sink) sink(text.substr(0, size));
    else stdout_sink(text.substr(0, size));
    text.remove_prefix(size);
  }
}

void console_line(const ConsoleSink& sink, std::string_view line) {
  std::string text;
  text.reserve(line.size() + 1);
  text.append(line).push_back('\n');
  console_write(sink, text);
}

}  // namespace kemora
