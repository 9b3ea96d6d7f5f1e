#include "kemora/common/json_scan.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kemora/common/json.hpp"

using namespace kemora::common;

namespace {

bool parses(std::string_view text) {
  try {
    json_parse(text, "t");
    return true;
  } catch (const JsonParseError&) {
    return false;
  }
}

bool outlines(std::string_view text) {
  JsonOutline out;
  return !json_outline(text, {}, out);
}

// Texts at the edges of what the reader takes: numbers near the range of a
// double, escapes and surrogates, UTF-8, nesting, what may follow the root.
const char* const kEdgeTexts[] = {
    "", " ", "{}", "[]", "{} ", "{}x", "{}\0x", "[1,]", "[,1]", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{1:2}",
    "[01]", "[-0]", "[-]", "[1.]", "[.5]", "[1e]", "[1e+]", "[1E-5]", "[1.5e308]", "[1e309]", "[1e308]",
    "[0.1e310]", "[0.00001e312]", "[1e-400]", "[NaN]", "[-NaN]", "[Inf]", "[-Infinity]", "[Infinit]", "[Infx]",
    "[NaN.5]", "[NaNe400]", "[NInfinity]", "[NaInf]", "[NaI]", "[Nx]", "[-NInf]", "[NInfe999]", "[nan]", "[true]", "[tru]", "[truex]", "[null]", "[nul]", "[false]",
    "[\"\\u00e9\"]", "[\"\\ud83d\\ude00\"]", "[\"\\ud83d\"]", "[\"\\ud83dx\"]", "[\"\\ud83d\\u0041\"]", "[\"\\udc00\"]",
    "[\"\\u12\"]", "[\"\\uZZZZ\"]", "[\"\\x\"]", "[\"\\/\\b\\f\\n\\r\\t\\\\\\\"\"]", "[\"a\tb\"]", "[\"a\x01\"]",
    "[\"\xc3\xa9\"]", "[\"\xc3\"]", "[\"\xe0\x80\xaf\"]", "[\"\xed\xa0\x80\"]", "[\"\xf4\x90\x80\x80\"]",
    "[\"\xf0\x9f\x98\x80\"]", "[\x80]", "{\"\xff\":1}", "[\"unterminated", "{\"a\":1", "[[[]]]", "[1 2]",
    "[1\"a\"]", "{\"a\" 1}", "{\"a\":1 \"b\":2}", "\"\\\\\"", "\"\\\\\\\"\"", "[\"\\\\\\\\\"]",
    "[123456789012345678901234567890]", "[-9223372036854775809]", "[18446744073709551616]",
};

std::string huge_integer(std::size_t digits) { return "[" + std::string(1, '1') + std::string(digits - 1, '0') + "]"; }

/// Mutations of a valid document: a byte replaced, inserted or removed.
std::vector<std::string> mutations(const std::string& text, unsigned seed, int count) {
  static const char kBytes[] = "{}[]:,\"\\ 0123456789.eE+-ntfaNIu\x01\x80\xc3\xff\0";
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    std::string t = text;
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !t.empty(); ++e) {
      const std::size_t at = rng() % t.size();
      const char b = kBytes[rng() % (sizeof kBytes - 1)];
      switch (rng() % 3) {
        case 0: t[at] = b; break;
        case 1: t.insert(t.begin() + static_cast<long>(at), b); break;
        default: t.erase(at, 1);
      }
    }
    out.push_back(std::move(t));
  }
  return out;
}

}  // namespace

TEST(JsonOutline, AcceptsExactlyWhatTheReaderAccepts) {
  std::vector<std::string> texts(std::begin(kEdgeTexts), std::end(kEdgeTexts));
  texts.emplace_back(std::string("{}\0garbage", 10));  // the reader stops at a NUL byte
  texts.emplace_back(std::string("[\"a\0\"]", 6));
  for (std::size_t digits : {300, 308, 309, 310, 400}) texts.push_back(huge_integer(digits));
  texts.push_back(std::string(512, '[') + std::string(512, ']'));
  texts.push_back(std::string(513, '[') + std::string(513, ']'));
  const std::string doc =
      R"({"meta": {"donemler": ["2401", 2402], "x": [1.5e3, -0.0, NaN, true, null]}, "rows": [{"muta": "a\"b\\", )"
      R"("unvan": "Ş\u00e7", "n": [[], {}]}, 7, "s"], "flow_matrix": {"k": -Infinity}})";
  ASSERT_TRUE(parses(doc));
  for (unsigned seed = 1; seed <= 4; ++seed)
    for (auto& t : mutations(doc, seed, 1500)) texts.push_back(std::move(t));
  int refused = 0;
  for (const std::string& t : texts) {
    SCOPED_TRACE(testing::PrintToString(t));
    EXPECT_EQ(outlines(t), parses(t));
    refused += !parses(t);
  }
  EXPECT_GT(refused, 1000);  // the mutations reach both sides
}

