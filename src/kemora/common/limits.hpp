#pragma once

/// Limits on what we read from files that other programs write.
namespace kemora::common {

/// The deepest nesting accepted in any JSON document or template we read:
/// arrays and objects inside one another, parentheses, operators and filter
/// chains inside one expression, blocks inside one another, includes inside
/// includes. Everything that walks such a structure recursively (parsers,
/// writers, renderers, destructors) stays far within the stack at this depth,
/// also under AddressSanitizer. Beyond it, reading fails with an error that
/// names the file and the position and says "too deeply nested".
inline constexpr int kMaxNesting = 512;

/// The text of that error's end: "too deeply nested (more than 512 levels)".
inline constexpr const char* kTooDeeplyNested = "too deeply nested (more than 512 levels)";

}  // namespace kemora::common
