// Renders many template cases in one process, for the differential fuzzer
// (template_diff_fuzz.py) that compares our engine with Python's Jinja2.
//
// Input, one case a line: {"t": "<main.j2 source>", "c": {<context>},
// "f": {"<name>": "<source>", ...}} ("f": further templates, optional).
// Output, one line a case in the same order: {"ok": true, "out": "<text>"}
// or {"ok": false, "err": "<TemplateError text>"}. A case that is not valid
// JSON is an error of the tool (exit status 2); only TemplateErrors are
// expected of the engine, anything else ends the tool with status 3.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "kemora/common/json.hpp"
#include "kemora/pipeline/panogen/errors.hpp"
#include "kemora/pipeline/panogen/template/template.hpp"

namespace tmpl = kemora::pipeline::panogen::tmpl;

int main() {
  std::ios::sync_with_stdio(false);
  // Small budgets, as the libFuzzer target has: no case runs long.
  const tmpl::TemplateLimits limits{.max_steps = 200'000, .max_bytes = 4 << 20, .max_range = 100'000};
  std::string line, out;
  long n = 0;
  while (std::getline(std::cin, line)) {
    ++n;
    tmpl::TemplateValue c;
    try {
      c = tmpl::template_value_from_json_text(line);
    } catch (const std::exception& e) {
      std::cerr << "template_diff_tool: case " << n << ": " << e.what() << "\n";
      return 2;
    }
    const tmpl::TemplateValue* source = c.is_map() ? c.as_map().find("t") : nullptr;
    const tmpl::TemplateValue* ctx = c.is_map() ? c.as_map().find("c") : nullptr;
    const tmpl::TemplateValue* files = c.is_map() ? c.as_map().find("f") : nullptr;
    if (!source || !source->is_string() || (ctx && !ctx->is_map())) {
      std::cerr << "template_diff_tool: case " << n << ": needs \"t\" (a string) and \"c\" (an object)\n";
      return 2;
    }
    out.clear();
    try {
      tmpl::TemplateEnvironment env({}, limits);
      env.add_source("main.j2", source->as_string());
      if (files && files->is_map())
        for (const auto& [name, text] : files->as_map())
          if (text.is_string()) env.add_source(name, text.as_string());
      std::string text = env.render("main.j2", ctx ? ctx->as_map() : tmpl::TemplateContext{});
      out += "{\"ok\": true, \"out\": ";
      kemora::common::json_write_string(out, text);
    } catch (const kemora::pipeline::panogen::TemplateError& e) {
      out = "{\"ok\": false, \"err\": ";
      kemora::common::json_write_string(out, e.what());
    } catch (const std::exception& e) {
      std::cerr << "template_diff_tool: case " << n << ": not a TemplateError: " << e.what() << "\n";
      return 3;
    }
    out += "}\n";
    std::cout << out;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
