#include "kemora/pipeline/panogen/code_table.hpp"
#include "kemora/pipeline/panogen/row_encoder.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "kemora/common/json.hpp"

namespace fs = std::filesystem;
namespace pg = kemora::pipeline::panogen;
using kemora::common::json_dumps;
using kemora::common::json_parse;
using kemora::common::JsonDoc;

namespace {

class RegionMaps : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kemora_region_maps_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write_csv(const std::string& text) {
    auto path = dir_ / "sube_bolge_ref.csv";
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  /// BOLGE_LIST and SUBE_LIST as compact JSON texts, joined by " | ".
  std::string lists(const std::string& rows, std::optional<std::string> csv = std::nullopt) {
    JsonDoc doc = json_parse(rows, "rows");
    pg::BolgeSubeMaps m = pg::_build_bolge_sube_maps(doc, csv);
    return json_dumps(m.BOLGE_LIST) + " | " + json_dumps(m.SUBE_LIST);
  }

  fs::path dir_;
};

}  // namespace

TEST_F(RegionMaps, WithoutReferenceNamesAreMadeUpFromTheCodes) {
  EXPECT_EQ(lists(R"([{"bolge_kodu": 34, "sube_kodu": 120}])"),
            R"([{"kodu":34,"adi":"Bölge 34"}] | [{"kodu":120,"adi":"Şube 120","bolge_idx":0}])");
  // A path where nothing exists, and an empty path, behave the same.
  EXPECT_EQ(lists(R"([{"bolge_kodu": 34}])", (dir_ / "missing.csv").string()), R"([{"kodu":34,"adi":"Bölge 34"}] | [])");
  EXPECT_EQ(lists(R"([{"bolge_kodu": 34}])", ""), R"([{"kodu":34,"adi":"Bölge 34"}] | [])");
}

TEST_F(RegionMaps, OrderOfFirstAppearanceAndMaps) {
  JsonDoc rows = json_parse(R"([{"bolge_kodu": "B2", "sube_kodu": 7}, {"bolge_kodu": "B1", "sube_kodu": 8},
                                {"bolge_kodu": "B2", "sube_kodu": 9}, {"sube_kodu": 7}])", "rows");
  pg::BolgeSubeMaps m = pg::_build_bolge_sube_maps(rows);
  EXPECT_EQ(json_dumps(m.BOLGE_LIST), R"([{"kodu":"B2","adi":"Bölge B2"},{"kodu":"B1","adi":"Bölge B1"}])");
  EXPECT_EQ(m.BOLGE_MAP.at(*pg::code_key(json_parse(R"("B1")", "k"))), 1);
  EXPECT_EQ(m.SUBE_MAP.at(*pg::code_key(json_parse("9", "k"))), 2);
  EXPECT_EQ(m.SUBE_LIST[2]["bolge_idx"].GetInt(), 0);
}

TEST_F(RegionMaps, EmptyCodesAndEmptyReferenceNames) {
  std::string csv = write_csv("bolge_kodu,bolge_adi,sube_kodu,sube_adi\nB1,,S1,\n");
  EXPECT_EQ(lists(R"([{"bolge_kodu": "B1", "sube_kodu": "S1"}])", csv),
            R"([{"kodu":"B1","adi":"Bölge B1"}] | [{"kodu":"S1","adi":"","bolge_idx":0}])");
  EXPECT_EQ(lists(R"([{"bolge_kodu": "", "sube_kodu": ""}])"),
            R"([{"kodu":"","adi":"Bölge "}] | [{"kodu":"","adi":"Şube ","bolge_idx":0}])");
}

TEST_F(RegionMaps, ABranchTakesTheRegionOfItsFirstRow) {
  EXPECT_EQ(lists(R"([{"sube_kodu": 5}, {"bolge_kodu": 1, "sube_kodu": 5}])"),
            R"([{"kodu":1,"adi":"Bölge 1"}] | [{"kodu":5,"adi":"Şube 5","bolge_idx":-1}])");
  EXPECT_EQ(lists(R"([{"bolge_kodu": 1, "sube_kodu": 5}, {"bolge_kodu": 2, "sube_kodu": 5}])"),
            R"([{"kodu":1,"adi":"Bölge 1"},{"kodu":2,"adi":"Bölge 2"}] | [{"kodu":5,"adi":"Şube 5","bolge_idx":0}])");
  EXPECT_EQ(lists(R"([{"bolge_kodu": null, "sube_kodu": null}])"), "[] | []");
}

