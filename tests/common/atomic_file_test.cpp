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

TEST(AtomicFile, WrittenInPiecesOrNotAtAll) {
  TempDir dir;
  const auto p = dir / "page.html";
  write_file_atomic(p, [](const AtomicPieceWriter& write) {
    write("<html>");
    write("");
    write(std::string(100000, 'x'));
    write("</html>");
  });
  EXPECT_EQ(kemora::test::read_text(p), "<html>" + std::string(100000, 'x') + "</html>");
  // What the producer throws leaves the old file, no temporary, and reaches the caller.
  EXPECT_THROW(write_file_atomic(p, [](const AtomicPieceWriter& write) {
                 write("half");
                 throw std::logic_error("no more");
               }),
               std::logic_error);
  EXPECT_EQ(kemora::test::read_text(p), "<html>" + std::string(100000, 'x') + "</html>");
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(ReadFile, NamesMissingFilesAndDirectories) {
  TempDir dir;
  EXPECT_THROW(read_file(dir / "yok"), std::runtime_error);
  EXPECT_THROW(read_file(dir.path()), std::runtime_error);
}

// Writing where a folder stands once renamed the folder to a hidden name.
TEST(AtomicFile, AFolderOrOtherNonFileAtThePathIsAnErrorAndStaysUntouched) {
  TempDir dir;
  const auto folder = dir / "out.html";
  std::filesystem::create_directory(folder);
  kemora::test::write_text(folder / "inside.txt", "user data");
  for (bool sync : {true, false}) {
    try {
      write_file_atomic(folder, "page", {.sync = sync});
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(folder.string() + ": is a folder"), std::string::npos) << e.what();
    }
    EXPECT_EQ(kemora::test::read_text(folder / "inside.txt"), "user data");
  }
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_THROW(write_file_atomic(dir / "pipe", "x"), std::runtime_error);
  std::size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) entries += !e.path().empty();
  EXPECT_EQ(entries, 2u);  // the folder and the pipe, no temporary left
}

TEST(AtomicFile, ALinkToAFileHasThatFileReplacedAndStays) {
  TempDir dir;
  kemora::test::write_text(dir / "real.json", "old");
  std::filesystem::create_symlink("real.json", dir / "link.json");
  write_file_atomic(dir / "link.json", "new", {.sync = false});
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.json"));
  EXPECT_EQ(kemora::test::read_text(dir / "real.json"), "new");
}

TEST(AtomicFile, StaleTemporariesOfKilledWritersAreRemovedOnTheNextWrite) {
  TempDir dir;
  const auto stale = dir / ".adim_marts.json.tmp-Ab12Z9";
  const auto fresh = dir / ".adim_ml.json.tmp-Qw34Er";
  const auto other = dir / ".notes.tmp-keep";  // not a name of ours
  for (const auto& p : {stale, fresh, other}) kemora::test::write_text(p, "{\"half");
  const auto old_time = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5);
  std::filesystem::last_write_time(stale, old_time);
  std::filesystem::last_write_time(other, old_time);
  write_file_atomic(dir / "adim_marts.json", "{}");
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(fresh));  // may belong to a write still under way
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_EQ(kemora::test::read_text(dir / "adim_marts.json"), "{}");
}
