#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>

#include "kemora/common/process.hpp"
#include "kemora/common/text.hpp"
#include "kemora/motor/motor.hpp"
#include "motor/motor_fixture.hpp"
#include "kemora/common/json.hpp"

using namespace kemora::motor;
using kemora::test::age_season;
using kemora::test::FakeExecutor;
using kemora::test::TempDir;
using kemora::test::write_text;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class Step : public testing::Test {
 protected:
  void SetUp() override { kemora::test::make_workspace(dir.path()); }

  std::unique_ptr<Motor> engine(MotorOptions o = {}) {
    exec = std::make_shared<FakeExecutor>();
    o.work_dir = dir.path().string();
    o.data_paths = DataPaths{{"k", "v"}};
    o.executor = exec;
    // Durations come from this clock, not the wall clock: "0s" stays "0s"
    // however slowly the test runs.
    if (!o.clock) o.clock = [] { return 1000.0; };
    return std::make_unique<Motor>(std::move(o));
  }
  // Runs `codes` once in an engine whose season is then made older.
  void earlier_run(std::vector<std::string> codes, const std::string& ts = "20200101_000000") {
    auto m = engine();
    CaptureStdout();
    for (const auto& k : codes) m->adim_isle(k);
    GetCapturedStdout();
    age_season(*m, ts);
  }
  std::string hash8(const std::string& nb) { return _file_hash((dir / nb).string()).substr(0, 8); }

  TempDir dir;
  std::shared_ptr<FakeExecutor> exec;
};

std::vector<std::string> row(const OzetSatiri& r) { return {r.adim, r.nb, r.sure, r.durum, r.sebep}; }

/// An executor that runs `body` and writes the executed copy.
class CallbackExecutor : public NotebookExecutor {
 public:
  explicit CallbackExecutor(std::function<void()> body) : body_(std::move(body)) {}
  void execute(const std::filesystem::path& input, const std::filesystem::path& output, const kemora::common::Json&,
               const std::filesystem::path&) override {
    body_();
    write_text(output, kemora::test::read_text(input));
  }

 private:
  std::function<void()> body_;
};

bool no_failure_recorded(const Motor& m) {
  for (const auto& r : m.ozet_satirlar())
    if (r.durum == "HATA") return false;
  for (const auto& [kod, entry] : m.manifest_adimlar())
    for (const auto& [k, v] : entry)
      if (v == "HATA") return false;
  return !std::filesystem::exists(m.season_dir() / "error_report.txt");
}

}  // namespace

TEST_F(Step, UnknownStepPrintsOneLineAndRecordsNothing) {
  auto m = engine();
  CaptureStdout();
  EXPECT_FALSE(m->adim_isle("export"));
  EXPECT_EQ(GetCapturedStdout(), "  [!] Bilinmeyen adım: export\n");
  EXPECT_TRUE(m->ozet_satirlar().empty());
  EXPECT_TRUE(m->manifest_adimlar().empty());
}

TEST_F(Step, MissingNotebookIsNbYokAndTheHookIsNotCalled) {
  std::filesystem::remove(dir / "nb_03_marts.ipynb");
  auto m = engine();
  bool called = false;
  CaptureStdout();
  EXPECT_FALSE(m->adim_isle("marts", {.kontrol_fn = [&](const auto&) { called = true; }}));
  EXPECT_EQ(GetCapturedStdout(),
            "\n  ── marts | Scoreboard + Trending + HTML ──\n  [!] Notebook bulunamadı: nb_03_marts.ipynb\n");
  EXPECT_FALSE(called);
  EXPECT_EQ(row(m->ozet_satirlar().at(0)),
            (std::vector<std::string>{"marts", "nb_03_marts.ipynb", "-", "NB YOK", "bulunamadı"}));
  EXPECT_EQ(m->manifest_adimlar().at(0).second, (ManifestEntry{{"durum", "NB_YOK"}}));
}

