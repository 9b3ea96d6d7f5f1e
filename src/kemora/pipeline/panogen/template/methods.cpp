// Methods of strings and lists called in templates (`s.split(',')`,
// `'{:>5}'.format(x)`, `l.index(3)`), as Python's.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kemora/pipeline/panogen/template/eval.hpp"
#include "kemora/pipeline/panogen/template/internal.hpp"

namespace kemora::pipeline::panogen::tmpl::detail {

namespace {

using Kind = TemplateValue::Kind;
using Text = std::u32string;

Text decode(std::string_view s) {
  Text out;
  for (std::size_t i = 0; i < s.size();) out += utf8_next(s, i);
  return out;
}

std::string encode(const Text& t, std::size_t from = 0, std::size_t to = std::u32string::npos) {
  std::string out;
  to = std::min(to, t.size());
  for (std::size_t i = from; i < to; ++i) utf8_append(out, t[i]);
  return out;
}

/// A method's arguments by position, then by keyword name (`names` in order).
List bind(const std::string& method, std::initializer_list<std::string_view> names, std::size_t required, List args,
          const std::vector<std::string>& kw_names, std::vector<bool>* given = nullptr) {
  std::size_t positional = args.size() - kw_names.size();
  if (positional > names.size())
    throw EvalError(method + "() takes at most " + std::to_string(names.size()) + " arguments (" +
                    std::to_string(positional) + " given)");
  List out(names.size());
  std::vector<bool> have(names.size(), false);
  for (std::size_t i = 0; i < positional; ++i) {
    out[i] = std::move(args[i]);
    have[i] = true;
  }
  for (std::size_t k = 0; k < kw_names.size(); ++k) {
    std::size_t slot = 0;
    for (std::string_view n : names) {
      if (n == kw_names[k]) break;
      ++slot;
    }
    if (slot == names.size()) throw EvalError(method + "() got an unexpected keyword argument '" + kw_names[k] + "'");
    if (have[slot]) throw EvalError(method + "() got multiple values for argument '" + kw_names[k] + "'");
    out[slot] = std::move(args[positional + k]);
    have[slot] = true;
  }
  for (std::size_t i = 0; i < required; ++i)
    if (!have[i]) throw EvalError(method + "() missing required argument");
  for (std::size_t i = 0; i < out.size(); ++i)
    if (!have[i]) out[i] = TemplateValue::none();
  if (given) *given = have;
  return out;
}

const std::string& str_arg(const TemplateValue& v, const std::string& method, std::string& keep) {
  if (!v.is_string()) throw EvalError(method + "() argument must be str, not " + type_name(v));
  keep = std::string(v.as_string());
  return keep;
}

/// Python's str.split / rsplit.
List split(const TemplateValue& self, const TemplateValue& sep_v, const TemplateValue& max_v, bool right, Budget& st) {
  std::int64_t maxsplit = max_v.is_none() ? -1 : int_arg(max_v, "maxsplit");
  Text s = decode(self.as_string());
  std::vector<std::pair<std::size_t, std::size_t>> parts;  // [from, to) of s
  if (sep_v.is_none()) {
    if (!right) {
      std::size_t i = 0, n = s.size();
      while (true) {
        while (i < n && py_isspace(s[i])) ++i;
        if (i >= n) break;
        if (maxsplit >= 0 && static_cast<std::int64_t>(parts.size()) == maxsplit) {
          std::size_t e = n;
          parts.emplace_back(i, e);
          break;
        }
        std::size_t j = i;
        while (j < n && !py_isspace(s[j])) ++j;
        parts.emplace_back(i, j);
        i = j;
      }
    } else {
      std::size_t i = s.size();
      while (true) {
        while (i > 0 && py_isspace(s[i - 1])) --i;
        if (i == 0) break;
        if (maxsplit >= 0 && static_cast<std::int64_t>(parts.size()) == maxsplit) {
          parts.emplace_back(0, i);
          break;
        }
        std::size_t j = i;
        while (j > 0 && !py_isspace(s[j - 1])) --j;
        parts.emplace_back(j, i);
        i = j;
      }
      std::reverse(parts.begin(), parts.end());
    }
  } else {
    if (!sep_v.is_string()) throw EvalError("must be str or None, not " + type_name(sep_v));
    Text sep = decode(sep_v.as_string());
    if (sep.empty()) throw EvalError("empty separator");
    st.step(s.size() / 256 * (sep.size() / 256 + 1));
    if (!right) {
      std::size_t from = 0;
      while (maxsplit < 0 || static_cast<std::int64_t>(parts.size()) < maxsplit) {
        std::size_t f = s.find(sep, from);
        if (f == Text::npos) break;
        parts.emplace_back(from, f);
        from = f + sep.size();
      }
      parts.emplace_back(from, s.size());
    } else {
      std::size_t to = s.size();
      std::int64_t done = 0;
      while (maxsplit < 0 || done < maxsplit) {
        if (to < sep.size()) break;
        std::size_t f = s.rfind(sep, to - sep.size());
        if (f == Text::npos) break;
        parts.emplace_back(f + sep.size(), to);
        to = f;
        ++done;
      }
      parts.emplace_back(0, to);
      std::reverse(parts.begin(), parts.end());
    }
  }
  st.elements(parts.size());
  List out;
  for (auto [a, b] : parts) {
    std::string p = encode(s, a, b);
    out.push_back(self.is_safe() ? TemplateValue::safe_string(std::move(p)) : TemplateValue(std::move(p)));
  }
  return out;
}

/// A code point range of `n` from Python's optional start and end arguments.
std::pair<std::int64_t, std::int64_t> span(const TemplateValue& start, const TemplateValue& end, std::int64_t n) {
  auto norm = [&](const TemplateValue& v, std::int64_t fallback) {
    if (v.is_none()) return fallback;
    if (!v.is_integer()) throw EvalError("slice indices must be integers or None");
    std::optional<std::int64_t> x = v.as_bigint().to_int64();
    std::int64_t i = x ? *x : (v.as_bigint().negative() ? -n - 1 : n + 1);
    if (i < 0) i = std::max<std::int64_t>(0, i + n);
    return std::min(i, n);
  };
  return {norm(start, 0), norm(end, n)};
}


std::string py_title(std::string_view s) {
  std::string out;
  bool prev_cased = false;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t at = i;
    char32_t c = utf8_next(s, i);
    std::string_view ch = s.substr(at, i - at);
    if (c == 0xDF || (c >= 0x1C4 && c <= 0x1CC) || (c >= 0x1F1 && c <= 0x1F3) || (c >= 0xFB00 && c <= 0xFB17) ||
        (c >= 0x1F80 && c <= 0x1FFC) || (c >= 0x10D0 && c <= 0x10FF))
      throw EvalError("title() of '" + std::string(ch) + "' is not supported");
    bool is_cased = py_case(c) != CharCase::Uncased;
    out += is_cased ? (prev_cased ? py_lower(ch) : py_upper(ch)) : std::string(ch);
    prev_cased = is_cased;
  }
  return out;
}

// ---- str.format ----

struct FormatSpec {
  char32_t fill = ' ';
  bool fill_given = false;
  char align = 0;
  char sign = 0;
  bool alt = false, zero = false;
  std::int64_t width = -1, precision = -1;
  char grouping = 0;
  char type = 0;
};

FormatSpec parse_spec(const Text& t) {
  FormatSpec f;
  std::size_t i = 0;
  auto is_align = [](char32_t c) { return c == '<' || c == '>' || c == '^' || c == '='; };
  if (t.size() >= 2 && is_align(t[1])) {
    f.fill = t[0];
    f.fill_given = true;
    f.align = static_cast<char>(t[1]);
    i = 2;
  } else if (!t.empty() && is_align(t[0])) {
    f.align = static_cast<char>(t[0]);
    i = 1;
  }
  if (i < t.size() && (t[i] == '+' || t[i] == '-' || t[i] == ' ')) f.sign = static_cast<char>(t[i++]);
  if (i < t.size() && t[i] == '#') f.alt = true, ++i;
  if (i < t.size() && t[i] == '0') f.zero = true, ++i;
  auto number = [&](std::int64_t& out) {
    if (i >= t.size() || t[i] < '0' || t[i] > '9') return;
    out = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      out = out * 10 + (t[i++] - '0');
      if (out > 1'000'000) throw EvalError("a format width or precision this large is not supported");
    }
  };
  number(f.width);
  if (i < t.size() && (t[i] == ',' || t[i] == '_')) f.grouping = static_cast<char>(t[i++]);
  if (i < t.size() && t[i] == '.') {
    ++i;
    f.precision = -2;
    number(f.precision);
    if (f.precision == -2) throw EvalError("Format specifier missing precision");
  }
  if (i < t.size()) f.type = static_cast<char>(t[i++]);
  if (i != t.size() || f.type >= 0x7F) throw EvalError("Invalid format specifier");
  return f;
}

