// Whole pipeline runs over a workspace of tiny notebooks with a recording
// executor: order, parameters, skips, cascades, failures, summary, manifest,
// cleanup.
#include <gtest/gtest.h>

#include <algorithm>

#include "kemora/motor/motor.hpp"
#include "kemora/version.hpp"
#include "motor/motor_fixture.hpp"
#include "kemora/common/json.hpp"

using namespace kemora::motor;
using kemora::common::json_dumps;
using kemora::common::json_parse_file;
using kemora::test::age_season;
using kemora::test::FakeExecutor;
using kemora::test::normalise_console;
using kemora::test::TempDir;
using kemora::test::write_text;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::vector<std::string> kDriverOrder = {
    "ingest_ddl", "ingest_kik",  "ingest_kredi", "ingest_yis",   "ingest_eus",   "ingest_hedef_kapsam",
    "ingest_statik", "ingest_train", "ingest_rkd", "ingest_memzuc", "transform",    "marts",
    "ml_features", "ml_train",    "ml_predict",  "backtest_eus", "backtest_yis", "backtest_ml"};

class Pipeline : public testing::Test {
 protected:
  void SetUp() override { kemora::test::make_workspace(dir.path()); }

  struct Run {
    std::unique_ptr<Motor> motor;
    std::shared_ptr<FakeExecutor> exec;
    std::string out;
    std::filesystem::path manifest;
  };

  Run run(RunAllOptions ro = {}, MotorOptions mo = {}, std::map<std::string, std::string> fail = {}) {
    Run r;
    r.exec = std::make_shared<FakeExecutor>();
    r.exec->fail = std::move(fail);
    mo.work_dir = dir.path().string();
    if (!mo.data_paths) mo.data_paths = DataPaths{{"rkd_donem_data", (dir / "rkd").string()}};
    mo.executor = r.exec;
    // Durations from a fixed clock: the console text does not depend on how
    // long the run took.
    if (!mo.clock) mo.clock = [] { return 1000.0; };
    CaptureStdout();
    r.motor = std::make_unique<Motor>(std::move(mo));
    r.manifest = r.motor->run_all(ro);
    r.out = GetCapturedStdout();
    return r;
  }

  TempDir dir;
};

std::string param(const FakeExecutor& e, const std::string& kod) {
  auto* c = e.find(kod);
  return c ? c->params : "<not run>";
}

}  // namespace

TEST_F(Pipeline, FirstRunRunsEveryStepInDriverOrderWithItsParameters) {
  write_text(dir / "rkd" / "kriter.csv", "x");
  auto r = run({.referans_tarih_list = std::vector<std::string>{"2024-01-31", "2024-02-29"}, .test_muta_count = 0},
               {.file_suffix = "_v2"});
  EXPECT_EQ(r.exec->codes(), kDriverOrder);
  std::string w = dir.path().string();
  std::string base = R"({"DB_PATH":")" + w + R"(/db/kmr.duckdb","OUTPUT_DIR":")" + w + R"(/outputs/json","WORK_DIR":")" +
                     w + R"(","FILE_SUFFIX":"_v2")";
  EXPECT_EQ(param(*r.exec, "ingest_kik"), base + "}");
  EXPECT_EQ(param(*r.exec, "transform"), base + R"(,"LOG_DIR":")" + r.motor->log_dir().string() +
                                             R"(","REFERANS_TARIH_LIST":"['2024-01-31', '2024-02-29']"})");
  std::string ml = R"(,"CACHE_DIR":")" + w + R"(/db/cache","TEST_MUTA_COUNT":0)";
  EXPECT_EQ(param(*r.exec, "ml_features"), base + ml + "}");
  EXPECT_EQ(param(*r.exec, "ml_train"), base + ml + R"(,"MODEL_DIR":")" + w + R"(/ml_models"})");
  EXPECT_EQ(param(*r.exec, "ml_predict"), base + ml + R"(,"MODEL_DIR":")" + w + R"(/ml_models","SCOREBOARD_PATH":")" +
                                              w + R"(/outputs/json/sample_scoreboard_v2.json"})");
  EXPECT_EQ(param(*r.exec, "marts"), base + "}");
  // ingest_rkd and ingest_memzuc share a notebook but each fingerprints its own folder.
  auto rkd = json_parse_file(r.motor->meta_dir() / "adim_ingest_rkd.json");
  auto memzuc = json_parse_file(r.motor->meta_dir() / "adim_ingest_memzuc.json");
  EXPECT_EQ(json_dumps(rkd["source_hashes"]).find(w + "/rkd/kriter.csv"), 2u);
  EXPECT_NE(json_dumps(memzuc["source_hashes"]).find("external_data/memzuc_data_donem/a.csv"), std::string::npos);
  auto hk = json_parse_file(r.motor->meta_dir() / "adim_ingest_hedef_kapsam.json");
  EXPECT_EQ(hk["source_hashes"].MemberCount(), 4u);

  std::string expected = kemora::test::read_text(KEMORA_SOURCE_DIR "/tests/motor/data/first_run.txt");
  std::string actual = normalise_console(r.out, dir.path());
  std::string version = kemora::version;
  for (auto p = actual.find(version); p != std::string::npos; p = actual.find(version)) actual.replace(p, version.size(), "<V>");
  // Notebook fingerprints depend on the file names only; keep them, they are stable.
  if (std::getenv("KEMORA_UPDATE_GOLDEN")) write_text(KEMORA_SOURCE_DIR "/tests/motor/data/first_run.txt", actual);
  EXPECT_EQ(actual, expected);
}

