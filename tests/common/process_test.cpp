#include "kemora/common/process.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kemora::common {
namespace {

namespace fs = std::filesystem;

/// The processes that are children of this one (alive or zombie).
int count_children() {
  int n = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!stat || !std::getline(stat, line)) continue;
    // pid (comm) state ppid ...: comm may contain blanks, so parse after ')'.
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == ::getpid()) ++n;
  }
  return n;
}

/// CPU time (user + system) this process has used so far, in seconds.
double cpu_seconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/// Points `fd` (our standard output or error) at a pipe whose reader is
/// already gone, as when `kemora run | head -c 3` has ended; puts it back
/// when destroyed.
class BrokenPipeOn {
 public:
  explicit BrokenPipeOn(int fd) : fd_(fd) {
    std::cout.flush();
    std::fflush(nullptr);
    saved_ = ::dup(fd);
    int p[2];
    if (::pipe(p) != 0) std::abort();
    ::close(p[0]);
    ::dup2(p[1], fd);
    ::close(p[1]);
  }
  ~BrokenPipeOn() {
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
    std::cout.clear();
    std::cerr.clear();
  }

 private:
  int fd_;
  int saved_;
};

TEST(RunProcess, ReadsSeveralMegabytesOnBothPipesWithoutDeadlock) {
  // 4 MB on each stream, interleaved: a reader that drains one pipe at a time
  // would block the child on the other.
  const std::string script =
      "import sys\n"
      "block = 'x' * 1023 + '\\n'\n"
      "for i in range(4096):\n"
      "    sys.stdout.write(block); sys.stderr.write(block.replace('x', 'y'))\n";
  auto r = run_process({"/usr/bin/python3", "-c", script}, {.timeout = std::chrono::seconds(60)});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.size(), 4096u * 1024u);
  EXPECT_EQ(r.err.size(), 4096u * 1024u);
  EXPECT_EQ(r.out.find('y'), std::string::npos);
  EXPECT_EQ(r.err.find('x'), std::string::npos);
}

TEST(RunProcess, ReportsExitStatusAndWorkingDirectory) {
  auto failed = run_process({"sh", "-c", "echo out; echo err >&2; exit 7"});
  EXPECT_EQ(failed.exit_status, 7);
  EXPECT_EQ(failed.out, "out\n");
  EXPECT_EQ(failed.err, "err\n");

  auto killed = run_process({"sh", "-c", "kill -9 $$"});
  EXPECT_EQ(killed.exit_status, 128 + 9);

  auto here = run_process({"pwd"}, {.cwd = fs::path("/tmp")});
  EXPECT_EQ(here.out, "/tmp\n");
}

TEST(RunProcess, ReadsNothingFromOurStandardInput) {
  auto r = run_process({"cat"}, {.timeout = std::chrono::seconds(10)});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
}

TEST(RunProcess, ExtraEnvironmentReplacesOurs) {
  ::setenv("KEMORA_PROCESS_TEST", "ours", 1);
  auto r = run_process({"sh", "-c", "printf %s \"$KEMORA_PROCESS_TEST\""},
                       {.extra_env = {"KEMORA_PROCESS_TEST=theirs"}});
  ::unsetenv("KEMORA_PROCESS_TEST");
  EXPECT_EQ(r.out, "theirs");
}

TEST(RunProcess, RelativeProgramPathIsResolvedBeforeChangingDirectory) {
  const fs::path dir = fs::temp_directory_path() / ("kemora_process_rel_" + std::to_string(::getpid()));
  fs::create_directories(dir / "bin");
  {
    std::ofstream f(dir / "bin" / "hello");
    f << "#!/bin/sh\necho hello\n";
  }
  fs::permissions(dir / "bin" / "hello", fs::perms::owner_all);
  const fs::path old = fs::current_path();
  fs::current_path(dir);
  ProcessResult r;
  EXPECT_NO_THROW(r = run_process({"./bin/hello"}, {.cwd = fs::path("/tmp")}));
  fs::current_path(old);
  EXPECT_EQ(r.out, "hello\n");
  fs::remove_all(dir);
}

TEST(RunProcess, TimeLimitKillsAndReapsTheChild) {
  const int before = count_children();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(run_process({"sleep", "60"}, {.timeout = std::chrono::seconds(1)}), ProcessTimeout);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(10));  // far below the child's 60 s
  EXPECT_EQ(count_children(), before);        // killed and reaped: no zombie

  // The whole process group goes, not just the shell in front.
  EXPECT_THROW(run_process({"sh", "-c", "sleep 60; echo late"}, {.timeout = std::chrono::seconds(1)}),
               ProcessTimeout);
  EXPECT_EQ(count_children(), before);
}

