// The plan against the run that follows it, and accepting steps without
// running them.
#include <gtest/gtest.h>

#include <map>

#include "kemora/common/json.hpp"
#include "kemora/motor/motor.hpp"
#include "motor/motor_fixture.hpp"

using namespace kemora::motor;
using kemora::common::json_dumps;
using kemora::common::json_parse_file;
using kemora::test::age_season;
using kemora::test::FakeExecutor;
using kemora::test::read_text;
using kemora::test::TempDir;
using kemora::test::write_text;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Every file and folder under `dir` with the content of each file.
std::map<std::string, std::string> tree(const std::filesystem::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    std::string rel = std::filesystem::relative(e.path(), dir).string();
    out[rel] = e.is_directory() ? "<dir>" : read_text(e.path());
  }
  return out;
}

std::string word(PlanSatiri::Karar k) {
  switch (k) {
    case PlanSatiri::Karar::CALISTIR: return "OK";
    case PlanSatiri::Karar::ATLA: return "ATLANDI";
    case PlanSatiri::Karar::NB_YOK: return "NB YOK";
  }
  return "?";
}

// The data-source question answered by nobody: the engine goes on with the
// external_data fallback.
AnswerSource no_answer() {
  return {.is_terminal = [] { return false; }, .read_line = [] { return std::optional<std::string>(); }};
}

class Plan : public testing::Test {
 protected:
  void SetUp() override { kemora::test::make_workspace(dir.path()); }

  MotorOptions options(MotorOptions mo) {
    mo.work_dir = dir.path().string();
    if (!mo.data_paths && !no_config) mo.data_paths = DataPaths{{"rkd_donem_data", (dir / "rkd").string()}};
    mo.answers = no_answer();
    mo.clock = [] { return 1000.0; };
    return mo;
  }

  // The plan's rows as "kod ATLANDI|OK|NB YOK reason" lines.
  std::vector<std::string> plan(RunAllOptions ro = {}, MotorOptions mo = {}) {
    mo.create_folders = false;
    CaptureStdout();
    Motor m(options(std::move(mo)));
    auto rows = m.plan(ro);
    GetCapturedStdout();
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.kod + " " + word(r.karar) + " " + r.sebep);
    return out;
  }

  // Runs the pipeline and returns its summary as the plan's lines; the season
  // is then renamed to an older name so that the next run comes after it.
  std::vector<std::string> run(RunAllOptions ro = {}, MotorOptions mo = {}) {
    mo.executor = std::make_shared<FakeExecutor>();
    CaptureStdout();
    Motor m(options(std::move(mo)));
    m.run_all(ro);
    last_out = GetCapturedStdout();
    std::vector<std::string> out;
    for (const auto& r : m.ozet_satirlar()) out.push_back(r.adim + " " + r.durum + " " + r.sebep);
    char older[32];
    std::snprintf(older, sizeof older, "202001%02d_000000", ++seasons);
    age_season(m, older);
    return out;
  }

  // The plan, then the run with the same options; both must agree line by
  // line. Returns the plan.
  std::vector<std::string> plan_then_run(RunAllOptions ro = {}, MotorOptions mo = {}) {
    auto p = plan(ro, mo);
    auto r = run(ro, mo);
    EXPECT_EQ(p, r) << last_out;
    return p;
  }

  static bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  static bool has_start(const std::vector<std::string>& lines, const std::string& start) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(start); });
  }

  TempDir dir;
  bool no_config = false;
  int seasons = 0;
  std::string last_out;
};

TEST_F(Plan, AgreesWithTheRunThatFollowsOverChangesToSourcesAndNotebooks) {
  auto first = plan_then_run();
  ASSERT_EQ(first.size(), 18u);
  EXPECT_EQ(first[0], "ingest_ddl OK ilk çalıştırma");

  auto unchanged = plan_then_run();
  for (const auto& line : unchanged) EXPECT_NE(line.find(" ATLANDI uyumlu ("), std::string::npos) << line;

  write_text(dir / "external_data" / "kik_data_ham_csv" / "b.txt", "yeni içerik\n");
  auto source = plan_then_run();
  EXPECT_TRUE(has(source, "ingest_kik OK kaynak değişti (b.txt)"));
  EXPECT_TRUE(has(source, "transform OK cascade (ingest_kik)"));
  EXPECT_TRUE(has_start(source, "ingest_kredi ATLANDI uyumlu ("));

  write_text(dir / "nb_03_marts.ipynb", "{\"cells\": [1]}");
  auto notebook = plan_then_run();
  EXPECT_TRUE(has_start(notebook, "marts OK notebook değişti ("));
  EXPECT_TRUE(has(notebook, "ml_predict OK cascade (marts)")) << testing::PrintToString(notebook);

  // One notebook behind two steps: both run, the second not by cascade.
  write_text(dir / "nb_01i_ingest_rkd_memzuc.ipynb", "{\"cells\": [2]}");
  auto shared = plan_then_run();
  EXPECT_TRUE(has_start(shared, "ingest_rkd OK notebook değişti ("));
  EXPECT_TRUE(has_start(shared, "ingest_memzuc OK notebook değişti ("));
}

