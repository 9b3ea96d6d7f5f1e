#pragma once
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// Number texts as the system prints and writes them.
namespace kemora::common {

/// Appends the decimal text of `i`.
inline void append_int(std::string& out, std::int64_t i) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

/// Shortest text that reads back as `v`, as Python's repr writes a float:
/// "3.0", "0.1", "1e+16", "1e-05", "-0.0", "nan", "inf", "-inf".
std::string repr_double(double v);

/// Fixed-point text with `decimals` digits, correctly rounded from the exact
/// binary value, exact ties to the even digit ("%.1f" semantics): 0.25 -> "0.2".
std::string format_fixed(double v, int decimals);

/// The double nearest to `v` correctly rounded to `decimals` decimal places
/// (ties to even on the exact binary value), as Python's round(v, decimals):
/// round_decimal(75.44, 1) == 75.4, round_decimal(1250.0, -2) == 1200.0.
/// Non-finite values, zeros and `decimals` beyond 323 give `v`; `decimals`
/// below -308 gives a zero of the sign of `v`.
double round_decimal(double v, std::int64_t decimals);

/// The white space a number text may have around it.
enum class NumberBlanks {
  Ascii,        ///< blank, tab, CR, LF, VT, FF, as trim() removes them
  PythonBytes,  ///< every byte that py_isspace() takes as a code point (0x1C to 0x1F, 0x85 and 0xA0 too)
};

/// Python's float() of a text: blanks around, one sign, digits with single
/// underscores between them, an optional fraction and exponent, or inf,
/// infinity or nan in any letter case. The nearest double (an infinity beyond
/// the range, a zero below it); nullopt where Python raises ValueError.
std::optional<double> parse_py_float(std::string_view text, NumberBlanks blanks);

/// Python's int() of a base-10 text: blanks around, one sign, digits with
/// single underscores between them. The value in plain decimal, of any size:
/// '-' before the digits when negative, no leading zeros ("-0012" gives
/// "-12", "-0" gives "0"); nullopt where Python raises ValueError.
std::optional<std::string> parse_py_int(std::string_view text, NumberBlanks blanks);

}  // namespace kemora::common
