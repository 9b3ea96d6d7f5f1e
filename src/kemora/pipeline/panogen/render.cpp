#include "kemora/pipeline/panogen/render.hpp"

#include <charconv>
#include <exception>
#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "kemora/common/atomic_file.hpp"
#include "kemora/common/numfmt.hpp"
#include "kemora/common/path_text.hpp"
#include "kemora/common/process.hpp"
#include "kemora/common/text.hpp"
#include "kemora/paths.hpp"
#include "kemora/pipeline/panogen/code_table.hpp"
#include "kemora/pipeline/panogen/scoreboard.hpp"
#include "kemora/pipeline/panogen/template/template.hpp"
#include "kemora/common/json.hpp"
#include "kemora/console.hpp"

namespace kemora::pipeline::panogen {
namespace {

using common::PathText;
using tmpl::TemplateContext;
using tmpl::TemplateEnvironment;
using tmpl::TemplatePage;
using tmpl::TemplateText;
using tmpl::TemplateValue;
using tmpl::template_enumerate;
using tmpl::template_value_from_json;

namespace fs = std::filesystem;

// One report line of a render. A host's sink gets it as it is. On the default
// standard output, a reader that has gone away (`kemora render ... | head -1`)
// only loses the remaining lines: the page is written by then, and the render
// stands.
void report(const ConsoleSink& console, std::string_view line) {
  if (console) {
    console_line(console, line);
    return;
  }
  try {
    console_line(console, line);
  } catch (const common::ProcessInterrupted&) {
  }
}

std::shared_ptr<const std::string> read_script(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return std::make_shared<const std::string>();
  return std::make_shared<const std::string>(common::read_file(path));
}

std::string json_text(const Json& v, common::JsonStyle style) {
  return common::json_dumps(v, {.style = style, .html_safe = true});
}

using common::append_int;

std::size_t decimal_size(int n) {
  if (n < 0) return 2;  // -1
  std::size_t digits = 1;
  for (; n >= 10; n /= 10) ++digits;
  return digits;
}

/// The text of one chunk, made when the page is written: the JSON array of
/// its encoded rows, with the region and branch positions put in from the
/// maps.
class ChunkText : public TemplateText {
 public:
  ChunkText(std::span<const EncodedRow> rows, const BolgeSubeMaps& maps) : rows_(rows), maps_(maps) {
    size_ = 2 + (rows.empty() ? 0 : rows.size() - 1);
    for (const EncodedRow& row : rows)
      size_ += row.head_size + row.tail_size + 1 + decimal_size(bolge(row)) + decimal_size(sube(row));
  }
  std::size_t size() const override { return size_; }
  void write(std::string& out) const override {
    const std::size_t start = out.size();
    out.reserve(start + size_);
    out += '[';
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      const EncodedRow& row = rows_[i];
      if (i != 0) out += ',';
      out.append(row.head());
      append_int(out, bolge(row));
      out += ',';
      append_int(out, sube(row));
      out.append(row.tail());
    }
    out += ']';
    if (out.size() - start != size_) throw std::logic_error("a chunk's text is not of the size it said");
  }

 private:
  int bolge(const EncodedRow& row) const {
    return row.bolge_id < 0 ? -1 : maps_.bolge_position[static_cast<std::size_t>(row.bolge_id)];
  }
  int sube(const EncodedRow& row) const {
    return row.sube_id < 0 ? -1 : maps_.sube_position[static_cast<std::size_t>(row.sube_id)];
  }

  std::span<const EncodedRow> rows_;
  const BolgeSubeMaps& maps_;
  std::size_t size_;
};

std::string size_text(std::uintmax_t bytes) {
  if (bytes > 1024 * 1024) return common::format_fixed(static_cast<double>(bytes) / 1024 / 1024, 1) + " MB";
  return common::format_fixed(static_cast<double>(bytes) / 1024, 1) + " KB";
}

}  // namespace

std::string path_text(const std::string& path) { return PathText::parse(path).str(); }

