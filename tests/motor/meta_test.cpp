#include <gtest/gtest.h>

#include "kemora/motor/motor.hpp"
#include "kemora/version.hpp"
#include "motor/motor_fixture.hpp"
#include "kemora/common/json.hpp"

using namespace kemora::motor;
using kemora::common::json_dumps;
using kemora::common::run_process;
using kemora::test::age_season;
using kemora::test::TempDir;
using kemora::test::write_text;

namespace {

MotorOptions opts(const std::filesystem::path& dir, std::string mode = "prod") {
  return {.work_dir = dir.string(), .mode = std::move(mode), .data_paths = DataPaths{{"k", "v"}}};
}

// Writes a record by hand into an older season.
void old_record(const std::filesystem::path& dir, const std::string& season, const std::string& kod,
                const std::string& json) {
  write_text(dir / "seasons" / season / "meta" / ("adim_" + kod + ".json"), json);
}

class MetaDecision : public testing::Test {
 protected:
  void SetUp() override {
    write_text(dir / "nb_01b_ingest_kik.ipynb", "{\"v\": 1}");
    write_text(dir / "src" / "a.csv", "1\n");
    write_text(dir / "src" / "b.csv", "2\n");
  }
  // A run of ingest_kik recorded in a season that is then made older.
  void record_run(const std::string& mode = "prod", const std::string& older_ts = "20200101_000000") {
    Motor m(opts(dir.path(), mode));
    m.meta_yaz("ingest_kik", dir / "nb_01b_ingest_kik.ipynb", 1.0,
               SourceHashes{{(dir / "src" / "a.csv").string(), kemora::motor::_file_hash((dir / "src" / "a.csv").string())},
                            {(dir / "src" / "b.csv").string(), kemora::motor::_file_hash((dir / "src" / "b.csv").string())}});
    age_season(m, older_ts);
  }
  std::pair<bool, std::string> decide(const std::string& mode = "prod") {
    return Motor(opts(dir.path(), mode)).meta_kontrol("ingest_kik");
  }
  TempDir dir;
};

}  // namespace

TEST_F(MetaDecision, FirstRunWhenNoEarlierSeasonOrOnlyTheCurrentOne) {
  EXPECT_EQ(decide(), std::make_pair(true, std::string("ilk çalıştırma")));
  Motor m(opts(dir.path()));
  m.meta_yaz("ingest_kik", dir / "nb_01b_ingest_kik.ipynb", 1.0);
  EXPECT_EQ(m.meta_kontrol("ingest_kik").second, "ilk çalıştırma");
}

TEST_F(MetaDecision, UnchangedStepIsSkippedWithTheRecordedHash) {
  record_run();
  auto h = kemora::motor::_file_hash((dir / "nb_01b_ingest_kik.ipynb").string());
  EXPECT_EQ(decide(), std::make_pair(false, "uyumlu (" + h.substr(0, 8) + ")"));
}

TEST_F(MetaDecision, ModeChangeIncludingMissingMode) {
  record_run("prod");
  EXPECT_EQ(decide("dev").second, "mode değişti (prod→dev)");
  old_record(dir.path(), "S_20210101_000000_prod_x", "ingest_kik", R"({"nb_hash": "abc"})");
  EXPECT_EQ(decide("prod").second, "mode değişti (None→prod)");
}

TEST_F(MetaDecision, TestAndOtherModesSeeOnlyTheirOwnSeasons) {
  record_run("test", "20200101_000000");
  EXPECT_EQ(decide("prod").second, "ilk çalıştırma");
  EXPECT_FALSE(decide("test").first);
  record_run("prod", "20200202_000000");
  EXPECT_FALSE(decide("prod").first);
}

TEST_F(MetaDecision, NotebookChangeIsNamedBeforeGit) {
  run_process({"git", "init", "-q"}, {.cwd = dir.path()});
  run_process({"git", "add", "."}, {.cwd = dir.path()});
  run_process({"git", "-c", "user.name=t", "-c", "user.email=t@e.invalid", "commit", "-qm", "x"}, {.cwd = dir.path()});
  record_run();
  auto before = kemora::motor::_file_hash((dir / "nb_01b_ingest_kik.ipynb").string());
  write_text(dir / "nb_01b_ingest_kik.ipynb", "{\"v\": 2}");
  auto after = kemora::motor::_file_hash((dir / "nb_01b_ingest_kik.ipynb").string());
  EXPECT_EQ(decide().second, "notebook değişti (" + before.substr(0, 8) + "→" + after.substr(0, 8) + ")");
}

TEST_F(MetaDecision, GitObjectChangeWhenContentHashAgrees) {
  run_process({"git", "init", "-q"}, {.cwd = dir.path()});
  auto h = kemora::motor::_file_hash((dir / "nb_01b_ingest_kik.ipynb").string());
  old_record(dir.path(), "S_20200101_000000_prod_x", "ingest_kik",
             R"({"nb_hash": ")" + h + R"(", "git_nb_hash": "0000000000000000", "mode": "prod"})");
  // Git available needs a commit.
  run_process({"git", "add", "nb_01b_ingest_kik.ipynb"}, {.cwd = dir.path()});
  run_process({"git", "-c", "user.name=t", "-c", "user.email=t@e.invalid", "commit", "-qm", "x"}, {.cwd = dir.path()});
  EXPECT_EQ(decide(), std::make_pair(true, std::string("git hash değişti")));
  // Without git information on the record, the git check is left out.
  old_record(dir.path(), "S_20200202_000000_prod_x", "ingest_kik",
             R"({"nb_hash": ")" + h + R"(", "git_nb_hash": null, "mode": "prod"})");
  EXPECT_FALSE(decide().first);
}