TEST_F(Plan, AgreesWithTheRunUnderForcingFromSkipFlagsAndTestMode) {
  run();
  auto forced = plan_then_run({}, {.force_adimlar = std::vector<std::string>{"marts", "ingest_kik"}});
  EXPECT_EQ(std::count_if(forced.begin(), forced.end(), [](auto& l) { return l.find(" OK ZORLA (") != l.npos; }), 2);
  EXPECT_TRUE(has(forced, "transform OK cascade (ingest_kik)"));

  auto all = plan_then_run({}, {.force_all = true});
  for (const auto& line : all) EXPECT_NE(line.find(" OK ZORLA (uyumlu ("), std::string::npos) << line;

  write_text(dir / "external_data" / "kredi_db" / "a.csv", "değişti\n");
  auto from = plan_then_run({}, {.from_step = "transform"});
  EXPECT_TRUE(has(from, "ingest_kredi ATLANDI --from transform"));
  // ingest_kredi is passed over, so nothing cascades from its changed source.
  EXPECT_TRUE(has_start(from, "transform ATLANDI uyumlu (")) << testing::PrintToString(from);

  for (RunAllOptions ro : {RunAllOptions{.skip_ingest = true}, RunAllOptions{.skip_backtest = true},
                           RunAllOptions{.skip_ml = true}}) {
    auto lines = plan_then_run(ro);
    EXPECT_EQ(lines.size(), ro.skip_ingest ? 8u : 15u);
  }

  // A test-mode run sees only test seasons: its first run, then unchanged.
  auto test_first = plan_then_run({}, {.mode = "test"});
  EXPECT_EQ(test_first[0], "ingest_ddl OK ilk çalıştırma");
  plan_then_run({}, {.mode = "test"});
}

TEST_F(Plan, AgreesWithTheRunOverDamagedNullAndMissingRecordsAndNotebooks) {
  run();
  auto season = dir / "seasons";
  std::filesystem::path latest;
  for (const auto& e : std::filesystem::directory_iterator(season)) latest = std::max(latest, e.path());
  write_text(latest / "meta" / "adim_marts.json", "{\"nb_hash\": ");
  write_text(latest / "meta" / "adim_transform.json", "null");
  std::filesystem::remove(latest / "meta" / "adim_ml_train.json");
  std::filesystem::remove(dir / "nb_05a_backtest_eus.ipynb");
  auto lines = plan_then_run();
  EXPECT_TRUE(has(lines, "backtest_eus NB YOK bulunamadı"));
  EXPECT_TRUE(has(lines, "transform OK ilk çalıştırma"));
  EXPECT_TRUE(has(lines, "ml_train OK ilk çalıştırma"));
}