TEST_F(Step, FirstRunSucceedsWithParametersInOrderAndRecordsEverything) {
  auto m = engine({.muta_filter_path = "/f/muta.txt", .file_suffix = "_v2"});
  std::filesystem::path hook_arg;
  CaptureStdout();
  EXPECT_TRUE(m->adim_isle("transform", {.ek_params = Params{{"LOG_DIR", "/l"}, {"DB_PATH", "/other.db"},
                                                              {"N", 0LL}, {"B", true}, {"Z", nullptr}, {"R", 1.5}},
                                         .kontrol_fn = [&](const auto& p) { hook_arg = p; }}));
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out, "\n  ── transform | Bronze → Silver (EUS patch dahil) ──\n  nb_02_transform.ipynb (" +
                     hash8("nb_02_transform.ipynb") + ")\n  ÇALIŞTIRILIYOR — ilk çalıştırma\n  OK 0s\n");
  ASSERT_EQ(exec->calls.size(), 1u);
  const auto& call = exec->calls[0];
  EXPECT_EQ(call.input, dir / "nb_02_transform.ipynb");
  EXPECT_EQ(call.output, m->log_dir() / "adim_transform_nb_02_transform.ipynb");
  EXPECT_EQ(call.cwd, dir.path());
  std::string w = dir.path().string();
  EXPECT_EQ(call.params, R"({"DB_PATH":"/other.db","OUTPUT_DIR":")" + w + R"(/outputs/json","WORK_DIR":")" + w +
                             R"(","MUTA_FILTER_PATH":"/f/muta.txt","FILE_SUFFIX":"_v2","LOG_DIR":"/l","N":0,"B":true,"Z":null,"R":1.5})");
  EXPECT_EQ(hook_arg, dir.path());
  EXPECT_TRUE(m->calisan_adimlar().count("transform"));
  EXPECT_TRUE(std::filesystem::exists(m->meta_dir() / "adim_transform.json"));
  EXPECT_EQ(row(m->ozet_satirlar().at(0)),
            (std::vector<std::string>{"transform", "nb_02_transform.ipynb", "0s", "OK", "ilk çalıştırma"}));
  EXPECT_EQ(m->manifest_adimlar().at(0).second,
            (ManifestEntry{{"notebook", "nb_02_transform.ipynb"}, {"durum", "OK"}, {"sure", "0s"}}));
}

TEST_F(Step, EmptySuffixAndFilterAreLeftOut) {
  auto m = engine();
  CaptureStdout();
  m->adim_isle("ingest_ddl", {.ek_params = Params{}});
  GetCapturedStdout();
  EXPECT_EQ(exec->calls.at(0).params.find("MUTA_FILTER_PATH"), std::string::npos);
  EXPECT_EQ(exec->calls.at(0).params.find("FILE_SUFFIX"), std::string::npos);
}

TEST_F(Step, UnchangedStepIsSkippedAndForcingWrapsTheReason) {
  earlier_run({"marts"});
  auto m = engine();
  bool called = false;
  CaptureStdout();
  EXPECT_TRUE(m->adim_isle("marts", {.kontrol_fn = [&](const auto&) { called = true; }}));
  std::string reason = "uyumlu (" + hash8("nb_03_marts.ipynb") + ")";
  EXPECT_NE(GetCapturedStdout().find("  ATLANDI — " + reason + "\n"), std::string::npos);
  EXPECT_TRUE(called);
  EXPECT_TRUE(exec->calls.empty());
  EXPECT_EQ(m->manifest_adimlar().at(0).second,
            (ManifestEntry{{"notebook", "nb_03_marts.ipynb"}, {"durum", "ATLANDI"}, {"sebep", reason}}));

  auto forced = engine({.force_adimlar = std::vector<std::string>{"marts", "transform"}});
  CaptureStdout();
  forced->adim_isle("marts");
  forced->adim_isle("transform");  // never ran: its own reason stands, no wrapper
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("  ÇALIŞTIRILIYOR — ZORLA (" + reason + ")\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  ÇALIŞTIRILIYOR — ilk çalıştırma\n"), std::string::npos) << out;
}

TEST_F(Step, FromStepPassesOverEvenForcedStepsAndCallsTheHook) {
  auto m = engine({.force_all = true, .from_step = "marts"});
  int hooks = 0;
  CaptureStdout();
  EXPECT_TRUE(m->adim_isle("ml_train", {.kontrol_fn = [&](const auto&) { ++hooks; }}));
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("  ATLANDI — --from marts\n"), std::string::npos);
  EXPECT_EQ(hooks, 1);
  EXPECT_TRUE(exec->calls.empty());
  EXPECT_EQ(m->manifest_adimlar().at(0).second, (ManifestEntry{{"durum", "ATLANDI"}, {"sebep", "--from marts"}}));
  EXPECT_EQ(m->ozet_satirlar().at(0).sebep, "--from marts");
}