TEST_F(Pipeline, SecondRunSkipsEverythingAndASourceChangeCascades) {
  auto first = run();
  age_season(*first.motor, "20200101_000000");
  auto second = run();
  EXPECT_TRUE(second.exec->calls.empty());
  int skipped = 0;
  for (const auto& row : second.motor->ozet_satirlar()) {
    EXPECT_EQ(row.durum, "ATLANDI");
    EXPECT_TRUE(row.sebep.starts_with("uyumlu (")) << row.sebep;
    ++skipped;
  }
  EXPECT_EQ(skipped, 18);
  age_season(*second.motor, "20200202_000000");

  write_text(dir / "external_data" / "kik_data_ham_csv" / "b.txt", "değişti\n");
  auto third = run();
  EXPECT_EQ(third.exec->codes(), (std::vector<std::string>{"ingest_kik", "transform", "marts", "ml_features", "ml_train",
                                                            "ml_predict", "backtest_eus", "backtest_yis", "backtest_ml"}));
  EXPECT_NE(third.out.find("  ÇALIŞTIRILIYOR — kaynak değişti (b.txt)\n"), std::string::npos);
  EXPECT_NE(third.out.find("  ÇALIŞTIRILIYOR — cascade (ingest_kik)\n"), std::string::npos);
  EXPECT_NE(third.out.find("  ÇALIŞTIRILIYOR — cascade (ml_train,marts)\n"), std::string::npos);
  EXPECT_NE(third.out.find("  ÇALIŞTIRILIYOR — cascade (ml_train,transform)\n"), std::string::npos);
}

