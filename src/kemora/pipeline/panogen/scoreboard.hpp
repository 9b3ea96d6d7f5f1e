#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kemora/common/json.hpp"
#include "kemora/pipeline/panogen/code_table.hpp"
#include "kemora/pipeline/panogen/row_encoder.hpp"

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
  RowLayout layout;          ///< the layout the rows were encoded with (with periods)
  /// Rows that passed the filter, in file order (empty when there are no
  /// periods: such a scoreboard is not rendered, and its rows not encoded).
  std::vector<EncodedRow> rows;
  std::string encoded;
  CodeTable bolge_codes;
  CodeTable sube_codes;
  std::size_t input_bytes = 0;
};

/// How read_scoreboard shares a large rows list between two threads: a
/// helper thread encodes the rows from a row boundary found near the middle
/// of the list while the calling thread encodes those before it. The helper's
/// guess of a boundary is checked against the full reading, and its rows are
/// used only when it read every row up to the end of the list without fault;
/// otherwise the calling thread reads those rows itself. The defaults are
/// those of a render; tests lower the limits to take the shared path on small
/// files.
struct ScoreboardReadOptions {
  /// Files smaller than this are read on one thread.
  std::size_t split_min_bytes = std::size_t{8} << 20;
  /// Byte offset where the search for the helper's first row begins; by
  /// default halfway between the start of the rows list and the end of the file.
  std::optional<std::size_t> split_search_from;
  /// When given, set to whether the helper's rows were used.
  bool* split_used = nullptr;
};

/// Reads `path`. Throws std::runtime_error naming the file for a file that is
/// missing or unreadable, not valid JSON (with the byte offset), not an
/// object, without `meta` or `rows`, with rows that are not objects, or with
/// values the row encoding cannot take (naming the row).
/// Rows are shared between two threads only without a row filter (which
/// need not be safe to call from two threads at once), and only when `meta`
/// comes before `rows`; the result and the errors are the same either way.
Scoreboard read_scoreboard(const std::filesystem::path& path, const RowFilter& row_filter);
Scoreboard read_scoreboard(const std::filesystem::path& path, const RowFilter& row_filter,
                           const ScoreboardReadOptions& options);

/// Sorts rows by descending sort key, keeping the file order of equal keys;
/// NaN keys go last.
void sort_rows(std::vector<EncodedRow>& rows);

}  // namespace kemora::pipeline::panogen
