#pragma once
#include <cstring>
#include <cstdint>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

/// UTF-8 and plain-text helpers. Widths and lengths count code points.
namespace kemora::common {

/// The number of code points of `s`: its bytes that are not continuation
/// bytes (exact for valid UTF-8).
std::size_t utf8_length(std::string_view s);
/// The first `n` code points of `s` (all of it when shorter).
std::string utf8_prefix(std::string_view s, std::size_t n);
/// The byte length of utf8_prefix(s, n).
std::size_t utf8_prefix_size(std::string_view s, std::size_t n);
/// `s` padded with blanks on the right (pad_right) or the left (pad_left) to
/// at least `width` code points; never cut.
std::string pad_right(std::string_view s, std::size_t width);
std::string pad_left(std::string_view s, std::size_t width);

/// The code point at byte `i` of `s`; advances `i` past it. A malformed
/// sequence (stray continuation byte, overlong form, encoded surrogate, code
/// point beyond U+10FFFF, cut short) gives U+FFFD and advances one byte.
char32_t utf8_next(std::string_view s, std::size_t& i);
/// The byte offset of the first byte of `s` that does not start a
/// well-formed UTF-8 sequence (the malformed cases of utf8_next); none when
/// all of `s` is valid UTF-8.
std::optional<std::size_t> utf8_invalid_at(std::string_view s);
/// Appends the UTF-8 bytes of `c`.
void utf8_append(std::string& out, char32_t c);
/// Upper and lower case of every letter, as Python's str.upper() and
/// str.lower() map them ("özel" -> "ÖZEL", "ß" -> "SS").
std::string utf8_upper(std::string_view s);
std::string utf8_lower(std::string_view s);

/// Leading and trailing white space (blank, tab, CR, LF, VT, FF) removed.
std::string_view trim(std::string_view s);

/// Python's str.isspace() for one code point.
bool py_isspace(char32_t c);

/// How an HTML-escaped text writes the two quote characters.
enum class HtmlQuotes {
  Numeric,  ///< " as &#34;, ' as &#39;
  Named,    ///< " as &quot;, ' as &#x27;
};
/// Appends `s` with & < > " ' written as character references; every other
/// byte is copied as it is.
void append_html_escaped(std::string& out, std::string_view s, HtmlQuotes quotes);
std::string html_escaped(std::string_view s, HtmlQuotes quotes);

/// What Python's repr() of a str writes as an escape besides the quote, the
/// backslash, \n, \r and \t.
enum class ReprEscapes {
  /// Every character str.isprintable() rejects, as \xNN, \uNNNN or
  /// \UNNNNNNNN; a malformed UTF-8 byte reads as U+FFFD.
  Unprintable,
  /// Nothing else: every other byte is copied as it is.
  BreaksOnly,
};
/// Appends Python's repr() of the str `s`: in single quotes unless the text
/// holds ' and no ", in double quotes then.
void append_py_str_repr(std::string& out, std::string_view s, ReprEscapes escapes = ReprEscapes::Unprintable);

/// Whether the `n` bytes at `a` and at `b` are equal. Two overlapping word
/// loads compare texts of 4 to 16 bytes (names of JSON members, mostly)
/// without a library call.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&a1, a + n - 8, 8);
    std::memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n >= 4 && n < 8) {
    std::uint32_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 4);
    std::memcpy(&b0, b, 4);
    std::memcpy(&a1, a + n - 4, 4);
    std::memcpy(&b1, b + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return std::memcmp(a, b, n) == 0;
}

}  // namespace kemora::common