TEST_F(Pipeline, FailedStepDoesNotCascadeAndItsReportSurvivesTheRun) {
  auto first = run();
  age_season(*first.motor, "20200101_000000");
  write_text(dir / "seasons" / "S_20200101_000000_prod_x" / "logs" / "deep" / "error_report.txt", "eski");
  write_text(dir / "outputs" / "error_report.txt", "eski");
  write_text(dir / "seasons" / "S_20200101_000000_prod_x" / "error_report_20200101.txt", "kalır");
  write_text(dir / "external_data" / "kik_data_ham_csv" / "a.csv", "yeni\n");
  auto r = run({}, {}, {{"ingest_kik", "ValueError: boom"}});
  EXPECT_EQ(r.exec->codes(), (std::vector<std::string>{"ingest_kik"}));
  EXPECT_NE(r.out.find("  Temizlik: 2 eski error_report silindi\n"), std::string::npos) << r.out;
  EXPECT_TRUE(std::filesystem::exists(r.motor->season_dir() / "error_report.txt"));
  EXPECT_TRUE(std::filesystem::exists(dir / "seasons" / "S_20200101_000000_prod_x" / "error_report_20200101.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir / "outputs" / "error_report.txt"));
  auto m = json_parse_file(r.manifest);
  EXPECT_EQ(json_dumps(m["sonuc"]["ok"]), "0");
  EXPECT_EQ(json_dumps(m["sonuc"]["atlandi"]), "17");
  EXPECT_EQ(json_dumps(m["sonuc"]["hata"]), "1");
  EXPECT_EQ(json_dumps(m["adimlar"]["ingest_kik"]),
            R"({"notebook":"nb_01b_ingest_kik.ipynb","durum":"HATA","hata":"ValueError: boom"})");
}

TEST_F(Pipeline, SkipFlags) {
  auto all = run({.skip_ingest = true, .skip_backtest = true, .skip_ml = true});
  EXPECT_EQ(all.exec->codes(), (std::vector<std::string>{"transform", "marts"}));
  auto ml = run({.skip_ml = true});
  EXPECT_EQ(ml.exec->codes().back(), "backtest_ml");
  EXPECT_EQ(ml.exec->codes().size(), 15u);
}

TEST_F(Pipeline, BannerByModeAndGit) {
  auto test = run({.skip_ingest = true, .skip_backtest = true, .skip_ml = true},
                  {.mode = "test", .force_adimlar = std::vector<std::string>{"marts"}, .muta_filter_path = "/f.txt"});
  EXPECT_TRUE(test.out.starts_with(std::string("Kemora Pipeline v") + kemora::version + "\nSeason: T_"));
  EXPECT_NE(test.out.find("\nMode: test\nDB: " + (dir / "db" / "kmr_test.duckdb").string() +
                          "\nMUTA filtre: /f.txt\nForce: False ['marts']\n"),
            std::string::npos)
      << test.out;
  auto prod = run({.skip_ingest = true, .skip_backtest = true, .skip_ml = true},
                  {.force_all = true, .muta_filter_path = "/f.txt"});
  EXPECT_NE(prod.out.find("\nMode: prod\nForce: True []\n"), std::string::npos) << prod.out;
  EXPECT_NE(param(*prod.exec, "marts").find("\"MUTA_FILTER_PATH\":\"/f.txt\""), std::string::npos);

  kemora::common::run_process({"git", "init", "-q", "-b", "izleme"}, {.cwd = dir.path()});
  kemora::common::run_process({"git", "-c", "user.name=t", "-c", "user.email=t@e.invalid", "commit", "-q",
                               "--allow-empty", "-m", "x"},
                              {.cwd = dir.path()});
  auto git = run({.skip_ingest = true, .skip_backtest = true, .skip_ml = true});
  std::string short_commit = git.motor->git_info()["git_commit_short"].GetString();
  EXPECT_NE(git.out.find("\nGit: " + short_commit + " (izleme)\nForce: False []\n"), std::string::npos) << git.out;
}

TEST(Manifest, EmptyRunMissingNotebookAndOptions) {
  TempDir dir;
  double clock = 1000.0;
  Motor m({.work_dir = dir.path().string(), .data_paths = DataPaths{{"k", "v"}}, .clock = [&] { return clock; }});
  CaptureStdout();
  clock += 90;
  auto path = m.manifest_yaz();
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out, "\n  Manifest: " + path.string() + "\n");
  EXPECT_EQ(path, m.meta_dir() / ("manifest_" + m.ts() + ".json"));
  auto doc = json_parse_file(path);
  std::vector<std::string> keys;
  for (auto& mem : doc.GetObject()) keys.emplace_back(mem.name.GetString());
  EXPECT_EQ(keys, (std::vector<std::string>{"season", "pipeline_ts", "pkg_version", "tarih", "mode", "git",
                                             "parametreler", "sonuc", "adimlar"}));
  EXPECT_EQ(json_dumps(doc["parametreler"]), R"({"force_all":false,"force_adimlar":[],"from_step":null})");
  EXPECT_EQ(json_dumps(doc["sonuc"]), R"({"toplam_sure_dk":1.5,"ok":0,"atlandi":0,"hata":0})");
  EXPECT_EQ(json_dumps(doc["adimlar"]), "{}");
  EXPECT_EQ(json_dumps(doc["git"]), R"({"git_available":false})");
  std::string text = kemora::test::read_text(path);
  EXPECT_EQ(text.find("\n  \"adimlar\": {}\n}"), text.size() - 18);

  for (auto [secs, expected] : std::vector<std::pair<double, std::string>>{{3, "0.1"}, {2, "0.0"}}) {
    clock = 1000.0 + secs;
    CaptureStdout();
    m.manifest_yaz();
    GetCapturedStdout();
    EXPECT_EQ(json_dumps(json_parse_file(path)["sonuc"]["toplam_sure_dk"]), expected);
  }

  CaptureStdout();
  m.adim_isle("marts");  // no notebook in this working directory
  m.manifest_yaz();
  GetCapturedStdout();
  auto doc2 = json_parse_file(path);
  EXPECT_EQ(json_dumps(doc2["adimlar"]), R"({"marts":{"durum":"NB_YOK"}})");
  EXPECT_EQ(json_dumps(doc2["sonuc"]["ok"]) + json_dumps(doc2["sonuc"]["hata"]), "00");
}

TEST(Manifest, OptionsAndTurkishTextAsWritten) {
  TempDir dir;
  kemora::test::make_workspace(dir.path());
  auto exec = std::make_shared<FakeExecutor>();
  exec->fail["marts"] = "Hata: şube bulunamadı";
  Motor m({.work_dir = dir.path().string(), .force_all = true, .force_adimlar = std::vector<std::string>{"marts"},
           .from_step = "marts", .data_paths = DataPaths{{"k", "v"}}, .executor = exec});
  CaptureStdout();
  m.adim_isle("marts");
  auto path = m.manifest_yaz();
  GetCapturedStdout();
  std::string text = kemora::test::read_text(path);
  EXPECT_NE(text.find("\"hata\": \"Hata: şube bulunamadı\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"force_adimlar\": [\n      \"marts\"\n    ],\n    \"from_step\": \"marts\""), std::string::npos)
      << text;
}

TEST(Summary, TableWidthsMarkersAndTotals) {
  TempDir dir;
  kemora::test::make_workspace(dir.path());
  std::filesystem::remove(dir / "nb_05a_backtest_eus.ipynb");
  auto exec = std::make_shared<FakeExecutor>();
  exec->fail["backtest_yis"] = "kırık";
  double clock = 0;
  Motor m({.work_dir = dir.path().string(), .mode = "prod", .data_paths = DataPaths{{"k", "v"}}, .executor = exec,
           .clock = [&] { return clock; }});
  CaptureStdout();
  m.adim_isle("ingest_kik");
  clock = 95;
  m.adim_isle("backtest_eus");
  m.adim_isle("backtest_yis");
  m.adim_isle("marts", {.kontrol_fn = [](const auto&) { throw std::runtime_error("kontrol"); }});
  GetCapturedStdout();
  CaptureStdout();
  m.ozet_yazdir();
  std::string out = GetCapturedStdout();
  std::string expected = "\n" + std::string(80, '=') + "\n  " + m.season_adi() + " | PROD\n" + std::string(80, '=') +
                         "\n"
                         "  Adım                   Notebook                                 Süre  Durum\n"
                         "  ---------------------- -------------------------------------- ------  --------\n"
                         "  ingest_kik             nb_01b_ingest_kik.ipynb                    0s  [OK]\n"
                         "  backtest_eus           nb_05a_backtest_eus.ipynb                   -  [!!]\n"
                         "  backtest_yis           nb_05b_backtest_yis.ipynb                  0s  [ERR]\n"
                         "  marts                  nb_03_marts.ipynb                          0s  [OK]\n"
                         "  marts                  nb_03_marts.ipynb                          0s  [ERR]\n"
                         "\n  Süre: 1.6dk | OK:2 Atlandı:0 Hata:2\n"
                         "  Season: " +
                         m.season_dir().string() + "\n";
  EXPECT_EQ(out, expected);
}

TEST(Summary, LongNotebookNameShiftsTheLine) {
  TempDir dir;
  double clock = 0;
  Motor m({.work_dir = dir.path().string(), .data_paths = DataPaths{{"k", "v"}}, .clock = [&] { return clock; }});
  clock = 2;
  CaptureStdout();
  m.ozet_yazdir();
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("\n  Süre: 0.0dk | OK:0 Atlandı:0 Hata:0\n"), std::string::npos);
}

