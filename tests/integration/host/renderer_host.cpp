// Uses the installed renderer library: renders a two-row scoreboard with the
// packaged template, its report lines through a console sink of the host,
// and builds the trending section of one list.
#include <kemora/paths.hpp>
#include <kemora/pipeline/panogen/render.hpp>
#include <kemora/pipeline/panogen/trending.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  namespace fs = std::filesystem;
  namespace pg = kemora::pipeline::panogen;
  const fs::path dir = fs::path(argv[1]) / "json";
  fs::create_directories(dir);
  std::ofstream(dir / "sb.json") << R"({"meta": {"donemler": ["202401"], "risk_donemler": []},
    "rows": [{"muta": 1, "unvan": "A", "son_risk": 5000000, "kmr202401": 3},
             {"muta": 2, "unvan": "B", "son_risk": 9000000, "kmr202401": 5}]})";
  std::string lines;
  pg::RenderResult r = pg::render_html((dir / "sb.json").string(),
                                       {.console = [&](std::string_view line) { lines += line; }});

  kemora::JsonDoc doc;
  doc.Parse(R"({"low_but_rising": [{"muta": 1, "son_risk": 2345678}]})");
  std::string section = pg::_build_trending_html(doc);
  bool has_template = fs::exists(kemora::paths::get_template_path());
  bool ok = r.rows == 2 && fs::exists(r.html_path) && !lines.empty() &&
            section.find(">2.35<") != std::string::npos && has_template;
  std::cout << "renderer rows=" << r.rows << " lines=" << (lines.empty() ? 0 : 1)
            << " section=" << (section.find(">2.35<") != std::string::npos) << " template=" << has_template << "\n";
  return ok ? 0 : 1;
}
