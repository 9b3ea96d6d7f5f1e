#include "kemora/common/json.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <cstdint>

#include "kemora/common/atomic_file.hpp"
#include "kemora/common/limits.hpp"
#include "kemora/common/numfmt.hpp"
#include "kemora/common/text.hpp"

namespace kemora::common {
namespace {

constexpr char kHex[] = "0123456789abcdef";

/// What json_write_string does with an ASCII byte.
enum class ByteClass : unsigned char {
  Copy,        ///< always copied
  Named,       ///< always escaped by name: " \\ \n \r \t \b \f
  Control,     ///< always escaped as \u00XX
  Html,        ///< < > &: escaped when html_safe
  Apostrophe,  ///< ': escaped when escape_apostrophe
  Del,         ///< DEL: escaped when ensure_ascii
};

constexpr auto kByteClass = [] {
  std::array<ByteClass, 128> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = ByteClass::Control;
  for (unsigned char c : {'"', '\\', '\n', '\r', '\t', '\b', '\f'}) t[c] = ByteClass::Named;
  for (unsigned char c : {'<', '>', '&'}) t[c] = ByteClass::Html;
  t['\''] = ByteClass::Apostrophe;
  t[0x7F] = ByteClass::Del;
  return t;
}();

void append_u_escape(std::string& out, unsigned v) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(v >> shift) & 0xF];
}

void write_string(std::string& out, const char* s, std::size_t n, bool html_safe) {
  json_write_string(out, std::string_view(s, n), {.html_safe = html_safe});
}

void write_number(std::string& out, const Json& v) {
  if (v.IsInt64()) {
    out += std::to_string(v.GetInt64());
  } else if (v.IsUint64()) {
    out += std::to_string(v.GetUint64());
  } else {
    json_write_real(out, v.GetDouble());
  }
}

void newline(std::string& out, int depth) {
  out += '\n';
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void write_value(std::string& out, const Json& v, const JsonWriteOptions& o, int depth) {
  if (depth > kMaxNesting) throw std::runtime_error(std::string("cannot write a JSON value: ") + kTooDeeplyNested);
  switch (v.GetType()) {
    case rapidjson::kNullType: out += "null"; return;
    case rapidjson::kFalseType: out += "false"; return;
    case rapidjson::kTrueType: out += "true"; return;
    case rapidjson::kNumberType: write_number(out, v); return;
    case rapidjson::kStringType: write_string(out, v.GetString(), v.GetStringLength(), o.html_safe); return;
    case rapidjson::kArrayType: {
      if (v.Empty()) { out += "[]"; return; }
      out += '[';
      bool first = true;
      for (const auto& e : v.GetArray()) {
        if (!first) out += o.style == JsonStyle::Spaced ? ", " : ",";
        first = false;
        if (o.style == JsonStyle::Indented) newline(out, depth + 1);
        write_value(out, e, o, depth + 1);
      }
      if (o.style == JsonStyle::Indented) newline(out, depth);
      out += ']';
      return;
    }
    case rapidjson::kObjectType: {
      if (v.MemberCount() == 0) { out += "{}"; return; }
      out += '{';
      bool first = true;
      for (const auto& m : v.GetObject()) {
        if (!first) out += o.style == JsonStyle::Spaced ? ", " : ",";
        first = false;
        if (o.style == JsonStyle::Indented) newline(out, depth + 1);
        write_string(out, m.name.GetString(), m.name.GetStringLength(), o.html_safe);
        out += o.style == JsonStyle::Compact ? ":" : ": ";
        write_value(out, m.value, o, depth + 1);
      }
      if (o.style == JsonStyle::Indented) newline(out, depth);
      out += '}';
      return;
    }
  }
}

}  // namespace

void json_write_real(std::string& out, double d) {
  if (std::isnan(d)) out += "NaN";
  else if (std::isinf(d)) out += d < 0 ? "-Infinity" : "Infinity";
  else out += repr_double(d);
}

