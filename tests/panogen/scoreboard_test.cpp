#include "kemora/pipeline/panogen/scoreboard.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kemora/common/json.hpp"
#include "test_support.hpp"

namespace pg = kemora::pipeline::panogen;
using kemora::common::json_dumps;
using kemora::common::json_parse;
using kemora::common::JsonDoc;

namespace {

const std::vector<std::string> kDonemler = {"2401", "2402", "2403"};
const std::vector<std::string> kRiskDonemler = {"2402", "2403"};

/// Random scoreboard rows with every kind of value each member may hold
/// (integers, reals near rounding ties, number texts, texts with characters
/// the page must not see raw, null, booleans, lists and maps), members in
/// shuffled order, some missing and some repeated.
class RowMaker {
 public:
  explicit RowMaker(unsigned seed) : rng_(seed) {}

  std::string row() {
    std::vector<std::string> members;
    auto add = [&](const std::string& key, const std::string& value) {
      if (pick(8) == 0) return;  // missing
      members.push_back("\"" + key + "\": " + value);
      if (pick(20) == 0) members.push_back("\"" + key + "\": " + value_for(key));  // repeated
    };
    add("muta", pass_through());
    add("unvan", unvan());
    add("segment", segment());
    add("son_risk", number());
    add("bolge_kodu", code());
    add("sube_kodu", code());
    for (const auto& d : kDonemler) add("kmr" + d, score());
    for (const auto& d : kRiskDonemler) {
      add("r" + d, amount());
      add("rd" + d, amount());
      add("df" + d, amount());
    }
    for (const char* flag : {"_hizli_yukselen", "_rejim_degisimi", "_potansiyel_yi", "_erken_sinyal",
                             "_yakalanan", "_kacirilan", "_kmr_neden"})
      add(flag, pass_through());
    add("extra_note", text());
    std::shuffle(members.begin(), members.end() - (pick(2) ? 0 : static_cast<long>(members.size()) / 2), rng_);
    std::string s = "{";
    for (std::size_t i = 0; i < members.size(); ++i) s += (i ? ", " : "") + members[i];
    return s + "}";
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::string value_for(const std::string& key) {
    if (key == "unvan") return unvan();
    if (key == "segment") return segment();
    if (key == "son_risk") return number();
    if (key.ends_with("kodu")) return code();
    if (key.starts_with("kmr")) return score();
    if (key.starts_with("r") || key.starts_with("df")) return amount();
    return pass_through();
  }
  std::string integer() {
    switch (pick(5)) {
      case 0: return std::to_string(pick(3));
      case 1: return std::to_string(-pick(1000000000));
      case 2: return "9223372036854775807";
      case 3: return "18446744073709551615";  // above the int64 range
      default: return std::to_string(static_cast<long long>(pick(100000)) * 50000);  // whole and half millions
    }
  }
  std::string real() {
    static const char* kReals[] = {"250000.0", "350000.0", "-40000.0", "-0.0", "0.0", "1e30", "1.5e-7",
                                   "999999.9", "-2500000.0", "12.9", "-12.9", "NaN", "Infinity", "-Infinity"};
    if (pick(2)) return kReals[pick(static_cast<int>(std::size(kReals)))];
    double m = std::uniform_real_distribution<double>(-3e6, 3e6)(rng_);
    if (pick(3) == 0) m = std::round(m / 50000) * 50000 + (pick(3) - 1) * 1e-9;  // at or next to a tie
    return kemora::common::json_dumps(JsonDoc().SetDouble(m));
  }
  std::string number() { return pick(4) == 0 ? "null" : pick(2) ? integer() : real(); }
  std::string text() {
    static const char* kTexts[] = {R"("")", R"("Gıda A.Ş.")", R"("A&B <b>\"x\" \\ y")", R"("tab\there\u0001")",
                                   R"("ÇĞİÖŞÜ çğıöşü ÇĞİÖŞÜ çğıöşü ÇĞİÖŞÜ çğıöşü ÇĞİÖŞÜ")", R"("\u2028")"};
    return kTexts[pick(static_cast<int>(std::size(kTexts)))];
  }
  std::string number_text() {
    static const char* kTexts[] = {R"(" 1500000 ")", R"("1_500_000")", R"("+2.5e6")", R"("abc")", R"("12")",
                                   R"(" -007 ")", R"("12.5")", R"("YI")", R"("yi")", R"("nan")", R"("1__0")"};
    return kTexts[pick(static_cast<int>(std::size(kTexts)))];
  }
  std::string pass_through() {
    switch (pick(6)) {
      case 0: return integer();
      case 1: return real();
      case 2: return text();
      case 3: return pick(2) ? "true" : "null";
      case 4: return R"([1, {"a": "<"}])";
      default: return std::to_string(pick(2));
    }
  }
  std::string unvan() {
    switch (pick(5)) {
      case 0: return "null";
      case 1: return pick(2) ? "0" : "false";
      case 2: return R"(["a", 2])";
      default: return text();
    }
  }
  std::string segment() {
    static const char* kSegments[] = {R"("KOBI")", R"("ESKK")", R"("DIGER")", "3", "null", "true"};
    return kSegments[pick(static_cast<int>(std::size(kSegments)))];
  }
  std::string code() {
    static const char* kCodes[] = {R"("B01")", R"("B02")", "101", "101.0", "null", "true", R"("101")"};
    return kCodes[pick(static_cast<int>(std::size(kCodes)))];
  }
  std::string score() { return pick(3) == 0 ? number_text() : pick(4) == 0 ? "null" : pick(2) ? integer() : real(); }
  std::string amount() {
    switch (pick(4)) {
      case 0: return number_text();
      case 1: return pick(2) ? "null" : "true";
      default: return number();
    }
  }

