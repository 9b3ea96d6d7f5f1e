// The console sink of the package services: lines cut for a host's sink, and
// the default standard output with a reader that has gone away.
#include "kemora/console.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "kemora/common/process.hpp"
#include "test_support.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::vector<std::string> pieces(std::string_view text) {
  std::vector<std::string> got;
  kemora::console_write([&](std::string_view line) { got.emplace_back(line); }, text);
  return got;
}

}  // namespace

TEST(Console, TextIsHandedOverOneLineAtATimeWithItsNewline) {
  EXPECT_EQ(pieces("\n  ── a | b ──\n"), (std::vector<std::string>{"\n", "  ── a | b ──\n"}));
  EXPECT_EQ(pieces("  HATA — 1s\n  x\n\ny\n"), (std::vector<std::string>{"  HATA — 1s\n", "  x\n", "\n", "y\n"}));
  // A prompt keeps its line open: the last piece comes without a newline.
  EXPECT_EQ(pieces("\n  soru? [e/H]: "), (std::vector<std::string>{"\n", "  soru? [e/H]: "}));
  EXPECT_TRUE(pieces("").empty());
  std::vector<std::string> got;
  kemora::console_line([&](std::string_view line) { got.emplace_back(line); }, "");
  kemora::console_line([&](std::string_view line) { got.emplace_back(line); }, "a\nb");
  EXPECT_EQ(got, (std::vector<std::string>{"\n", "a\n", "b\n"}));
}

TEST(Console, WithoutASinkTheTextGoesToStandardOutput) {
  CaptureStdout();
  kemora::console_write({}, "\n  Manifest: /x\n");
  kemora::console_line({}, "  Şube: 3");
  kemora::stdout_sink("prompt: ");
  EXPECT_EQ(GetCapturedStdout(), "\n  Manifest: /x\n  Şube: 3\nprompt: ");
}

TEST(Console, StandardOutputWithoutAReaderIsAnInterrupt) {
  int signal_seen = 0;
  {
    kemora::test::StdoutToClosedPipe closed;
    try {
      kemora::console_line({}, "  OK 1s");
    } catch (const kemora::common::ProcessInterrupted& e) {
      signal_seen = e.signal;
    }
  }
  // Not killed by SIGPIPE (we are still here), and the stream is usable again.
  EXPECT_EQ(signal_seen, SIGPIPE);
  EXPECT_TRUE(std::cout.good());
}
