#include "kemora/common/json.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>

#include <cmath>

#include "kemora/common/atomic_file.hpp"
#include "kemora/common/numfmt.hpp"

namespace kemora::common {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void write_string(std::string& out, const char* s, std::size_t n, bool html_safe) {
  out += '"';
  std::size_t run = 0;  // start of the pending run of bytes copied as they are
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    const char* esc = nullptr;
    bool hex = false;
    if (c == '"') esc = "\\\"";
    else if (c == '\\') esc = "\\\\";
    else if (c < 0x20) {
      switch (c) {
        case '\n': esc = "\\n"; break;
        case '\r': esc = "\\r"; break;
        case '\t': esc = "\\t"; break;
        case '\b': esc = "\\b"; break;
        case '\f': esc = "\\f"; break;
        default: hex = true;
      }
    } else if (html_safe && (c == '<' || c == '>' || c == '&')) {
      hex = true;
    } else {
      continue;
    }
    out.append(s + run, i - run);
    run = i + 1;
    if (esc) {
      out += esc;
    } else if (hex) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  out.append(s + run, n - run);
  out += '"';
}

void write_number(std::string& out, const Json& v) {
  if (v.IsInt64()) {
    out += std::to_string(v.GetInt64());
  } else if (v.IsUint64()) {
    out += std::to_string(v.GetUint64());
  } else {
    double d = v.GetDouble();
    if (std::isnan(d)) out += "NaN";
    else if (std::isinf(d)) out += d < 0 ? "-Infinity" : "Infinity";
    else out += repr_double(d);
  }
}

void newline(std::string& out, int depth) {
  out += '\n';
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void write_value(std::string& out, const Json& v, const JsonWriteOptions& o, int depth) {
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

void json_write(std::string& out, const Json& value, JsonWriteOptions options) {
  write_value(out, value, options, 0);
}

std::string json_dumps(const Json& value, JsonWriteOptions options) {
  std::string out;
  json_write(out, value, options);
  return out;
}

JsonDoc json_parse(std::string_view text, std::string_view source) {
  constexpr unsigned kFlags =
      rapidjson::kParseNanAndInfFlag | rapidjson::kParseFullPrecisionFlag | rapidjson::kParseIterativeFlag;
  JsonDoc doc;
  rapidjson::MemoryStream ms(text.data(), text.size());
  doc.ParseStream<kFlags, rapidjson::UTF8<>>(ms);
  if (doc.HasParseError()) {
    std::size_t offset = doc.GetErrorOffset();
    throw JsonParseError(std::string(source) + ": invalid JSON at byte " + std::to_string(offset) + ": " +
                             rapidjson::GetParseError_En(doc.GetParseError()),
                         offset);
  }
  return doc;
}

JsonDoc json_parse_file(const std::filesystem::path& path) {
  std::string text = read_file(path);
  return json_parse(text, path.string());
}

void json_write_file(const std::filesystem::path& path, const Json& value) {
  write_file_atomic(path, json_dumps(value, {.style = JsonStyle::Indented}));
}

}  // namespace kemora::common
