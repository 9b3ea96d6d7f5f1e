#include "kemora/common/text.hpp"

#include <gtest/gtest.h>

#include "common/python_oracle.hpp"

using namespace kemora::common;

TEST(Utf8, LengthAndPrefixCountCodePoints) {
  EXPECT_EQ(utf8_length("Adım"), 4u);
  EXPECT_EQ(utf8_length("Çağrı Şube 😀"), 12u);
  EXPECT_EQ(utf8_prefix("Çağrı Şube", 3), "Çağ");
  EXPECT_EQ(utf8_prefix("abc", 10), "abc");
  EXPECT_EQ(utf8_prefix("ığüşöç", 0), "");
  EXPECT_EQ(utf8_prefix_size("Çağrı Şube", 3), 5u);
  EXPECT_EQ(utf8_prefix_size("😀x", 1), 4u);
  EXPECT_EQ(utf8_prefix_size("abc", 10), 3u);
}

TEST(Utf8, PaddingNeverCutsAndCountsCodePoints) {
  EXPECT_EQ(pad_right("Adım", 6), "Adım  ");
  EXPECT_EQ(pad_left("Süre", 6), "  Süre");
  EXPECT_EQ(pad_right("uzun metin", 3), "uzun metin");
}

TEST(Text, TrimAndCase) {
  EXPECT_EQ(trim(" \t evet \r\n"), "evet");
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(utf8_lower("EVET"), "evet");
  EXPECT_EQ(utf8_upper("prod"), "PROD");
  EXPECT_EQ(utf8_upper("özel çğış"), "ÖZEL ÇĞIŞ");  // dotless ı upper-cases to I, as Python does
  EXPECT_EQ(utf8_upper("straße"), "STRASSE");
}

TEST(Utf8, MalformedSequencesAreFoundAndDecodeAsReplacement) {
  // Overlong forms, encoded surrogates, code points beyond U+10FFFF, stray
  // continuation bytes and cut sequences are all malformed.
  for (const std::string bad : {"\xc0\xaf", "\xe0\x80\xaf", "\xf0\x80\x80\xaf", "\xed\xa0\x80", "\xed\xbf\xbf",
                                "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\x80", "\xe2\x82", "\xff"}) {
    const std::string text = "abcdefghij" + bad + "z";
    EXPECT_EQ(utf8_invalid_at(text), std::optional<std::size_t>(10)) << text;
    std::size_t i = 10;
    EXPECT_EQ(utf8_next(text, i), U'\uFFFD');
    EXPECT_EQ(i, 11u);
  }
  for (const std::string good : {"", "plain ascii text of some length", "\xc2\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                                 "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "İstanbul Şişli"}) {
    EXPECT_EQ(utf8_invalid_at(good), std::nullopt) << good;
  }
}

TEST(Html, EscapesTheFiveCharactersInEitherQuoteForm) {
  const std::string text = "a&b <i>\"x\" 'y'</i> Çağ";
  EXPECT_EQ(html_escaped(text, HtmlQuotes::Numeric), "a&amp;b &lt;i&gt;&#34;x&#34; &#39;y&#39;&lt;/i&gt; Çağ");
  EXPECT_EQ(html_escaped(text, HtmlQuotes::Named), "a&amp;b &lt;i&gt;&quot;x&quot; &#x27;y&#x27;&lt;/i&gt; Çağ");
  std::string out = "kept:";
  append_html_escaped(out, "&&", HtmlQuotes::Named);
  EXPECT_EQ(out, "kept:&amp;&amp;");
  EXPECT_EQ(html_escaped("", HtmlQuotes::Numeric), "");
  EXPECT_EQ(html_escaped("plain", HtmlQuotes::Numeric), "plain");
}

namespace {
std::string py_repr(std::string_view s, ReprEscapes escapes = ReprEscapes::Unprintable) {
  std::string out;
  append_py_str_repr(out, s, escapes);
  return out;
}
}  // namespace

TEST(PyStrRepr, MatchesPythonRepr) {
  // Quote choice, the named escapes, controls, DEL, the Latin-1 and format
  // ranges, private use and astral planes, as Python 3 writes them.
  const std::vector<std::string> corpus = {
      "", "plain", "it's", "say \"hi\"", "both ' and \"", "back\\slash", "tab\tcr\rlf\n",
      std::string("nul\0one\x01\x1f", 8), "del\x7f", "nbsp\xc2\xa0soft\xc2\xadhyphen", "Çağrı Şube",
      "zw\xe2\x80\x8bsp lsep\xe2\x80\xa8", "bom\xef\xbb\xbf", "pua\xee\x80\x80", "emoji 😀", "\xf3\xa0\x80\x81tag"};
  const std::string expected = kemora::test::run_python_code(
      "import json,sys\nprint('\\n'.join(repr(s) for s in json.load(sys.stdin)), end='')\n", kemora::test::json_list(corpus));
  std::string mine;
  for (std::size_t i = 0; i < corpus.size(); ++i) mine += (i ? "\n" : "") + py_repr(corpus[i]);
  EXPECT_EQ(mine, expected);
}

TEST(PyStrRepr, MalformedBytesAndTheBreaksOnlyForm) {
  EXPECT_EQ(py_repr("a\xff" "b"), "'a\xef\xbf\xbd" "b'");  // U+FFFD, which is printable
  // Only quote, backslash and the three breaks are escaped; other bytes,
  // malformed ones too, are copied.
  EXPECT_EQ(py_repr("it's\x01\xff\xc2\xa0\\\n", ReprEscapes::BreaksOnly), "\"it's\x01\xff\xc2\xa0\\\\\\n\"");
  EXPECT_EQ(py_repr("'\"", ReprEscapes::BreaksOnly), "'\\'\"'");
}

TEST(Text, PyIsSpace) {
  for (char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U'\x1c', U'\x1f', U' ', U'\x85', U'\xa0', U'\u1680', U'\u2000',
                     U'\u200a', U'\u2028', U'\u2029', U'\u202f', U'\u205f', U'\u3000'})
    EXPECT_TRUE(py_isspace(c)) << static_cast<unsigned>(c);
  for (char32_t c : {U'\0', U'\b', U'!', U'a', U'\x84', U'\u200b', U'\ufeff', U'\u180e'})
    EXPECT_FALSE(py_isspace(c)) << static_cast<unsigned>(c);
}
