#include "kemora/common/numfmt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kemora/common/json.hpp"
#include "test_support.hpp"

using namespace kemora::common;

TEST(ReprDouble, MatchesPythonReprOverManyValues) {
  std::vector<double> values = {0.0, -0.0, 1.0, 0.1, 0.2, 1.0 / 3, 2.0 / 3, 1e15, 1e16, 123456789012345678.0,
                                1e-4, 1e-5, 1.5e-5, 5e-324, 1.7976931348623157e308, 2.5e-308, 1234.5678,
                                -98765.4321, 100.0, 1e100, 9.999999999999999e15, 0.30000000000000004};
  for (int i = 1; i < 200; ++i) values.push_back(std::pow(1.37, i) * (i % 2 ? 1 : -1));
  JsonDoc list(rapidjson::kArrayType);
  for (double v : values) list.PushBack(v, list.GetAllocator());
  std::string script = "import json,sys\nprint('\\n'.join(repr(v) for v in json.load(sys.stdin)), end='')\n";
  kemora::test::TempDir dir;
  kemora::test::write_text(dir / "repr.py", script);
  // The list is passed in Python's own JSON text to keep every bit.
  std::string text = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17e", values[i]);
    text += (i ? "," : "") + std::string(buf);
  }
  text += "]";
  std::string out = kemora::test::run_python((dir / "repr.py").string(), text);
  std::string mine;
  for (std::size_t i = 0; i < values.size(); ++i) mine += (i ? "\n" : "") + repr_double(values[i]);
  EXPECT_EQ(mine, out);
}

TEST(ReprDouble, NonFinite) {
  EXPECT_EQ(repr_double(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(repr_double(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(repr_double(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(FormatFixed, RoundsTheExactBinaryValueTiesToEven) {
  EXPECT_EQ(format_fixed(0.25, 1), "0.2");   // exact tie -> even
  EXPECT_EQ(format_fixed(0.35, 1), "0.3");   // binary value lies below the tie
  EXPECT_EQ(format_fixed(2.5, 0), "2");
  EXPECT_EQ(format_fixed(3.5, 0), "4");
  EXPECT_EQ(format_fixed(59.7, 0), "60");
  EXPECT_EQ(format_fixed(-0.04, 1), "-0.0");
  EXPECT_EQ(format_fixed(1.5, 1), "1.5");
  EXPECT_EQ(format_fixed(2345678 / 1e6, 2), "2.35");
}

TEST(RoundDecimal, GivesTheNearestDoubleToTheRoundedDecimal) {
  EXPECT_EQ(round_decimal(75.44, 1), 75.4);
  EXPECT_EQ(round_decimal(3, 1), 3.0);
  EXPECT_EQ(round_decimal(0.05, 1), 0.1);  // 0.05 is slightly above the tie in binary
  EXPECT_EQ(round_decimal(0.25, 1), 0.2);
  EXPECT_TRUE(std::signbit(round_decimal(-0.04, 1)));
}
