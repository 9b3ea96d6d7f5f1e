#include "kemora/common/text.hpp"

#include <locale.h>
#include <wctype.h>

#include <cstdint>
#include <cstring>

namespace kemora::common {

namespace {
bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
}  // namespace

namespace {

/// Length of the well-formed UTF-8 sequence at `i`, or 0 when the bytes there
/// are not one: a stray continuation byte, an overlong form, an encoded
/// surrogate, a code point beyond U+10FFFF, or a sequence cut short.
std::size_t sequence_length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) len = 2;
  else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;        // overlong below U+0800
    else if (c == 0xED) hi = 0x9F;   // U+D800..U+DFFF
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;        // overlong below U+10000
    else if (c == 0xF4) hi = 0x8F;   // beyond U+10FFFF
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < len; ++k)
    if (!is_continuation(byte(i + k))) return 0;
  return len;
}

}  // namespace

char32_t utf8_next(std::string_view s, std::size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  const std::size_t len = sequence_length(s, i);
  if (len == 0) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

std::optional<std::size_t> utf8_invalid_at(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = sequence_length(s, i);
    if (len == 0) return i;
    i += len;
  }
  return std::nullopt;
}

void utf8_append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

namespace {

locale_t utf8_locale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

std::string change_case(std::string_view s, bool upper) {
  std::string out;
  out.reserve(s.size());
  locale_t loc = utf8_locale();
  for (std::size_t i = 0; i < s.size();) {
    char32_t c = utf8_next(s, i);
    if (c < 0x80) {
      char ch = static_cast<char>(c);
      if (upper && ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
      if (!upper && ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
      out += ch;
      continue;
    }
    // Full case mappings of Unicode that the simple mapping lacks.
    if (upper && c == 0xDF) {
      out += "SS";
      continue;
    }
    if (!upper && c == 0x130) {
      out += "i\xCC\x87";
      continue;
    }
    if (loc) c = static_cast<char32_t>(upper ? towupper_l(static_cast<wint_t>(c), loc) : towlower_l(static_cast<wint_t>(c), loc));
    utf8_append(out, c);
  }
  return out;
}

}  // namespace

std::string utf8_upper(std::string_view s) { return change_case(s, true); }
std::string utf8_lower(std::string_view s) { return change_case(s, false); }

std::size_t utf8_length(std::string_view s) {
  std::size_t n = 0;
  for (char c : s)
    if (!is_continuation(static_cast<unsigned char>(c))) ++n;
  return n;
}

std::size_t utf8_prefix_size(std::string_view s, std::size_t n) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!is_continuation(static_cast<unsigned char>(s[i]))) {
      if (count == n) return i;
      ++count;
    }
  }
  return s.size();
}

std::string utf8_prefix(std::string_view s, std::size_t n) { return std::string(s.substr(0, utf8_prefix_size(s, n))); }

std::string pad_right(std::string_view s, std::size_t width) {
  std::string out(s);
  std::size_t len = utf8_length(s);
  if (len < width) out.append(width - len, ' ');
  return out;
}

std::string pad_left(std::string_view s, std::size_t width) {
  std::size_t len = utf8_length(s);
  std::string out = len < width ? std::string(width - len, ' ') : std::string();
  out += s;
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool py_isspace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

void append_html_escaped(std::string& out, std::string_view s, HtmlQuotes quotes) {
  const bool named = quotes == HtmlQuotes::Named;
  std::size_t run = 0;  // start of the pending run of bytes copied as they are
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char* ref;
    switch (s[i]) {
      case '&': ref = "&amp;"; break;
      case '<': ref = "&lt;"; break;
      case '>': ref = "&gt;"; break;
      case '"': ref = named ? "&quot;" : "&#34;"; break;
      case '\'': ref = named ? "&#x27;" : "&#39;"; break;
      default: continue;
    }
    out.append(s.data() + run, i - run);
    out += ref;
    run = i + 1;
  }
  out.append(s.data() + run, s.size() - run);
}

std::string html_escaped(std::string_view s, HtmlQuotes quotes) {
  std::string out;
  out.reserve(s.size());
  append_html_escaped(out, s, quotes);
  return out;
}

namespace {

// Code points str.isprintable() rejects, beyond the ASCII controls (the common
// format, separator and private-use ranges; unassigned code points are not known).
bool py_unprintable(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD || c == 0x061C || c == 0x180E || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) ||
         (c >= 0x205F && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) || c == 0x3000 ||
         (c >= 0xD800 && c <= 0xF8FF) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) ||
         c == 0xFFFE || c == 0xFFFF || c == 0xE0001 || (c >= 0xE0020 && c <= 0xE007F) ||
         c >= 0xF0000;
}

void append_hex(std::string& out, std::uint32_t v, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int k = digits - 1; k >= 0; --k) out += kHex[(v >> (4 * k)) & 0xF];
}

}  // namespace

void append_py_str_repr(std::string& out, std::string_view s, ReprEscapes escapes) {
  const bool all = escapes == ReprEscapes::Unprintable;
  const char quote = s.find('\'') != std::string_view::npos && s.find('"') == std::string_view::npos ? '"' : '\'';
  out += quote;
  for (std::size_t i = 0; i < s.size();) {
    const auto byte = static_cast<unsigned char>(s[i]);
    if (byte >= 0x80 && !all) {
      out += s[i++];
      continue;
    }
    char32_t c = byte;
    if (byte < 0x80) ++i;
    else c = utf8_next(s, i);
    if (c == static_cast<char32_t>(quote) || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (all && py_unprintable(c)) {
      if (c < 0x100) {
        out += "\\x";
        append_hex(out, c, 2);
      } else if (c < 0x10000) {
        out += "\\u";
        append_hex(out, c, 4);
      } else {
        out += "\\U";
        append_hex(out, c, 8);
      }
    } else {
      utf8_append(out, c);
    }
  }
  out += quote;
}

}  // namespace kemora::common
