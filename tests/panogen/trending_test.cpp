#include "kemora/pipeline/panogen/trending.hpp"

#include <gtest/gtest.h>

#include <string>

#include "kemora/common/atomic_file.hpp"
#include "kemora/common/json.hpp"
#include "test_support.hpp"

namespace pg = kemora::pipeline::panogen;
using kemora::common::json_parse;
using kemora::common::json_parse_file;
using kemora::common::read_file;

namespace {

// Inputs and expected sections written by trending_oracle.py from the layout tables.
const std::string kData = std::string(KEMORA_SOURCE_DIR) + "/tests/panogen/data/trending/";

std::string section(const std::string& json) { return pg::_build_trending_html(json_parse(json, "trending")); }

std::size_t count(const std::string& s, const std::string& what) {
  std::size_t n = 0;
  for (auto at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(TrendingSection, EmptyWhenNoListHasEntries) {
  EXPECT_EQ(section("{}"), "");
  EXPECT_EQ(section(R"({"fastest_rising": [], "regime_change": null, "persistent_high": [], "low_but_rising": []})"), "");
  EXPECT_EQ(section(R"({"other": [{"muta": 1}]})"), "");
}

TEST(TrendingSection, MatchesTheLayoutByteForByte) {
  for (const char* name : {"one_list", "all_lists", "many_records"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(pg::_build_trending_html(json_parse_file(kData + name + ".json")), read_file(kData + name + ".html"));
  }
}

TEST(TrendingSection, OneListGivesOneCard) {
  std::string s = pg::_build_trending_html(json_parse_file(kData + "one_list.json"));
  EXPECT_EQ(count(s, "<h3 "), 1u);
  EXPECT_NE(s.find(">Düsük ama Yükselen</h3>"), std::string::npos);
  EXPECT_NE(s.find(">2.35</td>"), std::string::npos);
  EXPECT_NE(s.find("<td style=\"font-weight:600\">None</td>"), std::string::npos);
}

TEST(TrendingSection, CardsFollowTheFixedOrder) {
  std::string s = pg::_build_trending_html(json_parse_file(kData + "all_lists.json"));
  auto a = s.find("En Hizli"), b = s.find("Rejim Degisimi"), c = s.find("Kalici Yüksek"), d = s.find("Düsük ama");
  ASSERT_NE(d, std::string::npos);
  EXPECT_TRUE(a < b && b < c && c < d);
}

TEST(TrendingSection, EveryRecordIsShown) {
  std::string s = pg::_build_trending_html(json_parse_file(kData + "many_records.json"));
  EXPECT_NE(s.find("(250 firma)"), std::string::npos);
  EXPECT_EQ(count(s, "<tr>"), 250u);
}

TEST(TrendingSection, CellTextsAreHtmlEscaped) {
  std::string s = section(R"({"regime_change": [{"muta": "<script>", "unvan": "A & B", "reason": "x<y"}]})");
  EXPECT_NE(s.find(">&lt;script&gt;</td>"), std::string::npos);
  EXPECT_NE(s.find("<td>A &amp; B</td>"), std::string::npos);
  EXPECT_NE(s.find(">x&lt;y</td>"), std::string::npos);
  EXPECT_EQ(s.find("<script>"), std::string::npos);
}

TEST(TrendingSection, RejectsWrongKinds) {
  EXPECT_THROW(section("[]"), std::invalid_argument);
  EXPECT_THROW(section(R"({"fastest_rising": {"muta": 1}})"), std::runtime_error);
  EXPECT_THROW(section(R"({"fastest_rising": [1]})"), std::runtime_error);
}

// A trending file from outside: every error names it, and no text that is not
// UTF-8 reaches the section.
TEST(TrendingFile, ErrorsNameTheFile) {
  kemora::test::TempDir dir;
  const auto path = (dir / "trending.json").string();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"fastest_rising": 5})", path + ": fastest_rising must be a list"},
      {R"([1])", path + ": the trending lists must be a JSON object"},
      {R"({"fastest_rising": [7]})", path + ": fastest_rising[0] is not a map"},
      {std::string(R"({"fastest_rising": [{"unvan": ")") + "\xc3\x28" + R"("}]})", path + ": invalid JSON at byte 31: text is not valid UTF-8"},
      {R"({"fastest_rising": [{"unvan": "\udc00"}]})", path + ": invalid JSON at byte 31: text is not valid UTF-8"},
      {R"({"fastest_rising": [{"unvan": )" + std::string(100000, '[') + "}]}", path + ": invalid JSON at byte 539: too deeply nested"},
  };
  for (const auto& [text, message] : cases) {
    kemora::test::write_text(path, text);
    try {
      pg::trending_html_from_file(path);
      ADD_FAILURE() << "no error for " << text.substr(0, 60);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, message.size()), message);
    }
  }
  EXPECT_THROW(pg::trending_html_from_file((dir / "none.json").string()), std::runtime_error);
}
