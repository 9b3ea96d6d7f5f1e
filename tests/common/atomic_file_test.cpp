#include "kemora/common/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.hpp"

using namespace kemora::common;
using kemora::test::TempDir;

TEST(AtomicFile, ReplacesContentAndKeepsPermissions) {
  TempDir dir;
  auto p = dir / "a.txt";
  kemora::test::write_text(p, "eski");
  ::chmod(p.c_str(), 0640);
  write_file_atomic(p, "yeni içerik");
  EXPECT_EQ(kemora::test::read_text(p), "yeni içerik");
  struct stat st {};
  ::stat(p.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(AtomicFile, FailureLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  auto p = dir / "sub";  // a folder in the way: rename must fail
  std::filesystem::create_directories(p / "inner");
  EXPECT_THROW(write_file_atomic(p, "x"), std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_directory(p / "inner"));
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
  EXPECT_THROW(write_file_atomic(dir / "missing-folder" / "x.json", "x"), std::runtime_error);
}

TEST(ReadFile, NamesMissingFilesAndDirectories) {
  TempDir dir;
  EXPECT_THROW(read_file(dir / "yok"), std::runtime_error);
  EXPECT_THROW(read_file(dir.path()), std::runtime_error);
}
