#include "kemora/motor/fingerprint.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "test_support.hpp"
#include "kemora/common/json.hpp"

using namespace kemora::motor;
using kemora::common::json_dumps;
using kemora::common::run_process;
using kemora::test::TempDir;
using kemora::test::write_text;

namespace {

std::string sha256sum16(const std::filesystem::path& p) {
  auto r = run_process({"sha256sum", p.string()});
  return r.out.substr(0, 16);
}

void git(const std::filesystem::path& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"git", "-c", "user.name=Test", "-c", "user.email=test@example.invalid",
                             "-c", "init.defaultBranch=ana"});
  auto r = run_process(args, {.cwd = dir});
  ASSERT_EQ(r.exit_status, 0) << r.err;
}

void write_script(const std::filesystem::path& p, const std::string& body) {
  write_text(p, body);
  ::chmod(p.c_str(), 0755);
}

}  // namespace

TEST(FileHash, EqualsSha256sumPrefixAcrossBlockBoundaries) {
  TempDir dir;
  std::string data;
  for (std::size_t n : {0u, 1u, 8191u, 8192u, 8193u, 3u * 1024 * 1024 + 17}) {
    data.resize(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 131 + n) & 0xFF);
    auto p = dir / ("f" + std::to_string(n));
    write_text(p, data);
    std::string h = _file_hash(p.string());
    EXPECT_EQ(h.size(), 16u);
    EXPECT_EQ(h, sha256sum16(p)) << n << " bytes";
  }
}

TEST(FileHash, SameBytesSameHashOneByteChanged) {
  TempDir dir;
  write_text(dir / "a.csv", "muta;risk\n1;2\n");
  write_text(dir / "b.txt", "muta;risk\n1;2\n");
  write_text(dir / "c.csv", "muta;risk\n1;3\n");
  EXPECT_EQ(_file_hash((dir / "a.csv").string()), _file_hash((dir / "b.txt").string()));
  EXPECT_NE(_file_hash((dir / "a.csv").string()), _file_hash((dir / "c.csv").string()));
}

TEST(FileHash, DirectoryAndMissingPathThrowNamingThePath) {
  TempDir dir;
  EXPECT_THROW(_file_hash(dir.path().string()), std::runtime_error);
  try {
    _file_hash((dir / "yok.csv").string());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("yok.csv"), std::string::npos);
  }
}

TEST(GitInfo, OutsideAnyRepositoryIsOnlyGitAvailableFalse) {
  TempDir dir;
  EXPECT_EQ(json_dumps(_git_info(dir.path().string())), R"({"git_available":false})");
  EXPECT_EQ(_git_hash(dir.path().string(), "x"), std::nullopt);
}

TEST(GitInfo, RepositoryWithoutCommitsHasBranchButNoCommit) {
  TempDir dir;
  git(dir.path(), {"init", "-q"});
  EXPECT_EQ(json_dumps(_git_info(dir.path().string())), R"({"git_available":false,"git_branch":"ana"})");
}

TEST(GitInfo, CommitBranchDetachedHeadAndObjectHash) {
  TempDir dir;
  git(dir.path(), {"init", "-q"});
  write_text(dir / "nb.ipynb", "{}\n");
  git(dir.path(), {"add", "nb.ipynb"});
  git(dir.path(), {"commit", "-qm", "ilk"});
  auto info = _git_info(dir.path().string());
  ASSERT_TRUE(info["git_available"].GetBool());
  std::string commit = info["git_commit"].GetString();
  EXPECT_EQ(commit.size(), 40u);
  EXPECT_EQ(std::string(info["git_commit_short"].GetString()), commit.substr(0, 8));
  EXPECT_EQ(std::string(info["git_branch"].GetString()), "ana");
  EXPECT_FALSE(info.HasMember("git_error"));
  auto names = std::vector<std::string>{};
  for (auto& m : info.GetObject()) names.emplace_back(m.name.GetString());
  EXPECT_EQ(names, (std::vector<std::string>{"git_available", "git_commit", "git_commit_short", "git_branch"}));

  auto h = _git_hash(dir.path().string(), (dir / "nb.ipynb").string());
  ASSERT_TRUE(h);
  auto expected = run_process({"git", "hash-object", "nb.ipynb"}, {.cwd = dir.path()});
  EXPECT_EQ(*h, expected.out.substr(0, 16));

  git(dir.path(), {"checkout", "-q", "--detach"});
  EXPECT_EQ(std::string(_git_info(dir.path().string())["git_branch"].GetString()), "DETACHED");
}

TEST(GitInfo, NoGitProgramRecordsTheError) {
  TempDir dir;
  std::filesystem::create_directories(dir / "empty-bin");
  kemora::test::ScopedEnv path("PATH", (dir / "empty-bin").string());
  auto info = _git_info(dir.path().string());
  EXPECT_FALSE(info["git_available"].GetBool());
  ASSERT_TRUE(info.HasMember("git_error"));
  EXPECT_NE(std::string(info["git_error"].GetString()).find("git"), std::string::npos);
  EXPECT_EQ(_git_hash(dir.path().string(), "x"), std::nullopt);
}

TEST(GitInfo, HangingGitIsKilledAfterFiveSeconds) {
  TempDir dir;
  write_script(dir / "bin" / "git", "#!/bin/sh\nexec sleep 60\n");
  kemora::test::ScopedEnv path("PATH", (dir / "bin").string() + ":/usr/bin:/bin");
  auto t0 = std::chrono::steady_clock::now();
  auto info = _git_info(dir.path().string());
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_FALSE(info["git_available"].GetBool());
  EXPECT_TRUE(info.HasMember("git_error"));
  EXPECT_FALSE(info.HasMember("git_branch"));  // the queries end at the first error
  EXPECT_LT(secs, 20.0);
  EXPECT_EQ(_git_hash(dir.path().string(), "x"), std::nullopt);
}

TEST(GitInfo, InterruptDuringAGitQueryIsNotSwallowed) {
  // Ctrl-C while git runs (the fake git sends it to us, its parent): the
  // helpers do not turn it into "no information"; it reaches the caller.
  TempDir dir;
  write_script(dir / "bin" / "git", "#!/bin/sh\nkill -INT $PPID\nexec sleep 30\n");
  kemora::test::ScopedEnv path("PATH", (dir / "bin").string() + ":/usr/bin:/bin");
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(_git_info(dir.path().string()), kemora::common::ProcessInterrupted);
  EXPECT_THROW(_git_hash(dir.path().string(), "x"), kemora::common::ProcessInterrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
}
