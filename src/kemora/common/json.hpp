#pragma once
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kemora/errors.hpp"
#include "kemora/json.hpp"

/// JSON reading and the three text forms the system writes.
namespace kemora::common {

using kemora::Json;
using kemora::JsonAlloc;
using kemora::JsonDoc;

enum class JsonStyle {
  Indented,  ///< two blanks per level, one member per line, ": " (the engine's files)
  Compact,   ///< "," and ":" without blanks
  Spaced,    ///< ", " and ": " on one line
};

struct JsonWriteOptions {
  JsonStyle style = JsonStyle::Compact;
  /// Write '<', '>' and '&' inside strings as \u003c, \u003e, \u0026, so that
  /// the text can stand inside an HTML <script> element.
  bool html_safe = false;
};

/// How a string is written as a JSON string literal. By default only the
/// quote, the backslash and the control characters are escaped (\n, \r, \t,
/// \b, \f by name, the others as \u00XX) and other bytes are copied.
struct JsonStringOptions {
  /// Every character beyond ASCII, and DEL, as \uXXXX (lower-case hex), one
  /// beyond U+FFFF as its surrogate pair; a malformed UTF-8 byte as \ufffd.
  bool ensure_ascii = false;
  /// '<', '>' and '&' as \u003c, \u003e, \u0026.
  bool html_safe = false;
  /// '\'' as \u0027.
  bool escape_apostrophe = false;
};

/// Appends `s` as a JSON string literal, quotes included.
void json_write_string(std::string& out, std::string_view s, JsonStringOptions options = {});

/// Appends the JSON text of a real: as Python's repr writes it (3.0, 1e-05,
/// 1e+16), non-finite ones as NaN, Infinity, -Infinity.
void json_write_real(std::string& out, double d);

/// The value of a number or a boolean (true 1, false 0) as a double.
inline double json_as_double(const Json& v) {
  if (v.IsBool()) return v.GetBool() ? 1.0 : 0.0;
  if (v.IsInt64()) return static_cast<double>(v.GetInt64());
  if (v.IsUint64()) return static_cast<double>(v.GetUint64());
  return v.GetDouble();
}

/// Appends the JSON text of `value` to `out`. Non-ASCII text is written as
/// UTF-8; reals are written as Python's repr writes them (3.0, 1e-05, 1e+16),
/// non-finite reals as NaN, Infinity, -Infinity; members keep their order.
void json_write(std::string& out, const Json& value, JsonWriteOptions options = {});
std::string json_dumps(const Json& value, JsonWriteOptions options = {});

/// Thrown for text that is not valid JSON; what() names the source and the
/// byte offset.
class JsonParseError : public InvalidJson {
 public:
  JsonParseError(const std::string& message, std::size_t offset) : InvalidJson(message), offset_(offset) {}
  std::size_t offset() const { return offset_; }

 private:
  std::size_t offset_;
};

/// Watches the events of one JSON reading for what every document we read
/// must keep to: nesting within kMaxNesting levels, and strings (member
/// names too) that are valid UTF-8 once their escapes are decoded, so that a
/// raw invalid byte and a lone surrogate escape (\udc00) are both refused.
/// A reader's handler calls open() for each '[' or '{', close() for each ']'
/// or '}', string() for each decoded string; a false result stops the reading.
class JsonGuard {
 public:
  /// `offset`: the reading position of the bracket.
  bool open(std::size_t offset);
  void close() { --depth_; }
  /// For a reader that counts levels itself: records the fault of a bracket
  /// at `offset` one level too deep; returns false.
  bool too_deep(std::size_t offset);
  /// `end`: the reading position just past the string's closing quote.
  bool string(const char* s, std::size_t n, std::size_t end);
  bool fault() const { return fault_ != Fault::None; }
  /// Where the fault lies in `text` (the whole input): the bracket one level
  /// too deep, or the first invalid byte or bad escape of the string.
  std::size_t fault_offset(std::string_view text) const;
  /// "too deeply nested (more than 512 levels)" or "text is not valid UTF-8".
  std::string fault_text() const;