std::string group_digits(const std::string& digits, char sep, std::size_t every) {
  std::string out;
  std::size_t n = digits.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i && (n - i) % every == 0) out += sep;
    out += digits[i];
  }
  return out;
}

/// Sign, digits (the body) and the width: as Python's format() lays them out.
std::string lay_out(const FormatSpec& f, std::string sign, std::string body, char default_align) {
  char align = f.align ? f.align : (f.zero ? '=' : default_align);
  char32_t fill = f.fill_given ? f.fill : (f.zero ? U'0' : U' ');
  std::int64_t len = static_cast<std::int64_t>(utf8_length(sign) + utf8_length(body));
  std::int64_t pad = f.width > len ? f.width - len : 0;
  std::string fill_s;
  utf8_append(fill_s, fill);
  auto fills = [&](std::int64_t n) {
    std::string s;
    for (std::int64_t k = 0; k < n; ++k) s += fill_s;
    return s;
  };
  switch (align) {
    case '<': return sign + body + fills(pad);
    case '^': return fills(pad / 2) + sign + body + fills(pad - pad / 2);
    case '=': return sign + fills(pad) + body;
    default: return fills(pad) + sign + body;
  }
}

std::string printf_double(const std::string& fmt, double x) {
  int n = std::snprintf(nullptr, 0, fmt.c_str(), x);
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), fmt.c_str(), x);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

