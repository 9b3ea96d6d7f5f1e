#include "kemora/pipeline/panogen/row_encoder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kemora/common/json.hpp"
#include "kemora/common/numfmt.hpp"

namespace pg = kemora::pipeline::panogen;
using kemora::common::json_dumps;
using kemora::common::json_parse;
using kemora::common::JsonDoc;

namespace {

JsonDoc J(const std::string& text) { return json_parse(text, "test"); }

std::string mio_text(const std::string& json_value) {
  std::string out;
  pg::append_mio(out, pg::_mio(J(json_value)));
  return out;
}

std::string score_text(const std::string& json_value) {
  std::string out;
  JsonDoc v = J(json_value);
  pg::append_score_code(out, &v);
  return out;
}

std::string encode(const std::string& row, const std::string& donemler = R"(["2401","2402"])",
                   const std::string& risk = R"(["2402"])", const pg::CodeMap& bolge = {},
                   const pg::CodeMap& sube = {}) {
  return json_dumps(pg::_row_to_array(J(row), J(donemler), J(risk), bolge, sube));
}

}  // namespace

TEST(Mio, WholeMillionsRoundHalfToEvenAndBecomeIntegers) {
  EXPECT_EQ(mio_text("2500000"), "2");
  EXPECT_EQ(mio_text("3500000"), "4");
  EXPECT_EQ(mio_text("1000000"), "1");
  EXPECT_EQ(mio_text("-1000000"), "-1");
  EXPECT_EQ(pg::_mio(J("1000000")).kind, pg::Mio::Kind::Integer);
  EXPECT_EQ(mio_text("14081141.3"), "14");
  EXPECT_EQ(mio_text("1e30"), "999999999999999983222784");  // the exact value of the double 1e24
}

TEST(Mio, BelowOneMillionIsARealWithOneDecimal) {
  EXPECT_EQ(mio_text("999999"), "1.0");  // |m| < 1 before rounding
  EXPECT_EQ(pg::_mio(J("999999")).kind, pg::Mio::Kind::Real);
  EXPECT_EQ(mio_text("250000"), "0.2");  // exact tie goes to even
  EXPECT_EQ(mio_text("350000"), "0.3");  // 0.35 lies below the tie in binary
  EXPECT_EQ(mio_text("50000"), "0.1");
  EXPECT_EQ(mio_text("0"), "0.0");
  EXPECT_EQ(mio_text("-40000"), "-0.0");
  EXPECT_TRUE(std::signbit(pg::_mio(J("-40000")).value));
  EXPECT_EQ(mio_text("-0.0"), "-0.0");
  EXPECT_EQ(mio_text("-450000"), "-0.5");
  EXPECT_EQ(mio_text("-960000"), "-1.0");
}

TEST(Mio, TextsNullAndOtherKinds) {
  EXPECT_EQ(mio_text(R"(" 1500000 ")"), "2");
  EXPECT_EQ(mio_text(R"("1_500_000")"), "2");
  EXPECT_EQ(mio_text(R"("+2.5e6")"), "2");
  EXPECT_EQ(mio_text(R"("abc")"), "null");
  EXPECT_EQ(mio_text(R"("")"), "null");
  EXPECT_EQ(mio_text(R"("1__0")"), "null");
  EXPECT_EQ(mio_text(R"("+-1")"), "null");
  EXPECT_EQ(mio_text(R"("NaN")"), "null");
  EXPECT_EQ(mio_text(R"x("nan(1)")x"), "null");
  EXPECT_EQ(mio_text("null"), "null");
  EXPECT_EQ(mio_text("NaN"), "null");
  EXPECT_EQ(mio_text("Infinity"), "null");  // no whole number of millions
  EXPECT_EQ(mio_text("[1]"), "null");
  EXPECT_EQ(mio_text("true"), "0.0");
}

TEST(ScoreCode, Rules) {
  EXPECT_EQ(score_text(R"("YI")"), "-1");
  EXPECT_EQ(score_text(R"("12")"), "12");
  EXPECT_EQ(score_text(R"(" -007 ")"), "-7");
  EXPECT_EQ(score_text("12.9"), "12");
  EXPECT_EQ(score_text("-12.9"), "-12");
  EXPECT_EQ(score_text("-0.5"), "0");
  EXPECT_EQ(score_text(R"("12.5")"), "null");
  EXPECT_EQ(score_text(R"("x")"), "null");
  EXPECT_EQ(score_text(R"("yi")"), "null");
  EXPECT_EQ(score_text("NaN"), "null");
  EXPECT_EQ(score_text("[3]"), "null");
  EXPECT_EQ(score_text("null"), "null");
  EXPECT_EQ(score_text("7"), "7");
  std::string missing;
  pg::append_score_code(missing, nullptr);
  EXPECT_EQ(missing, "null");
}

