// Uses the installed renderer library: the trending section of one list and
// the packaged template's location.
#include <kemora/paths.hpp>
#include <kemora/pipeline/panogen/trending.hpp>

#include <filesystem>
#include <iostream>

int main() {
  auto doc = kemora::common::json_parse(R"({"low_but_rising": [{"muta": 1, "son_risk": 2345678}]})", "host");
  std::string section = kemora::pipeline::panogen::_build_trending_html(doc);
  bool has_template = std::filesystem::exists(kemora::paths::get_template_path());
  std::cout << "renderer section=" << (section.find(">2.35<") != std::string::npos) << " template=" << has_template
            << "\n";
  return section.find(">2.35<") != std::string::npos && has_template ? 0 : 1;
}
