#pragma once
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kemora/interrupted.hpp"

/// Child processes without a shell: an argument vector, posix_spawn, both
/// pipes read with poll so neither can fill up and deadlock the child.
namespace kemora::common {

/// The child could not be started (program not found, working directory
/// missing) or failed to finish in time.
class ProcessError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class ProcessTimeout : public ProcessError {
 public:
  using ProcessError::ProcessError;
};
/// See kemora/interrupted.hpp.
using kemora::ProcessInterrupted;

/// While alive, a SIGPIPE raised by a write of this thread neither kills the
/// process nor reaches its handler: the write fails with EPIPE instead. The
/// signal is blocked in this thread and one that the writes raised is
/// discarded afterwards, so the process-wide disposition stays the host's.
class SigpipeBlock {
 public:
  SigpipeBlock();
  ~SigpipeBlock();
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t old_mask_;
  bool was_pending_ = false;
};

/// True when `fd` is a pipe whose reading end has been closed, so that any
/// write to it fails with EPIPE.
bool is_broken_pipe(int fd);

struct ProcessOptions {
  std::optional<std::filesystem::path> cwd;        ///< working directory of the child
  std::optional<std::chrono::milliseconds> timeout;  ///< kill and reap after this long
  /// Where the child's streams go. Capture keeps them in the result;
  /// PassToStderr copies them to our standard error as they arrive (and still
  /// keeps up to `keep_tail` bytes of the child's standard error).
  enum class Output { Capture, PassToStderr } output = Output::Capture;
  std::size_t keep_tail = 64 * 1024;
  /// Extra environment entries ("NAME=value") added to ours, replacing ours
  /// of the same name.
  std::vector<std::string> extra_env;
};

struct ProcessResult {
  int exit_status = -1;  ///< exit code, or 128 + signal number when killed by a signal
  std::string out;       ///< captured standard output (Capture only)
  std::string err;       ///< captured standard error (tail only with PassToStderr)
};

/// Runs argv[0] (looked up on PATH when it has no '/') with the given
/// arguments and waits for it. The child runs in a process group of its own
/// with standard input from /dev/null and every signal at its default
/// disposition (SIGPIPE included, whatever ours is). Throws ProcessError when
/// it cannot be started, ProcessTimeout after the time limit (the child's
/// process group is killed and the child reaped), ProcessInterrupted when
/// SIGINT or SIGTERM arrives while it runs (the child's process group gets
/// the signal, the child is waited for, then this is thrown; a second signal
/// kills the group).
/// With PassToStderr, our standard error or standard output turning into a
/// pipe without a reader ends the run the same way: the group gets SIGTERM,
/// SIGKILL if it is still there after a few seconds, the child is reaped and
/// ProcessInterrupted(SIGPIPE) is thrown. A write to such a pipe never kills
/// us by SIGPIPE.
/// Once the child has exited, output that processes it started still write to
/// the inherited pipes is read for one more second at most. Waiting never
/// spins: the loop sleeps in poll between wake-ups at most 50 ms apart.
/// One child at a time per process: the signal handling is process-wide.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

/// The first executable file named `name` on PATH, if any.
std::optional<std::filesystem::path> find_program(const std::string& name);

}  // namespace kemora::common
