#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kemora/json.hpp"
#include "kemora/pipeline/panogen/row_encoding.hpp"

/// Region (bolge) and branch (sube) lists with display names, and the maps
/// from code to list position that the row encoding uses.
namespace kemora::pipeline::panogen {

struct BolgeSubeMaps {
  JsonDoc BOLGE_LIST;  ///< array of {kodu, adi}
  CodeMap BOLGE_MAP;
  JsonDoc SUBE_LIST;   ///< array of {kodu, adi, bolge_idx}
  CodeMap SUBE_MAP;
  /// Code id (codes numbered in order of first appearance in the rows) ->
  /// list position; -1 for ids that no row carried.
  std::vector<int> bolge_position;
  std::vector<int> sube_position;
};

/// BOLGE_LIST, BOLGE_MAP, SUBE_LIST and SUBE_MAP of the rows of `all_rows` (a
/// JSON array of row objects, in the order the lists follow), with display
/// names from the reference file at `ref_csv_path` when given and present.
/// Throws std::runtime_error for a row that is not an object, a list or map as
/// a code, or an unreadable reference file.
BolgeSubeMaps _build_bolge_sube_maps(const Json& all_rows,
                                     const std::optional<std::string>& ref_csv_path = std::nullopt);

}  // namespace kemora::pipeline::panogen
