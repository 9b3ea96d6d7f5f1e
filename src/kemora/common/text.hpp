#pragma once
#include <cstddef>
#include <string>
#include <string_view>

/// UTF-8 and plain-text helpers. Widths and lengths count code points.
namespace kemora::common {

std::size_t utf8_length(std::string_view s);
/// The first `n` code points of `s` (all of it when shorter).
std::string utf8_prefix(std::string_view s, std::size_t n);
/// `s` padded with blanks to at least `width` code points; never cut.
std::string pad_right(std::string_view s, std::size_t width);
std::string pad_left(std::string_view s, std::size_t width);

/// Leading and trailing white space (blank, tab, CR, LF, VT, FF) removed.
std::string_view trim(std::string_view s);
/// ASCII letters lower-cased; other bytes unchanged.
std::string ascii_lower(std::string_view s);
std::string ascii_upper(std::string_view s);

}  // namespace kemora::common
