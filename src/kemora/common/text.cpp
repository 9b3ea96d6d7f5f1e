#include "kemora/common/text.hpp"

namespace kemora::common {

namespace {
bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
}  // namespace

std::size_t utf8_length(std::string_view s) {
  std::size_t n = 0;
  for (char c : s)
    if (!is_continuation(static_cast<unsigned char>(c))) ++n;
  return n;
}

std::string utf8_prefix(std::string_view s, std::size_t n) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!is_continuation(static_cast<unsigned char>(s[i]))) {
      if (count == n) return std::string(s.substr(0, i));
      ++count;
    }
  }
  return std::string(s);
}

std::string pad_right(std::string_view s, std::size_t width) {
  std::string out(s);
  std::size_t len = utf8_length(s);
  if (len < width) out.append(width - len, ' ');
  return out;
}

std::string pad_left(std::string_view s, std::size_t width) {
  std::size_t len = utf8_length(s);
  std::string out = len < width ? std::string(width - len, ' ') : std::string();
  out += s;
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

}  // namespace kemora::common