TEST(CodeKey, TypeAndTextTogether) {
  EXPECT_NE(pg::code_key(J(R"("101")")), pg::code_key(J("101")));
  EXPECT_NE(pg::code_key(J("101")), pg::code_key(J("101.0")));
  EXPECT_EQ(pg::code_key(J("101")), pg::code_key(J("101")));
  EXPECT_FALSE(pg::code_key(J("null")));
  EXPECT_THROW(pg::code_key(J("[1]")), std::runtime_error);
  EXPECT_EQ(pg::text_form(J("101.0")), "101.0");
  EXPECT_EQ(pg::text_form(J("1e16")), "1e+16");
  EXPECT_EQ(pg::text_form(J("true")), "True");
}

TEST(RowToArray, PositionsWithTwelveScorePeriodsAndSixRiskPeriods) {
  std::string d = "[", r = "[";
  for (int i = 1; i <= 12; ++i) d += (i > 1 ? ",\"" : "\"") + std::to_string(202300 + i) + "\"";
  for (int i = 7; i <= 12; ++i) r += (i > 7 ? ",\"" : "\"") + std::to_string(202300 + i) + "\"";
  d += "]";
  r += "]";
  std::string row = R"({"muta": 5, "kmr202312": 3, "r202307": 2000000, "rd202307": 100000, "df202312": -3000000,
                        "_kacirilan": 1, "_kmr_neden": "x"})";
  JsonDoc a = pg::_row_to_array(J(row), J(d), J(r), {}, {});
  ASSERT_EQ(a.Size(), 43u);  // 13 + D + 3R
  EXPECT_EQ(a[17].GetInt(), 3);                    // last score period
  EXPECT_EQ(a[18].GetInt(), 2);                    // first "r"
  EXPECT_EQ(a[24].GetDouble(), 0.1);               // first "rd"
  EXPECT_EQ(a[35].GetInt(), -3);                   // last "df"
  EXPECT_TRUE(a[19].IsNull());                     // missing risk value
  EXPECT_EQ(a[41].GetInt(), 1);                    // _kacirilan
  EXPECT_EQ(std::string(a[42].GetString()), "x");  // _kmr_neden
}

TEST(RowToArray, FixedPositionsAndDefaults) {
  EXPECT_EQ(encode("{}"), R"([null,"",-1,0.0,-1,-1,null,null,null,null,null,0,0,0,0,0,0,""])");
  EXPECT_EQ(encode(R"({"muta": "A1", "unvan": null, "segment": "KOBI", "son_risk": null,
                       "kmr2401": "YI", "kmr2402": "12", "r2402": "abc", "rd2402": 250000, "df2402": null,
                       "_hizli_yukselen": true, "_rejim_degisimi": false, "_potansiyel_yi": null,
                       "_erken_sinyal": 0.5, "_kmr_neden": null})"),
            R"(["A1","",1,null,-1,-1,-1,12,null,0.2,null,true,false,null,0.5,0,0,null])");
  EXPECT_EQ(encode(R"({"segment": "DIGER", "unvan": 0, "muta": {"a": [1, 2.50]}})"),
            R"([{"a":[1,2.5]},"",-1,0.0,-1,-1,null,null,null,null,null,0,0,0,0,0,0,""])");
}

TEST(RowToArray, UnvanIsCutToFortyCharactersNotBytes) {
  std::string name;
  for (int i = 0; i < 55; ++i) name += (i % 2 ? "ş" : "a");
  JsonDoc a = pg::_row_to_array(J("{\"unvan\": \"" + name + "\"}"), J("[1]"), J("[1]"), {}, {});
  std::string cut = a[1].GetString();
  std::string expected;
  for (int i = 0; i < 40; ++i) expected += (i % 2 ? "ş" : "a");
  EXPECT_EQ(cut, expected);
}