TEST(Cleanup, DeletesEarlierReportsAtAnyDepthAndTheFixedPaths) {
  TempDir dir;
  for (const char* s : {"S_1", "S_2", "T_3"}) write_text(dir / "seasons" / s / "error_report.txt", "x");
  write_text(dir / "seasons" / "S_2" / "logs" / "a" / "error_report.txt", "x");
  write_text(dir / "seasons" / "S_2" / "error_report_2024.txt", "kalır");
  write_text(dir / "outputs" / "error_report.txt", "x");
  Motor m({.work_dir = dir.path().string(), .data_paths = DataPaths{{"k", "v"}}});
  write_text(m.season_dir() / "error_report.txt", "bu çalıştırmanın raporu");
  CaptureStdout();
  m._temizle_error_reports();
  EXPECT_EQ(GetCapturedStdout(), "  Temizlik: 5 eski error_report silindi\n");
  EXPECT_TRUE(std::filesystem::exists(m.season_dir() / "error_report.txt"));
  EXPECT_TRUE(std::filesystem::exists(dir / "seasons" / "S_2" / "error_report_2024.txt"));
  CaptureStdout();
  m._temizle_error_reports();
  EXPECT_EQ(GetCapturedStdout(), "");
}

// A folder that carries the report's name is the user's: it was removed when
// empty, and a full one stopped the run with a file-system error.
TEST(Cleanup, FoldersNamedLikeAReportStayAndTheRestIsCleaned) {
  TempDir dir;
  std::filesystem::create_directories(dir / "seasons" / "S_1" / "error_report.txt");
  write_text(dir / "seasons" / "S_2" / "error_report.txt" / "notes.txt", "mine");
  std::filesystem::create_directories(dir / "outputs" / "error_report.txt");
  write_text(dir / "seasons" / "S_3" / "error_report.txt", "x");
  Motor m({.work_dir = dir.path().string(), .data_paths = DataPaths{{"k", "v"}}});
  CaptureStdout();
  m._temizle_error_reports();
  EXPECT_EQ(GetCapturedStdout(), "  Temizlik: 1 eski error_report silindi\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "seasons" / "S_1" / "error_report.txt"));
  EXPECT_EQ(kemora::test::read_text(dir / "seasons" / "S_2" / "error_report.txt" / "notes.txt"), "mine");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "outputs" / "error_report.txt"));
}

