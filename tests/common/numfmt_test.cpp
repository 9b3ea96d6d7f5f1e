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

TEST(RoundDecimal, MatchesPythonRoundForEveryPrecision) {
  // Ties in decimal that are or are not ties in binary, both signs, large and
  // tiny magnitudes, and precisions from far left of the point to beyond 323.
  const std::vector<double> values = {0.5,    1.5,     2.5,    2.675,  -2.675, 0.125, 0.375, 1250.0, 1350.0,
                                      -1250.0, 1249.9, 1250.0000001, 15.0, 25.0, 5e-324, 1.2e308,
                                      123456.789, -987654.3210, 1e22, 0.0, -0.0, 99999.5, 9.5};
  const std::vector<std::int64_t> precisions = {-400, -309, -308, -22, -5, -3, -2, -1, 0, 1, 2, 3, 10, 300, 323, 324, 1000};
  std::string text = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17e", values[i]);
    text += (i ? "," : "") + std::string(buf);
  }
  text += "]";
  kemora::test::TempDir dir;
  std::string script = "import json,sys\nout = []\nfor v in json.load(sys.stdin):\n    for n in (";
  for (auto n : precisions) script += std::to_string(n) + ",";
  script += "):\n        out.append(repr(round(v, n)))\nprint('\\n'.join(out), end='')\n";
  kemora::test::write_text(dir / "round.py", script);
  const std::string expected = kemora::test::run_python((dir / "round.py").string(), text);
  std::string mine;
  for (double v : values)
    for (auto n : precisions) mine += (mine.empty() ? "" : "\n") + repr_double(round_decimal(v, n));
  EXPECT_EQ(mine, expected);
}

TEST(RoundDecimal, NonFiniteValuesStay) {
  EXPECT_TRUE(std::isnan(round_decimal(std::numeric_limits<double>::quiet_NaN(), 2)));
  EXPECT_EQ(round_decimal(-std::numeric_limits<double>::infinity(), -3), -std::numeric_limits<double>::infinity());
}