TEST(RowToArray, CodesGoThroughTheMapsByTypeAndText) {
  pg::CodeMap bolge{{*pg::code_key(J(R"("34")")), 0}, {*pg::code_key(J("34")), 1}};
  pg::CodeMap sube{{*pg::code_key(J("120")), 7}};
  EXPECT_EQ(encode(R"({"bolge_kodu": 34, "sube_kodu": 120})", "[1]", "[]", bolge, sube),
            R"([null,"",-1,0.0,1,7,null,0,0,0,0,0,0,""])");
  EXPECT_EQ(encode(R"({"bolge_kodu": "34", "sube_kodu": 120.0})", "[1]", "[]", bolge, sube),
            R"([null,"",-1,0.0,0,-1,null,0,0,0,0,0,0,""])");
  // Periods go into member names by their text form; a repeated member counts with its last value.
  EXPECT_EQ(encode(R"({"kmr1": 4, "kmr1": 5})", "[1]", "[]"), R"([null,"",-1,0.0,-1,-1,5,0,0,0,0,0,0,""])");
}

TEST(RowText, HtmlSpecialCharactersInTextsAreEscapedForThePage) {
  JsonDoc d = J("[1]"), r = J("[]");
  pg::RowEncoder encoder(d, r);
  pg::RowText text(encoder);
  JsonDoc row = J(R"({"unvan": "A&B </script>", "_kmr_neden": "<b>", "muta": "ç"})");
  for (const auto& m : row.GetObject())
    for (const auto& slot : encoder.slots_for(m.name.GetString())) text.set(slot, m.value);
  std::string out = "x";
  pg::RowSpan span = text.append_to(out);
  EXPECT_EQ(span.offset, 1u);
  out.insert(span.offset + span.head_size, "B,S");
  out.erase(0, 1);
  EXPECT_EQ(out, R"(["ç","A\u0026B \u003c/script\u003e",-1,0.0,B,S,null,0,0,0,0,0,0,"\u003cb\u003e"])");
}

TEST(RowToArray, DataErrorsStopTheEncoding) {
  EXPECT_THROW(encode(R"({"segment": ["KOBI"]})"), std::runtime_error);
  EXPECT_THROW(encode(R"({"bolge_kodu": {"a": 1}})"), std::runtime_error);
  EXPECT_THROW(encode(R"({"unvan": 5})"), std::runtime_error);
  EXPECT_THROW(encode(R"({"unvan": true})"), std::runtime_error);
  EXPECT_THROW(encode("[1]"), std::runtime_error);
}

TEST(Mio, TextMatchesPrintfRoundingOfTheQuotient) {
  // Whole millions as "%.0f" and smaller amounts as "%.1f" print the quotient:
  // both round the exact binary value, ties to even.
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> amount(-3e6, 3e6);
  for (int i = 0; i < 200000; ++i) {
    double tl = amount(rng);
    if (i % 3 == 0) tl = std::round(tl / 50000) * 50000;              // on a tie of the decimal
    if (i % 3 == 1) tl = std::nextafter(std::round(tl / 50000) * 50000, i % 2 ? 1e9 : -1e9);
    double m = tl / 1'000'000.0;
    std::string out;
    pg::append_mio(out, pg::mio_of(tl));
    ASSERT_EQ(out, kemora::common::format_fixed(m, std::fabs(m) >= 1 ? 0 : 1)) << tl;
  }
}

TEST(ScoreCode, IntegerTextsAsPythonReadsThem) {
  EXPECT_EQ(score_text(R"(" +12 ")"), "12");
  EXPECT_EQ(score_text(R"("-0")"), "0");
  EXPECT_EQ(score_text(R"("000")"), "0");
  EXPECT_EQ(score_text(R"("1_000")"), "1000");
  EXPECT_EQ(score_text(R"("123456789012345678901234567890")"), "123456789012345678901234567890");
  EXPECT_EQ(score_text(R"("1__0")"), "null");
  EXPECT_EQ(score_text(R"("_1")"), "null");
  EXPECT_EQ(score_text(R"("1_")"), "null");
  EXPECT_EQ(score_text(R"("-")"), "null");
  EXPECT_EQ(score_text(R"("")"), "null");
  EXPECT_EQ(score_text(R"("1 2")"), "null");
}