RenderResult render_html(const std::string& json_path, const RenderOptions& options) {
  if (options.chunk_size < 1)
    throw std::invalid_argument("chunk_size must be at least 1, not " + std::to_string(options.chunk_size));
  if (auto bad = common::utf8_invalid_at(options.external_link))
    throw std::invalid_argument("external_link is not valid UTF-8 (byte " + std::to_string(*bad) + ")");

  const PathText json = PathText::parse(json_path);
  const PathText json_dir = json.parent();
  PathText output;
  if (options.output_html) {
    output = PathText::parse(*options.output_html);
  } else {
    PathText html_dir = json_dir.parent() / "html";
    fs::create_directories(html_dir.str());
    output = html_dir / "kmr_dashboard.html";
  }
  const std::string output_text = output.str();
  const std::string ref_csv_path = options.ref_csv_path ? *options.ref_csv_path : (json_dir / "sube_bolge_ref.csv").str();

  const fs::path js_dir = paths::get_js_dir();
  auto d3_js = read_script(js_dir / "d3.min.js");
  auto d3_sankey_js = read_script(js_dir / "d3-sankey.min.js");

  Scoreboard sb = read_scoreboard(json_path, options.row_filter, options.threads);
  if (!sb.has_periods) {
    report(options.console, "    [WARN] No periods in data, skipping HTML render");
    return {output_text, 0, 0, 0};
  }

  sort_rows(sb.rows);
  std::vector<int> bolge_ids, sube_ids;
  bolge_ids.reserve(sb.rows.size());
  sube_ids.reserve(sb.rows.size());
  for (const auto& row : sb.rows) {
    bolge_ids.push_back(row.bolge_id);
    sube_ids.push_back(row.sube_id);
  }
  BolgeSubeMaps maps = build_bolge_sube_maps(sb.bolge_codes, bolge_ids, sb.sube_codes, sube_ids,
                                             read_ref_csv(ref_csv_path));
  // At least one chunk, "[]" when there are no rows. The chunks' texts are
  // made only as the page is written, one at a time.
  const std::size_t chunk_size = static_cast<std::size_t>(options.chunk_size);
  const std::size_t chunk_count = sb.rows.empty() ? 1 : (sb.rows.size() - 1) / chunk_size + 1;
  const auto total_rows = static_cast<long long>(sb.rows.size());
  TemplateValue::List chunk_values;
  chunk_values.reserve(chunk_count);
  for (std::size_t c = 0; c < chunk_count; ++c) {
    const std::span<const EncodedRow> rows(sb.rows);
    const std::size_t begin = std::min(rows.size(), c * chunk_size);
    const std::size_t end = std::min(rows.size(), begin + chunk_size);
    chunk_values.push_back(TemplateValue::deferred(std::make_shared<ChunkText>(rows.subspan(begin, end - begin), maps)));
  }

  const fs::path template_path = paths::get_template_path();
  fs::path template_dir = template_path.parent_path();
  if (template_dir.empty()) template_dir = ".";

  TemplateContext ctx;
  ctx.set("donemler", json_text(sb.donemler, common::JsonStyle::Spaced))
      .set("risk_donemler", json_text(sb.risk_donemler, common::JsonStyle::Spaced))
      .set("top_n", options.top_n)
      .set("meta", template_value_from_json(sb.meta))
      .set("data_chunks", TemplateValue(std::move(chunk_values)))
      .set("enumerate", template_enumerate())
      .set("total_chunks", static_cast<long long>(chunk_count))
      .set("total_rows", total_rows)
      .set("bolge_list_js", json_text(maps.BOLGE_LIST, common::JsonStyle::Compact))
      .set("sube_list_js", json_text(maps.SUBE_LIST, common::JsonStyle::Compact))
      .set("external_link", options.external_link)
      .set("risk_birim", "mio_tl")
      .set("d3_js", TemplateValue(d3_js))
      .set("d3_sankey_js", TemplateValue(d3_sankey_js))
      .set("flow_matrix_js", json_text(sb.flow_matrix, common::JsonStyle::Compact))
      .set("band_snapshot_js", json_text(sb.band_snapshot, common::JsonStyle::Compact))
      .set("row_layout_js", sb.layout.page_text());

  TemplatePage page;
  TemplateEnvironment env(template_dir);
  env.render(template_path.filename().string(), ctx, page);

  fs::path out_path(output_text);
  if (out_path.has_parent_path()) fs::create_directories(out_path.parent_path());
  // The page is derived from the scoreboard and rendered again at will: it is
  // replaced atomically but not flushed to disk, which costs more than the rest
  // of the writing.
  common::write_file_atomic(out_path, [&](const common::AtomicPieceWriter& write) { page.write_pieces(write); },
                            {.sync = false});

  const std::uintmax_t bytes = fs::file_size(out_path);
  const double size_mb = static_cast<double>(bytes) / 1024 / 1024;
  report(options.console, "    HTML: " + output_text);
  report(options.console, "    Boyut: " + size_text(bytes) + "  |  " + std::to_string(total_rows) + " satır  |  " +
                              std::to_string(chunk_count) + " chunk");
  report(options.console, "    Bölge: " + std::to_string(maps.BOLGE_LIST.Size()) +
                              "  |  Şube: " + std::to_string(maps.SUBE_LIST.Size()));
  if (options.max_size_mb > 0 && size_mb > options.max_size_mb)
    report(options.console, "    [WARN] Boyut limiti aşıldı: " + common::format_fixed(size_mb, 1) + " MB > " +
                                common::repr_double(options.max_size_mb) + " MB");
  return {output_text, total_rows, static_cast<long long>(chunk_count), static_cast<double>(bytes) / 1024};
}

}  // namespace kemora::pipeline::panogen