/// format(d, '.<p>'): 'g' that keeps a digit after the point and writes an
/// exponent from p - 1 digits before the point on.
std::string general_no_type(double d, std::int64_t precision) {
  std::int64_t p = precision == 0 ? 1 : precision;
  std::string e = printf_double("%." + std::to_string(p - 1) + "e", d);
  std::int64_t exp = std::stoll(e.substr(e.find('e') + 1));
  auto strip = [](std::string s) {
    std::size_t mark = s.find('e');
    std::string tail = mark == std::string::npos ? "" : s.substr(mark);
    std::string head = s.substr(0, mark);
    if (head.find('.') != std::string::npos) {
      while (head.back() == '0') head.pop_back();
      if (head.back() == '.') head.pop_back();
    }
    return head + tail;
  };
  if (exp >= -4 && exp < p - 1) {
    std::string fixed = strip(printf_double("%." + std::to_string(p - 1 - exp) + "f", d));
    if (fixed.find('.') == std::string::npos) fixed += ".0";
    return fixed;
  }
  return strip(e);
}

std::string format_value(const TemplateValue& v, const Text& spec_text, Budget& st) {
  // bool's format() with no spec is str(); with one, int's.
  if (v.kind() == Kind::Bool && spec_text.empty()) return v.as_bool() ? "True" : "False";
  if (v.is_undefined()) {
    if (!spec_text.empty()) throw EvalError("unsupported format string passed to Undefined.__format__");
    return "";
  }
  FormatSpec f = parse_spec(spec_text);
  if (f.width > 0) st.bytes(static_cast<std::uint64_t>(f.width));
  if (v.is_string() || (spec_text.empty() && !v.is_number())) {
    if (f.type && f.type != 's') throw EvalError("Unknown format code for object of type 'str'");
    if (f.sign || f.alt || f.grouping || f.align == '=') throw EvalError("that format of a str is not supported");
    if (!v.is_string() && !(v.is_none() || v.is_sequence() || v.is_map()))
      throw EvalError("format() of a " + type_name(v) + " is not supported");
    std::string text;
    append_str_limited(text, v, st.bound(0));
    if (f.precision >= 0) text = std::string(text.substr(0, common::utf8_prefix_size(text, static_cast<std::size_t>(f.precision))));
    FormatSpec g = f;
    if (!f.align && f.zero) throw EvalError("zero padding of a str is not supported");
    return lay_out(g, "", text, '<');
  }
  if (!v.is_number()) throw EvalError("format() of a " + type_name(v) + " with a format spec is not supported");
  const bool int_type = f.type == 'd' || f.type == 'x' || f.type == 'X' || f.type == 'o' || f.type == 'b' ||
                        f.type == 'c' || f.type == 'n';
  if (v.is_integer() && (f.type == 0 || int_type)) {
    if (f.type == 'c' || f.type == 'n') throw EvalError("the format type '" + std::string(1, f.type) + "' is not supported");
    if (f.precision >= 0) throw EvalError("Precision not allowed in integer format specifier");
    BigInt i = v.as_bigint();
    std::string digits;
    const char* prefix = "";
    if (f.type == 0 || f.type == 'd') {
      digits = i.abs().to_string();
    } else {
      std::optional<std::int64_t> n = i.to_int64();
      if (!n || *n == INT64_MIN) throw EvalError("formatting an integer beyond 64 bits in that base is not supported");
      std::uint64_t m = static_cast<std::uint64_t>(*n < 0 ? -*n : *n);
      if (f.type == 'b') {
        do {
          digits.insert(digits.begin(), static_cast<char>('0' + (m & 1)));
          m >>= 1;
        } while (m);
        prefix = "0b";
      } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, f.type == 'x' ? "%llx" : f.type == 'X' ? "%llX" : "%llo",
                      static_cast<unsigned long long>(m));
        digits = buf;
        prefix = f.type == 'x' ? "0x" : f.type == 'X' ? "0X" : "0o";
      }
    }
    if (f.grouping) {
      if (f.grouping == ',' && f.type != 0 && f.type != 'd') throw EvalError("Cannot specify ',' with that type");
      if (f.zero && !f.align) throw EvalError("zero padding with digit grouping is not supported");
      digits = group_digits(digits, f.grouping, f.type == 0 || f.type == 'd' ? 3 : 4);
    }
    std::string sign = i.negative() ? "-" : f.sign == '+' ? "+" : f.sign == ' ' ? " " : "";
    if (f.alt) sign += prefix;
    return lay_out(f, sign, digits, '>');
  }
  if (int_type) throw EvalError("Unknown format code '" + std::string(1, f.type) + "' for object of type 'float'");
  if (f.type && std::string_view("eEfFgG%").find(f.type) == std::string_view::npos)
    throw EvalError("Unknown format code for a number");
  double d = to_double(v);
  if (!std::isfinite(d)) throw EvalError("format() of inf or nan is not supported");
  if (f.type == 0) {
    std::string text;
    if (f.precision >= 0) {
      text = general_no_type(d, f.precision);
    } else {
      append_str_limited(text, TemplateValue(d), 1000);
    }
    std::string sign;
    if (text[0] == '-') {
      sign = "-";
      text.erase(0, 1);
    } else if (f.sign == '+' || f.sign == ' ') {
      sign = std::string(1, f.sign);
    }
    if (f.grouping) {
      // Python groups the whole digits of repr()'s text.
      if (f.zero && !f.align) throw EvalError("zero padding with digit grouping is not supported");
      std::size_t end = text.find_first_of(".e");
      if (end == std::string::npos) end = text.size();
      text = group_digits(text.substr(0, end), f.grouping, 3) + text.substr(end);
    }
    return lay_out(f, sign, text, '>');
  }
  if (f.alt) throw EvalError("the '#' form of a float format is not supported");
  if (f.grouping && f.type != 'f' && f.type != 'F') throw EvalError("digit grouping of that float format is not supported");
  std::int64_t prec = f.precision >= 0 ? f.precision : 6;
  double x = std::fabs(d);
  char type = f.type;
  if (type == '%') {
    x *= 100;
    type = 'f';
  }
  std::string fmt = "%." + std::to_string(prec) + type;
  int n = std::snprintf(nullptr, 0, fmt.c_str(), x);
  std::string body(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(body.data(), body.size(), fmt.c_str(), x);
  body.resize(static_cast<std::size_t>(n));
  if (f.grouping) {
    std::size_t dot = body.find('.');
    std::string whole = body.substr(0, dot), rest = dot == std::string::npos ? "" : body.substr(dot);
    body = group_digits(whole, f.grouping, 3) + rest;
    if (f.zero && !f.align) throw EvalError("zero padding with digit grouping is not supported");
  }
  if (f.type == '%') body += '%';
  std::string sign = std::signbit(d) ? "-" : f.sign == '+' ? "+" : f.sign == ' ' ? " " : "";
  return lay_out(f, sign, body, '>');
}