TEST_F(Step, CascadeNamesPrerequisitesInListOrder) {
  earlier_run({"ml_predict"});
  auto m = engine({.force_adimlar = std::vector<std::string>{"marts", "ml_train"}});
  CaptureStdout();
  m->adim_isle("marts");
  m->adim_isle("ml_train");
  m->adim_isle("ml_predict");
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("  ÇALIŞTIRILIYOR — cascade (ml_train,marts)\n"), std::string::npos) << out;
}

TEST_F(Step, FailureIsRecordedWithCutTextsAndAnErrorReport) {
  auto m = engine();
  std::string long_error = "ValueError: ";
  for (int i = 0; i < 40; ++i) long_error += "çok uzun ";  // 2-byte letters: cuts count characters
  long_error += "12345678901 müşteri";
  exec->fail["ingest_kik"] = long_error;
  CaptureStdout();
  EXPECT_FALSE(m->adim_isle("ingest_kik"));
  std::string out = GetCapturedStdout();
  std::string hata = kemora::common::utf8_prefix(long_error, 300);
  auto report = m->season_dir() / "error_report.txt";
  EXPECT_NE(out.find("  HATA — 0s\n  " + hata + "\n  Hata raporu: " + report.string() + "\n"), std::string::npos)
      << out;
  EXPECT_EQ(kemora::common::utf8_length(hata), 300u);
  EXPECT_EQ(row(m->ozet_satirlar().at(0)),
            (std::vector<std::string>{"ingest_kik", "nb_01b_ingest_kik.ipynb", "0s", "HATA",
                                      kemora::common::utf8_prefix(long_error, 80)}));
  EXPECT_EQ(m->manifest_adimlar().at(0).second,
            (ManifestEntry{{"notebook", "nb_01b_ingest_kik.ipynb"}, {"durum", "HATA"}, {"hata", hata}}));
  EXPECT_FALSE(m->calisan_adimlar().count("ingest_kik"));
  EXPECT_FALSE(std::filesystem::exists(m->meta_dir() / "adim_ingest_kik.json"));
  std::string report_text = kemora::test::read_text(report);
  EXPECT_NE(report_text.find("step=ingest_kik"), std::string::npos);
  EXPECT_EQ(report_text.find("12345678901"), std::string::npos);  // long numbers are masked
}

TEST_F(Step, HookFailingAfterSuccessGivesTwoRows) {
  auto m = engine();
  CaptureStdout();
  EXPECT_FALSE(m->adim_isle("marts", {.kontrol_fn = [](const auto&) { throw std::runtime_error("kontrol başarısız"); }}));
  GetCapturedStdout();
  ASSERT_EQ(m->ozet_satirlar().size(), 2u);
  EXPECT_EQ(m->ozet_satirlar()[0].durum, "OK");
  EXPECT_EQ(m->ozet_satirlar()[1].durum, "HATA");
  EXPECT_EQ(m->ozet_satirlar()[1].sebep, "kontrol başarısız");
  EXPECT_TRUE(m->calisan_adimlar().count("marts"));
  ASSERT_EQ(m->manifest_adimlar().size(), 1u);
  EXPECT_EQ(m->manifest_adimlar()[0].second.at(1).second, "HATA");
}

TEST_F(Step, HookFailingOnASkipPathPropagates) {
  auto m = engine({.from_step = "marts"});
  CaptureStdout();
  EXPECT_THROW(m->adim_isle("transform", {.kontrol_fn = [](const auto&) { throw std::runtime_error("x"); }}),
               std::runtime_error);
  GetCapturedStdout();
  EXPECT_EQ(m->ozet_satirlar().size(), 1u);
}

TEST_F(Step, SourceFingerprintsDirectFilesSortedWithLinksAndNormalisedKeys) {
  auto src = dir / "kaynak";
  write_text(src / "b.csv", "b");
  write_text(src / "a.csv", "a");
  write_text(src / "alt" / "nested.csv", "never");
  std::filesystem::create_symlink(src / "a.csv", src / "c-link.csv");
  auto m = engine();
  CaptureStdout();
  std::string messy = dir.path().string() + "//kaynak/./";
  EXPECT_TRUE(m->adim_isle("ingest_kik", {.source_dirs = std::vector<std::string>{messy, (dir / "yok").string()}}));
  GetCapturedStdout();
  auto rec = kemora::common::json_parse_file(m->meta_dir() / "adim_ingest_kik.json");
  std::vector<std::string> keys;
  for (auto& mem : rec["source_hashes"].GetObject()) keys.emplace_back(mem.name.GetString());
  std::string base = src.string();
  EXPECT_EQ(keys, (std::vector<std::string>{base + "/a.csv", base + "/b.csv", base + "/c-link.csv"}));
  EXPECT_EQ(std::string(rec["source_hashes"][(base + "/c-link.csv").c_str()].GetString()),
            _file_hash((src / "a.csv").string()));
}

