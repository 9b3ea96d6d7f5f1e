#include "kemora/common/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kemora::common {
namespace {

// Self-pipe for SIGINT/SIGTERM while a child runs: the handler only records
// the signal and wakes the poll loop.
volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_signal_count = 0;
int g_wake_fd = -1;

extern "C" void on_signal(int signo) {
  g_signal = signo;
  g_signal_count = g_signal_count + 1;
  if (g_wake_fd >= 0) {
    char b = 1;
    [[maybe_unused]] auto n = ::write(g_wake_fd, &b, 1);
  }
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

void make_pipe(Fd& r, Fd& w) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw ProcessError(std::string("pipe: ") + std::strerror(errno));
  r.reset(fds[0]);
  w.reset(fds[1]);
}

// Installs the signal handlers for the lifetime of one child.
class SignalGuard {
 public:
  SignalGuard() {
    make_pipe(read_, write_);
    ::fcntl(write_.get(), F_SETFL, O_NONBLOCK);
    g_signal = 0;
    g_signal_count = 0;
    g_wake_fd = write_.get();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &old_int_);
    ::sigaction(SIGTERM, &sa, &old_term_);
  }
  ~SignalGuard() {
    ::sigaction(SIGINT, &old_int_, nullptr);
    ::sigaction(SIGTERM, &old_term_, nullptr);
    g_wake_fd = -1;
  }
  int wake_fd() const { return read_.get(); }

 private:
  Fd read_, write_;
  struct sigaction old_int_ {}, old_term_ {};
};

std::string join_argv(const std::vector<std::string>& argv) {
  std::string s;
  for (const auto& a : argv) {
    if (!s.empty()) s += ' ';
    s += a;
  }
  return s;
}

/// How often the loop looks whether the child has exited.
constexpr std::chrono::milliseconds kReapInterval{50};
/// How long output is still read after the child exited while something it
/// started keeps the pipes open.
constexpr std::chrono::milliseconds kDrainGrace{1000};
/// How long a child that was asked to stop (SIGTERM) because our output went
/// away may take before its process group is killed.
constexpr std::chrono::milliseconds kStopGrace{5000};

bool is_fifo(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

int status_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

/// A started child. Unless reaped, it is killed (with its process group) and
/// reaped when this goes out of scope, so no exception leaves a zombie or a
/// runaway child behind.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (!reaped_) {
      kill_group(SIGKILL);
      reap();
    }
  }
  void kill_group(int signo) {
    if (!reaped_) ::kill(-pid_, signo);
  }
  /// Reaps the child if it has exited; true once it is reaped.
  bool try_reap() { return wait(WNOHANG); }
  /// Waits for the child.
  void reap() { wait(0); }
  int status() const { return status_; }

 private:
  bool wait(int flags) {
    while (!reaped_) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, flags);
      if (done == pid_) {
        reaped_ = true;
        status_ = status_code(status);
      } else if (done < 0 && errno == EINTR) {
        continue;
      } else if (done < 0) {  // not our child any more (ECHILD): nothing to wait for
        reaped_ = true;
        status_ = -1;
      } else {
        break;  // WNOHANG and still running
      }
    }
    return reaped_;
  }
  pid_t pid_;
  bool reaped_ = false;
  int status_ = -1;
};

/// Writes everything; false when `fd` is a pipe without a reader (EPIPE).
/// Other failures (the descriptor is closed, the disk is full) drop the
/// output. The caller has SIGPIPE blocked.
bool write_all(int fd, const char* p, std::size_t left) {
  while (left > 0) {
    ssize_t w = ::write(fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EPIPE) return false;
    if (w <= 0) return true;
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  return true;
}

std::string seconds_text(std::chrono::milliseconds ms) {
  if (ms.count() % 1000 == 0) return std::to_string(ms.count() / 1000) + " s";
  return std::to_string(ms.count()) + " ms";
}

void keep_tail(std::string& buf, std::size_t limit) {
  if (buf.size() > limit * 2) buf.erase(0, buf.size() - limit);
}

}  // namespace

