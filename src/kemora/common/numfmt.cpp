#include "kemora/common/numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "kemora/common/text.hpp"

namespace kemora::common {

std::string repr_double(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]XX.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  auto epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos))
    if (c != '.') digits += c;
  int exp10 = std::atoi(std::string(sci.substr(epos + 1)).c_str());
  int decpt = exp10 + 1;  // value = 0.d1d2... * 10^decpt

  std::string out = negative ? "-" : "";
  if (decpt > 16 || decpt < -3) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1, std::string::npos);
    }
    out += 'e';
    out += exp10 < 0 ? '-' : '+';
    int e = std::abs(exp10);
    if (e < 10) out += '0';
    out += std::to_string(e);
  } else if (decpt <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-decpt), '0');
    out += digits;
  } else if (static_cast<std::size_t>(decpt) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(decpt) - digits.size(), '0');
    out += ".0";
  } else {
    out.append(digits, 0, static_cast<std::size_t>(decpt));
    out += '.';
    out.append(digits, static_cast<std::size_t>(decpt), std::string::npos);
  }
  return out;
}

std::string format_fixed(double v, int decimals) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // glibc's printf converts the exact binary value and rounds ties to even.
  char buf[512];
  int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) {
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), "%.*f", decimals, v);
    big.resize(static_cast<std::size_t>(n));
    return big;
  }
  return std::string(buf, static_cast<std::size_t>(n));
}

double round_decimal(double v, std::int64_t decimals) {
  if (!std::isfinite(v) || v == 0.0) return v;
  if (decimals > 323) return v;
  if (decimals < -308) return std::copysign(0.0, v);
  if (decimals >= 0) return std::strtod(format_fixed(v, static_cast<int>(decimals)).c_str(), nullptr);
  // Round the exact integer part at 10^k, looking at the fraction for ties.
  const std::size_t k = static_cast<std::size_t>(-decimals);
  const double av = std::fabs(v);
  const double ip = std::trunc(av);
  const bool has_fraction = av != ip;
  std::string digits = format_fixed(ip, 0);
  if (digits.size() < k + 1) digits.insert(0, k + 1 - digits.size(), '0');
  std::string kept = digits.substr(0, digits.size() - k);
  const std::string dropped = digits.substr(digits.size() - k);
  const std::string half = "5" + std::string(k - 1, '0');
  const bool up = dropped > half || (dropped == half && (has_fraction || (kept.back() - '0') % 2 == 1));
  if (up) {
    std::size_t i = kept.size();
    while (i > 0 && kept[i - 1] == '9') kept[--i] = '0';
    if (i == 0) kept.insert(0, "1");
    else ++kept[i - 1];
  }
  return std::copysign(std::strtod((kept + std::string(k, '0')).c_str(), nullptr), v);
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view strip_blanks(std::string_view s, NumberBlanks blanks) {
  if (blanks == NumberBlanks::Ascii) return trim(s);
  const auto blank = [](char c) { return py_isspace(static_cast<unsigned char>(c)); };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

/// Takes a leading '+' or '-' off `s`; true for '-'.
bool take_sign(std::string_view& s) {
  if (s.empty() || (s.front() != '+' && s.front() != '-')) return false;
  const bool negative = s.front() == '-';
  s.remove_prefix(1);
  return negative;
}

/// Appends the digits of `s` when it is digits with single underscores
/// between them; false (with `out` perhaps extended) otherwise.
bool append_digits(std::string& out, std::string_view s) {
  if (s.empty()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (is_digit(c)) out += c;
    else if (!(c == '_' && i > 0 && i + 1 < s.size() && is_digit(s[i - 1]) && is_digit(s[i + 1]))) return false;
  }
  return true;
}

bool equals_ignoring_case(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] + 32) : s[i];
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<double> parse_py_float(std::string_view text, NumberBlanks blanks) {
  std::string_view s = strip_blanks(text, blanks);
  const bool negative = take_sign(s);
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity"))
    return sign * std::numeric_limits<double>::infinity();
  if (equals_ignoring_case(s, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  // [digits][.[digits]][(e|E)[sign]digits], with digits on at least one side of the point.
  std::string clean = negative ? "-" : "";
  const std::size_t e = s.find_first_of("eE");
  const std::string_view mantissa = s.substr(0, e);
  const std::size_t dot = mantissa.find('.');
  const std::string_view whole = mantissa.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : mantissa.substr(dot + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;
  if (!whole.empty() && !append_digits(clean, whole)) return std::nullopt;
  if (dot != std::string_view::npos) {
    clean += '.';
    if (!fraction.empty() && !append_digits(clean, fraction)) return std::nullopt;
  }
  if (e != std::string_view::npos) {
    std::string_view exponent = s.substr(e + 1);
    clean += take_sign(exponent) ? "e-" : "e";
    if (!append_digits(clean, exponent)) return std::nullopt;
  }
  double d = 0;
  const auto r = std::from_chars(clean.data(), clean.data() + clean.size(), d);
  // Beyond the range of double: strtod gives the infinity or the zero.
  if (r.ec == std::errc::result_out_of_range) d = std::strtod(clean.c_str(), nullptr);
  return d;
}

std::optional<std::string> parse_py_int(std::string_view text, NumberBlanks blanks) {
  std::string_view s = strip_blanks(text, blanks);
  const bool negative = take_sign(s);
  std::string digits;
  if (!append_digits(digits, s)) return std::nullopt;
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  digits.erase(0, first);
  if (negative) digits.insert(0, 1, '-');
  return digits;
}

}  // namespace kemora::common