std::string str_format(std::string_view fmt_s, const List& pos, const TemplateMap& named, Budget& st) {
  Text fmt = decode(fmt_s);
  std::string out;
  std::size_t auto_index = 0;
  bool used_auto = false, used_manual = false;
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    char32_t c = fmt[i];
    if (c == '}') {
      if (i + 1 < fmt.size() && fmt[i + 1] == '}') {
        out += '}';
        ++i;
        continue;
      }
      throw EvalError("Single '}' encountered in format string");
    }
    if (c != '{') {
      utf8_append(out, c);
      continue;
    }
    if (i + 1 < fmt.size() && fmt[i + 1] == '{') {
      out += '{';
      ++i;
      continue;
    }
    std::size_t close = i + 1;
    while (close < fmt.size() && fmt[close] != '}') {
      if (fmt[close] == '{') throw EvalError("nested replacement fields in str.format are not supported");
      ++close;
    }
    if (close >= fmt.size()) throw EvalError("expected '}' before end of string");
    Text field(fmt.begin() + static_cast<std::ptrdiff_t>(i + 1), fmt.begin() + static_cast<std::ptrdiff_t>(close));
    i = close;
    Text spec;
    std::size_t colon = field.find(U':');
    if (colon != Text::npos) {
      spec = field.substr(colon + 1);
      field = field.substr(0, colon);
    }
    char conversion = 0;
    std::size_t bang = field.find(U'!');
    if (bang != Text::npos) {
      if (bang + 2 != field.size() || (field[bang + 1] != 's' && field[bang + 1] != 'r'))
        throw EvalError("that conversion in str.format is not supported");
      conversion = static_cast<char>(field[bang + 1]);
      field = field.substr(0, bang);
    }
    TemplateValue v;
    if (field.empty()) {
      if (used_manual) throw EvalError("cannot switch from numbered fields ({0}) to automatic ones ({})");
      used_auto = true;
      if (auto_index >= pos.size()) throw EvalError("Replacement index " + std::to_string(auto_index) + " out of range for positional args tuple");
      v = pos[auto_index++];
    } else if (std::all_of(field.begin(), field.end(), [](char32_t d) { return d >= '0' && d <= '9'; })) {
      if (used_auto) throw EvalError("cannot switch from automatic fields ({}) to numbered ones ({0})");
      used_manual = true;
      if (field.size() > 9) throw EvalError("Too many decimal digits in format string");
      std::size_t k = std::stoul(encode(field));
      if (k >= pos.size()) throw EvalError("Replacement index " + std::to_string(k) + " out of range for positional args tuple");
      v = pos[k];
    } else {
      for (char32_t d : field)
        if (!((d >= 'a' && d <= 'z') || (d >= 'A' && d <= 'Z') || (d >= '0' && d <= '9') || d == '_'))
          throw EvalError("that field name in str.format is not supported");
      std::string key = encode(field);
      const TemplateValue* x = named.find(key);
      if (!x) throw EvalError("KeyError: '" + key + "'");
      v = *x;
    }
    if (conversion) {
      std::string text;
      if (conversion == 's') append_str_limited(text, v, st.bound(0));
      else append_repr_limited(text, v, st.bound(0));
      v = TemplateValue(std::move(text));
    }
    std::string piece = format_value(v, spec, st);
    st.bytes(piece.size());
    out += piece;
  }
  return out;
}

}  // namespace

