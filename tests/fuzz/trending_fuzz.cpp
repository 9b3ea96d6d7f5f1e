// The trending-lists section from hostile JSON: an error, or a fragment that
// is valid UTF-8 with every cell escaped.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "fuzz_support.hpp"
#include "kemora/common/json.hpp"
#include "kemora/pipeline/panogen/trending.hpp"

using namespace kemora::common;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  JsonDoc doc;
  try {
    doc = json_parse(std::string_view(reinterpret_cast<const char*>(data), size), "trending.json");
  } catch (const JsonParseError&) {
    return 0;
  }
  try {
    const std::string html = kemora::pipeline::panogen::_build_trending_html(doc);
    kemora::fuzz::require_utf8(html);
    if (html.find("<script") != std::string::npos) std::abort();  // outside text never becomes markup
  } catch (const std::invalid_argument&) {
  } catch (const std::runtime_error&) {
  }
  return 0;
}
