#pragma once
#include <functional>
#include <optional>
#include <string>

#include "kemora/json.hpp"
#include "kemora/console_sink.hpp"
#include "kemora/pipeline/panogen/constants.hpp"
#include "kemora/pipeline/panogen/errors.hpp"

/// Render scoreboard JSON -> standalone HTML dashboard.
namespace kemora::pipeline::panogen {

struct RenderOptions {
  using RowFilter = std::function<bool(const Json& row)>;

  /// Output file; by default <parent of the JSON's folder>/html/kmr_dashboard.html.
  std::optional<std::string> output_html;
  /// Reference CSV; by default sube_bolge_ref.csv beside the JSON.
  std::optional<std::string> ref_csv_path;
  /// Accepted for callers that pass it along; the dashboard does not read it.
  std::optional<std::string> trending_path;
  /// Encoded rows per chunk; at least 1.
  long long chunk_size = static_cast<long long>(DEFAULT_CHUNK_SIZE);
  /// Rows the dashboard shows at first.
  long long top_n = DEFAULT_TOP_N;
  /// URL prefix the dashboard opens (with the MUTA) on a row double-click.
  std::string external_link;
  /// When given, only the rows for which it returns true are rendered. It is
  /// called once for every row that is a map, in file order, before the row
  /// is encoded, and never from two threads at once; an exception it throws
  /// ends the render and reaches the caller as it was thrown (when a row
  /// before has failed to encode, the filter still sees the remaining rows,
  /// and an exception of its own is the one reported).
  RowFilter row_filter;
  /// Size warning limit in MB; 0 or less disables the check.
  double max_size_mb = 0.0;
  /// Threads that encode the rows: 0 for as many as the size of the
  /// scoreboard makes worth it (at most the cores available, and 8). The page
  /// is the same for any number.
  unsigned threads = 0;
  /// Receives the report lines (see kemora::ConsoleSink); standard output,
  /// flushed per line, when empty. A closed standard output loses the lines
  /// but does not fail the render.
  ConsoleSink console;
};

struct RenderResult {
  std::string html_path;
  long long rows = 0;
  long long chunks = 0;
  double size_kb = 0;  ///< file size in bytes / 1024, not rounded
  bool operator==(const RenderResult&) const = default;
};

/// Reads the scoreboard at `json_path`, orders its rows by descending
/// son_risk, encodes them into chunks, fills the dashboard template found
/// through kemora::paths::get_template_path() and writes the HTML file
/// atomically. Prints the report lines (or, for a scoreboard without periods,
/// one warning line and nothing written) to `options.console`.
///
/// Throws std::invalid_argument for a chunk size below 1; kemora::FileNotFound
/// for a missing scoreboard; kemora::InvalidJson (with the byte offset) for
/// one that is not valid JSON or UTF-8; ScoreboardError for one without meta
/// or rows or with rows the encoding cannot take; TemplateError (naming
/// template and line) for a missing or faulty template; std::runtime_error
/// naming the file for other unreadable inputs and an unwritable output. No
/// output file is written or replaced then.
RenderResult render_html(const std::string& json_path, const RenderOptions& options = {});

/// The text of a path as Python's pathlib prints it: repeated and trailing
/// slashes and "." parts removed, "." for an empty path.
std::string path_text(const std::string& path);

}  // namespace kemora::pipeline::panogen