TEST_F(Plan, WithoutConfigurationUsesTheFallbackAndChangesNothing) {
  no_config = true;
  run();
  write_text(dir / "external_data" / "statik_db" / "a.csv", "x\n");
  write_text(dir / "external_data" / "statik_db" / "b.txt", "y\n");
  write_text(dir / "external_data" / "statik_db" / "c.txt", "new file: not recorded\n");
  std::filesystem::remove(dir / "external_data" / "kredi_db" / "b.txt");

  auto before = tree(dir.path());
  MotorOptions mo = options({.fingerprint_cache = false});
  mo.create_folders = false;
  std::string console;
  mo.console = [&](std::string_view line) { console += line; };
  Motor m(std::move(mo));
  auto rows = m.plan();
  EXPECT_EQ(tree(dir.path()), before);
  EXPECT_NE(console.find("external_data"), std::string::npos) << console;

  // Every changed recorded file is listed; the removed one is passed over and
  // the new one is no recorded file.
  auto statik = std::find_if(rows.begin(), rows.end(), [](auto& r) { return r.kod == "ingest_statik"; });
  ASSERT_NE(statik, rows.end());
  EXPECT_EQ(statik->sebep, "kaynak değişti (a.csv)");
  ASSERT_EQ(statik->degisen_kaynaklar.size(), 2u);
  EXPECT_TRUE(statik->degisen_kaynaklar[0].ends_with("statik_db/a.csv"));
  EXPECT_TRUE(statik->degisen_kaynaklar[1].ends_with("statik_db/b.txt"));
  auto transform = std::find_if(rows.begin(), rows.end(), [](auto& r) { return r.kod == "transform"; });
  EXPECT_EQ(transform->tetikleyenler, std::vector<std::string>{"ingest_statik"});

  run();  // and the run agrees
  EXPECT_NE(last_out.find("ÇALIŞTIRILIYOR — kaynak değişti (a.csv)"), std::string::npos);
}

TEST_F(Plan, SeesARunThatEndedInTheSameSecond) {
  CaptureStdout();
  Motor ran(options({.executor = std::make_shared<FakeExecutor>()}));
  ran.run_all();
  GetCapturedStdout();
  // No renaming: the plan's engine gets the same season name as the run's.
  auto lines = plan();
  for (const auto& line : lines) EXPECT_NE(line.find(" ATLANDI uyumlu ("), std::string::npos) << line;
}

TEST_F(Plan, AcceptedStepsAreSkippedWithoutCascadeAndCarryTheirMarks) {
  run();
  write_text(dir / "external_data" / "kik_data_ham_csv" / "a.csv", "yeniden teslim\n");
  CaptureStdout();
  Motor acc(options({}));
  auto manifest = acc.accept({"ingest_kik"});
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("  KABUL — ingest_kik: nb_01b_ingest_kik.ipynb ("), std::string::npos) << out;
  EXPECT_NE(out.find(", 2 kaynak dosya"), std::string::npos) << out;

  auto rec = json_parse_file(acc.meta_dir() / "adim_ingest_kik.json");
  std::string last;
  for (auto& mem : rec.GetObject()) last = mem.name.GetString();
  EXPECT_EQ(last, "kabul");
  EXPECT_TRUE(rec["kabul"].GetBool());
  EXPECT_EQ(json_dumps(rec["sure_saniye"]), "0.0");
  auto man = json_parse_file(manifest);
  EXPECT_EQ(json_dumps(man["adimlar"]), R"({"ingest_kik":{"notebook":"nb_01b_ingest_kik.ipynb","durum":"KABUL"}})");
  age_season(acc, "20200130_000000");

  auto after = plan_then_run();
  for (const auto& line : after) EXPECT_NE(line.find(" ATLANDI uyumlu ("), std::string::npos) << line;
}

TEST_F(Plan, AcceptEverythingOnAFreshCopyAndRefusalsWriteNothing) {
  auto before = tree(dir.path());
  for (std::vector<std::string> bad : {std::vector<std::string>{"ingest_kik", "yok_boyle"},
                                       std::vector<std::string>{"backtest_eus"}}) {
    if (bad[0] == "backtest_eus") std::filesystem::remove(dir / "nb_05a_backtest_eus.ipynb");
    before = tree(dir.path());
    MotorOptions mo = options({.fingerprint_cache = false});
    mo.create_folders = false;
    Motor m(std::move(mo));
    try {
      m.accept(bad);
      ADD_FAILURE() << "accepted " << bad.back();
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(bad.back() == "yok_boyle" ? "unknown step 'yok_boyle'" : "nb_05a"),
                std::string::npos)
          << e.what();
    }
    EXPECT_EQ(tree(dir.path()), before);
  }
  write_text(dir / "nb_05a_backtest_eus.ipynb", "{}");

  std::vector<std::string> all;
  for (const auto& r : ADIM_REGISTRY) all.emplace_back(r.kod);
  CaptureStdout();
  Motor acc(options({}));
  acc.accept(all);
  GetCapturedStdout();
  age_season(acc, "20200130_000000");
  auto lines = plan_then_run();
  ASSERT_EQ(lines.size(), 18u);
  for (const auto& line : lines) EXPECT_NE(line.find(" ATLANDI uyumlu ("), std::string::npos) << line;
}

}  // namespace
