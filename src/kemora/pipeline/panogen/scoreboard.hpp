#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kemora/common/json.hpp"
#include "kemora/pipeline/panogen/code_table.hpp"
#include "kemora/pipeline/panogen/row_encoder.hpp"

/// Reading the scoreboard JSON for a render, in two stages over the mapped
/// file. A scan: one validating pass that outlines the file (where `meta`,
/// every element of `rows`, `flow_matrix` and `band_snapshot` lie). An
/// encode: the rows are turned into compact array texts in contiguous groups,
/// one thread each, every group with code tables of its own; the groups are
/// joined in row order, so that the result is the same however the rows were
/// shared out.
namespace kemora::pipeline::panogen {

using RowFilter = std::function<bool(const Json& row)>;

/// One encoded row: its array text is head() followed by tail(), with the
/// region and branch positions between them filled in once the maps exist.
struct EncodedRow {
  double sort_key;         ///< son_risk as the ordering reads it
  const char* text;        ///< the head, then the tail, in Scoreboard::texts
  std::uint32_t head_size;
  std::uint32_t tail_size;
  std::int32_t bolge_id;   ///< id in Scoreboard::bolge_codes, -1 for none
  std::int32_t sube_id;    ///< id in Scoreboard::sube_codes, -1 for none

  std::string_view head() const { return {text, head_size}; }
  std::string_view tail() const { return {text + head_size, tail_size}; }
};

struct Scoreboard {
  JsonDoc meta;            ///< the `meta` object as read
  JsonDoc donemler;        ///< meta.donemler (empty array when absent)
  JsonDoc risk_donemler;   ///< meta.risk_donemler, or meta.donemler when absent
  JsonDoc flow_matrix;     ///< top-level flow_matrix, default []
  JsonDoc band_snapshot;   ///< top-level band_snapshot, default {}
  bool has_periods = false;  ///< meta.donemler is not empty
  RowLayout layout;          ///< the layout the rows were encoded with (with periods)
  /// Rows that passed the filter, in file order (empty when there are no
  /// periods: such a scoreboard is not rendered, and its rows not encoded).
  std::vector<EncodedRow> rows;
  /// The texts of the groups, which the rows point into. Strings are only
  /// ever moved, which keeps their characters where they are.
  std::vector<std::string> texts;
  CodeTable bolge_codes;
  CodeTable sube_codes;
  std::size_t input_bytes = 0;
};

/// Reads `path`, encoding the rows on `threads` threads (0: as many as the
/// size of the file makes worth it, at most the cores available and 8). A
/// row filter, which need not be safe to call from two threads at once,
/// makes it one thread. The result and the errors do not depend on the
/// number of threads.
///
/// Throws std::runtime_error naming the file for a file that is missing or
/// unreadable, not valid JSON (with the byte offset, and the row inside the
/// rows list for text that is not UTF-8 or nests too deeply), not an object,
/// without `meta` or `rows` or with either of the wrong kind, or with rows
/// that are not maps or hold values the row encoding cannot take (naming
/// the first such row), or for a file that changed while it was read.
Scoreboard read_scoreboard(const std::filesystem::path& path, const RowFilter& row_filter, unsigned threads = 0);

/// Sorts rows by descending sort key, keeping the file order of equal keys;
/// NaN keys go last.
void sort_rows(std::vector<EncodedRow>& rows);

}  // namespace kemora::pipeline::panogen