TEST_F(RegionMaps, StringAndNumberCodesAreDifferentCodes) {
  std::string csv = write_csv("bolge_kodu,bolge_adi,sube_kodu,sube_adi\n101,Ege,7,Merkez\n");
  // The reference matches by text form: "101" and 101 both read 101, the real 101.0 does not.
  EXPECT_EQ(lists(R"([{"bolge_kodu": "101", "sube_kodu": 7}, {"bolge_kodu": 101, "sube_kodu": "7"},
                      {"bolge_kodu": 101.0, "sube_kodu": 7.0}])", csv),
            R"([{"kodu":"101","adi":"Ege"},{"kodu":101,"adi":"Ege"},{"kodu":101.0,"adi":"Bölge 101.0"}] | )"
            R"([{"kodu":7,"adi":"Merkez","bolge_idx":0},{"kodu":"7","adi":"Merkez","bolge_idx":1},)"
            R"({"kodu":7.0,"adi":"Şube 7.0","bolge_idx":2}])");
}

TEST_F(RegionMaps, ByteOrderMarkStaysInTheFirstColumnName) {
  std::string csv = write_csv("\xEF\xBB\xBF" "bolge_kodu,bolge_adi,sube_kodu,sube_adi\nB1,Ege,S1,Merkez\n");
  EXPECT_EQ(lists(R"([{"bolge_kodu": "B1", "sube_kodu": "S1"}])", csv),
            R"([{"kodu":"B1","adi":"Bölge B1"}] | [{"kodu":"S1","adi":"Merkez","bolge_idx":0}])");
}

TEST_F(RegionMaps, DuplicatesQuotingBlankLinesAndColumnOrder) {
  std::string csv = write_csv(
      "sube_adi,sube_kodu,extra,bolge_adi,bolge_kodu\r\n"
      "\"Kadıköy, \"\"Merkez\"\"\",S1,x, Marmara ,B1\r\n"
      "\r\n"
      "Başka,S1,x,Başka,B1\r\n"
      "\"iki\nsatır\",S2,x,İç Anadolu,B2\r\n");
  EXPECT_EQ(lists(R"([{"bolge_kodu": "B1", "sube_kodu": "S1"}, {"bolge_kodu": "B2", "sube_kodu": "S2"}])", csv),
            R"([{"kodu":"B1","adi":" Marmara "},{"kodu":"B2","adi":"İç Anadolu"}] | )"
            R"([{"kodu":"S1","adi":"Kadıköy, \"Merkez\"","bolge_idx":0},{"kodu":"S2","adi":"iki\nsatır","bolge_idx":1}])");
}

TEST_F(RegionMaps, ShortLines) {
  std::string csv = write_csv(
      "bolge_kodu,sube_kodu,bolge_adi,sube_adi\n"
      "B1,S1,Ege\n"   // no sube_adi: the branch has no name (null)
      "B2,S2\n"       // no bolge_adi: the region gets the made-up name
      "B3\n");        // no branch code: enters no branch
  EXPECT_EQ(lists(R"([{"bolge_kodu": "B1", "sube_kodu": "S1"}, {"bolge_kodu": "B2", "sube_kodu": "S2"},
                      {"bolge_kodu": "B3", "sube_kodu": "S3"}])", csv),
            R"([{"kodu":"B1","adi":"Ege"},{"kodu":"B2","adi":"Bölge B2"},{"kodu":"B3","adi":"Bölge B3"}] | )"
            R"([{"kodu":"S1","adi":null,"bolge_idx":0},{"kodu":"S2","adi":null,"bolge_idx":1},)"
            R"({"kodu":"S3","adi":"Şube S3","bolge_idx":2}])");
}

TEST_F(RegionMaps, NoRowsGiveEmptyResults) {
  JsonDoc rows = json_parse("[]", "rows");
  pg::BolgeSubeMaps m = pg::_build_bolge_sube_maps(rows, write_csv("bolge_kodu,bolge_adi\nB1,Ege\n"));
  EXPECT_EQ(m.BOLGE_LIST.Size(), 0u);
  EXPECT_EQ(m.SUBE_LIST.Size(), 0u);
  EXPECT_TRUE(m.BOLGE_MAP.empty());
  EXPECT_TRUE(m.SUBE_MAP.empty());
}

TEST_F(RegionMaps, Errors) {
  EXPECT_THROW(lists(R"([{"bolge_kodu": 1}, 5])"), std::runtime_error);
  EXPECT_THROW(lists(R"([{"bolge_kodu": [1]}])"), std::runtime_error);
  // A reference path that exists but is no readable UTF-8 text file.
  EXPECT_THROW(lists("[]", dir_.string()), std::runtime_error);
  std::string bad = write_csv("bolge_kodu,bolge_adi\nB1,\xff\xfe\n");
  try {
    lists("[]", bad);
    FAIL() << "invalid UTF-8 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("(invalid byte at offset 24)"), std::string::npos) << e.what();
  }
  // The offset is that of the first byte of the malformed sequence: here an
  // encoded surrogate after a well-formed two-byte character.
  bad = write_csv("bolge_kodu,bolge_adi\nB1,Ç\xed\xa0\x80\n");
  try {
    lists("[]", bad);
    FAIL() << "an encoded surrogate accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("(invalid byte at offset 26)"), std::string::npos) << e.what();
  }
}