SigpipeBlock::SigpipeBlock() {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask_);
  sigset_t pending;
  sigemptyset(&pending);
  ::sigpending(&pending);
  was_pending_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeBlock::~SigpipeBlock() {
  if (!was_pending_ && !sigismember(&old_mask_, SIGPIPE)) {
    // A SIGPIPE raised by our writes is pending now (unless SIGPIPE is
    // ignored): take it, so unblocking does not deliver it.
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    const timespec no_wait{0, 0};
    while (::sigtimedwait(&pipe_only, nullptr, &no_wait) == SIGPIPE) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

bool is_broken_pipe(int fd) {
  if (!is_fifo(fd)) return false;
  pollfd p{fd, 0, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

std::optional<std::filesystem::path> find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    if (::access(name.c_str(), X_OK) == 0) return std::filesystem::path(name);
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    auto colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    if (dir.empty()) dir = ".";
    std::filesystem::path candidate = std::filesystem::path(dir) / name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  if (argv.empty()) throw ProcessError("run_process: empty argument list");
  const std::string what = join_argv(argv);

  auto program = find_program(argv[0]);
  if (!program) throw ProcessError(what + ": program '" + argv[0] + "' not found on PATH");
  // The child changes directory before exec: a relative program path must
  // not be looked up again from there.
  *program = std::filesystem::absolute(*program);
  if (options.cwd) {
    std::error_code ec;
    if (!std::filesystem::is_directory(*options.cwd, ec))
      throw ProcessError(what + ": working directory " + options.cwd->string() + " does not exist");
  }

  Fd out_r, out_w, err_r, err_w;
  make_pipe(out_r, out_w);
  make_pipe(err_r, err_w);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Standard input is /dev/null: the child runs in a process group of its
  // own, and a read from the terminal would stop it (SIGTTIN) for good.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_w.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_w.get(), STDERR_FILENO);
  if (options.cwd) posix_spawn_file_actions_addchdir_np(&actions, options.cwd->c_str());

  // The child gets its own process group: a Ctrl-C at the terminal reaches
  // only us, and we pass it on once, so the child can shut down cleanly.
  // It starts with default signal handling and nothing blocked, whatever the
  // calling thread had.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t no_mask;
  sigemptyset(&no_mask);
  posix_spawnattr_setsigmask(&attr, &no_mask);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // Our environment, with the extra entries replacing ours of the same name
  // (a lookup finds the first entry, so appending alone would not override).
  std::vector<char*> env;
  auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const auto& x : options.extra_env) replaced = replaced || name_of(x) == name_of(*e);
    if (!replaced) env.push_back(*e);
  }
  for (const auto& e : options.extra_env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  SigpipeBlock no_sigpipe;  // the child's mask is set above, so it is not affected
  SignalGuard signals;

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program->c_str(), &actions, &attr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw ProcessError(what + ": cannot start: " + std::strerror(rc));
  Child child(pid);
  out_w.reset();
  err_w.reset();

  ProcessResult result;
  const bool pass = options.output == ProcessOptions::Output::PassToStderr;
  const auto start = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> exited_at;
  bool out_open = true, err_open = true;
  int forwarded = 0;  // signals passed on to the child
  std::chrono::milliseconds reap_backoff{1};
  char buf[65536];
  // Our own output, when it is a pipe: once nobody reads it, the child's
  // output cannot be shown and the engine's log cannot be written, so the
  // child is stopped as on an interrupt.
  bool output_gone = false;
  int watched[2] = {pass && is_fifo(STDOUT_FILENO) ? STDOUT_FILENO : -1,
                    pass && is_fifo(STDERR_FILENO) ? STDERR_FILENO : -1};
  // SIGKILL at this time for a child that ignores the SIGTERM it got then.
  bool kill_pending = false;
  std::chrono::steady_clock::time_point kill_at{};
  auto our_output_gone = [&] {
    if (output_gone) return;
    output_gone = true;
    watched[0] = watched[1] = -1;
    if (exited_at) return;
    if (forwarded == 0) child.kill_group(SIGTERM);
    kill_at = std::chrono::steady_clock::now() + kStopGrace;
    kill_pending = true;
  };

  auto timed_out = [&] {
    child.kill_group(SIGKILL);
    child.reap();
    return ProcessTimeout(what + ": no answer within " + seconds_text(*options.timeout) + "; stopped");
  };

  while (true) {
    if (!exited_at && child.try_reap()) {
      result.exit_status = child.status();
      exited_at = std::chrono::steady_clock::now();
    }
    // Done when the child has exited and both pipes are closed. A grandchild
    // that inherited the pipes and outlives the child does not keep us: its
    // output is read for a short grace period only.
    if (exited_at && ((!out_open && !err_open) || std::chrono::steady_clock::now() - *exited_at >= kDrainGrace))
      break;
    if (!exited_at) {
      int seen = g_signal_count;
      if (seen > forwarded) {
        // The first signal is passed on so the child can clean up; a second
        // one stops it outright.
        child.kill_group(forwarded == 0 ? static_cast<int>(g_signal) : SIGKILL);
        forwarded = seen;
      }
      if (kill_pending && std::chrono::steady_clock::now() >= kill_at) {
        child.kill_group(SIGKILL);
        kill_pending = false;
      }
    }
    // While a pipe is open, its end wakes us; once both are closed the child
    // is about to exit (or runs on without output), so look again soon, then
    // every kReapInterval.
    auto wait = kReapInterval;
    if (!out_open && !err_open) {
      wait = std::min(kReapInterval, reap_backoff);
      reap_backoff = std::min(reap_backoff * 2, kReapInterval);
    }
    if (options.timeout && !exited_at) {
      auto left = *options.timeout - std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start);
      if (left.count() <= 0) throw timed_out();
      wait = std::min(wait, left);
    }
    // Our output pipes are watched with no events: poll reports POLLERR on
    // the writing end of a pipe once its reader is gone.
    pollfd fds[5] = {{out_open ? out_r.get() : -1, POLLIN, 0},
                     {err_open ? err_r.get() : -1, POLLIN, 0},
                     {signals.wake_fd(), POLLIN, 0},
                     {watched[0], 0, 0},
                     {watched[1], 0, 0}};
    int n = ::poll(fds, 5, static_cast<int>(std::max<long long>(wait.count(), 1)));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ProcessError(what + ": poll: " + std::strerror(errno));  // the child is stopped by its guard
    }
    if (fds[2].revents) {
      [[maybe_unused]] auto r = ::read(signals.wake_fd(), buf, sizeof buf);
    }
    if ((fds[3].revents | fds[4].revents) & POLLERR) our_output_gone();
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        (i == 0 ? out_open : err_open) = false;
        continue;
      }
      std::string& sink = i == 0 ? result.out : result.err;
      if (pass) {
        if (!output_gone && !write_all(STDERR_FILENO, buf, static_cast<std::size_t>(got))) our_output_gone();
        if (i == 1) {
          sink.append(buf, static_cast<std::size_t>(got));
          keep_tail(sink, options.keep_tail);
        }
      } else {
        sink.append(buf, static_cast<std::size_t>(got));
      }
    }
  }
  if (pass && result.err.size() > options.keep_tail) result.err.erase(0, result.err.size() - options.keep_tail);
  if (forwarded || g_signal_count) throw ProcessInterrupted(static_cast<int>(g_signal));
  if (output_gone) throw ProcessInterrupted(SIGPIPE);
  return result;
}

}  // namespace kemora::common
