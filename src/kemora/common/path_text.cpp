#include "kemora/common/path_text.hpp"

namespace kemora::common {

PathText PathText::parse(const std::string& s) {
  PathText p;
  if (s.size() >= 2 && s[0] == '/' && s[1] == '/' && (s.size() == 2 || s[2] != '/')) p.root = "//";
  else if (!s.empty() && s[0] == '/') p.root = "/";
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t j = s.find('/', i);
    if (j == std::string::npos) j = s.size();
    std::string part = s.substr(i, j - i);
    if (!part.empty() && part != ".") p.parts.push_back(std::move(part));
    i = j + 1;
  }
  return p;
}

PathText PathText::parent() const {
  PathText p = *this;
  if (!p.parts.empty()) p.parts.pop_back();
  return p;
}

PathText PathText::operator/(const std::string& name) const {
  PathText p = *this;
  p.parts.push_back(name);
  return p;
}

std::string PathText::str() const {
  std::string s = root;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) s += '/';
    s += parts[i];
  }
  return s.empty() ? "." : s;
}

}  // namespace kemora::common
