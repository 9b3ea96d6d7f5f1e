#pragma once
#include <string>
#include <vector>

namespace kemora::common {

/// A path as text, in the normalised form the system prints and records:
/// repeated separators, a trailing separator and "." parts dropped, ".." kept,
/// a leading "//" kept, "." for an empty path. Relative paths stay relative.
struct PathText {
  std::string root;  ///< "", "/" or "//"
  std::vector<std::string> parts;

  /// Splits `s` at its separators into the normalised form; never throws.
  static PathText parse(const std::string& s);
  /// The path without its last part ("." and "/" are their own parents).
  PathText parent() const;
  /// The path with `name` (one part, taken as it is) added at its end.
  PathText operator/(const std::string& name) const;
  /// The text: the root, then the parts joined by "/"; "." when both are empty.
  std::string str() const;
};

}  // namespace kemora::common
