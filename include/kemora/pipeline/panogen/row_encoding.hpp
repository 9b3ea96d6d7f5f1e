#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kemora/json.hpp"

/// The compact row array: one scoreboard row as a positional JSON array
/// (13 + D + 3R positions), the form in which the dashboard page receives its
/// table data.
namespace kemora::pipeline::panogen {

/// An amount in millions of TL as `_mio` gives it: null, a whole number of
/// millions (|m| >= 1; kept as the integer-valued double) or a real rounded to
/// one decimal.
struct Mio {
  enum class Kind : std::uint8_t { Null, Integer, Real };
  Kind kind = Kind::Null;
  double value = 0.0;
  bool operator==(const Mio&) const = default;
};

/// Amount in TL -> millions of TL. Numbers (and booleans, as 1 and 0) convert
/// directly; texts are read as decimal reals (blanks around, sign, fraction,
/// exponent, underscores between digits, inf/infinity/nan in any case).
/// Null, other kinds, unreadable texts and NaN give Null; infinite amounts give
/// Null too, since they have no whole number of millions.
Mio _mio(const Json& v);

/// BOLGE_MAP / SUBE_MAP: code key -> position in the list. A code is keyed
/// by its type and text together, so the text "101", the integer 101 and the
/// real 101.0 are three different codes.
using CodeMap = std::unordered_map<std::string, int>;

/// The key of a region or branch code in a CodeMap: the type and the text
/// form together, so the text "101", the integer 101 and the real 101.0 are
/// three different codes. Null (no code) gives std::nullopt. Throws
/// std::runtime_error for a list or a map, which cannot be a code.
std::optional<std::string> code_key(const Json& v);

/// The compact row array of `row` (a JSON object), as the page receives it.
/// Members repeated in the object count with their last value. Throws
/// std::runtime_error when `row` is not an object or holds a value a position
/// cannot take (a list or map as segment or code, a non-zero number as unvan).
JsonDoc _row_to_array(const Json& row, const Json& donemler, const Json& risk_donemler,
                      const CodeMap& BOLGE_MAP, const CodeMap& SUBE_MAP);

}  // namespace kemora::pipeline::panogen