  std::mt19937 rng_;
};

std::string periods(const std::vector<std::string>& list) {
  std::string s = "[";
  for (std::size_t i = 0; i < list.size(); ++i) s += (i ? ", \"" : "\"") + list[i] + "\"";
  return s + "]";
}

/// The row's text as the row encoding gives it for the row as a whole value,
/// without the two code positions.
std::string expected_text(const pg::RowEncoder& encoder, const kemora::common::Json& row) {
  pg::RowText text(encoder);
  for (const auto& m : row.GetObject())
    for (const auto& slot : encoder.slots_for(std::string_view(m.name.GetString(), m.name.GetStringLength())))
      if (slot.rule != pg::RowEncoder::Rule::Bolge && slot.rule != pg::RowEncoder::Rule::Sube) text.set(slot, m.value);
  std::string out;
  text.append_to(out);
  return out;
}

/// The last value stored under `key`, or nullptr.
const kemora::common::Json* member(const kemora::common::Json& row, const char* key) {
  const kemora::common::Json* found = nullptr;
  for (const auto& m : row.GetObject())
    if (std::string_view(m.name.GetString(), m.name.GetStringLength()) == key) found = &m.value;
  return found;
}

/// Everything a render takes from a reading, as text (rows with their text,
/// key bits and code ids, the code tables in id order), or the error it gave.
std::string reading(const std::filesystem::path& path, unsigned threads) {
  try {
    pg::Scoreboard sb = pg::read_scoreboard(path, nullptr, threads);
    std::string out = json_dumps(sb.meta) + "\n" + json_dumps(sb.donemler) + "\n" + json_dumps(sb.risk_donemler) +
                      "\n" + json_dumps(sb.flow_matrix) + "\n" + json_dumps(sb.band_snapshot) + "\n" +
                      (sb.has_periods ? "periods\n" : "no periods\n");
    for (const pg::EncodedRow& row : sb.rows) {
      std::uint64_t key_bits;
      std::memcpy(&key_bits, &row.sort_key, sizeof key_bits);
      out += std::string(row.head()) + "|" + std::string(row.tail()) + " " + std::to_string(key_bits) + " " +
             std::to_string(row.bolge_id) + " " + std::to_string(row.sube_id) + "\n";
    }
    for (std::size_t i = 0; i < sb.bolge_codes.size(); ++i) out += "bolge " + sb.bolge_codes.key(static_cast<int>(i)) + "\n";
    for (std::size_t i = 0; i < sb.sube_codes.size(); ++i) out += "sube " + sb.sube_codes.key(static_cast<int>(i)) + "\n";
    return out;
  } catch (const std::runtime_error& e) {
    return std::string("error: ") + e.what();
  }
}

/// The reading of `text` with one group, checked to be the same with 2, 3
/// and 7 groups.
std::string read_in_groups(const std::string& text) {
  kemora::test::TempDir dir;
  kemora::test::write_text(dir / "sb.json", text);
  const std::string one = reading(dir / "sb.json", 1);
  for (unsigned threads : {2u, 3u, 7u}) EXPECT_EQ(reading(dir / "sb.json", threads), one) << threads << " groups";
  return one;
}

const std::string kMeta = R"("meta": {"donemler": ["2401"], "risk_donemler": ["2401"]})";

/// A scoreboard with `count` plain rows, row `i` replaced by replacements[i].
std::string plain_rows(int count, const std::vector<std::pair<int, std::string>>& replacements = {}) {
  std::string s;
  for (int i = 0; i < count; ++i) {
    std::string row = R"({"unvan": "u)" + std::to_string(i) + R"(", "son_risk": )" + std::to_string(i * 250000) +
                      R"(, "bolge_kodu": "B)" + std::to_string(i % 3) + R"(", "sube_kodu": )" + std::to_string(i % 5) +
                      "}";
    for (const auto& [at, text] : replacements)
      if (at == i) row = text;
    s += (i ? ", " : "") + row;
  }
  return s;
}

}  // namespace