TEST_F(Step, RelativeSourceFolderGivesRelativeKeysAndNoSourcesGivesNoKey) {
  auto m = engine();
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  CaptureStdout();
  m->adim_isle("ingest_kredi", {.source_dirs = std::vector<std::string>{"external_data/kredi_db/"}});
  m->adim_isle("ingest_ddl");
  GetCapturedStdout();
  std::filesystem::current_path(old);
  auto rec = kemora::common::json_parse_file(m->meta_dir() / "adim_ingest_kredi.json");
  EXPECT_TRUE(rec["source_hashes"].HasMember("external_data/kredi_db/a.csv"));
  EXPECT_FALSE(kemora::common::json_parse_file(m->meta_dir() / "adim_ingest_ddl.json").HasMember("source_hashes"));
}

TEST_F(Step, SourceFolderThatIsAFileFailsTheStep) {
  auto m = engine();
  CaptureStdout();
  EXPECT_FALSE(m->adim_isle("ingest_kik", {.source_dirs = std::vector<std::string>{(dir / "nb_02_transform.ipynb").string()}}));
  GetCapturedStdout();
  EXPECT_EQ(m->ozet_satirlar().at(0).durum, "HATA");
}

TEST_F(Step, StandardOutputClosedWhileTheNotebookRunsEndsTheRunAsAnInterrupt) {
  // `kemora run | head`: the reader of our standard output goes away while
  // the notebook runs. The next console line must neither kill the process
  // (SIGPIPE) nor turn the step into HATA: the run ends as on Ctrl-C.
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  auto exec_closing = std::make_shared<CallbackExecutor>([&] { ::close(p[0]); });
  auto m = std::make_unique<Motor>(MotorOptions{.work_dir = dir.path().string(),
                                                .data_paths = DataPaths{{"k", "v"}},
                                                .executor = exec_closing,
                                                .clock = [] { return 1000.0; }});
  std::cout.flush();
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(p[1], STDOUT_FILENO);
  ::close(p[1]);
  int signal_seen = 0;
  bool returned = false;
  try {
    m->adim_isle("marts");
    returned = true;
  } catch (const kemora::common::ProcessInterrupted& e) {
    signal_seen = e.signal;
  } catch (...) {
  }
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::cout.clear();
  EXPECT_FALSE(returned);
  EXPECT_EQ(signal_seen, SIGPIPE);
  EXPECT_TRUE(no_failure_recorded(*m));
}

TEST_F(Step, InterruptDuringTheGitQueryOfTheRunDecisionEndsTheRun) {
  earlier_run({"marts"});
  // A git that answers the repository questions and is interrupted (Ctrl-C
  // reaches us, its parent) while it fingerprints the notebook.
  write_text(dir / "bin" / "git",
             "#!/bin/sh\ncase \"$1\" in\n  rev-parse) echo 0123456789abcdef0123456789abcdef01234567 ;;\n"
             "  branch) echo ana ;;\n  *) kill -INT $PPID; exec sleep 30 ;;\nesac\n");
  ::chmod((dir / "bin" / "git").c_str(), 0755);
  kemora::test::ScopedEnv path("PATH", (dir / "bin").string() + ":/usr/bin:/bin");
  auto m = engine();
  ASSERT_TRUE(m->git_info()["git_available"].GetBool());
  CaptureStdout();
  EXPECT_THROW(m->adim_isle("marts"), kemora::common::ProcessInterrupted);
  GetCapturedStdout();
  EXPECT_TRUE(m->ozet_satirlar().empty());
  EXPECT_TRUE(exec->calls.empty());
}

TEST(DurationText, SecondsBelowAMinuteElseMinutes) {
  EXPECT_EQ(sure_text(42.3), "42s");
  EXPECT_EQ(sure_text(59.7), "60s");
  EXPECT_EQ(sure_text(60), "1.0dk");
  EXPECT_EQ(sure_text(150), "2.5dk");
  EXPECT_EQ(sure_text(0.4), "0s");
}
