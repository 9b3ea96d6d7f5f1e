#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kemora/common/json.hpp"
#include "kemora/pipeline/panogen/region_maps.hpp"
#include "kemora/pipeline/panogen/row_encoding.hpp"

/// Reading the scoreboard JSON for a render. The file is mapped, not copied,
/// and read once by a streaming parser: the small members (meta, flow_matrix,
/// band_snapshot) become documents, while every row is encoded into its
/// compact array text as it is read and only a small index entry is kept.
namespace kemora::pipeline::panogen {

using RowFilter = std::function<bool(const Json& row)>;

/// One encoded row: its array text lies in Scoreboard::encoded as the part
/// before the region position (head) followed by the part after the branch
/// position (tail); the two code positions are filled in once the maps exist.
struct EncodedRow {
  double sort_key;         ///< son_risk as the ordering reads it
  std::uint64_t offset;    ///< start of the head in `encoded`
  std::uint32_t head_size;
  std::uint32_t tail_size;
  std::int32_t bolge_id;   ///< id in Scoreboard::bolge_codes, -1 for none
  std::int32_t sube_id;    ///< id in Scoreboard::sube_codes, -1 for none
};

struct Scoreboard {
  JsonDoc meta;            ///< the `meta` object as read
  JsonDoc donemler;        ///< meta.donemler (empty array when absent)
  JsonDoc risk_donemler;   ///< meta.risk_donemler, or meta.donemler when absent
  JsonDoc flow_matrix;     ///< top-level flow_matrix, default []
  JsonDoc band_snapshot;   ///< top-level band_snapshot, default {}
  bool has_periods = false;  ///< meta.donemler is not empty
  /// Rows that passed the filter, in file order (empty when there are no
  /// periods: such a scoreboard is not rendered, and its rows not encoded).
  std::vector<EncodedRow> rows;
  std::string encoded;
  CodeTable bolge_codes;
  CodeTable sube_codes;
  std::size_t input_bytes = 0;
};

/// Reads `path`. Throws std::runtime_error naming the file for a file that is
/// missing or unreadable, not valid JSON (with the byte offset), not an
/// object, without `meta` or `rows`, with rows that are not objects, or with
/// values the row encoding cannot take (naming the row).
Scoreboard read_scoreboard(const std::filesystem::path& path, const RowFilter& row_filter);

/// Sorts rows by descending sort key, keeping the file order of equal keys;
/// NaN keys go last.
void sort_rows(std::vector<EncodedRow>& rows);

}  // namespace kemora::pipeline::panogen