TEST(ReadScoreboardInGroups, GivesWhatOneGroupGives) {
  RowMaker maker(7);
  std::string text = R"({"meta": {"donemler": )" + periods(kDonemler) + R"(, "risk_donemler": )" +
                     periods(kRiskDonemler) + R"(}, "rows": [)";
  const char* separators[] = {", ", ",", "\n  ,\n  ", " ,"};
  for (int i = 0; i < 600; ++i) text += (i ? separators[i % 4] : "") + maker.row();
  // Codes that first appear in the last rows, and so in a later group.
  text += R"(, {"bolge_kodu": "LATE", "sube_kodu": 9001}, {"bolge_kodu": 77, "sube_kodu": "late"})";
  text += R"(], "flow_matrix": [{"a": 1}, {"b": 2}], "band_snapshot": {"x": [{"y": 1}, {"z": 2}]}})";
  const std::string one = read_in_groups(text);
  EXPECT_EQ(one.rfind("error", 0), std::string::npos) << one;
  EXPECT_NE(one.find("bolge sLATE\n"), std::string::npos);
  EXPECT_NE(one.find("sube slate\n"), std::string::npos);
}

TEST(ReadScoreboardInGroups, TheErrorIsThatOfTheFirstFaultyRow) {
  const std::string unvan = R"({"unvan": 2.5})";
  const struct {
    const char* name;
    std::vector<std::pair<int, std::string>> rows;
    const char* message;
  } cases[] = {
      {"value in the last group", {{18, unvan}}, "rows[18]: unvan must be a text, not a number"},
      {"values in several groups", {{3, unvan}, {11, "7"}, {18, unvan}}, "rows[3]: unvan must be a text, not a number"},
      {"row that is no map, then a value", {{5, "[1]"}, {15, unvan}}, "rows[5] is not a map"},
      {"value, then a row that is no map", {{5, R"({"segment": {}})"}, {15, "null"}}, "rows[5]: segment cannot be a map"},
      {"syntax after a value", {{6, unvan}, {16, "{,}"}}, "invalid JSON at byte"},
      {"text that is not UTF-8", {{2, unvan}, {13, "{\"unvan\": \"\xff\"}"}}, "rows[13]: invalid JSON at byte"},
      {"list end missing", {{19, R"({"unvan": "a"}, )"}}, "invalid JSON at byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string one = read_in_groups("{" + kMeta + R"(, "rows": [)" + plain_rows(20, c.rows) + "]}");
    EXPECT_NE(one.find(c.message), std::string::npos) << one;
  }
}

TEST(ReadScoreboardInGroups, MetaAfterTheRowsAndTheLastMemberOfEachName) {
  // Rows before meta are encoded with the periods of the meta after them.
  const std::string meta_first = read_in_groups("{" + kMeta + R"(, "rows": [)" + plain_rows(20) + "]}");
  EXPECT_EQ(read_in_groups(R"({"rows": [)" + plain_rows(20) + "], " + kMeta + "}"), meta_first);
  // A member given twice counts with its last value, as in a map.
  EXPECT_EQ(read_in_groups("{" + kMeta + R"(, "rows": [7], "rows": [)" + plain_rows(20) +
                           R"(], "meta": {"donemler": ["2401", "2402"]}})"),
            read_in_groups(R"({"meta": {"donemler": ["2401", "2402"]}, "rows": [)" + plain_rows(20) + "]}"));
  EXPECT_NE(read_in_groups("{" + kMeta + R"(, "rows": [{}], "rows": "x"})").find(": rows must be a list, not a text"),
            std::string::npos);
}

TEST(ReadScoreboard, StreamedRowsEncodeAsWholeRowsDo) {
  RowMaker maker(20240611);
  std::vector<std::string> rows;
  for (int i = 0; i < 3000; ++i) rows.push_back(maker.row());
  std::string text = R"({"meta": {"donemler": )" + periods(kDonemler) +
                     R"(, "risk_donemler": )" + periods(kRiskDonemler) + R"(}, "rows": [)";
  for (std::size_t i = 0; i < rows.size(); ++i) text += (i ? ",\n" : "") + rows[i];
  text += "]}";
  kemora::test::TempDir dir;
  kemora::test::write_text(dir / "sb.json", text);

  pg::Scoreboard sb = pg::read_scoreboard(dir / "sb.json", nullptr);
  ASSERT_EQ(sb.rows.size(), rows.size());
  JsonDoc d = json_parse(periods(kDonemler), "d"), r = json_parse(periods(kRiskDonemler), "r");
  pg::RowEncoder encoder(d, r);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i]);
    JsonDoc row = json_parse(rows[i], "row");
    const pg::EncodedRow& e = sb.rows[i];
    EXPECT_EQ(std::string(e.head()) + std::string(e.tail()), expected_text(encoder, row));

    const auto* son_risk = member(row, "son_risk");
    double key = son_risk == nullptr || son_risk->IsNull() ? 0 : son_risk->IsNumber() ? son_risk->GetDouble() : -1;
    if (son_risk && son_risk->IsBool()) key = son_risk->GetBool() ? 1 : 0;
    if (std::isnan(key)) EXPECT_TRUE(std::isnan(e.sort_key));
    else EXPECT_EQ(e.sort_key, key);

    for (auto [name, id, table] : {std::tuple{"bolge_kodu", e.bolge_id, &sb.bolge_codes},
                                   std::tuple{"sube_kodu", e.sube_id, &sb.sube_codes}}) {
      const auto* code = member(row, name);
      auto want = code ? pg::code_key(*code) : std::nullopt;
      if (!want) {
        EXPECT_EQ(id, -1) << name;
      } else {
        ASSERT_GE(id, 0) << name;
        EXPECT_EQ(table->key(id), *want) << name;
      }
    }
  }
}