namespace {

// The console text of one whole run in a fresh workspace: the data-source
// listing, the banner, every step (one failing with a two-line error and its
// report), the cleanup of an earlier report, the summary and the manifest.
// With `sink` set the lines go there, and standard output must stay silent.
std::string whole_run(const TempDir& dir, kemora::ConsoleSink sink, std::vector<std::string>* lines) {
  kemora::test::make_workspace(dir.path());
  write_text(dir / "local_data_paths.json", R"({"rkd_donem_data": "rkd", "kredi_db": "kredi"})");
  write_text(dir / "outputs" / "error_report.txt", "eski");
  auto exec = std::make_shared<FakeExecutor>();
  exec->fail = {{"ingest_kik", "ValueError: boom\nikinci satır"}};
  CaptureStdout();
  Motor m({.work_dir = dir.path().string(), .executor = exec, .clock = [] { return 1000.0; }, .console = std::move(sink)});
  m.run_all();
  std::string printed = GetCapturedStdout();
  if (lines) {
    EXPECT_EQ(printed, "");
    printed.clear();
    for (const auto& l : *lines) printed += l;
  }
  return normalise_console(printed, dir.path());
}

}  // namespace

TEST(ConsoleSink, ReceivesEveryLineOfAWholeRunAsStandardOutputWould) {
  TempDir plain_dir, sink_dir;
  const std::string printed = whole_run(plain_dir, {}, nullptr);
  std::vector<std::string> lines;
  const std::string received = whole_run(sink_dir, [&](std::string_view l) { lines.emplace_back(l); }, &lines);
  EXPECT_EQ(received, printed);
  for (const auto& l : lines) EXPECT_EQ(l.find('\n'), l.size() - 1) << "one line per call: [" << l << "]";
  // The run's landmarks, in order, each a line of its own.
  std::vector<std::string> landmarks = {"  [CONFIG] local_data_paths.json yüklendi (2 kaynak)\n",
                                        std::string("Kemora Pipeline v") + kemora::version + "\n",
                                        "  HATA — 0s\n",
                                        "  ValueError: boom\n",
                                        "ikinci satır\n",
                                        "  Temizlik: 1 eski error_report silindi\n",
                                        "  Season: " + (sink_dir.path() / "seasons").string()};
  std::size_t at = 0;
  for (const auto& mark : landmarks) {
    auto it = std::find_if(lines.begin() + at, lines.end(), [&](const std::string& l) { return l.rfind(mark, 0) == 0; });
    ASSERT_NE(it, lines.end()) << mark << "\n" << received;
    at = it - lines.begin();
  }
  EXPECT_EQ(lines.back().rfind("  Manifest: ", 0), 0u);
  EXPECT_EQ(lines.at(lines.size() - 2), "\n");
}