void json_write_string(std::string& out, std::string_view s, JsonStringOptions o) {
  out += '"';
  const char* const d = s.data();
  std::size_t run = 0;  // start of the pending run of bytes copied as they are
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(d[i]);
    if (c >= 0x80) {
      if (!o.ensure_ascii) {
        ++i;
        continue;
      }
      out.append(d + run, i - run);
      const char32_t cp = utf8_next(s, i);
      if (cp < 0x10000) {
        append_u_escape(out, cp);
      } else {
        append_u_escape(out, 0xD800 + ((cp - 0x10000) >> 10));
        append_u_escape(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
      }
      run = i;
      continue;
    }
    const ByteClass cls = kByteClass[c];
    const bool escaped = cls == ByteClass::Named || cls == ByteClass::Control ||
                         (cls == ByteClass::Html && o.html_safe) ||
                         (cls == ByteClass::Apostrophe && o.escape_apostrophe) ||
                         (cls == ByteClass::Del && o.ensure_ascii);
    if (!escaped) {
      ++i;
      continue;
    }
    const char* esc = nullptr;
    switch (c) {
      case '"': esc = "\\\""; break;
      case '\\': esc = "\\\\"; break;
      case '\n': esc = "\\n"; break;
      case '\r': esc = "\\r"; break;
      case '\t': esc = "\\t"; break;
      case '\b': esc = "\\b"; break;
      case '\f': esc = "\\f"; break;
      default: break;
    }
    out.append(d + run, i - run);
    if (esc) out += esc;
    else append_u_escape(out, c);
    run = ++i;
  }
  out.append(d + run, s.size() - run);
  out += '"';
}

void json_write(std::string& out, const Json& value, JsonWriteOptions options) {
  write_value(out, value, options, 0);
}

std::string json_dumps(const Json& value, JsonWriteOptions options) {
  std::string out;
  json_write(out, value, options);
  return out;
}

JsonNumber json_number(std::string_view text) {
  JsonNumber n;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  {
    const char* p = begin;
    if (json_detail::read_plain_number(p, end, n) && p == end) return n;
    n = JsonNumber();
  }
  if (text.find_first_of(".eEIN") == std::string_view::npos) {
    if (std::from_chars(begin, end, n.i).ec == std::errc()) return n;
    if (text[0] != '-' && std::from_chars(begin, end, n.u).ec == std::errc()) {
      n.kind = JsonNumber::Kind::Uint64;
      return n;
    }
  }
  n.kind = JsonNumber::Kind::Double;
  if (text == "NaN") {
    n.d = std::numeric_limits<double>::quiet_NaN();
  } else if (text == "Infinity" || text == "-Infinity") {
    n.d = text[0] == '-' ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  } else if (std::from_chars(begin, end, n.d).ec != std::errc()) {
    // Beyond the range of double: strtod gives the infinity or the zero.
    static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    n.d = ::strtod_l(std::string(text).c_str(), nullptr, c_locale);
  }
  return n;
}

JsonDoc json_parse(std::string_view text, std::string_view source) {
  // Numbers come as text and are converted by json_number: the reader's own
  // conversion gets some inputs wrong (0e-23, 1e400).
  constexpr unsigned kFlags =
      rapidjson::kParseNanAndInfFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag;
  JsonDoc doc;
  rapidjson::MemoryStream ms(text.data(), text.size());
  JsonGuard guard;
  rapidjson::ParseResult result;
  // The document builds the value from the reader's events; the guard sees
  // each event first and stops the reading at the first fault.
  struct Events {
    JsonDoc& doc;
    JsonGuard& guard;
    rapidjson::MemoryStream& ms;
    bool Null() { return doc.Null(); }
    bool Bool(bool b) { return doc.Bool(b); }
    bool Int(int i) { return doc.Int(i); }
    bool Uint(unsigned u) { return doc.Uint(u); }
    bool Int64(std::int64_t i) { return doc.Int64(i); }
    bool Uint64(std::uint64_t u) { return doc.Uint64(u); }
    bool Double(double d) { return doc.Double(d); }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
      const JsonNumber v = json_number(std::string_view(s, n));
      switch (v.kind) {
        case JsonNumber::Kind::Int64: return doc.Int64(v.i);
        case JsonNumber::Kind::Uint64: return doc.Uint64(v.u);
        case JsonNumber::Kind::Double: break;
      }
      return doc.Double(v.d);
    }
    bool String(const char* s, rapidjson::SizeType n, bool copy) {
      return guard.string(s, n, ms.Tell()) && doc.String(s, n, copy);
    }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) {
      return guard.string(s, n, ms.Tell()) && doc.Key(s, n, copy);
    }
    bool StartObject() { return guard.open(ms.Tell()) && doc.StartObject(); }
    bool EndObject(rapidjson::SizeType n) { guard.close(); return doc.EndObject(n); }
    bool StartArray() { return guard.open(ms.Tell()) && doc.StartArray(); }
    bool EndArray(rapidjson::SizeType n) { guard.close(); return doc.EndArray(n); }
  } events{doc, guard, ms};
  auto generate = [&](JsonDoc&) {
    rapidjson::Reader reader;
    result = reader.Parse<kFlags>(ms, events);
    return !result.IsError();
  };
  doc.Populate(generate);
  if (result.IsError()) {
    std::size_t offset = result.Offset();
    std::string problem = rapidjson::GetParseError_En(result.Code());
    if (guard.fault()) {
      offset = guard.fault_offset(text);
      problem = guard.fault_text();
    }
    throw JsonParseError(std::string(source) + ": invalid JSON at byte " + std::to_string(offset) + ": " + problem,
                         offset);
  }
  return doc;
}

