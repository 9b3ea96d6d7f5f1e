// The filters on sequences and texts that reach other filters, tests and
// attributes (sort, unique, map, select, groupby, ...), and the text filters
// (title, truncate, indent, wordcount, filesizeformat, urlencode, ...), each
// as Jinja2 3.1 has it.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kemora/pipeline/panogen/template/eval.hpp"
#include "kemora/pipeline/panogen/template/internal.hpp"

namespace kemora::pipeline::panogen::tmpl::detail {

namespace {

using Kind = TemplateValue::Kind;

/// How deep map may run filters inside the filters it runs.
constexpr int kMaxFilterDepth = 64;

/// The fields of what groupby gives: (grouper, list).
const char* const kGroupFields[] = {"grouper", "list", nullptr};

/// The parts of an attribute path: "a.b" gives "a", "b"; a part of digits
/// is an integer index (Jinja2 reads "0" as 0); a value other than a string
/// is one part.
List attribute_parts(const TemplateValue& attribute) {
  if (!attribute.is_string()) return {attribute};
  List parts;
  std::string_view s = attribute.as_string();
  std::size_t start = 0;
  while (true) {
    std::size_t dot = s.find('.', start);
    std::string_view part = s.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    bool digits = !part.empty() && std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits && part.size() < 18) {
      parts.emplace_back(static_cast<long long>(std::stoll(std::string(part))));
    } else {
      // Python's str.isdigit() also holds for other scripts' digits; such a
      // part stays a name here, so refuse it rather than guess.
      for (unsigned char c : part)
        if (c >= 0x80) throw EvalError("attribute names beyond ASCII in filters are not supported");
      if (digits) throw EvalError("attribute index too large");
      parts.emplace_back(std::string(part));
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts;
}

/// Jinja2's attribute getter: the item at `parts` (each by getitem, with the
/// default for an undefined step), then str.lower() of a string unless
/// case-sensitive.
struct Getter {
  FilterHost* host;
  std::vector<List> paths;  ///< one per comma-separated attribute; empty path: the item itself
  std::optional<TemplateValue> fallback;
  bool lower = false;
  bool multi = false;  ///< gives a list of the values (sort's several attributes)

  TemplateValue one(const TemplateValue& item, const List& path) const {
    TemplateValue v = item;
    // The default stands in for an undefined value after every step.
    for (const auto& part : path) {
      v = host->subscript(v, part);
      if (fallback && v.is_undefined()) v = *fallback;
    }
    if (lower && v.is_string()) v = TemplateValue(py_lower(v.as_string()));
    return v;
  }
  TemplateValue operator()(const TemplateValue& item) const {
    if (!multi) return one(item, paths[0]);
    List out;
    for (const auto& p : paths) out.push_back(one(item, p));
    return TemplateValue(std::move(out));
  }
};

Getter make_getter(FilterHost& host, const std::optional<TemplateValue>& attribute, bool lower, bool multi = false) {
  Getter g{&host, {}, std::nullopt, lower, multi};
  if (!attribute || attribute->is_none()) {
    g.paths.emplace_back();
    return g;
  }
  if (multi && attribute->is_string()) {
    std::string_view s = attribute->as_string();
    std::size_t start = 0;
    while (true) {
      std::size_t comma = s.find(',', start);
      std::string_view part = s.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
      g.paths.push_back(attribute_parts(TemplateValue(part)));
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    return g;
  }
  g.paths.push_back(attribute_parts(*attribute));
  return g;
}

/// Whether `v` is or holds a NaN (an order with it differs from Python's).
bool holds_nan(const TemplateValue& v) {
  if (v.kind() == Kind::Double) return std::isnan(v.as_double());
  if (v.kind() == Kind::List || v.kind() == Kind::Tuple)
    return std::any_of(v.as_list().begin(), v.as_list().end(), holds_nan);
  return false;
}

/// Python's sorted(items, key=keys) (stable; reverse keeps equal items in
/// order). Keys holding a NaN are refused: Python's order then depends on its
/// sorting algorithm.
List sorted_by(List items, const List& keys, bool reverse, Budget& st) {
  for (const auto& k : keys)
    if (holds_nan(k)) throw EvalError("sorting values that are or hold NaN is not supported");
  std::vector<std::size_t> order(items.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    st.step();
    return reverse ? py_less(keys[b], keys[a], "<", st) : py_less(keys[a], keys[b], "<", st);
  });
  List out;
  out.reserve(items.size());
  for (std::size_t i : order) out.push_back(std::move(items[i]));
  return out;
}

/// A value Python can hash (a set member, a dict key); NaN refused too.
void check_hashable(const TemplateValue& v) {
  switch (v.kind()) {
    case Kind::List:
    case Kind::Map:
    case Kind::View: throw EvalError("unhashable type: '" + type_name(v) + "'");
    case Kind::Tuple:
      for (const auto& x : v.as_list()) check_hashable(x);
      return;
    case Kind::Double:
      if (std::isnan(v.as_double())) throw EvalError("unique of NaN values is not supported");
      return;
    case Kind::Iterator:
    case Kind::Callable:
    case Kind::Object: throw EvalError("unique of a " + type_name(v) + " is not supported");
    default: return;
  }
}

bool truthy_bool(const Args& a, std::size_t i, bool fallback) { return a.has(i) ? a.get(i).truthy() : fallback; }

std::optional<TemplateValue> opt(const Args& a, std::size_t i) {
  if (a.has(i)) return a.get(i);
  return std::nullopt;
}

/// Python's str.splitlines() line breaks.
bool line_break(char32_t c) {
  return c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || c == 0x1C || c == 0x1D || c == 0x1E || c == 0x85 ||
         c == 0x2028 || c == 0x2029;
}

std::vector<std::string> split_lines(std::string_view s) {
  std::vector<std::string> lines;
  std::size_t start = 0, i = 0;
  while (i < s.size()) {
    std::size_t at = i;
    char32_t c = utf8_next(s, i);
    if (!line_break(c)) continue;
    lines.emplace_back(s.substr(start, at - start));
    if (c == '\r' && i < s.size() && s[i] == '\n') ++i;
    start = i;
  }
  if (start < s.size()) lines.emplace_back(s.substr(start));
  return lines;
}

/// Whether Python's regular expressions count `c` in \w (letters, digits,
/// underscore). Beyond ASCII only the cased letters and a few Latin-1 signs
/// are known; other characters are refused.
bool word_char(char32_t c) {
  if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  if (py_isspace(c)) return false;
  if (c >= 0xA0 && c <= 0xBF) return c == 0xAA || c == 0xB2 || c == 0xB3 || c == 0xB5 || c == 0xB9 || c == 0xBA ||
                                     c == 0xBC || c == 0xBD || c == 0xBE;
  if (c == 0xD7 || c == 0xF7) return false;
  if (c >= 0x2000 && c <= 0x206F) return false;  // general punctuation
  std::string ch;
  utf8_append(ch, c);
  if (common::utf8_lower(ch) != common::utf8_upper(ch) || (c >= 0xC0 && c <= 0x24F)) return true;
  throw EvalError("word boundaries at '" + ch + "' are not supported");
}

/// Jinja2's title: each word (after "-", white space, "(", "{", "[", "<")
/// with its first character upper case and the rest lower case.
std::string title_text(std::string_view s) {
  std::string out;
  bool word_start = true;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t at = i;
    char32_t c = utf8_next(s, i);
    std::string_view ch = s.substr(at, i - at);
    bool sep = c == '-' || c == '(' || c == '{' || c == '[' || c == '<' || py_isspace(c);
    if (sep) {
      out.append(ch);
      word_start = true;
    } else {
      out += word_start ? py_upper(ch) : py_lower(ch);
      word_start = false;
    }
  }
  return out;
}

/// Characters whose title case Python writes differently from their upper case.
bool title_differs(char32_t c) {
  return c == 0xDF || (c >= 0x1C4 && c <= 0x1CC) || (c >= 0x1F1 && c <= 0x1F3) || (c >= 0x10D0 && c <= 0x10FF) ||
         (c >= 0xFB00 && c <= 0xFB17) || (c >= 0x1F80 && c <= 0x1FFC);
}

std::string capitalize_text(std::string_view s) {
  if (s.empty()) return {};
  std::size_t i = 0;
  char32_t c = utf8_next(s, i);
  if (title_differs(c)) throw EvalError("capitalize of a text starting with '" + std::string(s.substr(0, i)) + "' is not supported");
  return py_upper(s.substr(0, i)) + py_lower(s.substr(i));
}

/// The prefix of `s` of `n` code points.
std::string_view prefix(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  for (std::size_t k = 0; k < n && i < s.size(); ++k) utf8_next(s, i);
  return s.substr(0, i);
}

/// urllib's quote of UTF-8 bytes: letters, digits and "_.-~" stay (and "/"
/// unless for a query), the rest as %XX; for a query a space is "+".
void url_quote(std::string& out, std::string_view s, bool for_qs) {
  static const char* hex = "0123456789ABCDEF";
  for (unsigned char c : s) {
    bool keep = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '.' ||
                c == '-' || c == '~' || (c == '/' && !for_qs);
    if (keep) out += static_cast<char>(c);
    else if (c == ' ' && for_qs) out += '+';
    else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
}

/// A text for html unescaping: the character references &amp; &lt; &gt;
/// &quot; and decimal or hex ones of printable ASCII are read; any other "&" is refused
/// (Python knows some 2,000 names, several without ";").
std::string unescape_basic(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      out += s[i];
      continue;
    }
    std::size_t semi = s.find(';', i);
    std::string_view ref = semi == std::string_view::npos ? std::string_view() : s.substr(i + 1, semi - i - 1);
    char c = 0;
    if (ref == "amp") c = '&';
    else if (ref == "lt") c = '<';
    else if (ref == "gt") c = '>';
    else if (ref == "quot") c = '"';
    else if (ref.size() >= 2 && ref[0] == '#') {
      // a numeric reference to a printable ASCII character
      bool hex = ref[1] == 'x' || ref[1] == 'X';
      std::string_view digits = ref.substr(hex ? 2 : 1);
      long code = 0;
      bool ok = !digits.empty() && digits.size() <= 6;
      for (char d : digits) {
        int x = d >= '0' && d <= '9' ? d - '0' : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10 : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10 : -1;
        if (x < 0) ok = false;
        else code = code * (hex ? 16 : 10) + x;
      }
      if (ok && code >= 0x20 && code <= 0x7E) c = static_cast<char>(code);
    }
    if (!c) throw EvalError("striptags of a text with the character reference '&" + std::string(ref.substr(0, 20)) +
                            "' is not supported");
    out += c;
    i = semi;
  }
  return out;
}

/// markupsafe's striptags: comments, then tags removed, white space runs
/// made one space, character references read.
std::string strip_tags(std::string_view s) {
  std::string no_comments;
  for (std::size_t i = 0; i < s.size();) {
    if (s.compare(i, 4, "<!--") == 0) {
      std::size_t end = s.find("-->", i + 4);
      if (end != std::string_view::npos) {
        i = end + 3;
        continue;
      }
    }
    no_comments += s[i++];
  }
  std::string no_tags;
  for (std::size_t i = 0; i < no_comments.size();) {
    if (no_comments[i] == '<') {
      std::size_t end = no_comments.find('>', i + 1);
      if (end != std::string::npos) {
        i = end + 1;
        continue;
      }
    }
    no_tags += no_comments[i++];
  }
  // Python's " ".join(text.split())
  std::string collapsed;
  bool pending = false;
  for (std::size_t i = 0; i < no_tags.size();) {
    std::size_t at = i;
    char32_t c = utf8_next(no_tags, i);
    if (py_isspace(c)) {
      pending = !collapsed.empty();
      continue;
    }
    if (pending) collapsed += ' ';
    pending = false;
    collapsed.append(no_tags, at, i - at);
  }
  return unescape_basic(collapsed);
}

std::string format_fixed1(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.1f", d);
  return buf;
}

TemplateValue file_size(const TemplateValue& v, bool binary, FilterHost& host) {
  double bytes;
  if (v.is_number()) bytes = to_double(v);
  else if (v.is_string()) {
    std::optional<double> d = py_parse_float(v.as_string());
    if (!d) throw EvalError("could not convert string to float");
    bytes = *d;
  } else {
    if (v.is_undefined()) fail_undefined(v);
    throw EvalError("float() argument must be a string or a real number, not '" + type_name(v) + "'");
  }
  static const char* const kDecimal[] = {"kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
  static const char* const kBinary[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB"};
  const std::int64_t base = binary ? 1024 : 1000;
  if (bytes == 1) return TemplateValue("1 Byte");
  Budget& st = host.budget();
  if (bytes < static_cast<double>(base)) {
    if (std::isnan(bytes)) return TemplateValue(std::string("nan ") + (binary ? kBinary : kDecimal)[7]);
    if (std::isinf(bytes)) throw EvalError("cannot convert float infinity to integer");
    return TemplateValue(BigInt::from_double(std::trunc(bytes)).to_string() + " Bytes");
  }
  BigInt unit(base);
  double shown = 0;
  const char* prefix = nullptr;
  for (int i = 0; i < 8; ++i) {
    unit = unit * BigInt(base);
    prefix = (binary ? kBinary : kDecimal)[i];
    std::optional<double> u = unit.to_double();
    shown = static_cast<double>(base) * bytes / *u;
    if (py_less(TemplateValue(bytes), TemplateValue(unit), "<", st)) break;
  }
  return TemplateValue(format_fixed1(shown) + " " + prefix);
}

/// A list or the characters of a text for slicing and batching.
TemplateValue::List seq_items(FilterHost& host, const TemplateValue& v) {
  if (v.is_undefined()) return {};
  return host.items_of(v);
}

}  // namespace

TemplateValue slice_value(const TemplateValue& obj, const TemplateValue& start, const TemplateValue& stop,
                          const TemplateValue& step, Budget& st) {
  if (obj.is_undefined()) fail_undefined(obj);
  auto bound = [](const TemplateValue& b, std::int64_t& out) {
    if (b.is_none()) return false;
    if (!b.is_integer()) throw EvalError("slice indices other than integers or none are not supported");
    std::optional<std::int64_t> x = b.as_bigint().to_int64();
    // Beyond 64 bits a bound is past either end of any sequence.
    constexpr std::int64_t kFar = std::int64_t{1} << 62;
    out = x ? std::clamp<std::int64_t>(*x, -kFar, kFar) : (b.as_bigint().negative() ? -kFar : kFar);
    return true;
  };
  std::int64_t s = 1, a = 0, b = 0;
  bound(step, s);
  if (s == 0) throw EvalError("slice step cannot be zero");
  bool is_str = obj.is_string();
  if (!is_str && !(obj.is_sequence() && obj.kind() != Kind::View))
    throw EvalError("slicing a " + type_name(obj) + " is not supported");
  List chars;
  if (is_str) chars = iterate_value(obj);
  const List& items = is_str ? chars : obj.as_list();
  const std::int64_t len = static_cast<std::int64_t>(items.size());
  // slice.indices(len)
  if (!bound(start, a)) a = s > 0 ? 0 : len - 1;
  else {
    if (a < 0) a += len;
    a = s > 0 ? std::clamp<std::int64_t>(a, 0, len) : std::clamp<std::int64_t>(a, -1, len - 1);
  }
  if (!bound(stop, b)) b = s > 0 ? len : -1;
  else {
    if (b < 0) b += len;
    b = s > 0 ? std::clamp<std::int64_t>(b, 0, len) : std::clamp<std::int64_t>(b, -1, len - 1);
  }
  List out;
  for (std::int64_t i = a; s > 0 ? i < b : i > b; i += s) out.push_back(items[static_cast<std::size_t>(i)]);
  st.elements(out.size());
  if (is_str) {
    std::string text;
    for (const auto& c : out) text += c.as_string();
    return obj.is_safe() ? TemplateValue::safe_string(std::move(text)) : TemplateValue(std::move(text));
  }
  switch (obj.kind()) {
    case Kind::Tuple: return TemplateValue::tuple(std::move(out));
    case Kind::Range: {
      auto [r0, r1, rs] = obj.range_bounds();
      (void)r1;
      __int128 n_start = static_cast<__int128>(r0) + static_cast<__int128>(a) * rs;
      __int128 n_stop = static_cast<__int128>(r0) + static_cast<__int128>(b) * rs;
      __int128 n_step = static_cast<__int128>(rs) * s;
      auto fits = [](__int128 x) { return x >= INT64_MIN && x <= INT64_MAX; };
      if (!fits(n_start) || !fits(n_stop) || !fits(n_step)) throw EvalError("slicing this range is not supported");
      // Python's range slice keeps stop as computed, except that an empty
      // result still prints its computed bounds.
      return TemplateValue::range(std::move(out), static_cast<std::int64_t>(n_start), static_cast<std::int64_t>(n_stop),
                                  static_cast<std::int64_t>(n_step));
    }
    default: return TemplateValue(std::move(out));
  }
}

namespace {

std::optional<TemplateValue> run_filter(Filter f, const std::string& name, const TemplateValue& v, List raw,
                                        const std::vector<std::string>& kw_names, FilterHost& host);

}  // namespace

std::optional<TemplateValue> apply_more_filters(Filter f, const std::string& name, const TemplateValue& v, List raw,
                                                const std::vector<std::string>& kw_names, FilterHost& host) {
  // Jinja2's generator filters do all their work, failures included, only
  // when their result is iterated: a failure here is kept for then.
  const bool generator = f == Filter::Unique || f == Filter::Batch || f == Filter::Slice || f == Filter::Map ||
                         f == Filter::Select || f == Filter::Reject || f == Filter::SelectAttr ||
                         f == Filter::RejectAttr || f == Filter::Items;
  if (!generator) return run_filter(f, name, v, std::move(raw), kw_names, host);
  // map('map', 'map', ...) over nested lists runs filters inside filters:
  // a bound on that depth keeps the stack small whatever the template says.
  static thread_local int depth = 0;
  if (depth >= kMaxFilterDepth) throw EvalError("filters run by map nested more than 64 levels deep");
  struct Level {
    Level() { ++depth; }
    ~Level() { --depth; }
  } level;
  try {
    return run_filter(f, name, v, std::move(raw), kw_names, host);
  } catch (const std::runtime_error& e) {
    if (std::string_view(e.what()).rfind("too much", 0) == 0) throw;  // the budget is spent: end now
    return TemplateValue::failed_iterator(e.what(), "generator");
  }
}

namespace {

std::optional<TemplateValue> run_filter(Filter f, const std::string& name, const TemplateValue& v, List raw,
                                        const std::vector<std::string>& kw_names, FilterHost& host) {
  Budget& st = host.budget();
  auto args = [&](std::initializer_list<std::string_view> names) { return Args(name, names, raw, kw_names); };
  switch (f) {
    case Filter::Reverse: {
      args({});
      if (v.is_string()) {
        std::string_view s = v.as_string();
        std::string out;
        out.reserve(s.size());
        std::size_t end = s.size();
        while (end > 0) {
          std::size_t start = end - 1;
          while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
          out.append(s.substr(start, end - start));
          end = start;
        }
        st.bytes(out.size());
        return v.is_safe() ? TemplateValue::safe_string(std::move(out)) : TemplateValue(std::move(out));
      }
      if (v.kind() == Kind::Iterator) {
        // reversed() of an iterator fails; Jinja2 then makes a list of it.
        List items = host.items_of(v);
        std::reverse(items.begin(), items.end());
        return TemplateValue(std::move(items));
      }
      if (v.is_undefined() || v.is_sequence() || v.is_map()) {
        List items = seq_items(host, v);
        std::reverse(items.begin(), items.end());
        return TemplateValue::iterator(std::move(items), "list_reverseiterator");
      }
      throw EvalError("'" + type_name(v) + "' object is not iterable");
    }
    case Filter::Sort: {
      Args a = args({"reverse", "case_sensitive", "attribute"});
      bool reverse = truthy_bool(a, 0, false);
      bool case_sensitive = truthy_bool(a, 1, false);
      Getter key = make_getter(host, opt(a, 2), !case_sensitive, true);
      if (v.is_undefined()) return TemplateValue(List{});
      List items = host.items_of(v);
      List keys;
      keys.reserve(items.size());
      for (const auto& x : items) keys.push_back(key(x));
      return TemplateValue(sorted_by(std::move(items), keys, reverse, st));
    }
    case Filter::Unique: {
      Args a = args({"case_sensitive", "attribute"});
      Getter key = make_getter(host, opt(a, 1), !truthy_bool(a, 0, false));
      List out, seen;
      for (const auto& x : seq_items(host, v)) {
        TemplateValue k = key(x);
        check_hashable(k);
        bool dup = false;
        st.step(seen.size());
        for (const auto& s : seen)
          if (py_eq(s, k, st)) {
            dup = true;
            break;
          }
        if (!dup) {
          seen.push_back(k);
          out.push_back(x);
        }
      }
      return TemplateValue::iterator(std::move(out), "generator");
    }
    case Filter::Title:
    case Filter::Capitalize: {
      args({});
      std::string s = host.text_of(v);
      st.bytes(s.size());
      if (f == Filter::Title) return TemplateValue(title_text(s));  // str.join of the words: a str
      TemplateValue r(capitalize_text(s));
      return v.is_safe() ? r.as_safe() : r;
    }
    case Filter::Truncate: {
      Args a = args({"length", "killwords", "end", "leeway"});
      std::int64_t length = a.has(0) ? int_arg(a.get(0), "length") : 255;
      bool killwords = truthy_bool(a, 1, false);
      TemplateValue end = a.has(2) ? a.get(2) : TemplateValue("...");
      if (!end.is_string()) throw EvalError("truncate's end must be a string");
      std::int64_t leeway = a.has(3) && !a.get(3).is_none() ? int_arg(a.get(3), "leeway") : 5;
      std::int64_t end_len = static_cast<std::int64_t>(utf8_length(end.as_string()));
      if (length < end_len) throw EvalError("expected length >= " + std::to_string(end_len) + ", got " + std::to_string(length));
      if (leeway < 0) throw EvalError("expected leeway >= 0, got " + std::to_string(leeway));
      if (v.is_undefined()) return v;
      std::int64_t len;
      if (v.is_string()) len = static_cast<std::int64_t>(utf8_length(v.as_string()));
      else if (v.is_sequence() && v.kind() != Kind::View) len = static_cast<std::int64_t>(v.as_list().size());
      else if (v.is_map()) len = static_cast<std::int64_t>(v.as_map().size());
      else throw EvalError("object of type '" + type_name(v) + "' has no len()");
      if (len <= length + leeway) return v;
      if (!v.is_string()) throw EvalError("truncate of a long " + type_name(v) + " is not supported");
      std::string_view s = v.as_string();
      std::string_view head = prefix(s, static_cast<std::size_t>(length - end_len));
      if (!killwords) {
        std::size_t sp = head.rfind(' ');
        if (sp != std::string_view::npos) head = head.substr(0, sp);
      }
      std::string out(head);
      // Markup + str escapes the str.
      if (v.is_safe() && !end.is_safe()) out += escape_html(end.as_string());
      else out += end.as_string();
      st.bytes(out.size());
      return v.is_safe() ? TemplateValue::safe_string(std::move(out)) : TemplateValue(std::move(out));
    }
    case Filter::Indent: {
      Args a = args({"width", "first", "blank"});
      std::string indention;
      if (a.has(0) && a.get(0).is_string()) indention = std::string(a.get(0).as_string());
      else if (a.has(0)) {
        std::int64_t w = int_arg(a.get(0), "width");
        if (w > 0) {
          st.bytes(static_cast<std::uint64_t>(w));
          indention.assign(static_cast<std::size_t>(w), ' ');
        }
      } else {
        indention = "    ";
      }
      bool first = truthy_bool(a, 1, false), blank = truthy_bool(a, 2, false);
      if (v.is_undefined()) fail_undefined(v);
      if (!v.is_string()) throw EvalError("unsupported operand type(s) for +=: '" + type_name(v) + "' and 'str'");
      std::string s = std::string(v.as_string()) + "\n";
      std::vector<std::string> lines = split_lines(s);
      st.bytes(lines.size(), indention.size() + 1);
      std::string rv;
      if (blank) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
          if (i) rv += "\n" + indention;
          rv += lines[i];
        }
      } else {
        rv = lines.empty() ? std::string() : lines[0];
        for (std::size_t i = 1; i < lines.size(); ++i) {
          rv += "\n";
          if (!lines[i].empty()) rv += indention;
          rv += lines[i];
        }
      }
      if (first) rv = indention + rv;
      st.bytes(rv.size());
      return v.is_safe() ? TemplateValue::safe_string(std::move(rv)) : TemplateValue(std::move(rv));
    }
    case Filter::WordCount: {
      args({});
      std::string s = host.text_of(v);
      std::int64_t n = 0;
      bool in_word = false;
      for (std::size_t i = 0; i < s.size();) {
        bool w = word_char(utf8_next(s, i));
        if (w && !in_word) ++n;
        in_word = w;
      }
      return TemplateValue(static_cast<long long>(n));
    }
    case Filter::Format: {
      std::size_t positional = raw.size() - kw_names.size();
      if (positional && !kw_names.empty()) throw EvalError("can't handle positional and keyword arguments at the same time");
      std::string fmt = host.text_of(v);
      TemplateValue fmt_value = v.is_safe() ? TemplateValue::safe_string(fmt) : TemplateValue(fmt);
      if (!kw_names.empty()) {
        TemplateMap m;
        for (std::size_t i = 0; i < kw_names.size(); ++i) m.set(kw_names[i], raw[i]);
        return percent_format(fmt_value, TemplateValue(std::move(m)), st);
      }
      return percent_format(fmt_value, TemplateValue::tuple(std::move(raw)), st);
    }
    case Filter::FileSizeFormat: {
      Args a = args({"binary"});
      return file_size(v, truthy_bool(a, 0, false), host);
    }
    case Filter::Batch: {
      Args a = args({"linecount", "fill_with"});
      if (!a.has(0)) throw EvalError("batch() missing required argument 'linecount'");
      std::int64_t n = int_arg(a.get(0), "linecount");
      std::optional<TemplateValue> fill = opt(a, 1);
      if (fill && fill->is_none()) fill.reset();
      List out, tmp;
      for (auto& x : seq_items(host, v)) {
        if (static_cast<std::int64_t>(tmp.size()) == n) {
          out.emplace_back(std::move(tmp));
          tmp = List();
        }
        tmp.push_back(std::move(x));
      }
      if (!tmp.empty()) {
        if (fill && static_cast<std::int64_t>(tmp.size()) < n) {
          st.elements(static_cast<std::uint64_t>(n) - tmp.size());
          tmp.resize(static_cast<std::size_t>(n), *fill);
        }
        out.emplace_back(std::move(tmp));
      }
      st.elements(out.size());
      return TemplateValue::iterator(std::move(out), "generator");
    }
    case Filter::Slice: {
      Args a = args({"slices", "fill_with"});
      if (!a.has(0)) throw EvalError("slice() missing required argument 'slices'");
      std::int64_t slices = int_arg(a.get(0), "slices");
      std::optional<TemplateValue> fill = opt(a, 1);
      if (fill && fill->is_none()) fill.reset();
      List seq = seq_items(host, v);
      if (slices == 0) throw EvalError("integer division or modulo by zero");
      List out;
      if (slices > 0) {
        st.step(static_cast<std::uint64_t>(slices));
        st.elements(static_cast<std::uint64_t>(slices));
        std::int64_t length = static_cast<std::int64_t>(seq.size());
        std::int64_t per = length / slices, extra = length % slices, offset = 0;
        for (std::int64_t k = 0; k < slices; ++k) {
          std::int64_t start = offset + k * per;
          if (k < extra) ++offset;
          std::int64_t end = offset + (k + 1) * per;
          List tmp(seq.begin() + start, seq.begin() + end);
          if (fill && k >= extra) tmp.push_back(*fill);
          out.emplace_back(std::move(tmp));
        }
      }
      return TemplateValue::iterator(std::move(out), "generator");
    }
    case Filter::Map: {
      if (!v.truthy()) return TemplateValue::iterator({}, "generator");
      List out;
      std::size_t positional = raw.size() - kw_names.size();
      if (positional == 0 && std::find(kw_names.begin(), kw_names.end(), "attribute") != kw_names.end()) {
        Args a = Args(name, {"attribute", "default"}, raw, kw_names);
        Getter g = make_getter(host, a.get(0), false);
        if (a.has(1) && !a.get(1).is_none()) g.fallback = a.get(1);
        for (const auto& x : host.items_of(v)) out.push_back(g(x));
      } else {
        if (positional == 0) throw EvalError("map requires a filter argument");
        if (!raw[0].is_string()) throw EvalError("No filter named " + host.text_of(raw[0]) + ".");
        std::string fname(raw[0].as_string());
        List rest(raw.begin() + 1, raw.end());
        for (const auto& x : host.items_of(v)) {
          st.step();
          out.push_back(host.run_filter(fname, x, rest, kw_names));
        }
      }
      return TemplateValue::iterator(std::move(out), "generator");
    }
    case Filter::Select:
    case Filter::Reject:
    case Filter::SelectAttr:
    case Filter::RejectAttr: {
      if (!v.truthy()) return TemplateValue::iterator({}, "generator");
      const bool attr = f == Filter::SelectAttr || f == Filter::RejectAttr;
      const bool keep = f == Filter::Select || f == Filter::SelectAttr;
      // Keyword arguments go to the test; with no test named, Jinja2 drops them.
      const std::size_t positional = raw.size() - kw_names.size();
      std::size_t off = 0;
      std::optional<Getter> getter;
      if (attr) {
        if (positional == 0) throw EvalError("Missing parameter for attribute name");
        getter = make_getter(host, raw[0], false);
        off = 1;
      }
      std::optional<std::string> test;
      if (positional > off) {
        if (!raw[off].is_string()) throw EvalError("No test named " + host.text_of(raw[off]) + ".");
        test = std::string(raw[off].as_string());
      }
      List test_args(raw.begin() + static_cast<std::ptrdiff_t>(std::min(raw.size(), off + 1)), raw.end());
      List out;
      for (const auto& x : host.items_of(v)) {
        st.step();
        TemplateValue subject = getter ? (*getter)(x) : x;
        bool r = test ? host.run_test(*test, subject, test_args, kw_names) : subject.truthy();
        if (r == keep) out.push_back(x);
      }
      return TemplateValue::iterator(std::move(out), "generator");
    }
    case Filter::GroupBy: {
      Args a = args({"attribute", "default", "case_sensitive"});
      if (!a.has(0)) throw EvalError("groupby() missing required argument 'attribute'");
      bool case_sensitive = truthy_bool(a, 2, false);
      Getter key = make_getter(host, a.get(0), !case_sensitive);
      if (a.has(1) && !a.get(1).is_none()) key.fallback = a.get(1);
      Getter shown = key;
      shown.lower = false;
      if (v.is_undefined()) return TemplateValue(List{});
      List items = host.items_of(v);
      List keys;
      for (const auto& x : items) keys.push_back(key(x));
      List sorted = sorted_by(items, keys, false, st);
      List out;
      std::optional<TemplateValue> current;
      List group;
      auto flush = [&] {
        TemplateValue grouper = case_sensitive ? *current : shown(group.front());
        out.push_back(TemplateValue::named_tuple({grouper, TemplateValue(std::move(group))}, kGroupFields));
        group = List();
      };
      for (const auto& x : sorted) {
        TemplateValue k = key(x);
        if (current && !py_eq(*current, k, st)) flush();
        if (group.empty()) current = k;
        group.push_back(x);
      }
      if (!group.empty()) flush();
      return TemplateValue(std::move(out));
    }
    case Filter::DictSort: {
      Args a = args({"case_sensitive", "by", "reverse"});
      bool case_sensitive = truthy_bool(a, 0, false);
      std::string by = a.has(1) ? host.text_of(a.get(1)) : "key";
      bool reverse = truthy_bool(a, 2, false);
      if (by != "key" && by != "value") throw EvalError("You can only sort by either \"key\" or \"value\"");
      if (v.is_undefined()) fail_undefined(v);
      if (!v.is_map()) throw EvalError("'" + type_name(v) + "' object has no attribute 'items'");
      List items, keys;
      for (const auto& [k, x] : v.as_map()) {
        items.push_back(TemplateValue::tuple({TemplateValue(k), x}));
        TemplateValue key = by == "key" ? TemplateValue(k) : x;
        if (!case_sensitive && key.is_string()) key = TemplateValue(py_lower(key.as_string()));
        keys.push_back(std::move(key));
      }
      st.elements(items.size());
      return TemplateValue(sorted_by(std::move(items), keys, reverse, st));
    }
    case Filter::Items: {
      args({});
      if (v.is_undefined()) return TemplateValue::iterator({}, "generator");
      if (!v.is_map()) throw EvalError("Can only get item pairs from a mapping.");
      List out;
      for (const auto& [k, x] : v.as_map()) out.push_back(TemplateValue::tuple({TemplateValue(k), x}));
      st.elements(out.size());
      return TemplateValue::iterator(std::move(out), "generator");
    }
    case Filter::UrlEncode: {
      args({});
      std::string out;
      if (v.is_string() || !(v.is_sequence() || v.is_map() || v.is_undefined() || v.kind() == Kind::Iterator)) {
        url_quote(out, host.text_of(v), false);
      } else {
        List pairs;
        if (v.is_map())
          for (const auto& [k, x] : v.as_map()) pairs.push_back(TemplateValue::tuple({TemplateValue(k), x}));
        else pairs = seq_items(host, v);
        bool first = true;
        for (const auto& p : pairs) {
          List kv = host.items_of(p);
          if (kv.size() != 2) throw EvalError("urlencode expects pairs (a key and a value)");
          if (!first) out += '&';
          first = false;
          url_quote(out, host.text_of(kv[0]), true);
          out += '=';
          url_quote(out, host.text_of(kv[1]), true);
        }
      }
      st.bytes(out.size());
      return TemplateValue(std::move(out));
    }
    case Filter::StripTags: {
      args({});
      std::string s = host.text_of(v);
      st.step(s.size() / 64);
      return TemplateValue(strip_tags(s));
    }
    case Filter::Join:
    case Filter::Sum: {
      // With an attribute: the filter of the attribute values.
      const bool join = f == Filter::Join;
      Args a = join ? Args(name, {"d", "attribute"}, raw, kw_names) : Args(name, {"attribute", "start"}, raw, kw_names);
      std::size_t slot = join ? 1 : 0, other = 1 - slot;
      if (!a.has(slot) || a.get(slot).is_none()) return std::nullopt;
      List rest;
      std::vector<std::string> rest_kw;
      if (a.has(other)) {
        rest.push_back(a.get(other));
        rest_kw.push_back(join ? "d" : "start");
      }
      if (v.is_undefined()) return host.run_filter(name, v, std::move(rest), rest_kw);
      Getter g = make_getter(host, a.get(slot), false);
      List mapped;
      for (const auto& x : host.items_of(v)) mapped.push_back(g(x));
      return host.run_filter(name, TemplateValue(std::move(mapped)), std::move(rest), rest_kw);
    }
    case Filter::Min:
    case Filter::Max: {
      // The item (or the item whose attribute) is least (greatest), strings
      // compared by str.lower() unless case_sensitive; the first of equal ones.
      Args a = args({"case_sensitive", "attribute"});
      Getter key = make_getter(host, a.has(1) ? std::optional<TemplateValue>(a.get(1)) : std::nullopt,
                               !truthy_bool(a, 0, false));
      List items = seq_items(host, v);
      if (items.empty()) return TemplateValue::undefined("No aggregated item, sequence was empty.");
      std::size_t best = 0;
      TemplateValue best_key = key(items[0]);
      for (std::size_t i = 1; i < items.size(); ++i) {
        st.step();
        TemplateValue k = key(items[i]);
        bool better = f == Filter::Min ? py_less(k, best_key, "<", st) : py_less(best_key, k, ">", st);
        if (better) {
          best = i;
          best_key = std::move(k);
        }
      }
      return items[best];
    }
    default: return std::nullopt;
  }
}

}  // namespace

}  // namespace kemora::pipeline::panogen::tmpl::detail