TEST(RowLayout, ThePageLayoutNamesWhereEachValueIsWritten) {
  // Distinct values in every position, so that a position named wrongly reads another member's value.
  JsonDoc d = J(R"(["2401", "2402", 2403])"), r = J(R"(["2402", "2403"])");
  JsonDoc row = J(R"({"_kmr_neden": "N", "df2403": 302e6, "df2402": 301e6, "rd2403": 202e6, "rd2402": 201e6,
                      "r2403": 102e6, "r2402": 101e6, "kmr2403": 43, "kmr2402": 42, "kmr2401": 41,
                      "_hizli_yukselen": "f0", "_rejim_degisimi": "f1", "_potansiyel_yi": "f2",
                      "_erken_sinyal": "f3", "_yakalanan": "f4", "_kacirilan": "f5",
                      "sube_kodu": "S", "bolge_kodu": "B", "son_risk": 7e6, "segment": "MIKRO",
                      "unvan": "U", "muta": "M"})");
  const pg::CodeMap bolge{{*pg::code_key(J(R"("B")")), 11}}, sube{{*pg::code_key(J(R"("S")")), 12}};
  JsonDoc array = pg::_row_to_array(row, d, r, bolge, sube);
  pg::RowEncoder encoder(d, r);
  JsonDoc layout = J(encoder.layout().page_text());
  ASSERT_TRUE(layout.IsObject());

  // Name -> the values expected from that position on (one for a member, one per period for a prefix).
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"muta", R"(["M"])"},         {"unvan", R"(["U"])"},       {"segment", "[2]"},
      {"son_risk", "[7]"},          {"bolge_kodu", "[11]"},      {"sube_kodu", "[12]"},
      {"kmr", "[41,42,43]"},        {"r", "[101,102]"},          {"rd", "[201,202]"},
      {"df", "[301,302]"},          {"_hizli_yukselen", R"(["f0"])"}, {"_rejim_degisimi", R"(["f1"])"},
      {"_potansiyel_yi", R"(["f2"])"}, {"_erken_sinyal", R"(["f3"])"}, {"_yakalanan", R"(["f4"])"},
      {"_kacirilan", R"(["f5"])"},  {"_kmr_neden", R"(["N"])"}};
  EXPECT_EQ(layout.MemberCount(), expected.size());
  std::vector<int> seen(array.Size(), 0);
  for (const auto& [name, values_text] : expected) {
    SCOPED_TRACE(name);
    auto it = layout.FindMember(name.c_str());
    ASSERT_NE(it, layout.MemberEnd());
    ASSERT_TRUE(it->value.IsUint());
    const unsigned start = it->value.GetUint();
    JsonDoc values = J(values_text);
    ASSERT_LE(start + values.Size(), array.Size());
    for (rapidjson::SizeType k = 0; k < values.Size(); ++k) {
      EXPECT_EQ(json_dumps(array[start + k]), json_dumps(values[k])) << "position " << start + k;
      ++seen[start + k];
    }
  }
  // Every position of the array is named, and only once.
  EXPECT_EQ(seen, std::vector<int>(array.Size(), 1));
  EXPECT_EQ(array.Size(), encoder.width());
  EXPECT_EQ(encoder.layout().width(), encoder.width());
}

TEST(RowLayout, PositionsFollowThePeriodCounts) {
  // Without risk periods the flags follow the scores at once; without any periods, the fixed positions.
  for (auto [donemler, risk, width] : {std::tuple{"[]", "[]", 13u}, {"[1,2,3,4]", "[]", 17u}, {"[1]", "[1,2,3]", 23u}}) {
    SCOPED_TRACE(donemler + std::string(" ") + risk);
    JsonDoc d = J(donemler), r = J(risk);
    pg::RowEncoder encoder(d, r);
    JsonDoc layout = J(encoder.layout().page_text());
    JsonDoc empty_row = pg::_row_to_array(J(R"({"_kmr_neden": "N", "_hizli_yukselen": 9})"), d, r, {}, {});
    EXPECT_EQ(empty_row.Size(), width);
    EXPECT_EQ(json_dumps(empty_row[layout["_kmr_neden"].GetUint()]), R"("N")");
    EXPECT_EQ(json_dumps(empty_row[layout["_hizli_yukselen"].GetUint()]), "9");
    EXPECT_EQ(layout["r"].GetUint(), layout["kmr"].GetUint() + d.Size());
    EXPECT_EQ(layout["_hizli_yukselen"].GetUint(), layout["df"].GetUint() + r.Size());
  }
}
