// `kemora trending`: trending-lists JSON -> the HTML section of its lists.
#include <iostream>
#include <string>

#include "cli/commands.hpp"
#include "kemora/common/atomic_file.hpp"
#include "kemora/common/json.hpp"
#include "kemora/pipeline/panogen/trending.hpp"

namespace kemora::cli {
namespace {

struct TrendingFlags {
  std::string json_path;
  std::string output;
};

int run_trending(const TrendingFlags& f) {
  return run_reporting("trending", [&] {
    std::string section = pipeline::panogen::trending_html_from_file(f.json_path);
    if (section.empty()) std::cerr << "kemora trending: " << f.json_path << ": all four lists are empty\n";
    if (f.output.empty()) std::cout << section << std::flush;
    else common::write_file_atomic(f.output, section);
    return 0;
  });
}

}  // namespace

void add_trending_command(CLI::App& app) {
  auto flags = std::make_shared<TrendingFlags>();
  CLI::App* cmd = add_command(app, "trending", "Build the HTML section of the trending lists",
      "Reads the trending-lists JSON (sample_trending_lists.json) and writes one self-contained\n"
      "HTML section with a card per non-empty list (fastest_rising, regime_change,\n"
      "persistent_high, low_but_rising). Writes nothing when every list is empty.\n"
      "Exit status 0 on success, 1 on failure.");
  cmd->add_option("TRENDING_JSON", flags->json_path, "The trending-lists JSON")->required();
  cmd->add_option("-o,--output", flags->output, "Write the section to this file instead of standard output");
  cmd->callback([flags] { exit_status() = run_trending(*flags); });
}

}  // namespace kemora::cli
