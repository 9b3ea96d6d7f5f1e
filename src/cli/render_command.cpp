// `kemora render`: scoreboard JSON -> standalone HTML dashboard, optionally
// with the trending-lists section placed into the page.
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "kemora/common/json.hpp"
#include "kemora/paths.hpp"
#include "kemora/pipeline/panogen/render.hpp"
#include "kemora/pipeline/panogen/row_encoder.hpp"
#include "kemora/pipeline/panogen/trending.hpp"

namespace kemora::cli {
namespace {

namespace pg = pipeline::panogen;

struct RenderFlags {
  std::string json_path;
  std::string output;
  std::string ref_csv;
  std::string trending;
  long long chunk_size = static_cast<long long>(pg::DEFAULT_CHUNK_SIZE);
  long long top_n = pg::DEFAULT_TOP_N;
  std::string external_link;
  double max_size_mb = 0.0;
  unsigned threads = 0;
  std::string template_path;
  std::vector<std::string> where;
};

/// Keeps the rows whose member KEY has the text form VALUE, for every
/// KEY=VALUE given.
pg::RenderOptions::RowFilter where_filter(const std::vector<std::string>& where) {
  std::vector<std::pair<std::string, std::string>> tests;
  for (const auto& kv : where) {
    auto eq = kv.find('=');
    if (eq == std::string::npos || eq == 0) throw CLI::ValidationError("--where", "expected KEY=VALUE, got '" + kv + "'");
    tests.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
  }
  return [tests](const common::Json& row) {
    for (const auto& [key, value] : tests) {
      const common::Json* found = nullptr;
      for (const auto& m : row.GetObject())  // a repeated member counts with its last value
        if (key == std::string_view(m.name.GetString(), m.name.GetStringLength())) found = &m.value;
      if (found == nullptr || found->IsArray() || found->IsObject() || pg::text_form(*found) != value) return false;
    }
    return true;
  };
}

int run_render(const RenderFlags& f) {
  return run_reporting("render", [&] {
    // The trending file is read first, so that a faulty one stops the command
    // before any output is written.
    std::optional<std::string> section;
    if (!f.trending.empty()) section = pg::trending_html_from_file(f.trending);
    if (!f.template_path.empty()) paths::set_template_path(std::filesystem::path(f.template_path));

    pg::RenderOptions options{.chunk_size = f.chunk_size,
                              .top_n = f.top_n,
                              .external_link = f.external_link,
                              .max_size_mb = f.max_size_mb,
                              .threads = f.threads};
    if (!f.output.empty()) options.output_html = f.output;
    if (!f.ref_csv.empty()) options.ref_csv_path = f.ref_csv;
    if (!f.trending.empty()) options.trending_path = f.trending;
    if (!f.where.empty()) options.row_filter = where_filter(f.where);

    pg::RenderResult result = pg::render_html(f.json_path, options);
    if (section) {
      if (result.chunks == 0) std::cerr << "kemora render: no page was written; the trending section is left out\n";
      else if (!pg::place_trending_section(result.html_path, *section))
        std::cerr << "kemora render: " << result.html_path << " has no " << pg::kTrendingMarker
                  << " marker; the trending section went before </body>\n";
    }
    return 0;
  });
}

}  // namespace

void add_render_command(CLI::App& app) {
  auto flags = std::make_shared<RenderFlags>();
  CLI::App* cmd = add_command(app, "render", "Render a scoreboard JSON into a standalone HTML dashboard",
      "Rows are ordered by descending son_risk and written into the page in chunks.\n"
      "Without -o the page goes to <parent of the JSON's folder>/html/kmr_dashboard.html.\n"
      "Prints the output path, its size with the row and chunk counts, and the region\n"
      "and branch counts. Exit status 0 on success (warnings included), 1 on failure.");
  cmd->add_option("SCOREBOARD_JSON", flags->json_path, "The scoreboard JSON (sample_scoreboard.json)")->required();
  cmd->add_option("-o,--output", flags->output, "Output HTML file");
  cmd->add_option("--ref-csv", flags->ref_csv,
                  "Branch/region reference CSV (default: sube_bolge_ref.csv beside the JSON)");
  cmd->add_option("--trending", flags->trending,
                  "Trending-lists JSON; its section is placed at the page's trending marker");
  cmd->add_option("--chunk-size", flags->chunk_size, "Rows per data chunk (at least 1)")
      ->capture_default_str()
      ->check(CLI::Range(1LL, static_cast<long long>(INT64_MAX)));
  cmd->add_option("--top-n", flags->top_n, "Rows the dashboard shows at first")->capture_default_str();
  cmd->add_option("--external-link", flags->external_link,
                  "URL prefix opened with the MUTA on a row double-click");
  cmd->add_option("--max-size-mb", flags->max_size_mb, "Warn when the page is larger (MB; 0 = no check)")
      ->capture_default_str();
  cmd->add_option("--threads", flags->threads,
                  "Threads that read the rows (0: as many as the file is worth, at most the cores and 8); "
                  "the page is the same for any number")
      ->capture_default_str()
      ->check(CLI::Range(0u, 256u));
  cmd->add_option("--template", flags->template_path, "Render with this Jinja2 template file instead of the packaged one");
  cmd->add_option("--where", flags->where,
                  "Keep only rows whose member KEY has the text VALUE (KEY=VALUE, repeatable, all must hold)")
      ->allow_extra_args(false);
  cmd->callback([flags] { exit_status() = run_render(*flags); });
}

}  // namespace kemora::cli
