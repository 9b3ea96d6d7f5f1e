#include "kemora/common/json.hpp"

#include "kemora/common/limits.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "common/python_oracle.hpp"

using namespace kemora::common;
using kemora::test::TempDir;
using testing::HasSubstr;

namespace {

// Values whose text forms must equal Python's json.dumps byte for byte.
const std::vector<std::string> kCorpus = {
    R"({"a": 1, "b": [1, 2, {"c": null}], "d": {}, "e": [], "f": true, "g": false})",
    R"([[], {}, [[]], [{}], {"x": []}, {"y": {}}])",
    R"({"z": 1, "a": 2, "m": 3})",
    R"({"unvan": "Çağrı Gıda İnşaat A.Ş.", "şube": "Şanlıurfa", "arrow": "mode→test", "emoji": "\ud83d\ude00"})",
    R"(["\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f", "\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d\u001e\u001f\u007f"])",
    R"(["quote \" backslash \\ slash / tab\t", "</script><b>&amp;</b>"])",
    R"([0.1, 3.0, 1e16, 1e15, 1e-05, 0.0001, 123456789.123, -0.0, 0.0, 5e-324, 1.7976931348623157e308, 2.5, -1.5e-7, 1e22, 1.5e300])",
    R"([NaN, Infinity, -Infinity, {"n": NaN}])",
    R"([0, -1, 9007199254740993, -9223372036854775808, 9223372036854775807, 18446744073709551615])",
    R"("just a string")",
    R"(42)",
    R"(null)",
    R"({"deep": {"deeper": {"deepest": [1, [2, [3, {"k": "v"}]]]}}})",
};

TEST(JsonWriter, MatchesPythonJsonDumpsInAllThreeForms) {
  JsonDoc list(rapidjson::kArrayType);
  for (const auto& t : kCorpus) list.PushBack(json_string(t, list.GetAllocator()), list.GetAllocator());
  std::string expected_text =
      kemora::test::run_python(KEMORA_SOURCE_DIR "/tests/common/json_oracle.py", json_dumps(list));
  JsonDoc expected = json_parse(expected_text, "python output");
  ASSERT_EQ(expected.Size(), kCorpus.size());
  for (std::size_t i = 0; i < kCorpus.size(); ++i) {
    SCOPED_TRACE(kCorpus[i]);
    JsonDoc v = json_parse(kCorpus[i], "corpus");
    EXPECT_EQ(json_dumps(v, {.style = JsonStyle::Indented}), expected[i][0].GetString());
    EXPECT_EQ(json_dumps(v, {.style = JsonStyle::Compact}), expected[i][1].GetString());
    EXPECT_EQ(json_dumps(v, {.style = JsonStyle::Spaced}), expected[i][2].GetString());
  }
}

TEST(JsonWriter, HtmlSafeEscapesAngleBracketsAndAmpersandOnly) {
  JsonDoc v = json_parse(R"({"<k>": "</script>&x", "n": 1.5})", "t");
  EXPECT_EQ(json_dumps(v, {.style = JsonStyle::Compact, .html_safe = true}),
            R"({"\u003ck\u003e":"\u003c/script\u003e\u0026x","n":1.5})");
  // The escaped text still reads back as the same value.
  JsonDoc back = json_parse(json_dumps(v, {.html_safe = true}), "t");
  EXPECT_EQ(std::string(back["<k>"].GetString()), "</script>&x");
}

TEST(JsonReader, ErrorsNameTheSourceAndOffset) {
  try {
    json_parse(R"({"a": 1,, "b": 2})", "sb.json");
    FAIL() << "no error";
  } catch (const JsonParseError& e) {
    EXPECT_EQ(e.offset(), 8u);
    EXPECT_NE(std::string(e.what()).find("sb.json: invalid JSON at byte 8"), std::string::npos) << e.what();
  }
}