TEST(RunProcess, DoesNotWaitForAGrandchildHoldingThePipes) {
  // The shell exits at once; its background sleep keeps stdout open.
  const auto start = std::chrono::steady_clock::now();
  auto r = run_process({"sh", "-c", "sleep 30 & echo started"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "started\n");
}

TEST(RunProcess, FailsToStartWithAMessage) {
  try {
    run_process({"kemora-no-such-program-xyz", "arg"});
    FAIL() << "no error";
  } catch (const ProcessError& e) {
    EXPECT_NE(std::string(e.what()).find("kemora-no-such-program-xyz"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("not found"), std::string::npos) << e.what();
  }
  try {
    run_process({"pwd"}, {.cwd = fs::path("/nonexistent/kemora/dir")});
    FAIL() << "no error";
  } catch (const ProcessError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/kemora/dir"), std::string::npos) << e.what();
  }
  EXPECT_THROW(run_process({}), ProcessError);
}

TEST(RunProcess, ChildThatClosesItsPipesButRunsOnIsAwaitedWithoutSpinning) {
  // Both pipes close at once; the child lives on for 4 s. Waiting for it must
  // sleep, not poll in a busy loop.
  const double cpu_before = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  auto r = run_process({"sh", "-c", "exec >&- 2>&-; sleep 4; exit 3"}, {.timeout = std::chrono::seconds(60)});
  const auto took = std::chrono::steady_clock::now() - start;
  const double cpu = cpu_seconds() - cpu_before;
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_GE(took, std::chrono::milliseconds(3900));  // it was waited for, not given up on
  EXPECT_LT(cpu, 0.3) << "CPU seconds used while waiting 4 s for the child";
}

TEST(RunProcess, ChildStartsWithSigpipeAtItsDefaultWhateverOursIs) {
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &old);
  auto r = run_process({"cat", "/proc/self/status"});
  ::sigaction(SIGPIPE, &old, nullptr);
  std::istringstream lines(r.out);
  std::string line;
  unsigned long long ignored = ~0ull;
  while (std::getline(lines, line))
    if (line.rfind("SigIgn:", 0) == 0) ignored = std::stoull(line.substr(7), nullptr, 16);
  ASSERT_NE(ignored, ~0ull) << r.out;
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << "SigIgn " << std::hex << ignored;
}

TEST(RunProcess, OurStandardErrorClosedStopsTheChildAndDoesNotKillUs) {
  // The child's output passes through to our standard error, which is a pipe
  // nobody reads any more: the write must not kill us by SIGPIPE; the child's
  // group is stopped and reaped, and the run ends as on an interrupt.
  const int before = count_children();
  const auto start = std::chrono::steady_clock::now();
  int signal_seen = 0;
  bool returned = false;
  {
    BrokenPipeOn broken(STDERR_FILENO);
    try {
      run_process({"sh", "-c", "while :; do echo tick >&2; sleep 0.1; done"},
                  {.output = ProcessOptions::Output::PassToStderr});
      returned = true;
    } catch (const ProcessInterrupted& e) {
      signal_seen = e.signal;
    }
  }
  EXPECT_FALSE(returned);
  EXPECT_EQ(signal_seen, SIGPIPE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(count_children(), before);
}

TEST(RunProcess, OurStandardOutputClosedStopsEvenASilentChildThatIgnoresSigterm) {
  // Nothing is written while the child runs, yet our output is gone: the
  // child is asked to stop, and killed when it ignores that.
  const int before = count_children();
  const auto start = std::chrono::steady_clock::now();
  int signal_seen = 0;
  bool returned = false;
  {
    BrokenPipeOn broken(STDOUT_FILENO);
    try {
      run_process({"sh", "-c", "trap '' TERM; sleep 30"}, {.output = ProcessOptions::Output::PassToStderr});
      returned = true;
    } catch (const ProcessInterrupted& e) {
      signal_seen = e.signal;
    }
  }
  EXPECT_FALSE(returned);
  EXPECT_EQ(signal_seen, SIGPIPE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));  // not the child's 30 s
  EXPECT_EQ(count_children(), before);
}

}  // namespace
}  // namespace kemora::common
