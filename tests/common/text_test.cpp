#include "kemora/common/text.hpp"

#include <gtest/gtest.h>

using namespace kemora::common;

TEST(Utf8, LengthAndPrefixCountCodePoints) {
  EXPECT_EQ(utf8_length("Adım"), 4u);
  EXPECT_EQ(utf8_length("Çağrı Şube 😀"), 12u);
  EXPECT_EQ(utf8_prefix("Çağrı Şube", 3), "Çağ");
  EXPECT_EQ(utf8_prefix("abc", 10), "abc");
  EXPECT_EQ(utf8_prefix("ığüşöç", 0), "");
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
