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