// Every document we read is held to one nesting limit, so that what reads,
// writes or walks it afterwards cannot run out of stack.
TEST(JsonReader, NestingBeyondTheLimitIsAnErrorWithItsPosition) {
  std::string deep(200000, '[');
  EXPECT_THROW(json_parse(deep, "deep"), JsonParseError);
  const std::string at_limit = std::string(kMaxNesting, '[') + std::string(kMaxNesting, ']');
  JsonDoc v = json_parse(at_limit, "deep");
  EXPECT_TRUE(v.IsArray());
  EXPECT_EQ(json_dumps(v).size(), at_limit.size());
  for (const std::string& over : {std::string(kMaxNesting + 1, '[') + std::string(kMaxNesting + 1, ']'),
                                  std::string(50000, '[') + std::string(50000, ']'),
                                  "{\"a\":" + std::string(kMaxNesting, '[') + std::string(kMaxNesting, ']') + "}"}) {
    try {
      json_parse(over, "paths.json");
      ADD_FAILURE() << "accepted " << over.size() << " bytes";
    } catch (const JsonParseError& e) {
      EXPECT_EQ(e.offset(), over[0] == '{' ? 5u + kMaxNesting - 1 : static_cast<std::size_t>(kMaxNesting));
      EXPECT_THAT(e.what(), HasSubstr("paths.json: invalid JSON at byte"));
      EXPECT_THAT(e.what(), HasSubstr("too deeply nested"));
    }
  }
}

TEST(JsonReader, TextThatIsNotUtf8IsAnErrorAtItsByte) {
  struct Case {
    std::string text;
    std::size_t offset;
  };
  const Case cases[] = {
      {"[\"ab\xff\"]", 4},                 // invalid byte
      {"{\"k\xc3\":1}", 3},                // truncated sequence in a member name
      {"[\"\xc0\xaf\"]", 2},              // overlong '/'
      {"[\"\xe0\x80\xaf\"]", 2},          // overlong, three bytes
      {"[\"x\xed\xa0\x80\"]", 3},         // encoded surrogate
      {"[\"\xf4\x90\x80\x80\"]", 2},      // beyond U+10FFFF
      {"[\"\\n\\\"\xe2\x82\"]", 6},     // cut short after escapes
      {"[\"ok\", \"a\\udc00\"]", 9},      // lone low surrogate escape
  };
  for (const Case& c : cases) {
    try {
      json_parse(c.text, "sb.json");
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const JsonParseError& e) {
      EXPECT_EQ(e.offset(), c.offset) << c.text;
      EXPECT_THAT(e.what(), HasSubstr("sb.json: invalid JSON at byte " + std::to_string(c.offset) + ": "));
    }
  }
  // Valid text of every length, a surrogate pair escape and NUL escapes pass.
  JsonDoc ok = json_parse("[\"\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80\", \"\\ud83d\\ude00\\u0000\"]", "ok");
  EXPECT_EQ(std::string(ok[1].GetString(), ok[1].GetStringLength()), std::string("\xf0\x9f\x98\x80\0", 5));
}

TEST(JsonWriter, RefusesValuesNestedBeyondTheLimit) {
  JsonDoc doc;
  Json* v = &doc;
  v->SetArray();
  for (int i = 0; i < kMaxNesting + 1; ++i) {
    v->PushBack(Json(rapidjson::kArrayType), doc.GetAllocator());
    v = &(*v)[0];
  }
  EXPECT_THROW(json_dumps(doc), std::runtime_error);
}

TEST(JsonFile, MissingFileAndDirectoryAreNamed) {
  TempDir dir;
  try {
    json_parse_file(dir / "none.json");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("none.json"), std::string::npos);
  }
  try {
    json_parse_file(dir.path());
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("directory"), std::string::npos);
  }
}

TEST(JsonFile, WriteIsIndentedWithoutFinalNewlineAndReplacesAtomically) {
  TempDir dir;
  auto p = dir / "rec.json";
  kemora::test::write_text(p, "old content that is longer than the new one ..........");
  JsonDoc v = json_parse(R"({"a": [1], "ş": "ğ"})", "t");
  json_write_file(p, v);
  EXPECT_EQ(kemora::test::read_text(p), "{\n  \"a\": [\n    1\n  ],\n  \"ş\": \"ğ\"\n}");
  // Nothing but the file itself is left in the folder.
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

}  // namespace

