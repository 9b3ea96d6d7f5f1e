#include "kemora/common/numfmt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kemora/common/json.hpp"
#include "common/python_oracle.hpp"

using namespace kemora::common;

TEST(ReprDouble, MatchesPythonReprOverManyValues) {
  std::vector<double> values = {0.0, -0.0, 1.0, 0.1, 0.2, 1.0 / 3, 2.0 / 3, 1e15, 1e16, 123456789012345678.0,
                                1e-4, 1e-5, 1.5e-5, 5e-324, 1.7976931348623157e308, 2.5e-308, 1234.5678,
                                -98765.4321, 100.0, 1e100, 9.999999999999999e15, 0.30000000000000004};
  for (int i = 1; i < 200; ++i) values.push_back(std::pow(1.37, i) * (i % 2 ? 1 : -1));
  std::string script = "import json,sys\nprint('\\n'.join(repr(v) for v in json.load(sys.stdin)), end='')\n";
  std::string out = kemora::test::run_python_code(script, kemora::test::json_list(values));
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
  std::string script = "import json,sys\nout = []\nfor v in json.load(sys.stdin):\n    for n in (";
  for (auto n : precisions) script += std::to_string(n) + ",";
  script += "):\n        out.append(repr(round(v, n)))\nprint('\\n'.join(out), end='')\n";
  const std::string expected = kemora::test::run_python_code(script, kemora::test::json_list(values));
  std::string mine;
  for (double v : values)
    for (auto n : precisions) mine += (mine.empty() ? "" : "\n") + repr_double(round_decimal(v, n));
  EXPECT_EQ(mine, expected);
}

TEST(RoundDecimal, NonFiniteValuesStay) {
  EXPECT_TRUE(std::isnan(round_decimal(std::numeric_limits<double>::quiet_NaN(), 2)));
  EXPECT_EQ(round_decimal(-std::numeric_limits<double>::infinity(), -3), -std::numeric_limits<double>::infinity());
}

namespace {
// Texts float() and int() accept or refuse: signs, underscores, points,
// exponents, the words, hex and other forms Python refuses, blanks.
const std::vector<std::string> kNumberTexts = {
    "0", "-0", "+7", "  42\t", "\n-3\r\n", "007", "-000", "1_000", "1__000", "_1", "1_", "+_1", "1_000.000_1",
    "1_.5", "1._5", ".5", "5.", ".", "", "   ", "+", "-", "+-1", "--1", "1e5", "1E+05", "2.5e-3", "1e", "1e+",
    "e5", "1e_5", "1e1_0", "1e5.5", "1.2.3", "1 2", "inf", "-Infinity", "iNfInItY", "+nan", "NaN", "infinit",
    "in_f", "nan(1)", "0x10", "0x1p3", "1e400", "-1e400", "1e-400", "4.9e-324", "1.7976931348623159e308",
    "123456789012345678901234567890", "-9223372036854775809", "\x0b\x0c" "8\x0c"};
}  // namespace

TEST(PyNumberText, FloatAndIntMatchPython) {
  const std::string expected = kemora::test::run_python_code(
      "import json,sys\n"
      "def call(f, t):\n"
      "    try:\n"
      "        return repr(f(t))\n"
      "    except ValueError:\n"
      "        return 'error'\n"
      "print('\\n'.join(call(float, t) + ' ' + call(int, t) for t in json.load(sys.stdin)), end='')\n",
      kemora::test::json_list(kNumberTexts));
  std::string mine;
  for (const auto& t : kNumberTexts) {
    auto f = parse_py_float(t, NumberBlanks::Ascii);
    auto i = parse_py_int(t, NumberBlanks::Ascii);
    EXPECT_EQ(f.has_value(), parse_py_float(t, NumberBlanks::PythonBytes).has_value()) << t;
    EXPECT_EQ(i, parse_py_int(t, NumberBlanks::PythonBytes)) << t;
    mine += (mine.empty() ? "" : "\n") + (f ? repr_double(*f) : "error") + " " + (i ? *i : "error");
  }
  EXPECT_EQ(mine, expected);
  // Digits of other scripts, which Python reads too, are refused.
  EXPECT_EQ(parse_py_float("\xd9\xa1\xd9\xa2", NumberBlanks::PythonBytes), std::nullopt);
}

TEST(PyNumberText, BlankSetsAndSigns) {
  // Python's own white space beyond ASCII's: the file and group separators,
  // and the bytes 0x85 and 0xA0 when the text is read byte by byte.
  for (const std::string t : {"\x1c" "5", "5\x1f", "\xa0" "5", "5\x85"}) {
    EXPECT_EQ(parse_py_float(t, NumberBlanks::Ascii), std::nullopt) << t;
    EXPECT_EQ(parse_py_float(t, NumberBlanks::PythonBytes), 5.0) << t;
    EXPECT_EQ(parse_py_int(t, NumberBlanks::Ascii), std::nullopt) << t;
    EXPECT_EQ(parse_py_int(t, NumberBlanks::PythonBytes), "5") << t;
  }
  EXPECT_TRUE(std::signbit(*parse_py_float("-nan", NumberBlanks::Ascii)));
  EXPECT_TRUE(std::isnan(*parse_py_float("-nan", NumberBlanks::Ascii)));
  EXPECT_TRUE(std::signbit(*parse_py_float("-0.0", NumberBlanks::Ascii)));
  EXPECT_TRUE(std::signbit(*parse_py_float("-1e-400", NumberBlanks::Ascii)));
  EXPECT_EQ(parse_py_int("-0_0", NumberBlanks::Ascii), "0");
}

TEST(AppendInt, WholeRangeAppended) {
  std::string out = "n=";
  for (std::int64_t i : {std::int64_t{0}, std::int64_t{-42}, INT64_MIN, INT64_MAX}) (append_int(out, i), out += ',');
  EXPECT_EQ(out, "n=0,-42,-9223372036854775808,9223372036854775807,");
}
