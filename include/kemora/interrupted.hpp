#pragma once
#include <string>

namespace kemora {

/// The run is interrupted: the user pressed Ctrl-C or sent SIGTERM while a
/// child ran (the child was stopped and reaped before this was thrown), or
/// our standard output or standard error became a pipe that nobody reads
/// (`signal` is then SIGPIPE).
///
/// Deliberately not derived from std::exception: the handlers that turn
/// ordinary errors into a failed step, a missing git fingerprint or a skipped
/// record catch std::exception, and an interrupt must pass all of them and end
/// the run wherever it arrives. A host catches it by name at its top level.
class ProcessInterrupted {
 public:
  /// `signo`: SIGINT, SIGTERM or SIGPIPE.
  explicit ProcessInterrupted(int signo)
      : message_("kesildi (sinyal " + std::to_string(signo) + ")"), signal(signo) {}
  /// "kesildi (sinyal N)".
  const char* what() const noexcept { return message_.c_str(); }

 private:
  std::string message_;

 public:
  int signal;
};

}  // namespace kemora