// The reader's own number conversion turned some texts into other numbers
// (0e-23 into -1.75e-192, 129769313483155e308 into -4.0e-295).
TEST(JsonReader, NumbersReadAsPythonReadsThem) {
  const std::string in =
      "[0e-23, 129769313483155e308, 5e-374324, 1297693134862508e-330, 2.4703282292062327e-324, 4.9e-324, "
      "-0, -0.0, 3.0, 0.1, 1e308, 18446744073709551615, -9223372036854775808, NaN, -Infinity, 1.5e-7]";
  EXPECT_EQ(json_dumps(json_parse(in, "n"), {.style = JsonStyle::Spaced}),
            "[0.0, Infinity, 0.0, 1.297693137e-315, 0.0, 5e-324, 0, -0.0, 3.0, 0.1, 1e+308, "
            "18446744073709551615, -9223372036854775808, NaN, -Infinity, 1.5e-07]");
  JsonDoc ints = json_parse("[1, -1, 4294967296, 9223372036854775808]", "n");
  EXPECT_TRUE(ints[0].IsInt() && ints[0].IsUint());
  EXPECT_TRUE(ints[1].IsInt() && !ints[1].IsUint());
  EXPECT_TRUE(ints[2].IsInt64() && !ints[2].IsInt());
  EXPECT_TRUE(ints[3].IsUint64() && !ints[3].IsInt64());
}

TEST(JsonString, EscapesAsPythonJsonDumpsWithAndWithoutEnsureAscii) {
  const std::vector<std::string> corpus = {
      "", "plain", "quote \" backslash \\ slash /", std::string("\0\x01\b\t\n\v\f\r\x1f\x7f", 10),
      "Çağrı Şube → İzmir", "emoji 😀 and \xf4\x8f\xbf\xbf", "<script>'x' & \"y\"</script>", "\xef\xbf\xbd"};
  const std::string expected = kemora::test::run_python_code(
      "import json,sys\n"
      "out = []\n"
      "for s in json.load(sys.stdin):\n"
      "    a = json.dumps(s)\n"
      "    for c, e in (('<', '\\\\u003c'), ('>', '\\\\u003e'), ('&', '\\\\u0026'), (\"'\", '\\\\u0027')):\n"
      "        a = a.replace(c, e)\n"
      "    out += [json.dumps(s, ensure_ascii=False), json.dumps(s), a]\n"
      "print('\\n'.join(out), end='')\n",
      kemora::test::json_list(corpus));
  std::string mine;
  for (const auto& s : corpus) {
    for (JsonStringOptions o : {JsonStringOptions{}, JsonStringOptions{.ensure_ascii = true},
                                JsonStringOptions{.ensure_ascii = true, .html_safe = true, .escape_apostrophe = true}}) {
      if (!mine.empty()) mine += '\n';
      json_write_string(mine, s, o);
    }
  }
  EXPECT_EQ(mine, expected);
}

TEST(JsonString, OptionsAreIndependentAndMalformedBytes) {
  auto text = [](std::string_view s, JsonStringOptions o) {
    std::string out = "=";
    json_write_string(out, s, o);
    return out;
  };
  EXPECT_EQ(text("<'>&", {.escape_apostrophe = true}), "=\"<\\u0027>&\"");
  EXPECT_EQ(text("<'>&\x7f", {.html_safe = true}), "=\"\\u003c'\\u003e\\u0026\x7f\"");
  // A malformed byte is copied as it is, or with ensure_ascii read as U+FFFD.
  EXPECT_EQ(text("a\xff", {}), "=\"a\xff\"");
  EXPECT_EQ(text("a\xff\xc3", {.ensure_ascii = true}), "=\"a\\ufffd\\ufffd\"");
}

TEST(JsonKindName, NamesEveryKindOfValue) {
  const JsonDoc v = json_parse(R"([[1], {"a": 1}, "x", true, false, 0, -1, 1.5, 18446744073709551615, null])", "kinds");
  std::string names;
  for (const auto& e : v.GetArray()) names += std::string(json_kind_name(e)) + ";";
  EXPECT_EQ(names, "a list;a map;a text;a boolean;a boolean;a number;a number;a number;a number;null;");
}

TEST(JsonNumbers, RealTextAndValueAsDouble) {
  std::string out;
  for (double d : {3.0, 1e-05, 1e16, -0.0, std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    json_write_real(out, d);
    out += ' ';
  }
  EXPECT_EQ(out, "3.0 1e-05 1e+16 -0.0 NaN Infinity -Infinity ");
  const JsonDoc v = json_parse("[true, false, -7, 18446744073709551615, 2.5]", "numbers");
  std::vector<double> values;
  for (const auto& e : v.GetArray()) values.push_back(json_as_double(e));
  EXPECT_EQ(values, (std::vector<double>{1.0, 0.0, -7.0, 18446744073709551615.0, 2.5}));
}
