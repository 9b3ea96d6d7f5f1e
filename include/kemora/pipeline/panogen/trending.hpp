#pragma once
#include <string>
#include <string_view>

#include "kemora/json.hpp"

/// The trending-lists section: one self-contained HTML fragment with a card
/// per non-empty list of firms.
namespace kemora::pipeline::panogen {

/// Builds the section from the parsed trending-lists JSON object (members
/// fastest_rising, regime_change, persistent_high, low_but_rising, each a list
/// of firm records). Returns "" when no list has an entry. Cell texts are
/// HTML-escaped (&, <, >, ", '), since the lists carry firm names from outside
/// data. Throws std::invalid_argument when `trending` is not an object and
/// std::runtime_error for a list member that is not a list or a record that is
/// not an object.
std::string _build_trending_html(const Json& trending);

/// Reads the trending-lists JSON file at `path` and builds its section.
/// Every error names the file: missing, unreadable, not valid JSON or not
/// UTF-8 (with the byte offset), nested too deeply, or lists and records of
/// the wrong kind.
std::string trending_html_from_file(const std::string& path);

/// The comment in the dashboard page where a trending section belongs.
inline constexpr std::string_view kTrendingMarker = "<!-- KMR_TRENDING_SECTION -->";

/// Puts `section` into the page at `html_path` in place of the trending
/// marker and rewrites the file atomically. A page without the marker gets the
/// section before its closing </body> (or at its end), and the result is false.
bool place_trending_section(const std::string& html_path, const std::string& section);

}  // namespace kemora::pipeline::panogen