TEST_F(MetaDecision, SourceChangesFirstInRecordOrderAndDeletedFilesIgnored) {
  record_run();
  write_text(dir / "src" / "b.csv", "changed\n");
  EXPECT_EQ(decide().second, "kaynak değişti (b.csv)");
  write_text(dir / "src" / "a.csv", "changed\n");
  EXPECT_EQ(decide().second, "kaynak değişti (a.csv)");
  std::filesystem::remove(dir / "src" / "a.csv");
  std::filesystem::remove(dir / "src" / "b.csv");
  EXPECT_FALSE(decide().first);
  write_text(dir / "src" / "new.csv", "not recorded\n");
  EXPECT_FALSE(decide().first);
}

TEST_F(MetaDecision, DamagedNewestRecordFallsBackNullRecordEndsSearch) {
  record_run("prod", "20200101_000000");
  old_record(dir.path(), "S_20210101_000000_prod_x", "ingest_kik", R"({"nb_hash": "cut sh)");
  EXPECT_FALSE(decide().first);  // the older, readable record is used
  old_record(dir.path(), "S_20220101_000000_prod_x", "ingest_kik", "[1, 2]");
  EXPECT_FALSE(decide().first);
  old_record(dir.path(), "S_20230101_000000_prod_x", "ingest_kik", "null");
  EXPECT_EQ(decide().second, "ilk çalıştırma");
}

TEST_F(MetaDecision, RecordWithoutNbHashAndMissingNotebook) {
  old_record(dir.path(), "S_20200101_000000_prod_x", "ingest_kik", R"({"mode": "prod"})");
  EXPECT_EQ(decide(), std::make_pair(false, std::string("uyumlu (?)")));
  std::filesystem::remove(dir / "nb_01b_ingest_kik.ipynb");
  old_record(dir.path(), "S_20210101_000000_prod_x", "ingest_kik", R"({"mode": "prod", "nb_hash": "1234567890abcdef"})");
  EXPECT_EQ(decide().second, "uyumlu (12345678)");
}

TEST_F(MetaDecision, UnreadableRecordedSourceRaises) {
  old_record(dir.path(), "S_20200101_000000_prod_x", "ingest_kik",
             R"({"mode": "prod", "source_hashes": {")" + (dir / "src").string() + R"(": "x"}})");
  EXPECT_THROW(decide(), std::runtime_error);
}

TEST(MetaWrite, RecordIsWrittenByteForByte) {
  TempDir dir;
  write_text(dir / "nb_02_transform.ipynb", "{\"hücre\": 1}");
  Motor m(opts(dir.path(), "özel"));
  auto rec = m.meta_yaz("transform", dir / "nb_02_transform.ipynb", 75.44,
                        SourceHashes{{"/veri/şube listesi.csv", "0123456789abcdef"}});
  auto extra = kemora::common::json_parse(R"({"mode": "üzerine", "ek": [1, 2.5, null]})", "ekstra");
  m.meta_yaz("ingest_ddl", dir / "nb_02_transform.ipynb", 3, std::nullopt, &extra);

  auto expect = [&](const std::string& file, const std::string& kod) {
    std::string text = kemora::test::read_text(KEMORA_SOURCE_DIR "/tests/motor/data/" + file);
    auto written = kemora::common::json_parse_file(m.meta_dir() / ("adim_" + kod + ".json"));
    for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"{NB_HASH}", kemora::motor::_file_hash((dir / "nb_02_transform.ipynb").string())},
             {"{VERSION}", kemora::version}, {"{SEASON}", m.season_adi()}, {"{TS}", m.ts()},
             {"{TARIH}", written["tarih"].GetString()}}) {
      for (auto p = text.find(from); p != std::string::npos; p = text.find(from)) text.replace(p, from.size(), to);
    }
    EXPECT_EQ(kemora::test::read_text(m.meta_dir() / ("adim_" + kod + ".json")), text);
  };
  expect("meta_transform.json", "transform");
  expect("meta_extra.json", "ingest_ddl");
  EXPECT_EQ(json_dumps(rec["sure_saniye"]), "75.4");
  std::string tarih = rec["tarih"].GetString();
  EXPECT_TRUE(tarih.size() == 19 || tarih.size() == 26) << tarih;
  EXPECT_EQ(tarih[10], 'T');
}

// A hand-edited record naming a device as its source once hashed it forever.
TEST_F(MetaDecision, RecordedSourceThatIsADeviceIsNotRead) {
  old_record(dir.path(), "S_20200101_000000_prod_x", "ingest_kik",
             R"({"mode": "prod", "source_hashes": {"/dev/zero": "x"}})");
  EXPECT_THROW(decide(), std::runtime_error);
}

// An empty record, or one that is not UTF-8, is as unreadable as a damaged
// one: the next older season's record counts.
TEST_F(MetaDecision, EmptyOrNonUtf8RecordIsPassedOver) {
  for (const std::string& bad : {std::string(), std::string("{\"mode\": \"\xff\xfe\"}")}) {
    old_record(dir.path(), "S_20200101_000000_prod_x", "ingest_kik", R"({"mode": "test"})");
    old_record(dir.path(), "S_20210101_000000_prod_x", "ingest_kik", bad);
    EXPECT_EQ(decide().second, "mode değişti (test→prod)") << bad;
  }
}
