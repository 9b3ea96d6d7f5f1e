// The JSON reader, the outline and the three text forms: the outline accepts
// exactly what the reader accepts and finds the values the reader finds; what
// the reader accepts, every writer writes back as text that reads again to
// the same value.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "kemora/common/json.hpp"
#include "kemora/common/json_scan.hpp"
#include "kemora/common/text.hpp"

using namespace kemora::common;

namespace {

std::string dumped(std::string_view text, JsonSpan span) {
  return json_dumps(json_parse(text.substr(span.begin, span.size()), "span"));
}

/// The outline of an accepted text names the values the document holds: the
/// last member of each name, and the elements of the last "rows" list.
void check_outline(std::string_view text, const JsonDoc& doc, std::span<const std::string_view> names,
                   const JsonOutline& outline) {
  if (!doc.IsObject()) {
    for (const auto& m : outline.members)
      if (m) std::abort();
    return;
  }
  const Json* rows = nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const Json* last = nullptr;
    for (const auto& m : doc.GetObject())
      if (std::string_view(m.name.GetString(), m.name.GetStringLength()) == names[i]) last = &m.value;
    if (!last) {
      if (outline.members[i]) std::abort();
      continue;
    }
    if (!outline.members[i] || dumped(text, *outline.members[i]) != json_dumps(*last)) std::abort();
    if (i == 1) rows = last;
  }
  if (rows == nullptr || !rows->IsArray()) {
    if (!outline.elements.empty()) std::abort();
    return;
  }
  if (outline.elements.size() != rows->Size()) std::abort();
  for (rapidjson::SizeType k = 0; k < rows->Size(); ++k)
    if (dumped(text, outline.elements[k]) != json_dumps((*rows)[k])) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static constexpr std::string_view kNames[] = {"a", "rows"};
  JsonOutline outline;
  const bool outlined = !json_outline(text, {.members = kNames, .list = 1}, outline);
  JsonDoc doc;
  try {
    doc = json_parse(text, "fuzz");
  } catch (const JsonParseError&) {
    if (outlined) std::abort();
    return 0;
  }
  if (!outlined) std::abort();
  check_outline(text, doc, kNames, outline);
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