CharCase py_case(char32_t c) {
  if (c < 0x80) {
    if (c >= 'a' && c <= 'z') return CharCase::Lower;
    if (c >= 'A' && c <= 'Z') return CharCase::Upper;
    return CharCase::Uncased;
  }
  std::string ch;
  utf8_append(ch, c);
  bool lower_differs = common::utf8_lower(ch) != ch, upper_differs = common::utf8_upper(ch) != ch;
  if (lower_differs && upper_differs) return CharCase::Title;
  if (lower_differs) return CharCase::Upper;
  if (upper_differs) return CharCase::Lower;
  // Lower case letters without an upper case (Python counts them cased).
  static constexpr char32_t kLowerOnly[] = {0xAA,  0xBA,  0xDF,  0x138, 0x149, 0x18D, 0x19B, 0x1AA, 0x1AB, 0x1BA,
                                            0x1BE, 0x1F0, 0x221, 0x234, 0x235, 0x236, 0x237, 0x238, 0x239};
  if (std::find(std::begin(kLowerOnly), std::end(kLowerOnly), c) != std::end(kLowerOnly)) return CharCase::Lower;
  if (c < 0x250 || py_isspace(c) || (c >= 0x2000 && c <= 0x206F) || (c >= 0x3000 && c <= 0x303F) ||
      (c >= 0x4E00 && c <= 0x9FFF) || c >= 0x1F000)
    return CharCase::Uncased;
  throw EvalError("whether '" + ch + "' has a case (in Python's Unicode data) is not known here");
}

