// Python's printf-style formatting of strings (`fmt % args` and the
// `format` filter).
#include <cmath>
#include <cstdio>

#include "kemora/pipeline/panogen/template/eval.hpp"
#include "kemora/pipeline/panogen/template/internal.hpp"

namespace kemora::pipeline::panogen::tmpl::detail {

namespace {

using Kind = TemplateValue::Kind;

/// Widths and precisions beyond this are refused (Python would build the text).
constexpr std::int64_t kMaxWidth = 1'000'000;

struct Spec {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  std::int64_t width = -1, precision = -1;
  char type = 0;
};

/// `body` padded to `spec.width` code points: spaces before (after with '-').
void pad(std::string& out, std::string_view body, const Spec& spec, Budget& st) {
  std::int64_t len = static_cast<std::int64_t>(utf8_length(body));
  std::int64_t fill = spec.width > len ? spec.width - len : 0;
  st.bytes(body.size() + static_cast<std::uint64_t>(fill));
  if (!spec.left) out.append(static_cast<std::size_t>(fill), ' ');
  out.append(body);
  if (spec.left) out.append(static_cast<std::size_t>(fill), ' ');
}

/// An integer conversion: sign, prefix, digits with the precision's zeros,
/// then the width (zeros after the sign and prefix with '0', unless '-').
void pad_number(std::string& out, bool negative, std::string_view prefix, std::string digits, const Spec& spec,
                Budget& st) {
  if (spec.precision > static_cast<std::int64_t>(digits.size()))
    digits.insert(0, static_cast<std::size_t>(spec.precision) - digits.size(), '0');
  std::string sign = negative ? "-" : spec.plus ? "+" : spec.space ? " " : "";
  std::string head = sign + std::string(prefix);
  std::int64_t len = static_cast<std::int64_t>(head.size() + digits.size());
  std::int64_t fill = spec.width > len ? spec.width - len : 0;
  st.bytes(static_cast<std::uint64_t>(len + fill));
  if (spec.left) {
    out += head + digits;
    out.append(static_cast<std::size_t>(fill), ' ');
  } else if (spec.zero) {
    out += head;
    out.append(static_cast<std::size_t>(fill), '0');
    out += digits;
  } else {
    out.append(static_cast<std::size_t>(fill), ' ');
    out += head + digits;
  }
}

BigInt integer_of(const TemplateValue& v, char type) {
  if (v.is_integer()) return v.as_bigint();
  if (v.kind() == Kind::Double && (type == 'd' || type == 'i' || type == 'u')) {
    double d = v.as_double();
    if (std::isnan(d)) throw EvalError("cannot convert float NaN to integer");
    if (std::isinf(d)) throw EvalError("cannot convert float infinity to integer");
    return BigInt::from_double(std::trunc(d));
  }
  if (v.is_undefined()) fail_undefined(v);
  if (type == 'd' || type == 'i' || type == 'u')
    throw EvalError(std::string("%") + type + " format: a real number is required, not " + type_name(v));
  throw EvalError(std::string("%") + type + " format: an integer is required, not " + type_name(v));
}

void format_one(std::string& out, const Spec& spec, const TemplateValue& v, Budget& st) {
  switch (spec.type) {
    case 's':
    case 'r': {
      if (spec.type == 'r' && v.is_undefined()) throw EvalError("%r of an undefined value is not supported");
      std::string text;
      if (spec.type == 's') append_str_limited(text, v, st.bound(0));
      else append_repr_limited(text, v, st.bound(0));
      std::string_view body = text;
      if (spec.precision >= 0) body = body.substr(0, common::utf8_prefix_size(body, static_cast<std::size_t>(spec.precision)));
      pad(out, body, spec, st);
      return;
    }
    case 'c': {
      std::string ch;
      if (v.is_string()) {
        if (utf8_length(v.as_string()) != 1) throw EvalError("%c requires int or char");
        ch = std::string(v.as_string());
      } else if (v.is_integer()) {
        BigInt i = v.as_bigint();
        std::optional<std::int64_t> c = i.to_int64();
        if (!c || *c < 0 || *c >= 0x110000) throw EvalError("%c arg not in range(0x110000)");
        if (*c >= 0xD800 && *c < 0xE000) throw EvalError("%c of a surrogate is not supported");
        utf8_append(ch, static_cast<char32_t>(*c));
      } else {
        throw EvalError("%c requires int or char");
      }
      pad(out, ch, spec, st);
      return;
    }
    case 'd':
    case 'i':
    case 'u': {
      BigInt i = integer_of(v, spec.type);
      pad_number(out, i.negative(), "", i.abs().to_string(), spec, st);
      return;
    }
    case 'x':
    case 'X':
    case 'o': {
      BigInt i = integer_of(v, spec.type);
      std::optional<std::int64_t> n = i.to_int64();
      if (!n || *n == std::numeric_limits<std::int64_t>::min())
        throw EvalError(std::string("%") + spec.type + " of an integer beyond 64 bits is not supported");
      std::uint64_t mag = static_cast<std::uint64_t>(*n < 0 ? -*n : *n);
      char buf[32];
      std::snprintf(buf, sizeof buf, spec.type == 'x' ? "%llx" : spec.type == 'X' ? "%llX" : "%llo",
                    static_cast<unsigned long long>(mag));
      const char* prefix = !spec.alt ? "" : spec.type == 'x' ? "0x" : spec.type == 'X' ? "0X" : "0o";
      pad_number(out, *n < 0, prefix, buf, spec, st);
      return;
    }
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G': {
      if (v.is_undefined()) fail_undefined(v);
      if (!v.is_number()) throw EvalError("must be real number, not " + type_name(v));
      double d = to_double(v);
      if (!std::isfinite(d)) throw EvalError("%-formatting of inf or nan is not supported");
      std::string f = "%";
      if (spec.left) f += '-';
      if (spec.plus) f += '+';
      if (spec.space) f += ' ';
      if (spec.alt) f += '#';
      if (spec.zero) f += '0';
      if (spec.width >= 0) f += std::to_string(spec.width);
      f += "." + std::to_string(spec.precision >= 0 ? spec.precision : 6);
      f += spec.type;
      int n = std::snprintf(nullptr, 0, f.c_str(), d);
      if (n < 0) throw EvalError("%-formatting failed");
      st.bytes(static_cast<std::uint64_t>(n));
      std::string buf(static_cast<std::size_t>(n) + 1, '\0');
      std::snprintf(buf.data(), buf.size(), f.c_str(), d);
      buf.resize(static_cast<std::size_t>(n));
      out += buf;
      return;
    }
    default: break;
  }
}

}  // namespace

