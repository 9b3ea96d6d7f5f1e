#include "kemora/motor/motor.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "kemora/paths.hpp"
#include "kemora/version.hpp"
#include "motor/motor_fixture.hpp"

using namespace kemora::motor;
using kemora::test::TempDir;
using kemora::test::write_text;

namespace {
MotorOptions opts(const TempDir& dir, std::string mode = "prod") {
  return {.work_dir = dir.path().string(), .mode = std::move(mode), .data_paths = DataPaths{{"k", "v"}}};
}
}  // namespace

TEST(Construction, SeasonNamesAndDatabaseByMode) {
  TempDir dir;
  Motor test(opts(dir, "test"));
  EXPECT_TRUE(std::regex_match(test.season_adi(),
                               std::regex(R"(T_\d{8}_\d{6}_test_)" + std::regex_replace(std::string(kemora::version),
                                                                                         std::regex(R"(\.)"), R"(\.)"))))
      << test.season_adi();
  EXPECT_EQ(test.db_path(), dir.path() / "db" / "kmr_test.duckdb");
  Motor prod(opts(dir, "prod"));
  EXPECT_TRUE(prod.season_adi().starts_with("S_" + prod.ts() + "_prod_"));
  EXPECT_EQ(prod.db_path(), dir.path() / "db" / "kmr.duckdb");
  Motor dev(opts(dir, "dev"));
  EXPECT_TRUE(dev.season_adi().starts_with("S_" + dev.ts() + "_dev_"));
  EXPECT_EQ(dev.db_path().filename(), "kmr.duckdb");
}

TEST(Construction, CreatesFoldersAndTwoEnginesInOneSecondShareASeason) {
  TempDir dir;
  Motor a(opts(dir));
  Motor b(opts(dir));
  EXPECT_TRUE(std::filesystem::is_directory(a.meta_dir()));
  EXPECT_TRUE(std::filesystem::is_directory(a.log_dir()));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "outputs" / "json"));
  EXPECT_EQ(a.meta_dir(), a.season_dir() / "meta");
  EXPECT_EQ(a.season_dir(), dir.path() / "seasons" / a.season_adi());
  if (a.ts() == b.ts()) {
    EXPECT_EQ(a.season_dir(), b.season_dir());
  }
  EXPECT_EQ(std::string(a.git_info()["git_available"].IsFalse() ? "false" : "true"), "false");
}

TEST(Construction, WorkDirIsAbsoluteAndResolved) {
  TempDir dir;
  std::filesystem::create_directories(dir / "real");
  std::filesystem::create_directory_symlink(dir / "real", dir / "link");
  Motor m({.work_dir = (dir / "link" / "sub" / ".." / ".").string(), .data_paths = DataPaths{{"k", "v"}}});
  EXPECT_EQ(m.work_dir(), dir / "real");
}

TEST(Construction, OptionsAreStoredAsGiven) {
  TempDir dir;
  Motor m({.work_dir = dir.path().string(), .force_adimlar = std::vector<std::string>{"marts", "marts", "transform"},
           .from_step = "", .muta_filter_path = "", .data_paths = DataPaths{{"k", "v"}}});
  EXPECT_EQ(m.force_adimlar().size(), 2u);
  EXPECT_EQ(m.muta_filter_path(), "");
  EXPECT_TRUE(m._skip_before().empty());
  Motor f({.work_dir = dir.path().string(), .from_step = "ml_features", .data_paths = DataPaths{{"k", "v"}}});
  EXPECT_EQ(f._skip_before().size(), 11u);
  Motor x({.work_dir = dir.path().string(), .from_step = "export", .data_paths = DataPaths{{"k", "v"}}});
  EXPECT_TRUE(x._skip_before().empty());
}

TEST(NotebookLookup, WorkDirWinsOverPackageAndUnknownCodeIsNone) {
  TempDir dir;
  Motor m(opts(dir));
  EXPECT_EQ(m._nb_path("ingest_kik"), std::nullopt);
  EXPECT_EQ(m._nb_path("export"), std::nullopt);
  write_text(dir / "nb_01b_ingest_kik.ipynb", "{}");
  EXPECT_EQ(m._nb_path("ingest_kik"), dir / "nb_01b_ingest_kik.ipynb");
  // A packaged notebook is found when the working directory has none.
  auto packaged_dir = kemora::paths::get_notebooks_dir();
  std::filesystem::create_directories(packaged_dir);
  auto packaged = packaged_dir / "nb_05a_backtest_eus.ipynb";
  write_text(packaged, "{}");
  EXPECT_EQ(m._nb_path("backtest_eus"), packaged);
  write_text(dir / "nb_05a_backtest_eus.ipynb", "{}");
  EXPECT_EQ(m._nb_path("backtest_eus"), dir / "nb_05a_backtest_eus.ipynb");
  std::filesystem::remove(packaged);
}