bool JsonGuard::open(std::size_t offset) {
  if (++depth_ <= kMaxNesting) return true;
  return too_deep(offset);
}

bool JsonGuard::too_deep(std::size_t offset) {
  fault_ = Fault::TooDeep;
  offset_ = offset;  // the bracket that went one level too deep
  return false;
}

bool JsonGuard::string(const char* s, std::size_t n, std::size_t end) {
  if (!utf8_invalid_at(std::string_view(s, n))) return true;
  fault_ = Fault::BadText;
  offset_ = end;
  return false;
}

std::size_t JsonGuard::fault_offset(std::string_view text) const {
  if (fault_ != Fault::BadText) return offset_;
  // offset_ is just past the closing quote: find the opening one (a quote
  // after an even number of backslashes), then the first bad byte between.
  std::size_t close = std::min(offset_, text.size());
  if (close == 0) return 0;
  --close;
  std::size_t open = close;
  while (open > 0) {
    --open;
    if (text[open] != '"') continue;
    std::size_t slashes = 0;
    while (open >= slashes + 1 && text[open - slashes - 1] == '\\') ++slashes;
    if (slashes % 2 == 0) break;
  }
  std::string_view raw = text.substr(open + 1, close - open - 1);
  if (auto bad = utf8_invalid_at(raw)) return open + 1 + *bad;
  // The raw bytes are fine, so an escape made the fault: a \u escape of a
  // surrogate without its partner.
  auto hex4 = [&](std::size_t p) -> std::optional<unsigned> {
    if (p + 4 > raw.size()) return std::nullopt;
    unsigned v = 0;
    auto r = std::from_chars(raw.data() + p, raw.data() + p + 4, v, 16);
    if (r.ptr != raw.data() + p + 4) return std::nullopt;
    return v;
  };
  for (std::size_t i = 0; i < raw.size();) {
    if (raw[i] != '\\') {
      ++i;
      continue;
    }
    if (i + 1 >= raw.size() || raw[i + 1] != 'u') {
      i += 2;
      continue;
    }
    const auto cp = hex4(i + 2);
    if (cp && *cp >= 0xD800 && *cp <= 0xDBFF) {
      const bool escape_follows = i + 7 < raw.size() && raw[i + 6] == '\\' && raw[i + 7] == 'u';
      const auto low = escape_follows ? hex4(i + 8) : std::nullopt;
      if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
        i += 12;
        continue;
      }
      return open + 1 + i;
    }
    if (cp && *cp >= 0xDC00 && *cp <= 0xDFFF) return open + 1 + i;
    i += 6;
  }
  return open + 1;
}

std::string JsonGuard::fault_text() const {
  return fault_ == Fault::TooDeep ? kTooDeeplyNested : "text is not valid UTF-8";
}

const char* json_kind_name(const Json& v) {
  switch (v.GetType()) {
    case rapidjson::kArrayType: return "a list";
    case rapidjson::kObjectType: return "a map";
    case rapidjson::kStringType: return "a text";
    case rapidjson::kFalseType:
    case rapidjson::kTrueType: return "a boolean";
    case rapidjson::kNumberType: return "a number";
    case rapidjson::kNullType: break;
  }
  return "null";
}

JsonDoc json_parse_file(const std::filesystem::path& path) {
  std::string text = read_file(path);
  return json_parse(text, path.string());
}

void json_write_file(const std::filesystem::path& path, const Json& value) {
  write_file_atomic(path, json_dumps(value, {.style = JsonStyle::Indented}));
}

}  // namespace kemora::common