TEST(StepOutcome, WordsOfEachOutcomeAndWhichOnesFail) {
  struct Words {
    AdimDurumu d;
    const char *ozet, *isaret, *manifest;
    bool failed;
  };
  for (const Words& w : {Words{AdimDurumu::OK, "OK", "OK", "OK", false},
                         Words{AdimDurumu::ATLANDI, "ATLANDI", "SKIP", "ATLANDI", false},
                         Words{AdimDurumu::HATA, "HATA", "ERR", "HATA", true},
                         Words{AdimDurumu::NB_YOK, "NB YOK", "!!", "NB_YOK", true}}) {
    EXPECT_EQ(ozet_text(w.d), w.ozet);
    EXPECT_EQ(adim_durumu_bilgisi(w.d).isaret, w.isaret);
    EXPECT_EQ(manifest_text(w.d), w.manifest);
    EXPECT_EQ(basarisiz(w.d), w.failed);
  }
}

TEST(StepOutcome, TheEngineSaysWhetherAStepFailed) {
  TempDir dir;
  kemora::test::make_workspace(dir.path());
  std::filesystem::remove(dir / "nb_05a_backtest_eus.ipynb");
  auto exec = std::make_shared<FakeExecutor>();
  exec->fail["backtest_yis"] = "kırık";
  auto engine = [&] {
    return std::make_unique<Motor>(MotorOptions{.work_dir = dir.path().string(), .data_paths = DataPaths{{"k", "v"}},
                                                .executor = exec, .clock = [] { return 1000.0; }});
  };
  CaptureStdout();
  auto ok = engine();
  ok->adim_isle("ingest_kik");
  ok->adim_isle("marts");
  ok->adim_isle("no_such_step");  // no row: not a failed step of the run
  auto missing = engine();
  missing->adim_isle("ingest_kik");
  missing->adim_isle("backtest_eus");
  auto failed = engine();
  failed->adim_isle("backtest_yis");
  failed->adim_isle("transform");
  GetCapturedStdout();
  EXPECT_FALSE(ok->any_failed());
  EXPECT_TRUE(missing->any_failed());
  EXPECT_TRUE(failed->any_failed());
  // Each row's summary word and manifest word come from its outcome.
  for (const Motor* m : {ok.get(), missing.get(), failed.get()}) {
    ASSERT_EQ(m->ozet_satirlar().size(), m->manifest_adimlar().size());
    for (std::size_t i = 0; i < m->ozet_satirlar().size(); ++i) {
      const auto& row = m->ozet_satirlar()[i];
      EXPECT_EQ(row.durum, ozet_text(row.sonuc));
      const auto& entry = m->manifest_adimlar()[i].second;
      auto durum = std::find_if(entry.begin(), entry.end(), [](const auto& kv) { return kv.first == "durum"; });
      ASSERT_NE(durum, entry.end());
      EXPECT_EQ(durum->second, manifest_text(row.sonuc));
    }
  }
  EXPECT_EQ(missing->ozet_satirlar().at(1).sonuc, AdimDurumu::NB_YOK);
  EXPECT_EQ(failed->ozet_satirlar().at(0).sonuc, AdimDurumu::HATA);
  EXPECT_EQ(failed->ozet_satirlar().at(1).sonuc, AdimDurumu::OK);
}
