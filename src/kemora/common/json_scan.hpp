#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kemora/common/json.hpp"
#include "kemora/common/text.hpp"

/// Reading large JSON texts without building a document: one validating pass
/// that outlines a text (where the root's members and the elements of one
/// list lie), and a cursor that then reads values out of the outlined parts.
///
/// The outline accepts exactly the texts json_parse accepts: NaN and the
/// infinities, nesting within kMaxNesting levels, strings (names too) that
/// are valid UTF-8 once decoded. It does not say why a text is refused, only
/// where it stopped; json_parse's reader stays the one authority on that.
namespace kemora::common {

/// Where a value lies in the text: its first byte and one past its last.
struct JsonSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const { return end - begin; }
  bool operator==(const JsonSpan&) const = default;
};

/// What an outline records.
struct JsonOutlineRequest {
  /// Names of root members whose values are wanted.
  std::span<const std::string_view> members;
  /// Index in `members` of the one whose list elements are wanted; none when
  /// out of range.
  std::size_t list = SIZE_MAX;
  /// For a reader that works on the parts while the pass goes on, when given:
  /// called as the value of a requested member has been read,
  std::function<void(std::size_t member, JsonSpan value)> on_member;
  /// as the value of the list member turns out to be a list (with where it
  /// begins; the elements met before belong to an earlier member),
  std::function<void(std::size_t begin)> on_list;
  /// and with each element of that list as it has been read.
  std::function<void(JsonSpan element)> on_element;
};

struct JsonOutline {
  /// First byte of the root value: '{', '[', '"', 't', 'f', 'n', or the first
  /// byte of a number.
  char root = 0;
  /// By request index: the value of the last root member of that name, or
  /// nullopt when there is none (or the root is not an object).
  std::vector<std::optional<JsonSpan>> members;
  /// The elements of that member's value when it is a list (the last member
  /// of the name counts), in order; empty otherwise.
  std::vector<JsonSpan> elements;
};

/// Validates and outlines `text`. Returns std::nullopt when json_parse would
/// accept the text, otherwise the offset where the pass stopped (`out` is
/// unspecified then).
std::optional<std::size_t> json_outline(std::string_view text, const JsonOutlineRequest& request,
                                        JsonOutline& out);

/// Reads the values of a text that json_outline accepted, as a reader meets
/// them, without checking the grammar again. It stays within its bounds all
/// the same: bytes that are no such text (a file that was rewritten after it
/// was outlined) make it throw JsonParseError, never read outside.
class JsonCursor {
 public:
  enum class Kind : std::uint8_t { String, Number, True, False, Null, List, Map };

  /// `text` holds one value; `offset` is where it lies in the whole input
  /// (for error offsets).
  JsonCursor(std::string_view text, std::size_t offset) : text_(text), offset_(offset) {}

  /// Enters the map that starts at the cursor.
  void enter_map() {
    skip_space();
    if (p_ >= text_.size() || text_[p_] != '{') fault();
    ++p_;
  }
  /// The next member name of the map entered last, decoded; false at the end
  /// of the map (which the cursor then leaves). The text stays valid until
  /// the next call.
  bool next_member(std::string_view& name) {
    skip_space();
    if (p_ < text_.size() && text_[p_] == '}') {
      ++p_;
      return false;
    }
    if (p_ < text_.size() && text_[p_] == ',') {
      ++p_;
      skip_space();
    }
    name = string();
    skip_space();
    if (p_ >= text_.size() || text_[p_] != ':') fault();
    ++p_;
    return true;
  }
  /// next_member for a reader that expects the name `expected` (a name
  /// without '"' or '\\'): a name written exactly so is taken without a search
  /// for its end.
  bool next_member(std::string_view& name, std::string_view expected) {
    skip_space();
    if (p_ < text_.size() && text_[p_] == ',') ++p_;
    if (p_ < text_.size() && text_[p_] == ' ') ++p_;
    const std::size_t n = expected.size();
    if (n != 0 && text_.size() - p_ > n + 2 && text_[p_] == '"' && text_[p_ + n + 1] == '"' &&
        text_[p_ + n + 2] == ':' && same_bytes(text_.data() + p_ + 1, expected.data(), n)) {
      name = text_.substr(p_ + 1, n);
      p_ += n + 3;
      return true;
    }
    return next_member(name);
  }
  /// The kind of the value at the cursor.
  Kind peek() {
    skip_space();
    if (p_ >= text_.size()) fault();
    switch (text_[p_]) {
      case '"': return Kind::String;
      case '{': return Kind::Map;
      case '[': return Kind::List;
      case 't': return Kind::True;
      case 'f': return Kind::False;
      case 'n': return Kind::Null;
      default: return Kind::Number;
    }
  }
  /// The string at the cursor, decoded (valid until the next call).
  std::string_view string() {
    skip_space();
    if (p_ >= text_.size() || text_[p_] != '"') fault();
    const std::size_t begin = ++p_;
    p_ = find_quote_or_backslash(text_, p_);
    if (p_ >= text_.size()) fault();
    if (text_[p_] == '\\') return escaped_string(begin);
    return text_.substr(begin, p_++ - begin);
  }
  /// The text of the number at the cursor ("12", "-1.5e3", "NaN").
  std::string_view number() {
    skip_space();
    const std::size_t begin = p_;
    while (p_ < text_.size() && !kEndsNumber[static_cast<unsigned char>(text_[p_])]) ++p_;
    if (p_ == begin) fault();
    return text_.substr(begin, p_ - begin);
  }
  /// The number at the cursor, as json_number reads its text.
  JsonNumber number_value() {
    skip_space();
    const char* p = text_.data() + p_;
    const char* const end = text_.data() + text_.size();
    JsonNumber n;
    if (json_detail::read_plain_number(p, end, n) && (p == end || kEndsNumber[static_cast<unsigned char>(*p)])) {
      p_ = static_cast<std::size_t>(p - text_.data());
      return n;
    }
    return json_number(number());
  }
  /// Steps over the value at the cursor and gives its text.
  std::string_view skip();

 private:
  static bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
  static constexpr auto kEndsNumber = [] {
    std::array<bool, 256> t{};
    for (unsigned char c : {',', '}', ']', ' ', '\n', '\r', '\t'}) t[c] = true;
    return t;
  }();
  /// The first '"' or '\\' in `text` from `p` on, or text.size().
  static std::size_t find_quote_or_backslash(std::string_view text, std::size_t p);
  void skip_space() {
    while (p_ < text_.size() && is_space(text_[p_])) ++p_;
  }
  [[noreturn]] void fault() const;
  /// The rest of a string with an escape, from its first character at `begin`.
  std::string_view escaped_string(std::size_t begin);
  std::size_t string_end(std::size_t from);  // `from`: the opening quote; one past the closing one

  std::string_view text_;
  std::size_t offset_;
  std::size_t p_ = 0;
  std::string scratch_;
};

}  // namespace kemora::common
