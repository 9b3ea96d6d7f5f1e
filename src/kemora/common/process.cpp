#include "kemora/common/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kemora::common {
namespace {

// Self-pipe for SIGINT/SIGTERM while a child runs: the handler only records
// the signal and wakes the poll loop.
volatile sig_atomic_t g_signal = 0;
int g_wake_fd = -1;

extern "C" void on_signal(int signo) {
  g_signal = signo;
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

int wait_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string seconds_text(std::chrono::milliseconds ms) {
  if (ms.count() % 1000 == 0) return std::to_string(ms.count() / 1000) + " s";
  return std::to_string(ms.count()) + " ms";
}

void keep_tail(std::string& buf, std::size_t limit) {
  if (buf.size() > limit * 2) buf.erase(0, buf.size() - limit);
}

}  // namespace

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
  posix_spawn_file_actions_adddup2(&actions, out_w.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_w.get(), STDERR_FILENO);
  if (options.cwd) posix_spawn_file_actions_addchdir_np(&actions, options.cwd->c_str());

  // The child gets its own process group: a Ctrl-C at the terminal reaches
  // only us, and we pass it on once, so the child can shut down cleanly.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_store;
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  for (const auto& e : options.extra_env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  std::optional<SignalGuard> signals;
  signals.emplace();

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program->c_str(), &actions, &attr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw ProcessError(what + ": cannot start: " + std::strerror(rc));
  out_w.reset();
  err_w.reset();

  ProcessResult result;
  const bool pass = options.output == ProcessOptions::Output::PassToStderr;
  const auto start = std::chrono::steady_clock::now();
  bool out_open = true, err_open = true;
  int interrupted = 0;
  char buf[65536];

  while (out_open || err_open) {
    int wait_ms = -1;
    if (options.timeout) {
      auto left = *options.timeout - std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start);
      if (left.count() <= 0) {
        ::kill(-pid, SIGKILL);
        wait_child(pid);
        throw ProcessTimeout(what + ": no answer within " + seconds_text(*options.timeout) + "; stopped");
      }
      wait_ms = static_cast<int>(left.count());
    }
    pollfd fds[3] = {{out_open ? out_r.get() : -1, POLLIN, 0},
                     {err_open ? err_r.get() : -1, POLLIN, 0},
                     {signals->wake_fd(), POLLIN, 0}};
    int n = ::poll(fds, 3, wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::kill(-pid, SIGKILL);
      wait_child(pid);
      throw ProcessError(what + ": poll: " + std::strerror(errno));
    }
    if (fds[2].revents) {
      ::read(signals->wake_fd(), buf, sizeof buf);
      if (g_signal && !interrupted) {
        interrupted = g_signal;
        ::kill(-pid, interrupted);  // pass it on once; the child cleans up and exits
      }
    }
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
        const char* p = buf;
        std::size_t left = static_cast<std::size_t>(got);
        while (left > 0) {
          ssize_t w = ::write(STDERR_FILENO, p, left);
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) break;
          p += w;
          left -= static_cast<std::size_t>(w);
        }
        if (i == 1) {
          sink.append(buf, static_cast<std::size_t>(got));
          keep_tail(sink, options.keep_tail);
        }
      } else {
        sink.append(buf, static_cast<std::size_t>(got));
      }
    }
  }
  // Both pipes are closed; the child may still be running (it closed them
  // itself), so the time limit and signals still apply while we reap it.
  while (true) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status)
                           : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
      break;
    }
    if (done < 0 && errno != EINTR) {
      result.exit_status = -1;
      break;
    }
    if (options.timeout && std::chrono::steady_clock::now() - start >= *options.timeout) {
      ::kill(-pid, SIGKILL);
      wait_child(pid);
      throw ProcessTimeout(what + ": no answer within " + seconds_text(*options.timeout) + "; stopped");
    }
    if (g_signal && !interrupted) {
      interrupted = g_signal;
      ::kill(-pid, interrupted);
    }
    pollfd wake{signals->wake_fd(), POLLIN, 0};
    if (::poll(&wake, 1, 20) > 0) ::read(signals->wake_fd(), buf, sizeof buf);
  }
  if (pass && result.err.size() > options.keep_tail) result.err.erase(0, result.err.size() - options.keep_tail);
  if (interrupted || g_signal) throw ProcessInterrupted(interrupted ? interrupted : g_signal);
  return result;
}

}  // namespace kemora::common
