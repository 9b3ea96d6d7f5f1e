#include "kemora/common/mapped_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "test_support.hpp"

using kemora::common::MappedFile;
using kemora::test::TempDir;

TEST(MappedFile, AFileCutShortWhileMappedReadsAsZerosAndCountsAsChanged) {
  TempDir dir;
  const auto path = dir / "sb.json";
  kemora::test::write_text(path, std::string(3 * 4096, 'x'));
  MappedFile file(path);
  EXPECT_FALSE(file.changed());
  ASSERT_EQ(file.data()[3 * 4096 - 1], 'x');
  ASSERT_EQ(::truncate(path.c_str(), 10), 0);
  // Reading the pages that went away would end the process with SIGBUS.
  long sum = 0;
  for (std::size_t i = 4096; i < file.size(); ++i) sum += file.data()[i];
  EXPECT_EQ(sum, 0);
  EXPECT_TRUE(file.changed());
  file.release();
  EXPECT_TRUE(file.changed());
}

TEST(MappedFile, GrownFileCountsAsChangedAndNonFilesAreRefused) {
  TempDir dir;
  const auto path = dir / "sb.json";
  kemora::test::write_text(path, "{}");
  MappedFile file(path);
  EXPECT_EQ(std::string(file.data(), file.size()), "{}");
  kemora::test::write_text(path, "{\"more\": 1}");
  EXPECT_TRUE(file.changed());
  EXPECT_THROW(MappedFile{dir.path()}, std::runtime_error);
  EXPECT_THROW(MappedFile{dir / "none.json"}, std::runtime_error);
}

TEST(MappedFile, DroppedPagesReadTheFileAgain) {
  TempDir dir;
  const auto path = dir / "big.json";
  std::string text;
  for (int i = 0; i < 5 * 4096; ++i) text += static_cast<char>('a' + i % 26);
  kemora::test::write_text(path, text);
  MappedFile file(path);
  file.drop(100, 3 * 4096 + 7);  // the whole pages inside: 1 and 2
  file.drop(4 * 4096, SIZE_MAX);
  EXPECT_EQ(std::string(file.data(), file.size()), text);
  EXPECT_FALSE(file.changed());
}