TEST(ReadScoreboard, DataErrorsNameTheRow) {
  kemora::test::TempDir dir;
  kemora::test::write_text(dir / "sb.json", R"({"meta": {"donemler": [1]}, "rows": [{"unvan": "a"}, {"unvan": 2.5}]})");
  try {
    pg::read_scoreboard(dir / "sb.json", nullptr);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), (dir / "sb.json").string() + ": rows[1]: unvan must be a text, not a number");
  }
}

// Hostile files: each read ends in an error naming the file, never in a crash.
TEST(ReadScoreboard, ReadsNothingPastTheEndOfTheFile) {
  kemora::test::TempDir dir;
  // A whole page, so that one byte further is unmapped memory.
  for (const std::string& tail : {std::string("\"meta\""), std::string("\"meta\"   "), std::string("\"rows\""),
                                 std::string("\"meta\":"), std::string("\"meta\": ")}) {
    std::string text = "{" + std::string(4096 - 1 - tail.size(), ' ') + tail;
    ASSERT_EQ(text.size(), 4096u);
    kemora::test::write_text(dir / "sb.json", text);
    try {
      pg::read_scoreboard(dir / "sb.json", nullptr);
      ADD_FAILURE() << "no error for " << tail;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find((dir / "sb.json").string() + ": invalid JSON at byte 4096"),
                std::string::npos) << e.what();
    }
  }
}

