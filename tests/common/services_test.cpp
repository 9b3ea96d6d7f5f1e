// Package services: version text, package paths, error reports.
#include <gtest/gtest.h>

#include "kemora/paths.hpp"
#include "kemora/sanitize.hpp"
#include "kemora/version.hpp"
#include "test_support.hpp"

using kemora::test::TempDir;

TEST(Version, IsTheProjectVersion) {
  std::string v = kemora::version;
  EXPECT_FALSE(v.empty());
  EXPECT_NE(kemora::test::read_text(KEMORA_SOURCE_DIR "/CMakeLists.txt").find("VERSION " + v + " "), std::string::npos);
}

TEST(Paths, ResolveBesideTheLoadedLibraryAndTemplateCanBeRedirected) {
  auto share = kemora::paths::get_share_dir();
  EXPECT_EQ(share, std::filesystem::path(KEMORA_BUILD_DIR) / "share" / "kemora");
  EXPECT_TRUE(std::filesystem::exists(kemora::paths::get_runner_path()));
  EXPECT_EQ(kemora::paths::get_js_dir(), share / "js");
  EXPECT_EQ(kemora::paths::get_template_path(), share / "templates" / "kmr_dashboard.html.j2");
  kemora::paths::set_template_path(std::filesystem::path("/elsewhere/page.j2"));
  EXPECT_EQ(kemora::paths::get_template_path(), "/elsewhere/page.j2");
  kemora::paths::set_template_path(std::nullopt);
  EXPECT_EQ(kemora::paths::get_template_path().filename(), "kmr_dashboard.html.j2");
}

TEST(Sanitize, MasksRunsOfEightOrMoreDigitsOnly) {
  using kemora::sanitize::mask_long_numbers;
  EXPECT_EQ(mask_long_numbers("muta 12345678 hesap 1234567 tarih 20240131"), "muta ******** hesap 1234567 tarih ********");
  EXPECT_EQ(mask_long_numbers("TR330006100519786457841326"), "TR************************");
  EXPECT_EQ(mask_long_numbers("şube 34, 2024"), "şube 34, 2024");
}

TEST(Sanitize, ReportHoldsContextDatabaseAndMaskedErrorAndReplacesEarlierOne) {
  TempDir dir;
  auto out = dir / "season" / "error_report.txt";
  std::filesystem::create_directories(out.parent_path());
  kemora::test::write_text(out, "eski rapor");
  kemora::sanitize::save_error_report("KeyError: müşteri 1234567890 bulunamadı", "/srv/db/kmr.duckdb", "step=marts", out);
  std::string text = kemora::test::read_text(out);
  EXPECT_NE(text.find("step=marts"), std::string::npos);
  EXPECT_NE(text.find("/srv/db/kmr.duckdb"), std::string::npos);
  EXPECT_NE(text.find("KeyError: müşteri ********** bulunamadı"), std::string::npos) << text;
  EXPECT_EQ(text.find("eski"), std::string::npos);
  EXPECT_THROW(kemora::sanitize::save_error_report("x", "db", "c", dir / "missing" / "r.txt"), std::runtime_error);
}