TEST(JsonOutline, FindsTheLastMemberOfEachNameAndTheElementsOfItsList) {
  static constexpr std::string_view kNames[] = {"meta", "rows"};
  const std::string text =
      R"({"rows": [9], "m\u0065ta": {"a": [1]}, "other": {"rows": [5]}, "rows" : [ {"x": "]"} ,7, "s" ,[1] ], "z": 0})";
  JsonOutline out;
  ASSERT_FALSE(json_outline(text, {.members = kNames, .list = 1}, out));
  EXPECT_EQ(out.root, '{');
  ASSERT_TRUE(out.members[0] && out.members[1]);
  const auto at = [&](const JsonSpan& s) { return text.substr(s.begin, s.size()); };
  EXPECT_EQ(at(*out.members[0]), R"({"a": [1]})");
  EXPECT_EQ(at(*out.members[1]), R"([ {"x": "]"} ,7, "s" ,[1] ])");
  std::vector<std::string> elements;
  for (const auto& e : out.elements) elements.push_back(at(e));
  EXPECT_EQ(elements, (std::vector<std::string>{R"({"x": "]"})", "7", R"("s")", "[1]"}));

  // A last member of the name that is no list leaves no elements; a root
  // that is no map, no members.
  ASSERT_FALSE(json_outline(R"({"rows": [1, 2], "rows": 3})", {.members = kNames, .list = 1}, out));
  EXPECT_TRUE(out.elements.empty());
  EXPECT_EQ(out.members[1], (JsonSpan{25, 26}));
  ASSERT_FALSE(json_outline(R"([{"rows": [1]}])", {.members = kNames, .list = 1}, out));
  EXPECT_EQ(out.root, '[');
  EXPECT_FALSE(out.members[1]);
  EXPECT_TRUE(out.elements.empty());
}

TEST(JsonOutline, TellsAReaderOfEachPartAsItIsRead) {
  static constexpr std::string_view kNames[] = {"meta", "rows"};
  std::vector<std::string> events;
  JsonOutlineRequest request{.members = kNames, .list = 1};
  request.on_member = [&](std::size_t m, JsonSpan) { events.push_back("member " + std::to_string(m)); };
  request.on_list = [&](std::size_t begin) { events.push_back("list at " + std::to_string(begin)); };
  request.on_element = [&](JsonSpan e) { events.push_back("element " + std::to_string(e.begin)); };
  JsonOutline out;
  ASSERT_FALSE(json_outline(R"({"meta": 1, "rows": [{}, 2]})", request, out));
  EXPECT_EQ(events, (std::vector<std::string>{"member 0", "list at 20", "element 21", "element 25", "member 1"}));
}

TEST(JsonCursor, ReadsMembersAndValuesOfAnOutlinedMap) {
  const std::string text = R"({"a": "x\"y\u00e9", "b\n": -12, "c": 1.25, "d": [1, {"e": "]"}], "f": true, "g":null})";
  JsonCursor c(text, 100);
  c.enter_map();
  std::string_view name;
  ASSERT_TRUE(c.next_member(name, "a"));
  EXPECT_EQ(name, "a");
  ASSERT_EQ(c.peek(), JsonCursor::Kind::String);
  EXPECT_EQ(c.string(), "x\"y\xc3\xa9");
  ASSERT_TRUE(c.next_member(name, "zz"));  // another name than the one expected
  EXPECT_EQ(name, "b\n");
  const JsonNumber n = c.number_value();
  EXPECT_EQ(n.kind, JsonNumber::Kind::Int64);
  EXPECT_EQ(n.i, -12);
  ASSERT_TRUE(c.next_member(name));
  EXPECT_EQ(c.number_value().d, 1.25);
  ASSERT_TRUE(c.next_member(name));
  EXPECT_EQ(c.peek(), JsonCursor::Kind::List);
  EXPECT_EQ(c.skip(), R"([1, {"e": "]"}])");
  ASSERT_TRUE(c.next_member(name));
  EXPECT_EQ(c.peek(), JsonCursor::Kind::True);
  c.skip();
  ASSERT_TRUE(c.next_member(name));
  EXPECT_EQ(c.peek(), JsonCursor::Kind::Null);
  c.skip();
  EXPECT_FALSE(c.next_member(name));

  // Bytes that are no such text end in an error, never in a read outside.
  for (std::string bad : {R"({"a)", R"({"a": "x)", R"({"a": [1, {"b": )", R"({"a": "\u12)"}) {
    JsonCursor b(bad, 7);
    EXPECT_THROW(
        {
          b.enter_map();
          while (b.next_member(name)) b.skip();
        },
        JsonParseError)
        << bad;
  }
}

TEST(JsonNumber, PlainNumbersReadAsTheGeneralReadingReadsThem) {
  // The fast reading of the usual numbers against from_chars/strtod.
  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t m = rng() >> (rng() % 64);
    const int frac = static_cast<int>(rng() % 18);
    std::string digits = std::to_string(m);
    std::string text = (rng() % 2 ? "-" : "") + digits;
    if (frac > 0) text += "." + std::string(static_cast<std::size_t>(frac) % 7, '0') + std::to_string(rng() % 100000);
    const JsonNumber n = json_number(text);
    if (n.kind == JsonNumber::Kind::Double) {
      EXPECT_EQ(n.d, std::strtod(text.c_str(), nullptr)) << text;
    } else if (n.kind == JsonNumber::Kind::Int64) {
      EXPECT_EQ(std::to_string(n.i), text == "-0" ? "0" : text) << text;
    } else {
      EXPECT_EQ(std::to_string(n.u), text) << text;
    }
  }
  EXPECT_EQ(json_number("-9223372036854775808").i, INT64_MIN);
  EXPECT_EQ(json_number("-9223372036854775809").kind, JsonNumber::Kind::Double);
  EXPECT_EQ(json_number("18446744073709551615").u, UINT64_MAX);
  EXPECT_TRUE(std::signbit(json_number("-0.0").d));
}