TEST(ReadScoreboard, TextThatIsNotUtf8IsAnErrorNamingByteAndRow) {
  kemora::test::TempDir dir;
  const std::string head = R"({"meta": {"donemler": ["2401"]}, "rows": [{"unvan": "ok"}, )";
  struct Case {
    std::string text;
    std::size_t offset;
    std::string where;
  };
  const std::vector<Case> cases = {
      {head + "{\"unvan\": \"A\xff\"}]}", head.size() + 12, "rows[1]: "},               // firm name
      {head + "{\"muta\": \"1\", \"kod\xc3\": 1}]}", head.size() + 18, "rows[1]: "},   // member name, cut short
      {head + "{\"segment\": \"\xe0\x80\xaf\"}]}", head.size() + 13, "rows[1]: "},     // overlong
      {head + "{\"bolge_kodu\": \"\xed\xa0\x80\"}]}", head.size() + 16, "rows[1]: "},  // encoded surrogate
      {head + "{\"unvan\": \"x\\udc00\"}]}", head.size() + 12, "rows[1]: "},           // lone surrogate escape
      {head + "{\"unvan\": [\"\xc3\"]}]}", head.size() + 12, "rows[1]: "},             // inside a list cell
      {std::string(R"({"meta": {"donemler": ["2401"], "not": ")") + "\xfe" + R"("}, "rows": []})", 40, ""},            // meta
  };
  for (const Case& c : cases) {
    kemora::test::write_text(dir / "sb.json", c.text);
    try {
      pg::read_scoreboard(dir / "sb.json", nullptr);
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), (dir / "sb.json").string() + ": " + c.where + "invalid JSON at byte " +
                                           std::to_string(c.offset) + ": text is not valid UTF-8")
          << c.text;
    }
  }
}

TEST(ReadScoreboard, NestingBeyondTheLimitIsAnError) {
  kemora::test::TempDir dir;
  const std::string head = R"({"meta": {"donemler": ["2401"]}, "rows": [{"unvan": )";
  kemora::test::write_text(dir / "sb.json", head + std::string(200000, '[') + "}");
  try {
    pg::read_scoreboard(dir / "sb.json", nullptr);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), (dir / "sb.json").string() + ": rows[0]: invalid JSON at byte " +
                                         std::to_string(head.size() + 512 - 3) +
                                         ": too deeply nested (more than 512 levels)");
  }
}

TEST(SortRows, DescendingStableWithNaNLastAndBothZerosAlike) {
  const double nan = std::nan("");
  const double keys[] = {1, nan, -0.0, 5, 0.0, -3, 5, nan, -1e300, 1e300, -0.0, -INFINITY, INFINITY};
  std::vector<pg::EncodedRow> rows;
  for (std::size_t i = 0; i < std::size(keys); ++i)
    rows.push_back({keys[i], nullptr, 0, 0, static_cast<std::int32_t>(i), -1});
  pg::sort_rows(rows);
  std::vector<int> order;
  for (const auto& r : rows) order.push_back(r.bolge_id);
  EXPECT_EQ(order, (std::vector<int>{12, 9, 3, 6, 0, 2, 4, 10, 5, 8, 11, 1, 7}));
}