TemplateValue percent_format(const TemplateValue& fmt_value, const TemplateValue& args, Budget& st) {
  if (fmt_value.is_safe()) throw EvalError("%-formatting of a safe (Markup) string is not supported");
  std::string_view fmt = fmt_value.as_string();
  const bool tuple = args.kind() == Kind::Tuple;
  // Python treats a value with item access (dict, list, range, Undefined) as
  // a mapping: it may be left unused.
  const bool mapping = !tuple && (args.is_map() || args.kind() == Kind::List || args.kind() == Kind::Range ||
                                  args.is_undefined());
  const List* positional = tuple ? &args.as_list() : nullptr;
  std::size_t next = 0;
  bool single_used = false;
  bool used_key = false, used_positional = false;
  auto next_arg = [&]() -> TemplateValue {
    used_positional = true;
    if (positional) {
      if (next >= positional->size()) throw EvalError("not enough arguments for format string");
      return (*positional)[next++];
    }
    if (single_used) throw EvalError("not enough arguments for format string");
    single_used = true;
    return args;
  };
  std::string out;
  std::size_t i = 0;
  while (i < fmt.size()) {
    std::size_t pct = fmt.find('%', i);
    if (pct == std::string_view::npos) {
      out.append(fmt.substr(i));
      break;
    }
    out.append(fmt.substr(i, pct - i));
    i = pct + 1;
    if (i >= fmt.size()) throw EvalError("incomplete format");
    if (fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    Spec spec;
    std::optional<TemplateValue> keyed;
    if (fmt[i] == '(') {
      int level = 1;
      std::size_t start = ++i;
      while (i < fmt.size() && level > 0) {
        if (fmt[i] == '(') ++level;
        else if (fmt[i] == ')') --level;
        ++i;
      }
      if (level > 0) throw EvalError("incomplete format key");
      if (!args.is_map()) throw EvalError("format requires a mapping");
      std::string_view key = fmt.substr(start, i - 1 - start);
      const TemplateValue* v = args.as_map().find(key);
      if (!v) throw EvalError("KeyError: " + std::string(key));
      keyed = *v;
      used_key = true;
    }
    auto read_number = [&](std::int64_t& target) {
      if (i < fmt.size() && fmt[i] == '*') {
        ++i;
        TemplateValue n = next_arg();
        if (!n.is_integer()) throw EvalError("* wants int");
        std::optional<std::int64_t> x = n.as_bigint().to_int64();
        if (!x || *x > kMaxWidth || *x < -kMaxWidth) throw EvalError("a width or precision this large is not supported");
        target = *x;
        return true;
      }
      if (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
        target = 0;
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
          target = target * 10 + (fmt[i] - '0');
          if (target > kMaxWidth) throw EvalError("a width or precision this large is not supported");
          ++i;
        }
      }
      return false;
    };
    for (; i < fmt.size(); ++i) {
      char c = fmt[i];
      if (c == '-') spec.left = true;
      else if (c == '+') spec.plus = true;
      else if (c == ' ') spec.space = true;
      else if (c == '#') spec.alt = true;
      else if (c == '0') spec.zero = true;
      else break;
    }
    if (read_number(spec.width) && spec.width < 0) {
      spec.left = true;
      spec.width = -spec.width;
    }
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      spec.precision = 0;
      if (read_number(spec.precision) && spec.precision < 0) spec.precision = 0;
    }
    while (i < fmt.size() && (fmt[i] == 'h' || fmt[i] == 'l' || fmt[i] == 'L')) ++i;
    if (i >= fmt.size()) throw EvalError("incomplete format");
    unsigned char type = static_cast<unsigned char>(fmt[i]);
    if (std::string_view("sdiuoxXeEfFgGcr").find(static_cast<char>(type)) == std::string_view::npos) {
      if (type == 'a') throw EvalError("the %a conversion is not supported");
      throw EvalError("unsupported format character at index " + std::to_string(i));
    }
    spec.type = static_cast<char>(type);
    ++i;
    TemplateValue v = keyed ? *keyed : next_arg();
    if (used_key && used_positional) throw EvalError("mixing %(name) and positional conversions is not supported");
    format_one(out, spec, v, st);
  }
  bool unused = positional ? next < positional->size() : !single_used;
  if (unused && !mapping) throw EvalError("not all arguments converted during string formatting");
  return TemplateValue(std::move(out));
}

}  // namespace kemora::pipeline::panogen::tmpl::detail
