#pragma once
// Python as the reference for the common text helpers: a script reads a JSON
// list on its standard input and prints what Python makes of each element.
#include <cstdio>
#include <string>
#include <vector>

#include "kemora/common/json.hpp"
#include "test_support.hpp"

namespace kemora::test {

/// Runs the Python source `code` with `input` on its standard input and
/// returns its standard output.
inline std::string run_python_code(const std::string& code, const std::string& input) {
  TempDir dir;
  write_text(dir / "oracle.py", code);
  return run_python((dir / "oracle.py").string(), input);
}

/// The JSON list of `texts`.
inline std::string json_list(const std::vector<std::string>& texts) {
  common::JsonDoc list(rapidjson::kArrayType);
  for (const auto& t : texts) list.PushBack(common::json_string(t, list.GetAllocator()), list.GetAllocator());
  return common::json_dumps(list);
}

/// The JSON list of `values` with 17 significant digits, so that Python
/// reads back every bit.
inline std::string json_list(const std::vector<double>& values) {
  std::string text = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17e", values[i]);
    text += (i ? "," : "") + std::string(buf);
  }
  return text + "]";
}

}  // namespace kemora::test