 private:
  enum class Fault { None, TooDeep, BadText } fault_ = Fault::None;
  int depth_ = 0;
  std::size_t offset_ = 0;
};

/// The value of a JSON number's text as given by a reader that passes
/// numbers as text ("12", "-0", "1.5e-7", "NaN", "-Infinity"): an integer
/// within 64 bits stays an integer (signed when negative or within int64),
/// any other number is the nearest double, correctly rounded, infinite beyond
/// the range and zero below it, as Python's float() reads it.
struct JsonNumber {
  enum class Kind { Int64, Uint64, Double } kind = Kind::Int64;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
};
JsonNumber json_number(std::string_view text);

namespace json_detail {

/// The usual numbers, read without a library call: an integer of up to 19
/// digits, and a decimal of up to 15 digits without exponent (the quotient
/// of two exact doubles, and so, divided once, the correctly rounded value).
/// Reads from `p` on; true when what it read from there on is such a number
/// (p is then past it), false when json_number's general reading is needed.
inline bool read_plain_number(const char*& p, const char* end, JsonNumber& n) {
  const char* q = p;
  const bool negative = q < end && *q == '-';
  if (negative) ++q;
  std::uint64_t m = 0;
  int digits = 0;
  while (q < end && *q >= '0' && *q <= '9' && digits < 19) {
    m = m * 10 + static_cast<unsigned>(*q++ - '0');
    ++digits;
  }
  if (digits == 0) return false;
  if (q == end || *q != '.') {
    if (q < end && (*q >= '0' && *q <= '9')) return false;  // more than 19 digits
    if (!negative && m <= static_cast<std::uint64_t>(INT64_MAX)) {
      n.kind = JsonNumber::Kind::Int64;
      n.i = static_cast<std::int64_t>(m);
    } else if (!negative) {
      n.kind = JsonNumber::Kind::Uint64;
      n.u = m;
    } else if (m <= std::uint64_t{1} << 63) {
      n.kind = JsonNumber::Kind::Int64;
      n.i = static_cast<std::int64_t>(0 - m);
    } else {
      return false;
    }
    p = q;
    return true;
  }
  static constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const char* const point = ++q;
  while (q < end && *q >= '0' && *q <= '9' && digits < 16) {
    m = m * 10 + static_cast<unsigned>(*q++ - '0');
    ++digits;
  }
  if (q == point || digits > 15) return false;
  if (q < end && ((*q >= '0' && *q <= '9') || *q == 'e' || *q == 'E')) return false;
  const double d = static_cast<double>(m) / kPowers[q - point];
  n.kind = JsonNumber::Kind::Double;
  n.d = negative ? -d : d;
  p = q;
  return true;
}

}  // namespace json_detail

/// Parses `text` (NaN and the infinities accepted, full precision, member
/// order kept, iterative so deep nesting cannot overflow the stack), with the
/// checks of JsonGuard. Errors name `source` and the byte offset.
/// `source` names the text in error messages (usually a file path).
JsonDoc json_parse(std::string_view text, std::string_view source);

/// Reads and parses a file. Errors name the file: missing, a directory,
/// unreadable, or not valid JSON (with the byte offset).
JsonDoc json_parse_file(const std::filesystem::path& path);

/// Writes `value` in the engine's file form (indented, no final line break)
/// to `path`, atomically.
void json_write_file(const std::filesystem::path& path, const Json& value);

/// Python's truth value of a JSON value: false for null, false, a zero
/// number, "", [] and {}; true for everything else (NaN included).
inline bool json_truthy(const Json& v) {
  switch (v.GetType()) {
    case rapidjson::kNullType:
    case rapidjson::kFalseType: return false;
    case rapidjson::kTrueType: return true;
    case rapidjson::kNumberType:
      return v.IsInt64() ? v.GetInt64() != 0 : v.IsUint64() ? v.GetUint64() != 0 : v.GetDouble() != 0;
    case rapidjson::kStringType: return v.GetStringLength() != 0;
    case rapidjson::kArrayType: return !v.Empty();
    case rapidjson::kObjectType: return v.MemberCount() != 0;
  }
  return true;
}

/// The kind of a JSON value as messages name it: "a list", "a map",
/// "a text", "a boolean", "a number" or "null".
const char* json_kind_name(const Json& v);

/// Convenience: a string value copied into `alloc`.
inline Json json_string(std::string_view s, JsonAlloc& alloc) {
  return Json(s.data(), static_cast<rapidjson::SizeType>(s.size()), alloc);
}

}  // namespace kemora::common