bool more_method(const TemplateValue& obj, std::string_view name) {
  auto in = [&](std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  if (obj.is_string())
    return in({"split", "rsplit", "lstrip", "rstrip", "title", "capitalize", "startswith", "endswith", "count", "find",
               "rfind", "index", "rindex", "join", "format"});
  if (obj.kind() == Kind::List || obj.kind() == Kind::Tuple) return in({"count", "index"});
  return false;
}

std::optional<TemplateValue> call_more_methods(const TemplateValue& obj, const std::string& name, List args,
                                               const std::vector<std::string>& kw_names, FilterHost& host) {
  Budget& st = host.budget();
  std::string k1, k2;
  if (obj.is_string()) {
    std::string_view s = obj.as_string();
    auto keep_safe = [&](std::string r) {
      st.bytes(r.size());
      return obj.is_safe() ? TemplateValue::safe_string(std::move(r)) : TemplateValue(std::move(r));
    };
    if (name == "split" || name == "rsplit") {
      List a = bind(name, {"sep", "maxsplit"}, 0, std::move(args), kw_names);
      return TemplateValue(split(obj, a[0], a[1], name == "rsplit", st));
    }
    if (name == "lstrip" || name == "rstrip") {
      List a = bind(name, {"chars"}, 0, std::move(args), {});
      if (!kw_names.empty()) throw EvalError(name + "() takes no keyword arguments");
      std::optional<std::string> chars;
      if (!a[0].is_none()) chars = str_arg(a[0], name, k1);
      // Markup's lstrip/rstrip take the characters escaped (MarkupSafe 2.1).
      if (chars && obj.is_safe() && !a[0].is_safe()) chars = escape_html(*chars);
      std::string_view stripped = py_strip(s, chars);
      // py_strip strips both ends: keep the other end of the original.
      std::size_t b = static_cast<std::size_t>(stripped.data() - s.data());
      std::string_view r = name == "lstrip" ? s.substr(b) : s.substr(0, b + stripped.size());
      if (stripped.empty()) r = std::string_view();  // nothing left from either end
      return keep_safe(std::string(r));
    }
    if (name == "title" || name == "capitalize") {
      if (!args.empty()) throw EvalError(name + "() takes no arguments");
      if (name == "title") return keep_safe(py_title(s));
      if (s.empty()) return keep_safe("");
      std::size_t i = 0;
      char32_t c = utf8_next(s, i);
      if (c == 0xDF || (c >= 0x1C4 && c <= 0x1CC) || (c >= 0x1F1 && c <= 0x1F3) || (c >= 0xFB00 && c <= 0xFB17) ||
          (c >= 0x1F80 && c <= 0x1FFC) || (c >= 0x10D0 && c <= 0x10FF))
        throw EvalError("capitalize() of a text starting with '" + std::string(s.substr(0, i)) + "' is not supported");
      return keep_safe(py_upper(s.substr(0, i)) + py_lower(s.substr(i)));
    }
    if (name == "startswith" || name == "endswith") {
      if (!kw_names.empty()) throw EvalError(name + "() takes no keyword arguments");
      if (args.size() != 1) throw EvalError(name + "() with start or end is not supported");
      List options;
      if (args[0].kind() == Kind::Tuple) options = args[0].as_list();
      else options.push_back(args[0]);
      for (const auto& p : options) {
        if (!p.is_string())
          throw EvalError(name + " first arg must be str or a tuple of str, not " + type_name(p));
        std::string_view x = p.as_string();
        bool hit = name == "startswith" ? s.substr(0, x.size()) == x
                                        : s.size() >= x.size() && s.substr(s.size() - x.size()) == x;
        if (hit) return TemplateValue(true);
      }
      return TemplateValue(false);
    }
    if (name == "count" || name == "find" || name == "rfind" || name == "index" || name == "rindex") {
      if (!kw_names.empty()) throw EvalError(name + "() takes no keyword arguments");
      List a = bind(name, {"sub", "start", "end"}, 1, std::move(args), {});
      const std::string& sub_s = str_arg(a[0], name, k1);
      Text t = decode(s), sub = decode(sub_s);
      auto [b, e] = span(a[1], a[2], static_cast<std::int64_t>(t.size()));
      st.step(t.size() / 256 * (sub.size() / 256 + 1));
      if (name == "count") {
        if (b > e) return TemplateValue(0);
        if (sub.empty()) return TemplateValue(static_cast<long long>(e - b + 1));
        long long n = 0;
        for (std::size_t i = static_cast<std::size_t>(b); i + sub.size() <= static_cast<std::size_t>(e);) {
          if (t.compare(i, sub.size(), sub) == 0) {
            ++n;
            i += sub.size();
          } else {
            ++i;
          }
        }
        return TemplateValue(n);
      }
      long long found = -1;
      if (b <= e && static_cast<std::int64_t>(sub.size()) <= e - b) {
        Text window = t.substr(static_cast<std::size_t>(b), static_cast<std::size_t>(e - b));
        std::size_t f = name == "find" || name == "index" ? window.find(sub) : window.rfind(sub);
        if (f != Text::npos) found = static_cast<long long>(f) + b;
      }
      if (found < 0 && (name == "index" || name == "rindex")) throw EvalError("substring not found");
      return TemplateValue(found);
    }
    if (name == "join") {
      if (!kw_names.empty() || args.size() != 1) throw EvalError("join() takes exactly one argument");
      List items = host.items_of(args[0]);
      std::string out;
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].is_string())
          throw EvalError("sequence item " + std::to_string(i) + ": expected str instance, " + type_name(items[i]) + " found");
        if (i) out += s;
        // Markup.join escapes the plain items.
        if (obj.is_safe() && !items[i].is_safe()) out += escape_html(items[i].as_string());
        else out += items[i].as_string();
        if (out.size() > st.room()) throw EvalError(kTooMuchText);
      }
      return keep_safe(std::move(out));
    }
    if (name == "format") {
      if (obj.is_safe()) throw EvalError("format() of a safe (Markup) string is not supported");
      std::size_t positional = args.size() - kw_names.size();
      List pos(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(positional));
      TemplateMap named;
      for (std::size_t i = 0; i < kw_names.size(); ++i) named.set(kw_names[i], args[positional + i]);
      std::string r = str_format(s, pos, named, st);
      return TemplateValue(std::move(r));
    }
  }
  if (obj.kind() == Kind::List || obj.kind() == Kind::Tuple) {
    if (name == "count" || name == "index") {
      if (!kw_names.empty()) throw EvalError(name + "() takes no keyword arguments");
      if (args.size() != 1) throw EvalError(name + "() with start or stop is not supported");
      const List& items = obj.as_list();
      long long n = 0;
      for (std::size_t i = 0; i < items.size(); ++i) {
        st.step();
        if (py_eq(items[i], args[0], st)) {
          if (name == "index") return TemplateValue(static_cast<long long>(i));
          ++n;
        }
      }
      if (name == "index") throw EvalError("x not in list");
      return TemplateValue(n);
    }
  }
  return std::nullopt;
}

}  // namespace kemora::pipeline::panogen::tmpl::detail
