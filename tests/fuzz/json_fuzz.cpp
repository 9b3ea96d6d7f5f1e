// The JSON reader and the three text forms: what the reader accepts, every
// writer writes back as text that reads again to the same value.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kemora/common/json.hpp"
#include "kemora/common/text.hpp"

using namespace kemora::common;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  JsonDoc doc;
  try {
    doc = json_parse(text, "fuzz");
  } catch (const JsonParseError&) {
    return 0;
  }
  const std::string compact = json_dumps(doc);
  if (utf8_invalid_at(compact)) std::abort();
  for (JsonStyle style : {JsonStyle::Indented, JsonStyle::Compact, JsonStyle::Spaced}) {
    for (bool html_safe : {false, true}) {
      const std::string written = json_dumps(doc, {.style = style, .html_safe = html_safe});
      if (html_safe && written.find_first_of("<>&") != std::string::npos) std::abort();
      JsonDoc again = json_parse(written, "written");  // throws, and so fails, if it does not read
      if (json_dumps(again) != compact) std::abort();
    }
  }
  return 0;
}
