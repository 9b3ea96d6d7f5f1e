// Template loading and rendering: the environment, the tree-walking
// renderer, operators with Python's semantics, filters and tests.
#include "kemora/pipeline/panogen/template/template.hpp"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <sstream>

#include "kemora/common/limits.hpp"
#include "kemora/common/numfmt.hpp"
#include "kemora/pipeline/panogen/template/eval.hpp"
#include "kemora/pipeline/panogen/template/internal.hpp"
#include "kemora/pipeline/panogen/template/bigint.hpp"

namespace kemora::pipeline::panogen::tmpl {

using namespace detail;
using Kind = TemplateValue::Kind;
using List = TemplateValue::List;

namespace detail {


bool is_int(const TemplateValue& v) { return v.is_integer(); }
/// A list or a tuple: what +, * and < take (not a range or a dict view).
bool plain_sequence(const TemplateValue& v) { return v.kind() == Kind::List || v.kind() == Kind::Tuple; }

/// The largest integer a render builds: about 4,200 decimal digits, below the
/// 4,300 digits Python still prints. Beyond it an operation is an error
/// rather than a different number.
constexpr std::size_t kMaxIntBits = 14000;

TemplateValue make_int(BigInt v) {
  if (v.bit_length() > kMaxIntBits)
    throw EvalError("integer result too large (integers are exact up to " + std::to_string(kMaxIntBits) + " bits)");
  return TemplateValue(std::move(v));
}

/// Python's float(i) for an integer: correctly rounded, OverflowError beyond
/// the largest real.
double int_to_double(const TemplateValue& v) {
  if (!v.is_big_int()) return static_cast<double>(v.as_int());
  std::optional<double> d = v.as_bigint().to_double();
  if (!d) throw EvalError("int too large to convert to float");
  return *d;
}
double to_double(const TemplateValue& v) { return v.kind() == Kind::Double ? v.as_double() : int_to_double(v); }

/// The ordering of two numbers as Python gives it, exact across integers and
/// reals: -1, 0, 1, or 2 when a NaN makes them unordered.
int compare_numbers(const TemplateValue& a, const TemplateValue& b) {
  const bool ad = a.kind() == Kind::Double, bd = b.kind() == Kind::Double;
  if (!ad && !bd) {
    if (!a.is_big_int() && !b.is_big_int()) {
      std::int64_t x = a.as_int(), y = b.as_int();
      return x < y ? -1 : x > y ? 1 : 0;
    }
    return compare(a.as_bigint(), b.as_bigint());
  }
  if (ad && bd) {
    double x = a.as_double(), y = b.as_double();
    if (std::isnan(x) || std::isnan(y)) return 2;
    return x < y ? -1 : x > y ? 1 : 0;
  }
  // One integer and one real: below 2**53 the integer converts exactly.
  const TemplateValue& i = ad ? b : a;
  double d = ad ? a.as_double() : b.as_double();
  int c;
  constexpr std::int64_t kExact = std::int64_t{1} << 53;
  if (!i.is_big_int() && i.as_int() <= kExact && i.as_int() >= -kExact) {
    double x = static_cast<double>(i.as_int());
    c = std::isnan(d) ? 2 : x < d ? -1 : x > d ? 1 : 0;
  } else {
    c = compare_int_real(i.as_bigint(), d);
  }
  if (c == 2 || !ad) return c;
  return -c;
}

std::string type_name(const TemplateValue& v) { return py_type_name(v); }

/// Jinja2's description of an object in "has no attribute" messages.
std::string object_desc(const TemplateValue& v) {
  if (v.is_none()) return "None";
  return type_name(v) + " object";
}

[[noreturn]] void fail_undefined(const TemplateValue& v) {
  std::string_view hint = v.undefined_hint();
  throw EvalError(hint.empty() ? std::string("value is undefined") : std::string(hint));
}

std::string py_quoted(std::string_view s) {
  std::string out;
  append_py_str_repr(out, s);
  return out;
}

// ---- comparisons ------------------------------------------------------------

bool py_eq(const TemplateValue& a, const TemplateValue& b, Budget& st) {
  if (a.is_number() && b.is_number()) return compare_numbers(a, b) == 0;
  // An iterator equals itself only (Python's identity), whatever it holds.
  if (a.kind() == Kind::Iterator || b.kind() == Kind::Iterator)
    throw EvalError("comparing a " + type_name(a.kind() == Kind::Iterator ? a : b) + " is not supported");
  // Python compares dict views as sets (or, values, by identity).
  if (a.kind() == Kind::View || b.kind() == Kind::View)
    throw EvalError("comparing a " + type_name(a.kind() == Kind::View ? a : b) + " is not supported");
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Undefined:
    case Kind::None: return true;
    case Kind::String: return a.as_string() == b.as_string();
    case Kind::List:
    case Kind::Tuple:
    case Kind::Range: {
      const List& x = a.as_list();
      const List& y = b.as_list();
      if (x.size() != y.size()) return false;
      if (&x == &y) return true;  // Python compares elements by identity first
      st.step(x.size());
      for (std::size_t i = 0; i < x.size(); ++i)
        if (!py_eq(x[i], y[i], st)) return false;
      return true;
    }
    case Kind::Map: {
      const TemplateMap& x = a.as_map();
      const TemplateMap& y = b.as_map();
      if (x.size() != y.size()) return false;
      if (&x == &y) return true;
      st.step(x.size());
      for (const auto& [k, v] : x) {
        const TemplateValue* other = y.find(k);
        if (!other || !py_eq(v, *other, st)) return false;
      }
      return true;
    }
    case Kind::Callable: return &a.as_function() == &b.as_function();
    default: return false;
  }
}

/// Python's a < b; throws for values that have no order.
bool py_less(const TemplateValue& a, const TemplateValue& b, const char* op, Budget& st) {
  if (a.is_number() && b.is_number()) return compare_numbers(a, b) == -1;
  if (a.is_string() && b.is_string()) return a.as_string() < b.as_string();
  if (plain_sequence(a) && a.kind() == b.kind()) {
    const List& x = a.as_list();
    const List& y = b.as_list();
    for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
      st.step();
      if (!py_eq(x[i], y[i], st)) return py_less(x[i], y[i], op, st);
    }
    return x.size() < y.size();
  }
  if (a.is_undefined()) fail_undefined(a);
  if (b.is_undefined()) fail_undefined(b);
  throw EvalError(std::string("'") + op + "' not supported between instances of '" + type_name(a) + "' and '" +
                  type_name(b) + "'");
}

bool py_contains(const TemplateValue& container, const TemplateValue& item, Budget& st) {
  switch (container.kind()) {
    case Kind::Undefined: return false;
    case Kind::String:
      if (!item.is_string())
        throw EvalError("'in <string>' requires string as left operand, not " + type_name(item));
      // A substring search may compare each position with the whole needle.
      st.step((container.as_string().size() / 256 + 1) * (item.as_string().size() / 256 + 1));
      return container.as_string().find(item.as_string()) != std::string_view::npos;
    case Kind::View:
      // Keys and items views are sets: their `in` hashes the key.
      if (std::string_view(container.object_type()) != "dict_values") {
        const bool items = std::string_view(container.object_type()) == "dict_items";
        if (items && (item.kind() != Kind::Tuple || item.as_list().size() != 2)) return false;
        const TemplateValue& key = items ? item.as_list()[0] : item;
        if (key.kind() == Kind::List || key.kind() == Kind::Map || key.kind() == Kind::View)
          throw EvalError("unhashable type: '" + type_name(key) + "'");
      }
      [[fallthrough]];
    case Kind::List:
    case Kind::Tuple:
    case Kind::Range:
      st.step(container.as_list().size());
      for (const auto& e : container.as_list())
        if (py_eq(e, item, st)) return true;
      return false;
    case Kind::Map:
      // Keys are strings; a value that cannot be a key at all is an error.
      if (item.kind() == Kind::List || item.kind() == Kind::Map || item.kind() == Kind::View)
        throw EvalError("unhashable type: '" + type_name(item) + "'");
      if (item.kind() == Kind::Tuple)
        for (const auto& e : item.as_list())
          if (e.kind() == Kind::List || e.kind() == Kind::Map || e.kind() == Kind::View)
            throw EvalError("unhashable type: '" + type_name(e) + "'");
      return item.is_string() && container.as_map().find(item.as_string()) != nullptr;
    default: throw EvalError("argument of type '" + type_name(container) + "' is not iterable");
  }
}

bool compare(CmpOp op, const TemplateValue& a, const TemplateValue& b, Budget& st) {
  switch (op) {
    case CmpOp::Eq: return py_eq(a, b, st);
    case CmpOp::Ne: return !py_eq(a, b, st);
    case CmpOp::Lt: return py_less(a, b, "<", st);
    case CmpOp::Le: return py_less(a, b, "<=", st) || py_eq(a, b, st);
    case CmpOp::Gt: return py_less(b, a, ">", st);
    case CmpOp::Ge: return py_less(b, a, ">=", st) || py_eq(a, b, st);
    case CmpOp::In: return py_contains(b, a, st);
    case CmpOp::NotIn: return !py_contains(b, a, st);
  }
  return false;
}

// ---- arithmetic -------------------------------------------------------------

const char* op_symbol(BinOp op) {
  switch (op) {
    case BinOp::Add: return "+";
    case BinOp::Sub: return "-";
    case BinOp::Mul: return "*";
    case BinOp::Div: return "/";
    case BinOp::FloorDiv: return "//";
    case BinOp::Mod: return "%";
    case BinOp::Pow: return "** or pow()";
  }
  return "?";
}


std::string escape_html(std::string_view s) { return common::html_escaped(s, common::HtmlQuotes::Numeric); }

TemplateValue repeat(const TemplateValue& seq, std::int64_t n, Budget& st) {
  // Nothing repeated is nothing, however often: no loop of n empty steps.
  if (n <= 0 || (seq.is_string() ? seq.as_string().empty() : seq.as_list().empty())) n = 0;
  if (seq.is_string()) {
    st.bytes(static_cast<std::uint64_t>(n), seq.as_string().size());
    std::string out;
    for (std::int64_t i = 0; i < n; ++i) out.append(seq.as_string());
    return seq.is_safe() ? TemplateValue::safe_string(std::move(out)) : TemplateValue(std::move(out));
  }
  st.bytes(static_cast<std::uint64_t>(n), seq.as_list().size() * Budget::kElementBytes);
  List out;
  for (std::int64_t i = 0; i < n; ++i) out.insert(out.end(), seq.as_list().begin(), seq.as_list().end());
  return seq.kind() == Kind::Tuple ? TemplateValue::tuple(std::move(out)) : TemplateValue(std::move(out));
}

// CPython's float divmod: the floor quotient and a remainder with the sign of b.
std::pair<double, double> float_divmod(double a, double b) {
  double mod = std::fmod(a, b);
  double div = (a - mod) / b;
  if (mod != 0.0) {
    if ((b < 0) != (mod < 0)) {
      mod += b;
      div -= 1.0;
    }
  } else {
    mod = std::copysign(0.0, b);
  }
  double floordiv;
  if (div != 0.0) {
    floordiv = std::floor(div);
    if (div - floordiv > 0.5) floordiv += 1.0;
  } else {
    floordiv = std::copysign(0.0, a / b);
  }
  return {floordiv, mod};
}

/// Python's int / int: the real nearest the exact quotient (not the
/// quotient of the two integers made reals, which rounds twice).
double true_divide(const TemplateValue& a, const TemplateValue& b) {
  constexpr std::int64_t kExact = std::int64_t{1} << 53;
  auto small = [&](const TemplateValue& v) {
    return !v.is_big_int() && v.as_int() <= kExact && v.as_int() >= -kExact;
  };
  if (small(a) && small(b)) {
    if (b.as_int() == 0) throw EvalError("division by zero");
    return static_cast<double>(a.as_int()) / static_cast<double>(b.as_int());
  }
  BigInt x = a.as_bigint(), y = b.as_bigint();
  if (y.is_zero()) throw EvalError("division by zero");
  const bool negative = x.negative() != y.negative();
  x = x.abs();
  y = y.abs();
  if (x.is_zero()) return negative ? -0.0 : 0.0;
  // Scale so that the quotient has 55 or 56 bits, fold a remainder into its
  // lowest bit, and let the one conversion to a real round it.
  const long k = 55 - (static_cast<long>(x.bit_length()) - static_cast<long>(y.bit_length()));
  if (k > 0) x = x.shifted_left(static_cast<std::size_t>(k));
  else if (k < 0) y = y.shifted_left(static_cast<std::size_t>(-k));
  BigInt q, r;
  BigInt::divmod(x, y, q, r);
  std::int64_t bits = *q.to_int64();
  if (!r.is_zero()) bits |= 1;
  double d = std::ldexp(static_cast<double>(bits), static_cast<int>(-k));
  if (std::isinf(d)) throw EvalError("integer division result too large for a float");
  if (d < 0x1p-1021) throw EvalError("integer division with a result this close to zero is not supported");
  return negative ? -d : d;
}

/// Integer arithmetic of any size (both operands Bool or Int).
TemplateValue int_arithmetic(BinOp op, const TemplateValue& a, const TemplateValue& b) {
  if (!a.is_big_int() && !b.is_big_int()) {
    std::int64_t x = a.as_int(), y = b.as_int(), r = 0;
    switch (op) {
      case BinOp::Add:
        if (!__builtin_add_overflow(x, y, &r)) return TemplateValue(static_cast<long long>(r));
        break;
      case BinOp::Sub:
        if (!__builtin_sub_overflow(x, y, &r)) return TemplateValue(static_cast<long long>(r));
        break;
      case BinOp::Mul:
        if (!__builtin_mul_overflow(x, y, &r)) return TemplateValue(static_cast<long long>(r));
        break;
      case BinOp::FloorDiv:
      case BinOp::Mod: {
        if (y == 0) throw EvalError(op == BinOp::Mod ? "integer modulo by zero" : "integer division or modulo by zero");
        if (x == INT64_MIN && y == -1) break;
        std::int64_t q = x / y, m = x % y;
        if (m != 0 && ((m < 0) != (y < 0))) {
          --q;
          m += y;
        }
        return TemplateValue(static_cast<long long>(op == BinOp::Mod ? m : q));
      }
      default: break;
    }
  }
  BigInt x = a.as_bigint(), y = b.as_bigint();
  switch (op) {
    case BinOp::Add: return make_int(x + y);
    case BinOp::Sub: return make_int(x - y);
    case BinOp::Mul:
      if (x.bit_length() + y.bit_length() > kMaxIntBits + 1) return make_int(x.shifted_left(kMaxIntBits + 1));
      return make_int(x * y);
    case BinOp::FloorDiv:
    case BinOp::Mod: {
      if (y.is_zero()) throw EvalError(op == BinOp::Mod ? "integer modulo by zero" : "integer division or modulo by zero");
      BigInt q, m;
      BigInt::divmod(x, y, q, m);
      return make_int(op == BinOp::Mod ? m : q);
    }
    case BinOp::Pow: {
      if (y.negative()) {
        double fx = to_double(a), fy = to_double(b);
        if (fx == 0.0) throw EvalError("0.0 cannot be raised to a negative power");
        return TemplateValue(std::pow(fx, fy));
      }
      // 0, 1 and -1 stay small whatever the exponent; others grow by their
      // bit length with every step of it.
      if (x.is_zero() || x.abs() == BigInt(1)) {
        if (x.is_zero()) return TemplateValue(y.is_zero() ? 1 : 0);
        if (!x.negative()) return TemplateValue(1);
        BigInt q, m;
        BigInt::divmod(y, BigInt(2), q, m);
        return TemplateValue(m.is_zero() ? 1 : -1);
      }
      std::optional<std::int64_t> e = y.to_int64();
      if (!e || static_cast<std::uint64_t>(*e) > kMaxIntBits) return make_int(BigInt(1).shifted_left(kMaxIntBits + 1));
      if ((x.bit_length() - 1) * static_cast<std::size_t>(*e) > kMaxIntBits)
        return make_int(BigInt(1).shifted_left(kMaxIntBits + 1));
      BigInt result(1), base = x;
      for (std::int64_t n = *e; n > 0; n >>= 1) {
        if (n & 1) result = result * base;
        if (n > 1) base = base * base;
      }
      return make_int(std::move(result));
    }
    default: break;
  }
  throw EvalError("unsupported integer operation");
}

TemplateValue arithmetic(BinOp op, const TemplateValue& a, const TemplateValue& b, Budget& st) {
  if (a.is_undefined()) fail_undefined(a);
  if (op == BinOp::Mod && a.is_string()) return percent_format(a, b, st);
  if (b.is_undefined()) fail_undefined(b);
  if (a.is_number() && b.is_number()) {
    if (op == BinOp::Div) {
      if (is_int(a) && is_int(b)) return TemplateValue(true_divide(a, b));
      double y = to_double(b);
      if (y == 0.0) throw EvalError("float division by zero");
      return TemplateValue(to_double(a) / y);
    }
    if (is_int(a) && is_int(b)) return int_arithmetic(op, a, b);
    double x = to_double(a), y = to_double(b);
    switch (op) {
      case BinOp::Add: return TemplateValue(x + y);
      case BinOp::Sub: return TemplateValue(x - y);
      case BinOp::Mul: return TemplateValue(x * y);
      case BinOp::FloorDiv:
        if (y == 0.0) throw EvalError("float floor division by zero");
        return TemplateValue(float_divmod(x, y).first);
      case BinOp::Mod:
        if (y == 0.0) throw EvalError("float modulo");
        return TemplateValue(float_divmod(x, y).second);
      case BinOp::Pow: {
        if (x == 0.0 && y < 0) throw EvalError("0.0 cannot be raised to a negative power");
        if (x < 0 && std::isfinite(y) && y != std::floor(y))
          throw EvalError("negative number raised to a fractional power (complex results are not supported)");
        double r = std::pow(x, y);
        if (std::isinf(r) && std::isfinite(x) && std::isfinite(y)) throw EvalError("(34, 'Numerical result out of range')");
        return TemplateValue(r);
      }
      default: break;
    }
  }
  if (op == BinOp::Add) {
    if (a.is_string() && b.is_string()) {
      st.bytes(a.as_string().size() + b.as_string().size());
      if (a.is_safe() != b.is_safe()) {  // Markup escapes the plain operand
        std::string out = a.is_safe() ? std::string(a.as_string()) + escape_html(b.as_string())
                                      : escape_html(a.as_string()) + std::string(b.as_string());
        return TemplateValue::safe_string(std::move(out));
      }
      std::string out;
      out.reserve(a.as_string().size() + b.as_string().size());
      out.append(a.as_string()).append(b.as_string());
      return a.is_safe() ? TemplateValue::safe_string(std::move(out)) : TemplateValue(std::move(out));
    }
    if (plain_sequence(a) && a.kind() == b.kind()) {
      st.elements(a.as_list().size() + b.as_list().size());
      List out = a.as_list();
      out.insert(out.end(), b.as_list().begin(), b.as_list().end());
      return a.kind() == Kind::Tuple ? TemplateValue::tuple(std::move(out)) : TemplateValue(std::move(out));
    }
  }
  if (op == BinOp::Mul) {
    auto repeatable = [](const TemplateValue& v) {
      return v.is_string() || plain_sequence(v);
    };
    if (repeatable(a) && is_int(b)) return repeat(a, b.as_int(), st);
    if (repeatable(b) && is_int(a)) return repeat(b, a.as_int(), st);
  }
  throw EvalError(std::string("unsupported operand type(s) for ") + op_symbol(op) + ": '" + type_name(a) +
                  "' and '" + type_name(b) + "'");
}

// ---- number parsing as Python's int() and float() ---------------------------

/// The text Python's int() and float() read: blanks (Unicode ones too) taken
/// off both ends; empty when a character makes it no number. Python also
/// reads the decimal digits of other scripts, which this engine does not: a
/// text with a character that may be one is an error rather than a
/// different number.
std::string_view number_text(std::string_view text, const char* what) {
  std::size_t b = 0, e = text.size();
  while (b < e) {
    std::size_t k = b;
    if (!py_isspace(utf8_next(text, k))) break;
    b = k;
  }
  while (e > b) {
    std::size_t start = e - 1;
    while (start > b && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t k = start;
    if (!py_isspace(utf8_next(text, k))) break;
    e = start;
  }
  std::string_view s = text.substr(b, e - b);
  bool foreign = false;
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t c = utf8_next(s, i);
    // Blocks without decimal digits: such a character makes the text no
    // number at all. Any other one might be a digit Python reads.
    if (!(c < 0x660 || (c >= 0x2000 && c <= 0x2BFF) || (c >= 0x1F300 && c <= 0x1FAFF))) foreign = true;
    else return {};
  }
  if (foreign) throw EvalError(std::string(what) + " of a text with characters other than ASCII is not supported");
  return s;
}

/// int(text, base): nullopt where Python raises ValueError.
std::optional<BigInt> py_parse_int(std::string_view text, std::int64_t base) {
  if (base != 0 && (base < 2 || base > 36)) return std::nullopt;
  std::string_view s = number_text(text, "int()");
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  bool prefixed = false;
  if (s.size() >= 2 && s[0] == '0') {
    char p = static_cast<char>(s[1] | 0x20);
    int pb = p == 'x' ? 16 : p == 'o' ? 8 : p == 'b' ? 2 : 0;
    if (pb && (base == 0 || base == pb)) {
      base = pb;
      prefixed = true;
      s.remove_prefix(2);
    }
  }
  if (base == 0) {
    base = 10;
    // Base 0 reads a decimal literal: no leading zeros but for zero itself.
    if (!s.empty() && s[0] == '0' && s.find_first_not_of("0_") != std::string_view::npos) return std::nullopt;
  }
  std::string digits;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '_') {
      digits += s[i];
      continue;
    }
    // Single underscores between digits, or one right after a base prefix.
    bool after_digit = i > 0 && s[i - 1] != '_';
    if (!(after_digit || (i == 0 && prefixed)) || i + 1 >= s.size() || s[i + 1] == '_') return std::nullopt;
  }
  std::optional<BigInt> v = BigInt::parse(digits, static_cast<int>(base));
  if (!v) return std::nullopt;
  if (v->bit_length() > kMaxIntBits) make_int(*v);
  return negative ? -*v : *v;
}

/// float(text): nullopt when Python raises ValueError.
std::optional<double> py_parse_float(std::string_view text) {
  return common::parse_py_float(number_text(text, "float()"), common::NumberBlanks::PythonBytes);
}

// ---- rounding as Python's round() -------------------------------------------

/// round(i, n) for an integer: ties to even.
TemplateValue py_round_int(const TemplateValue& v, std::int64_t n) {
  if (n >= 0) return TemplateValue(v.as_bigint());
  if (static_cast<std::uint64_t>(-(n + 1)) >= kMaxIntBits / 3) return TemplateValue(0);
  BigInt p(1);
  for (std::int64_t i = 0; i < -n; ++i) p = p * BigInt(10);
  BigInt q, r;
  BigInt::divmod(v.as_bigint(), p, q, r);
  int c = compare(r + r, p);
  BigInt q2, odd;
  BigInt::divmod(q, BigInt(2), q2, odd);
  if (c > 0 || (c == 0 && !odd.is_zero())) q = q + BigInt(1);
  return make_int(q * p);
}

// ---- case mapping -----------------------------------------------------------

/// Characters whose upper case Python writes with more than one character
/// (ŉ, ǰ, ΐ, the Greek with ypogegrammeni, the ligatures ﬀ..ﬆ, ...), which
/// common::utf8_upper maps one to one.
constexpr std::pair<char32_t, char32_t> kMultiUpper[] = {
    {0x149, 0x149},   {0x1F0, 0x1F0},   {0x390, 0x390},   {0x3B0, 0x3B0},   {0x587, 0x587},   {0x1E96, 0x1E9A},
    {0x1F50, 0x1F50}, {0x1F52, 0x1F52}, {0x1F54, 0x1F54}, {0x1F56, 0x1F56}, {0x1F80, 0x1FAF}, {0x1FB2, 0x1FB4},
    {0x1FB6, 0x1FB7}, {0x1FBC, 0x1FBC}, {0x1FC2, 0x1FC4}, {0x1FC6, 0x1FC7}, {0x1FCC, 0x1FCC}, {0x1FD2, 0x1FD3},
    {0x1FD6, 0x1FD7}, {0x1FE2, 0x1FE4}, {0x1FE6, 0x1FE7}, {0x1FF2, 0x1FF4}, {0x1FF6, 0x1FF7}, {0x1FFC, 0x1FFC},
    {0xFB00, 0xFB06}, {0xFB13, 0xFB17},
};

/// str.upper() as Python's; the characters above are refused.
std::string py_upper(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t c = utf8_next(s, i);
    for (const auto& [lo, hi] : kMultiUpper)
      if (c >= lo && c <= hi) {
        std::string ch;
        utf8_append(ch, c);
        throw EvalError("upper case of '" + ch + "' (several characters in Python) is not supported");
      }
  }
  return common::utf8_upper(s);
}

/// str.lower() as Python's. Python writes a capital sigma as final (ς) or
/// not depending on the letters around it; such a text is refused.
std::string py_lower(std::string_view s) {
  if (s.find("\xCE\xA3") != std::string_view::npos)
    throw EvalError("lower case of a text with 'Σ' (final or not by context in Python) is not supported");
  return common::utf8_lower(s);
}

std::string_view py_strip(std::string_view s, const std::optional<std::string>& chars) {
  auto strip_char = [&](char32_t c) {
    if (!chars) return py_isspace(c);
    std::string_view cs = *chars;
    for (std::size_t i = 0; i < cs.size();)
      if (utf8_next(cs, i) == c) return true;
    return false;
  };
  std::size_t b = 0;
  while (b < s.size()) {
    std::size_t k = b;
    if (!strip_char(utf8_next(s, k))) break;
    b = k;
  }
  std::size_t e = s.size();
  while (e > b) {
    std::size_t start = e - 1;
    while (start > b && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t k = start;
    if (!strip_char(utf8_next(s, k))) break;
    e = start;
  }
  return s.substr(b, e - b);
}

/// str.replace; throws std::length_error (kTooMuchText) once the result
/// would pass `max_size` bytes.
std::string py_replace(std::string_view s, std::string_view old, std::string_view repl, std::int64_t count,
                       std::size_t max_size) {
  std::string out;
  auto check = [&] {
    if (out.size() > max_size) throw std::length_error(kTooMuchText);
  };
  if (old.empty()) {
    std::int64_t done = 0;
    for (std::size_t i = 0; i < s.size();) {
      if (count < 0 || done < count) {
        out.append(repl);
        ++done;
        check();
      }
      std::size_t start = i;
      utf8_next(s, i);
      out.append(s.substr(start, i - start));
    }
    if (count < 0 || done < count) out.append(repl);
    return out;
  }
  std::size_t pos = 0;
  std::int64_t done = 0;
  while (count < 0 || done < count) {
    std::size_t f = s.find(old, pos);
    if (f == std::string_view::npos) break;
    out.append(s.substr(pos, f - pos)).append(repl);
    check();
    pos = f + old.size();
    ++done;
  }
  out.append(s.substr(pos));
  check();
  return out;
}

/// The code point at `index` (negative from the end) of `s`, or nullopt.
std::optional<std::string> utf8_at(std::string_view s, std::int64_t index) {
  std::int64_t n = static_cast<std::int64_t>(utf8_length(s));
  if (index < 0) index += n;
  if (index < 0 || index >= n) return std::nullopt;
  std::size_t i = 0;
  for (std::int64_t k = 0; k < index; ++k) utf8_next(s, i);
  std::size_t start = i;
  utf8_next(s, i);
  return std::string(s.substr(start, i - start));
}

// ---- globals ----------------------------------------------------------------

/// range() as a template callable; at most `st.limits().max_range` items.
TemplateValue range_function(Budget& st) {
  return TemplateValue::function([&st](const List& args) {
    if (args.empty() || args.size() > 3) throw EvalError("range expected 1 to 3 integer arguments");
    for (const auto& a : args)
      if (!is_int(a)) throw EvalError("'" + type_name(a) + "' object cannot be interpreted as an integer");
    std::int64_t start = 0, stop, step = 1;
    if (args.size() == 1) {
      stop = args[0].as_int();
    } else {
      start = args[0].as_int();
      stop = args[1].as_int();
      if (args.size() == 3) step = args[2].as_int();
    }
    if (step == 0) throw EvalError("range() arg 3 must not be zero");
    __int128 span = static_cast<__int128>(stop) - start;
    __int128 count = 0;
    if (step > 0 && span > 0) count = (span + step - 1) / step;
    if (step < 0 && span < 0) count = (-span + (-static_cast<__int128>(step)) - 1) / -static_cast<__int128>(step);
    if (count > st.limits().max_range)
      throw EvalError("range too long (more than " + std::to_string(st.limits().max_range) + " items)");
    st.elements(static_cast<std::uint64_t>(count));
    List out;
    out.reserve(static_cast<std::size_t>(count));
    for (__int128 i = 0; i < count; ++i) out.emplace_back(static_cast<long long>(start + i * step));
    return TemplateValue::range(std::move(out), start, stop, step);
  });
}

// ---- the renderer -----------------------------------------------------------


std::int64_t int_arg(const TemplateValue& v, const char* what) {
  if (!is_int(v)) throw EvalError(std::string(what) + " must be an integer, not '" + type_name(v) + "'");
  return v.as_int();
}

}  // namespace detail

namespace {

// ---- macros, namespaces and the other globals: their values ----------------

class Renderer;

/// A macro as Jinja2 makes it: its definition, and what its body sees when
/// called (the frames and context of the place it was defined in, late
/// bound: a frame's later changes show).
struct MacroDef {
  const Stmt* stmt = nullptr;  ///< Macro or CallBlock
  const Template* tpl = nullptr;
  const TemplateMap* ctx = nullptr;
  const Renderer* parent = nullptr;      ///< the defining renderer's includer
  std::weak_ptr<const char> parent_alive;  ///< expired once `parent` ended
  std::vector<std::shared_ptr<Frame>> frames;
  int depth = 0;  ///< the defining renderer's levels above its template
};

/// The function of a macro value; the renderer calls macros itself (with
/// keyword arguments), so this is only reached where a callable is called
/// without a renderer.
struct MacroFn {
  std::shared_ptr<const MacroDef> def;
  TemplateValue operator()(const List&) const { throw EvalError("calling a macro here is not supported"); }
};

/// A callable global that takes keyword arguments: namespace(), dict(),
/// joiner(), cycler().
struct KwFn {
  using Kw = std::vector<std::pair<std::string, TemplateValue>>;
  std::function<TemplateValue(const List&, const Kw&)> f;
  TemplateValue operator()(const List& args) const { return f(args, {}); }
};

/// What namespace() gives: attributes that `{% set ns.x = ... %}` changes,
/// shared by every copy of the value.
struct NamespaceFn {
  std::shared_ptr<TemplateMap> attrs;
  TemplateValue operator()(const List&) const { throw EvalError("'Namespace' object is not callable"); }
};

/// What cycler(...) gives.
struct CyclerFn {
  struct State {
    List items;
    std::size_t pos = 0;
  };
  std::shared_ptr<State> state;
  TemplateValue operator()(const List&) const { throw EvalError("'Cycler' object is not callable"); }
};

template <class T>
const T* callable_as(const TemplateValue& v) {
  return v.kind() == Kind::Callable ? v.as_function().target<T>() : nullptr;
}

/// Jinja2's callable(): a namespace and a cycler are objects, not functions.
bool py_callable(const TemplateValue& v) {
  return v.kind() == Kind::Callable && !callable_as<NamespaceFn>(v) && !callable_as<CyclerFn>(v);
}

/// The entries of dict(...) and namespace(...): one mapping, then keywords.
TemplateMap dict_of(const char* what, const List& args, const KwFn::Kw& kw) {
  TemplateMap out;
  if (args.size() > 1) throw EvalError(std::string(what) + " expected at most 1 argument, got " + std::to_string(args.size()));
  if (!args.empty()) {
    if (!args[0].is_map()) throw EvalError(std::string(what) + " of a value other than a dict is not supported");
    for (const auto& [k, v] : args[0].as_map()) out.set(k, v);
  }
  for (const auto& [k, v] : kw) out.set(k, v);
  return out;
}

class Renderer : public FilterHost {
 public:
  /// `depth`: the levels of nesting above this template's own (the include
  /// statements and blocks around it in the templates that include it).
  Renderer(const TemplateEnvironment& env, const Template& tpl, const TemplateMap& ctx, const Renderer* parent,
           int depth, Budget& st, std::string& out, std::vector<TemplatePage::Splice>* splices)
      : env_(env), tpl_(tpl), ctx_(ctx), parent_(parent), depth_(depth), st_(st), out_(out), splices_(splices) {
    frames_.push_back(std::make_shared<Frame>());
  }

  ~Renderer() {
    if (alive_flag_) *alive_flag_ = false;
  }
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  void run() { run_chain(nullptr); }

 private:
  struct Chain;

  [[noreturn]] void fail(int line, const std::string& msg) const {
    throw TemplateError(tpl_.name + ":" + std::to_string(line) + ": " + msg);
  }

  const TemplateValue* find_local(std::string_view name) const {
    for (auto f = frames_.rbegin(); f != frames_.rend(); ++f)
      for (auto v = (*f)->rbegin(); v != (*f)->rend(); ++v)
        if (v->first == name) return &v->second;
    if (top_ && !root_)
      for (auto v = top_->rbegin(); v != top_->rend(); ++v)
        if (v->first == name) return &v->second;
    // An included template sees the includer's variables but not its loop
    // (a scoped block sees the loop around it).
    if (parent_ && (name != "loop" || parent_loop_)) return parent_->find_visible(name);
    return nullptr;
  }

  const TemplateValue* find_visible(std::string_view name) const {
    if (const TemplateValue* v = find_local(name)) return v;
    return ctx_.find(name);
  }

  TemplateValue lookup(std::string_view name) const {
    // Macro bodies and set/filter blocks render outside any inheritance chain.
    if (!chain_ && (name == "self" || name == "super") && !find_visible(name))
      throw EvalError("'" + std::string(name) + "' inside a macro, call, set or filter block is not supported");
    if ((name == "self" || (name == "super" && block_name_)) && !find_in_frames(name))
      return name == "self" ? self_value() : super_value();
    if (const TemplateValue* v = find_visible(name)) return *v;
    if (name == "range") return range_function(st_);
    if (std::optional<TemplateValue> g = macro_global(name)) return std::move(*g);
    return TemplateValue::undefined("'" + std::string(name) + "' is undefined");
  }

  static void assign(Frame& frame, std::string_view name, TemplateValue value) {
    for (auto& v : frame)
      if (v.first == name) {
        v.second = std::move(value);
        return;
      }
    frame.emplace_back(name, std::move(value));
  }

  void assign_targets(Frame& frame, const std::vector<std::string>& targets, const TemplateValue& value) {
    if (targets.size() == 1) {
      assign(frame, targets[0], value);
      return;
    }
    if (value.is_undefined()) fail_undefined(value);
    if (!value.is_sequence() && !value.is_string() && !value.is_map())
      throw EvalError("cannot unpack non-iterable " + type_name(value) + " object");
    List items = items_of(value);
    if (items.size() > targets.size())
      throw EvalError("too many values to unpack (expected " + std::to_string(targets.size()) + ")");
    if (items.size() < targets.size())
      throw EvalError("not enough values to unpack (expected " + std::to_string(targets.size()) + ", got " +
                      std::to_string(items.size()) + ")");
    for (std::size_t i = 0; i < targets.size(); ++i) assign(frame, targets[i], items[i]);
  }

  // ---- statements ----

  void render_body(const Body& body) {
    for (const Stmt& s : body) render_stmt(s);
  }

  void render_stmt(const Stmt& s) {
    const int previous_line = st_.line;
    st_.name = &tpl_.name;
    st_.line = s.line;
    switch (s.kind) {
      case Stmt::Kind::Text:
        if (extended_) return;  // a child's text outside blocks is not written
        try {
          st_.bytes(s.text.size());
        } catch (const EvalError& e) {
          fail(s.line, e.what());
        }
        out_.append(s.text);
        return;
      case Stmt::Kind::Output: {
        if (extended_) return;  // nor is its {{ }} evaluated
        TemplateValue v;
        if (s.expr->constant) {
          // Jinja2 prints a {{ }} of literals as text when computing it gives
          // a value it can write as a literal; otherwise it writes the
          // constant parts into code, and an infinity among them fails.
          no_finite_checks_ = true;
          try {
            v = eval(*s.expr);
          } catch (...) {
            no_finite_checks_ = false;
            throw;
          }
          no_finite_checks_ = false;
          if (!literal_value(v)) v = eval(*s.expr);
        } else {
          v = eval(*s.expr);
        }
        std::size_t before = out_.size();
        try {
          if (autoescape_ && !(v.is_string() && v.is_safe())) v = escaped(v);
          if (auto text = v.deferred_text()) {
            const std::size_t n = text->size();
            if (n > st_.bound(before) - before) throw std::length_error(kTooMuchText);
            st_.bytes(n);
            if (splices_) splices_->push_back({before, std::move(text)});
            else text->write(out_);
            return;
          }
          append_str_limited(out_, v, st_.bound(before));
          st_.bytes(out_.size() - before);
        } catch (const std::exception& e) {
          out_.resize(before);
          fail(s.line, e.what());
        }
        return;
      }
      case Stmt::Kind::If:
        for (const auto& [cond, body] : s.branches) {
          if (!cond || eval(*cond).truthy()) {
            render_body(body);
            return;
          }
        }
        return;
      case Stmt::Kind::Set: {
        TemplateValue v = eval(*s.expr);
        if (!s.name.empty()) return set_attribute(s, std::move(v));
        try {
          assign_targets(*frames_.back(), s.targets, v);
        } catch (const EvalError& e) {
          fail(s.line, e.what());
        }
        return;
      }
      case Stmt::Kind::For: render_for(s); return;
      case Stmt::Kind::Include: render_include(s); return;
      case Stmt::Kind::Extends: render_extends(s, previous_line); return;
      case Stmt::Kind::Block: render_block_stmt(s); return;
      case Stmt::Kind::Autoescape: render_autoescape(s); return;
      case Stmt::Kind::Macro:
      case Stmt::Kind::CallBlock:
      case Stmt::Kind::SetBlock:
      case Stmt::Kind::FilterBlock:
      case Stmt::Kind::With:
      case Stmt::Kind::Import:
      case Stmt::Kind::FromImport: render_macro_stmt(s); return;
    }
  }

  void render_for(const Stmt& s) {
    TemplateValue seq_value = eval(*s.expr);
    render_loop(s, seq_value, 0);
  }

  /// One run of a loop over `seq_value`; `level`: the recursive calls
  /// (loop(...)) it runs in.
  void render_loop(const Stmt& s, const TemplateValue& seq_value, int level) {
    struct LoopLevel {
      int& n;
      explicit LoopLevel(int& level) : n(level) { ++n; }
      ~LoopLevel() { --n; }
    } loop_level{loop_level_};
    List materialized;
    const List* seq = nullptr;
    if (seq_value.is_sequence()) {
      seq = &seq_value.as_list();
    } else {
      try {
        materialized = items_of(seq_value);
      } catch (const std::exception& e) {
        fail(s.line, e.what());
      }
      seq = &materialized;
    }
    frames_.push_back(std::make_shared<Frame>());
    struct PopFrame {
      std::vector<std::shared_ptr<Frame>>& frames;
      ~PopFrame() { frames.pop_back(); }
    } pop{frames_};
    if (s.cond) {
      List kept;
      for (const auto& item : *seq) {
        frames_.back()->clear();
        step(s.line);
        bind(s, item);
        if (eval(*s.cond).truthy()) kept.push_back(item);
      }
      materialized = std::move(kept);
      seq = &materialized;
    }
    if (seq->empty()) {
      // The else body sees the enclosing names (not the targets the `if`
      // filter bound) and is a scope of its own: what it sets ends with it,
      // when PopFrame removes this frame.
      frames_.back()->clear();
      render_body(s.else_body);
      return;
    }
    const std::size_t n = seq->size();
    // loop.cycle and loop.changed: one of each for the whole loop, the
    // latter remembering the last values it was given.
    TemplateValue cycle, changed, recurse;
    std::shared_ptr<std::size_t> index;
    std::shared_ptr<bool> running;
    struct EndLoop {
      std::shared_ptr<bool>& running;
      ~EndLoop() {
        if (running) *running = false;
      }
    } end_loop{running};
    if (s.recursive) {
      // loop(seq) runs the body over seq one level deeper, seeing the names
      // around the loop statement (not those of this iteration).
      running = std::make_shared<bool>(true);
      const std::size_t outer_frames = frames_.size() - 1;
      recurse = TemplateValue::function([this, &s, level, outer_frames, running](const List& args) -> TemplateValue {
        if (!*running) throw EvalError("calling a recursive loop after it ended is not supported");
        if (args.size() != 1)
          throw EvalError("LoopContext.__call__() takes 2 positional arguments but " + std::to_string(args.size() + 1) +
                          " were given");
        return recurse_loop(s, args[0], level + 1, outer_frames);
      });
    }
    if (s.uses_loop) {
      index = std::make_shared<std::size_t>(0);
      cycle = TemplateValue::function([index](const List& args) -> TemplateValue {
        if (args.empty()) throw EvalError("no items for cycling given");
        return args[*index % args.size()];
      });
      auto last = std::make_shared<std::optional<List>>();
      Budget* st = &st_;
      changed = TemplateValue::function([last, st](const List& args) -> TemplateValue {
        bool same = last->has_value() && (*last)->size() == args.size();
        for (std::size_t k = 0; same && k < args.size(); ++k) same = py_eq((**last)[k], args[k], *st);
        if (same) return TemplateValue(false);
        *last = args;
        return TemplateValue(true);
      });
    }
    for (std::size_t i = 0; i < n; ++i) {
      frames_.back()->clear();
      step(s.line);
      bind(s, (*seq)[i]);
      if (s.uses_loop) {
        *index = i;
        auto ll = [](std::size_t v) { return TemplateValue(static_cast<long long>(v)); };
        TemplateMap loop;
        loop.set("index", ll(i + 1))
            .set("index0", ll(i))
            .set("revindex", ll(n - i))
            .set("revindex0", ll(n - i - 1))
            .set("first", i == 0)
            .set("last", i + 1 == n)
            .set("length", ll(n))
            .set("depth", level + 1)
            .set("depth0", level)
            .set("previtem", i > 0 ? (*seq)[i - 1] : TemplateValue::undefined("there is no previous item"))
            .set("nextitem", i + 1 < n ? (*seq)[i + 1] : TemplateValue::undefined("there is no next item"))
            .set("cycle", cycle)
            .set("changed", changed);
        if (s.recursive) loop.set(kLoopCall, recurse);
        frames_.back()->emplace_back("loop", TemplateValue::object(std::move(loop), "LoopContext"));
      }
      render_body(s.body);
    }
  }

  void step(int line) {
    try {
      st_.step();
    } catch (const EvalError& e) {
      fail(line, e.what());
    }
  }

  /// The elements iterating `v` gives, charged to the budget first.
  List items_of(const TemplateValue& v) override {
    if (v.is_string()) st_.elements(v.as_string().size());
    else if (v.is_sequence()) st_.elements(v.as_list().size());
    else if (v.is_map()) st_.elements(v.as_map().size());
    return iterate_value(v);
  }

  /// What printing `v` gives, charged to the budget.
  std::string text_of(const TemplateValue& v) override {
    std::string out;
    append_str_limited(out, v, st_.bound(0));
    st_.bytes(out.size());
    return out;
  }

  void bind(const Stmt& s, const TemplateValue& item) {
    try {
      assign_targets(*frames_.back(), s.targets, item);
    } catch (const EvalError& e) {
      fail(s.line, e.what());
    }
  }

  void render_include(const Stmt& s) {
    TemplateValue name = eval(*s.expr);
    if (!name.is_string() && name.kind() != Kind::List && name.kind() != Kind::Tuple)
      fail(s.line, "include expects a template name (a string), got " + type_name(name));
    // The included template runs one level below the include statement: its
    // levels add to those of every include and block around it.
    int depth = depth_ + s.depth + 1 + st_.call_levels;
    if (depth > common::kMaxNesting) fail(s.line, common::kTooDeeplyNested);
    std::shared_ptr<const Template> tpl;
    if (!name.is_string()) {
      tpl = load_first(s, name.as_list());
      if (!tpl) return;
    } else {
      try {
        tpl = env_.load(std::string(name.as_string()));
      } catch (const TemplateNotFound& e) {
        if (s.ignore_missing) return;
        fail(s.line, e.what());
      }
    }
    if (depth + tpl->max_depth > common::kMaxNesting) fail(s.line, common::kTooDeeplyNested);
    static const TemplateMap empty;
    Renderer child(env_, *tpl, s.with_context ? ctx_ : empty, s.with_context ? this : nullptr, depth, st_, out_, splices_);
    child.run();
  }

  // ---- inheritance: extends, blocks, self and super ----
  //
  // As in Jinja2, a template and the templates it extends render as one
  // chain sharing one context: the blocks of every template of the chain
  // (the most derived version first) and the names their root-level code
  // sets. The root-level code of each template runs in turn, child first;
  // once a template has extended another, its text and {{ }} are no longer
  // written (its sets, loops and includes still run), and after it the
  // template it extends runs. A block renders the chain's most derived
  // version of it, seeing the chain's names (a scoped block: also the names
  // where it stands).

  struct Chain {
    std::map<std::string, std::vector<std::pair<const Template*, const Stmt*>>, std::less<>> blocks;
    /// Names the root-level code of the chain sets: the first frame of every
    /// root-level renderer of the chain.
    std::shared_ptr<Frame> top = std::make_shared<Frame>();
    const Renderer* context_parent = nullptr;   ///< the includer whose names the chain sees
    Renderer* root = nullptr;                   ///< the renderer of the chain's first template
    std::vector<std::shared_ptr<const Template>> templates;  ///< the extended ones, kept alive
    TemplateValue self;                         ///< `self`, made on first use
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  };

  /// Adds `n` levels to the budget's call levels while it lives.
  class CallLevels {
   public:
    CallLevels(Budget& st, int n) : st_(st), n_(n) { st_.call_levels += n; }
    ~CallLevels() { st_.call_levels -= n_; }
    CallLevels(const CallLevels&) = delete;
    CallLevels& operator=(const CallLevels&) = delete;

   private:
    Budget& st_;
    int n_;
  };

  /// Renders this template's root-level code as the start of a new chain, or
  /// (`chain` given) as the next template of that chain.
  void run_chain(Chain* chain) {
    std::optional<Chain> own;
    if (!chain) {
      own.emplace();
      chain = &*own;
      chain->context_parent = parent_;
      chain->root = this;
      for (const auto& [name, block] : tpl_.blocks) chain->blocks[name].emplace_back(&tpl_, block);
    }
    struct EndChain {
      std::optional<Chain>& own;
      ~EndChain() {
        if (own) *own->alive = false;
      }
    } end_chain{own};
    chain_ = chain;
    root_ = true;
    top_ = chain->top;
    frames_[0] = chain->top;
    render_body(tpl_.body);
    if (!extends_) return;
    Renderer next(env_, *extends_, ctx_, parent_, depth_, st_, out_, splices_);
    next.run_chain(chain);
  }

  /// `previous_line`: of the statement rendered before, where Jinja2 reports
  /// a second extends.
  void render_extends(const Stmt& s, int previous_line) {
    if (!chain_) fail(s.line, "extends inside a macro, call, set or filter block is not supported");
    if (extended_) fail(previous_line, "extended multiple times");
    TemplateValue name = eval(*s.expr);
    if (!name.is_string()) fail(s.line, "extends expects a template name (a string), got " + type_name(name));
    if (chain_->templates.size() + 1 >= static_cast<std::size_t>(common::kMaxNesting))
      fail(s.line, "templates extending templates more than " + std::to_string(common::kMaxNesting) + " levels deep");
    std::shared_ptr<const Template> tpl;
    try {
      tpl = env_.load(std::string(name.as_string()));
    } catch (const TemplateNotFound& e) {
      fail(s.line, e.what());
    }
    if (depth_ + st_.call_levels + tpl->max_depth > common::kMaxNesting) fail(s.line, common::kTooDeeplyNested);
    for (const auto& [block_name, block] : tpl->blocks) chain_->blocks[block_name].emplace_back(tpl.get(), block);
    chain_->templates.push_back(tpl);
    extends_ = std::move(tpl);
    extended_ = true;
  }

  void render_block_stmt(const Stmt& s) {
    if (!chain_) fail(s.line, "a block inside a macro, call, set or filter block is not supported");
    // Where a block stands outside loops, an extended template writes nothing.
    if (extended_ && loop_level_ == 0) return;
    // A scoped block sees the names where it stands; another one the names of
    // the block around it (the chain's, or those where a scoped one stands).
    render_block(s.text, 0, s.scoped ? this : block_scope_, depth_ + s.depth + 1 + st_.call_levels, out_, splices_);
  }

  /// Renders version `level` of the chain's block `name`, with the names
  /// where `scope` stands (a scoped block) or the chain's (nullptr).
  void render_block(std::string_view name, std::size_t level, const Renderer* scope, int depth, std::string& out,
                    std::vector<TemplatePage::Splice>* splices) const {
    auto it = chain_->blocks.find(name);
    if (it == chain_->blocks.end() || level >= it->second.size()) fail(st_.line, "no block '" + std::string(name) + "'");
    const auto& [tpl, block] = it->second[level];
    if (depth + tpl->max_depth > common::kMaxNesting) fail(st_.line, common::kTooDeeplyNested);
    Renderer r(env_, *tpl, ctx_, scope ? scope : chain_->context_parent, depth, st_, out, splices);
    if (block->required) r.fail(block->line, "Required block '" + it->first + "' not found");
    r.chain_ = chain_;
    if (!scope) r.top_ = chain_->top;
    r.parent_loop_ = scope != nullptr;
    r.block_name_ = &it->first;
    r.block_level_ = level;
    r.block_scope_ = scope;
    r.render_body(block->body);
  }

  /// Renders a block as a call (self.name(), super()) does: into a text.
  TemplateValue call_block(std::string_view name, std::size_t level, const Renderer* scope) const {
    const Template& tpl = *chain_->blocks.find(name)->second[level].first;
    st_.step();  // calls that call each other twice would otherwise run without end
    CallLevels levels(st_, tpl.max_depth + 1);
    std::string out;
    render_block(name, level, scope, depth_ + st_.call_levels, out, nullptr);
    return TemplateValue(std::move(out));
  }

  /// Whether `name` is set in this renderer's own frames (a block's, or a
  /// template's root-level names).
  bool find_in_frames(std::string_view name) const {
    for (const auto& f : frames_)
      for (const auto& v : *f)
        if (v.first == name) return true;
    return false;
  }

  /// `self`: the chain's blocks, each called as self.name() with the names
  /// this block sees (the chain's, or those where a scoped block stands).
  TemplateValue self_value() const {
    if (!block_scope_ && !chain_->self.is_undefined()) return chain_->self;
    TemplateMap blocks;
    // The chain's first renderer outlives every other of the chain; a scoped
    // block's names live while it renders.
    const Renderer* owner = block_scope_ ? this : chain_->root;
    std::shared_ptr<bool> alive = block_scope_ ? alive_token() : chain_->alive;
    const Renderer* scope = block_scope_;
    for (const auto& entry : chain_->blocks) {
      const std::string* name = &entry.first;
      blocks.set(entry.first, TemplateValue::function([owner, alive, name, scope](const List& args) -> TemplateValue {
        if (!*alive) throw EvalError("calling a block of a template after its render is not supported");
        if (!args.empty()) throw EvalError("BlockReference.__call__() takes 1 positional argument but " +
                                           std::to_string(args.size() + 1) + " were given");
        return owner->call_block(*name, 0, scope);
      }));
    }
    TemplateValue self = TemplateValue::object(std::move(blocks), "TemplateReference");
    if (!block_scope_) chain_->self = self;
    return self;
  }

  /// A flag that is true while this renderer lives.
  std::shared_ptr<bool> alive_token() const {
    if (!alive_flag_) alive_flag_ = std::make_shared<bool>(true);
    return alive_flag_;
  }

  /// `super` in a block: the next version of it in the chain, or undefined.
  TemplateValue super_value() const {
    const auto& versions = chain_->blocks.find(*block_name_)->second;
    if (block_level_ + 1 >= versions.size())
      return TemplateValue::undefined("there is no parent block called " + py_quoted(*block_name_) + ".");
    std::shared_ptr<bool> alive = alive_token();
    const Renderer* self = this;
    return TemplateValue::function([self, alive](const List& args) -> TemplateValue {
      if (!*alive) throw EvalError("calling super() of a block after its render is not supported");
      if (!args.empty()) throw EvalError("BlockReference.__call__() takes 1 positional argument but " +
                                         std::to_string(args.size() + 1) + " were given");
      return self->call_block(*self->block_name_, self->block_level_ + 1, self->block_scope_);
    });
  }

  /// loop(seq) of a recursive loop: its body over `seq` at `level`, seeing the
  /// frames around the loop statement only; gives the text it writes.
  TemplateValue recurse_loop(const Stmt& s, const TemplateValue& seq, int level, std::size_t outer_frames) {
    st_.step();
    CallLevels levels(st_, s.body_depth + 1);
    if (depth_ + s.depth + st_.call_levels + s.body_depth > common::kMaxNesting)
      throw EvalError(common::kTooDeeplyNested);
    std::vector<std::shared_ptr<Frame>> inner(std::make_move_iterator(frames_.begin() + static_cast<std::ptrdiff_t>(outer_frames)),
                             std::make_move_iterator(frames_.end()));
    frames_.resize(outer_frames);
    struct Restore {
      Renderer& r;
      std::vector<std::shared_ptr<Frame>>& inner;
      std::size_t outer_frames;
      std::vector<TemplatePage::Splice>* splices;
      ~Restore() {
        r.frames_.resize(outer_frames);
        for (auto& f : inner) r.frames_.push_back(std::move(f));
        r.splices_ = splices;
      }
    } restore{*this, inner, outer_frames, splices_};
    // Written into the end of the output and taken out again; deferred texts
    // are written out, not spliced.
    splices_ = nullptr;
    const std::size_t before = out_.size();
    render_loop(s, seq, level);
    std::string text = out_.substr(before);
    out_.resize(before);
    return TemplateValue(std::move(text));
  }

  /// The first template of `names` that exists (undefined names are
  /// skipped, as Jinja2 skips them); nullptr when none does and the include
  /// ignores missing ones.
  std::shared_ptr<const Template> load_first(const Stmt& s, const List& names) {
    std::string tried;
    for (const TemplateValue& n : names) {
      if (n.is_undefined()) continue;
      if (!n.is_string()) fail(s.line, "include of a list holding a " + type_name(n) + " is not supported");
      try {
        return env_.load(std::string(n.as_string()));
      } catch (const TemplateNotFound&) {
        tried += (tried.empty() ? "" : ", ") + std::string(n.as_string());
      }
    }
    if (s.ignore_missing) return nullptr;
    if (names.empty()) fail(s.line, "Tried to select from an empty list of templates.");
    fail(s.line, "none of the templates given were found: " + tried);
  }

  // ---- autoescape ----
  //
  // Within {% autoescape true %}, {{ }} writes its value escaped unless it is
  // Markup (a safe string); `~` and |join of Markup escape the plain parts
  // and give Markup, and |replace with Markup is Markup's replace. The region
  // is lexical: included templates are not escaped.

  void render_autoescape(const Stmt& s) {
    const bool on = eval(*s.expr).truthy();
    struct Restore {
      bool& flag;
      bool saved;
      ~Restore() { flag = saved; }
    } restore{autoescape_, autoescape_};
    autoescape_ = on;
    // A scope of its own: what it sets ends with it.
    frames_.push_back(std::make_shared<Frame>());
    struct PopFrame {
      std::vector<std::shared_ptr<Frame>>& frames;
      ~PopFrame() { frames.pop_back(); }
    } pop{frames_};
    render_body(s.body);
  }

  static bool safe(const TemplateValue& v) { return v.is_string() && v.is_safe(); }

  /// What printing `v` gives, escaped unless it is Markup.
  std::string escaped_text(const TemplateValue& v) {
    if (safe(v)) return std::string(v.as_string());
    std::string text = escape_html(text_of(v));
    st_.bytes(text.size());
    return text;
  }
  TemplateValue escaped(const TemplateValue& v) { return TemplateValue::safe_string(escaped_text(v)); }

  /// `a ~ b ~ ...` within autoescape: Markup when an operand is; one of
  /// literals only is text, as Jinja2 computes it when it compiles.
  TemplateValue concat_escaping(const Expr& e) {
    if (e.constant) {
      std::string out;
      for (const auto& a : e.args) out += text_of(eval(*a));
      return TemplateValue(std::move(out));
    }
    List parts;
    bool markup = false;
    for (const auto& a : e.args) {
      parts.push_back(eval(*a));
      markup = markup || safe(parts.back());
    }
    std::string out;
    for (const TemplateValue& p : parts) out += markup ? escaped_text(p) : text_of(p);
    st_.bytes(out.size());
    return markup ? TemplateValue::safe_string(std::move(out)) : TemplateValue(std::move(out));
  }

  /// |join within autoescape: Markup when the separator or an item is.
  TemplateValue join_escaping(const TemplateValue& v, const TemplateValue& sep) {
    List items = items_of(v);
    bool markup = safe(sep);
    for (const TemplateValue& item : items) markup = markup || safe(item);
    std::string d = markup ? escaped_text(sep) : text_of(sep);
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) out += d;
      out += markup ? escaped_text(items[i]) : text_of(items[i]);
      if (out.size() > st_.room()) throw EvalError(kTooMuchText);
    }
    st_.bytes(out.size());
    return markup ? TemplateValue::safe_string(std::move(out)) : TemplateValue(std::move(out));
  }

  // ---- macros, call blocks, imports and the with, filter and set blocks ----

  /// Nested macro calls beyond which a render is refused: Jinja2 runs out of
  /// Python's recursion limit at about 200 (fewer with includes between).
  static constexpr int kMaxMacroCalls = 80;

  void render_macro_stmt(const Stmt& s) {
    try {
      render_macro_stmt_inner(s);
    } catch (const TemplateError&) {
      throw;
    } catch (const std::exception& e) {
      fail(s.line, e.what());
    }
  }

  void render_macro_stmt_inner(const Stmt& s) {
    switch (s.kind) {
      case Stmt::Kind::Macro: assign(*frames_.back(), s.name, make_macro(s)); return;
      case Stmt::Kind::CallBlock: {
        TemplateValue caller = make_macro(s);
        const Expr& call = *s.expr;
        TemplateValue f = eval(*call.args[0]);
        const MacroFn* m = callable_as<MacroFn>(f);
        if (!m) {
          if (f.is_undefined()) fail(s.line, std::string(f.undefined_hint().empty() ? "value is undefined" : f.undefined_hint()));
          fail(s.line, "a call block of something other than a macro is not supported");
        }
        write_text(s.line, call_macro(*m->def, call, &caller));
        return;
      }
      case Stmt::Kind::SetBlock: {
        TemplateValue v(render_captured(s.body));
        if (s.expr) v = apply_block_filters(*s.expr, std::move(v));
        if (!s.name.empty()) return set_attribute(s, std::move(v));
        assign(*frames_.back(), s.targets[0], std::move(v));
        return;
      }
      case Stmt::Kind::FilterBlock: {
        TemplateValue v = apply_block_filters(*s.expr, TemplateValue(render_captured(s.body)));
        // Jinja2 joins what the filters give with the other output as it is:
        // anything but a string fails there.
        if (!v.is_string())
          fail(s.line, "a filter block whose filters give a " + type_name(v) + " (Jinja2 fails: expected str instance)");
        write_text(s.line, v);
        return;
      }
      case Stmt::Kind::With: {
        // The values are computed in the scope around, all before any is bound.
        auto frame = std::make_shared<Frame>();
        for (std::size_t i = 0; i < s.targets.size(); ++i) {
          TemplateValue v = eval(*s.defaults[i]);
          assign(*frame, s.targets[i], std::move(v));
        }
        frames_.push_back(std::move(frame));
        struct PopFrame {
          std::vector<std::shared_ptr<Frame>>& frames;
          ~PopFrame() { frames.pop_back(); }
        } pop{frames_};
        render_body(s.body);
        return;
      }
      case Stmt::Kind::Import: {
        TemplateValue module = import_module(s);
        assign(*frames_.back(), s.name, std::move(module));
        if (frames_.size() == 1) unexported_.insert(s.name);
        return;
      }
      case Stmt::Kind::FromImport: {
        std::string name;
        TemplateValue module = import_module(s, &name);
        for (std::size_t i = 0; i < s.targets.size(); ++i) {
          const TemplateValue* v = module.as_map().find(s.targets[i]);
          TemplateValue bound = v ? *v
                                  : TemplateValue::undefined("the template " + py_quoted(name) +
                                                             " does not export the requested name " +
                                                             py_quoted(s.targets[i]));
          assign(*frames_.back(), s.aliases[i], std::move(bound));
          if (frames_.size() == 1) unexported_.insert(s.aliases[i]);
        }
        return;
      }
      default: return;
    }
  }

  /// Writes what a call block or filter block gives, charged to the budget.
  void write_text(int line, const TemplateValue& v) {
    try {
      st_.bytes(v.as_string().size());
    } catch (const EvalError& e) {
      fail(line, e.what());
    }
    out_.append(v.as_string());
  }

  /// `{% set ns.attr = v %}`: only a namespace takes attributes.
  void set_attribute(const Stmt& s, TemplateValue v) {
    TemplateValue obj = lookup(s.targets[0]);
    const NamespaceFn* ns = callable_as<NamespaceFn>(obj);
    if (!ns) fail(s.line, "cannot assign attribute on non-namespace object");
    ns->attrs->set(s.name, std::move(v));
  }

  TemplateValue make_macro(const Stmt& s) {
    auto def = std::make_shared<MacroDef>();
    def->stmt = &s;
    def->tpl = &tpl_;
    def->ctx = &ctx_;
    def->parent = parent_;
    if (parent_) def->parent_alive = parent_->alive_;
    def->frames = scope_frames();
    def->depth = depth_;
    for (const auto& f : def->frames) st_.keep(f);
    return TemplateValue::function(MacroFn{std::move(def)});
  }

  /// The frames whose names this renderer sees, outermost first: a block's
  /// own after the chain's top-level names.
  std::vector<std::shared_ptr<Frame>> scope_frames() const {
    std::vector<std::shared_ptr<Frame>> out;
    if (top_ && !root_) out.push_back(top_);
    out.insert(out.end(), frames_.begin(), frames_.end());
    return out;
  }

  /// The text `body` renders in a scope of its own (a set or filter block).
  std::string render_captured(const Body& body) {
    std::string text;
    Renderer sub(env_, tpl_, ctx_, parent_, depth_, st_, text, nullptr);
    sub.frames_ = scope_frames();
    sub.frames_.push_back(std::make_shared<Frame>());
    sub.render_body(body);
    return text;
  }

  /// The filters of a set or filter block applied to its text.
  TemplateValue apply_block_filters(const Expr& chain, TemplateValue text) {
    auto frame = std::make_shared<Frame>();
    frame->emplace_back(kBlockText, std::move(text));
    frames_.push_back(std::move(frame));
    struct PopFrame {
      std::vector<std::shared_ptr<Frame>>& frames;
      ~PopFrame() { frames.pop_back(); }
    } pop{frames_};
    return eval(chain);
  }

  /// Calls `def` with the arguments of `call` (a Call expression; its first
  /// operand is the macro) and the caller of a call block, as Jinja2 binds
  /// them: positional ones first, then keywords; what is left goes to
  /// `varargs` and `kwargs` when the body uses them, else it is an error.
  TemplateValue call_macro(const MacroDef& def, const Expr& call, const TemplateValue* caller) {
    const Stmt& m = *def.stmt;
    const std::string what = m.kind == Stmt::Kind::CallBlock ? "macro None" : "macro '" + m.name + "'";
    List pos;
    KwFn::Kw kw;
    call_args(call, pos, kw);
    if (caller) {
      for (const auto& [name, v] : kw)
        if (name == "caller") throw EvalError("keyword argument repeated: caller");
      kw.emplace_back("caller", *caller);
    }
    if (def.parent && def.parent_alive.expired())
      throw EvalError("calling a macro after the template that included its template ended is not supported");

    // The levels of the call (blocks and brackets around it, expressions
    // being evaluated) and of the macro's body add up.
    const int total = depth_ + call.level + eval_depth_ + 1;
    if (total + m.body_depth > common::kMaxNesting) throw EvalError(common::kTooDeeplyNested);
    if (st_.macro_calls >= kMaxMacroCalls)
      throw EvalError("macro calls nested more than " + std::to_string(kMaxMacroCalls) +
                      " deep (Jinja2 reaches Python's recursion limit near there; not supported)");
    st_.step();

    auto frame = std::make_shared<Frame>();
    std::vector<bool> given(m.targets.size(), false);
    for (std::size_t i = 0; i < m.targets.size() && i < pos.size(); ++i) {
      frame->emplace_back(m.targets[i], pos[i]);
      given[i] = true;
    }
    if (pos.size() > m.targets.size() && !m.catch_varargs)
      throw EvalError(what + " takes not more than " + std::to_string(m.targets.size()) + " argument(s)");
    TemplateMap rest;
    TemplateValue caller_value = TemplateValue::undefined("No caller defined");
    for (auto& [name, v] : kw) {
      std::size_t i = 0;
      while (i < m.targets.size() && m.targets[i] != name) ++i;
      if (i < m.targets.size() && !given[i]) {
        frame->emplace_back(m.targets[i], v);
        given[i] = true;
      } else if (name == "caller" && m.uses_caller) {
        if (!v.is_none()) caller_value = v;  // caller=none is no caller
      } else {
        rest.set(name, v);
      }
    }
    if (!rest.empty() && !m.catch_kwargs) {
      if (rest.find("caller")) throw EvalError(what + " was invoked with two values for the special caller argument");
      throw EvalError(what + " takes no keyword argument " + py_quoted(rest.begin()->first));
    }
    if (m.catch_varargs) {
      List extra;
      for (std::size_t i = m.targets.size(); i < pos.size(); ++i) extra.push_back(pos[i]);
      frame->emplace_back("varargs", TemplateValue::tuple(std::move(extra)));
    }
    if (m.catch_kwargs) frame->emplace_back("kwargs", TemplateValue(std::move(rest)));
    if (m.uses_caller) frame->emplace_back("caller", caller_value);

    std::string text;
    Renderer child(env_, *def.tpl, *def.ctx, def.parent, total - m.depth, st_, text, nullptr);
    child.frames_ = def.frames;
    child.frames_.push_back(frame);
    ++st_.macro_calls;
    struct Leave {
      int& calls;
      ~Leave() { --calls; }
    } leave{st_.macro_calls};
    // Defaults are computed at the call, in the macro's scope, in order:
    // a default sees the parameters before it.
    // Jinja2 reports what fails in a default on the macro's line.
    child.line_override_ = m.line;
    for (std::size_t i = 0; i < m.targets.size(); ++i) {
      if (given[i]) continue;
      TemplateValue v = m.defaults[i] ? child.eval(*m.defaults[i])
                                      : TemplateValue::undefined("parameter " + py_quoted(m.targets[i]) +
                                                                 " was not provided");
      frame->emplace_back(m.targets[i], std::move(v));
    }
    child.line_override_ = 0;
    child.render_body(m.body);
    return TemplateValue(std::move(text));
  }

  /// Calls of macros and of the globals that take keyword arguments;
  /// nullopt for other callables.
  std::optional<TemplateValue> call_special(const TemplateValue& f, const Expr& e) {
    if (const MacroFn* m = callable_as<MacroFn>(f)) return call_macro(*m->def, e, nullptr);
    const KwFn* k = callable_as<KwFn>(f);
    if (!k) return std::nullopt;
    List pos;
    KwFn::Kw kw;
    call_args(e, pos, kw);
    return k->f(pos, kw);
  }

  /// The arguments of a call in source order: positional ones, `*x` spread
  /// into them, keywords and `**x` spread into those.
  void call_args(const Expr& e, List& pos, KwFn::Kw& kw) {
    const std::size_t n_kw = e.kw_names.size();
    const std::size_t n_pos = e.args.size() - 1 - n_kw;
    for (std::size_t i = 0; i < n_pos; ++i) pos.push_back(eval(*e.args[1 + i]));
    auto add = [&](const std::string& name, TemplateValue v) {
      for (const auto& [n, x] : kw)
        if (n == name) throw EvalError("got multiple values for keyword argument " + py_quoted(name));
      kw.emplace_back(name, std::move(v));
    };
    for (std::size_t k = 0; k < n_kw; ++k) {
      const std::string& name = e.kw_names[k];
      TemplateValue v = eval(*e.args[1 + n_pos + k]);
      if (name == "*") {
        if (!v.is_undefined() && !v.is_sequence() && !v.is_string() && !v.is_map())
          throw EvalError("Value after * must be an iterable, not " + type_name(v));
        for (auto& x : items_of(v)) pos.push_back(std::move(x));
      } else if (name == "**") {
        if (v.is_undefined()) fail_undefined(v);
        if (!v.is_map()) throw EvalError("argument after ** must be a mapping, not " + type_name(v));
        for (const auto& [n, x] : v.as_map()) add(n, x);
      } else {
        add(name, std::move(v));
      }
    }
  }

  /// namespace(), dict(), joiner() and cycler(), one of each per render (a
  /// global is equal to itself); nullopt for other names.
  std::optional<TemplateValue> macro_global(std::string_view name) const {
    if (name != "dict" && name != "namespace" && name != "joiner" && name != "cycler") return std::nullopt;
    auto it = st_.globals.find(name);
    if (it == st_.globals.end()) it = st_.globals.emplace(std::string(name), *make_global(name)).first;
    return it->second;
  }

  std::optional<TemplateValue> make_global(std::string_view name) const {
    Budget* st = &st_;
    if (name == "dict")
      return TemplateValue::function(KwFn{[](const List& args, const KwFn::Kw& kw) {
        return TemplateValue(dict_of("dict()", args, kw));
      }});
    if (name == "namespace")
      return TemplateValue::function(KwFn{[st](const List& args, const KwFn::Kw& kw) {
        auto attrs = std::make_shared<TemplateMap>(dict_of("namespace()", args, kw));
        st->keep(attrs);
        return TemplateValue::function(NamespaceFn{std::move(attrs)});
      }});
    if (name == "joiner")
      return TemplateValue::function(KwFn{[](const List& args, const KwFn::Kw& kw) {
        TemplateValue sep(", ");
        if (args.size() + kw.size() > 1) throw EvalError("joiner() takes at most 1 argument");
        if (!args.empty()) sep = args[0];
        for (const auto& [k, v] : kw) {
          if (k != "sep") throw EvalError("joiner() got an unexpected keyword argument " + py_quoted(k));
          sep = v;
        }
        auto used = std::make_shared<bool>(false);
        return TemplateValue::function([sep, used](const List& a) -> TemplateValue {
          if (!a.empty()) throw EvalError("joiner takes no arguments");
          if (!*used) {
            *used = true;
            return TemplateValue("");
          }
          return sep;
        });
      }});
    if (name == "cycler")
      return TemplateValue::function(KwFn{[](const List& args, const KwFn::Kw& kw) {
        if (!kw.empty()) throw EvalError("cycler() takes no keyword arguments");
        if (args.empty()) throw EvalError("at least one item has to be provided");
        auto state = std::make_shared<CyclerFn::State>();
        state->items = args;
        return TemplateValue::function(CyclerFn{std::move(state)});
      }});
    return std::nullopt;
  }

  /// The attributes of macros, namespaces and cyclers; nullopt for other values.
  static std::optional<TemplateValue> special_attr(const TemplateValue& obj, const std::string& name) {
    if (obj.kind() != Kind::Callable) return std::nullopt;
    if (const MacroFn* m = callable_as<MacroFn>(obj)) {
      const Stmt& s = *m->def->stmt;
      if (name == "name") return s.kind == Stmt::Kind::CallBlock ? TemplateValue::none() : TemplateValue(s.name);
      if (name == "arguments") {
        List names;
        for (const auto& t : s.targets) names.emplace_back(t);
        return TemplateValue::tuple(std::move(names));
      }
      if (name == "catch_kwargs") return TemplateValue(s.catch_kwargs);
      if (name == "catch_varargs") return TemplateValue(s.catch_varargs);
      if (name == "caller") return TemplateValue(s.uses_caller);
      throw EvalError("the attribute '" + name + "' of a macro is not supported");
    }
    if (const NamespaceFn* ns = callable_as<NamespaceFn>(obj)) {
      if (const TemplateValue* v = ns->attrs->find(name)) return *v;
      return TemplateValue::undefined("'Namespace' object has no attribute " + py_quoted(name));
    }
    if (const CyclerFn* c = callable_as<CyclerFn>(obj)) {
      std::shared_ptr<CyclerFn::State> state = c->state;
      if (name == "current") return state->items[state->pos];
      if (name == "items") return TemplateValue::tuple(state->items);
      if (name == "next")
        return TemplateValue::function([state](const List& a) -> TemplateValue {
          if (!a.empty()) throw EvalError("next() takes no arguments");
          TemplateValue v = state->items[state->pos];
          state->pos = (state->pos + 1) % state->items.size();
          return v;
        });
      if (name == "reset")
        return TemplateValue::function([state](const List& a) -> TemplateValue {
          if (!a.empty()) throw EvalError("reset() takes no arguments");
          state->pos = 0;
          return TemplateValue::none();
        });
      throw EvalError("the attribute '" + name + "' of a cycler is not supported");
    }
    return std::nullopt;
  }

  /// Every name visible here with its value (the context's, then the
  /// includers' names, then this template's, inner scopes last), `loop` not.
  void visible_names(TemplateMap& out, bool with_context) const {
    if (with_context)
      for (const auto& [k, v] : ctx_) out.set(k, v);
    if (parent_) parent_->visible_names(out, false);
    for (const auto& f : scope_frames())
      for (const auto& [k, v] : *f)
        if (k != "loop") out.set(std::string(k), v);
  }

  /// The module `{% import %}` and `{% from %}` bind: the names the template
  /// sets at its top level (but those starting with '_' and those it
  /// imports itself), after running it; without context once per render.
  TemplateValue import_module(const Stmt& s, std::string* name_out = nullptr) {
    TemplateValue name = eval(*s.expr);
    if (!name.is_string()) fail(s.line, "import expects a template name (a string), got " + type_name(name));
    std::string key(name.as_string());
    if (name_out) *name_out = key;
    if (!s.with_context)
      if (auto it = st_.modules.find(key); it != st_.modules.end()) return it->second;
    int depth = depth_ + s.depth + 1;
    if (depth > common::kMaxNesting) fail(s.line, common::kTooDeeplyNested);
    std::shared_ptr<const Template> tpl;
    try {
      tpl = env_.load(key);
    } catch (const TemplateNotFound& e) {
      fail(s.line, e.what());
    }
    if (depth + tpl->max_depth > common::kMaxNesting) fail(s.line, common::kTooDeeplyNested);
    // With context, the module sees the context and the names visible at the
    // import as they are then: its macros keep those values.
    static const TemplateMap empty;
    const TemplateMap* ctx = &empty;
    if (s.with_context) {
      auto names = std::make_shared<TemplateMap>();
      visible_names(*names, true);
      st_.keep(names);
      ctx = names.get();
    }
    std::string discarded;
    Renderer child(env_, *tpl, *ctx, nullptr, depth, st_, discarded, nullptr);
    child.run();
    TemplateMap exports;
    for (const auto& [n, v] : *child.frames_[0])
      if (!n.empty() && n[0] != '_' && !child.unexported_.count(n)) exports.set(std::string(n), v);
    TemplateValue module = TemplateValue::object(std::move(exports), "TemplateModule");
    if (!s.with_context) st_.modules.emplace(std::move(key), module);
    return module;
  }

  // ---- expressions ----

  TemplateValue eval(const Expr& e) {
    struct Level {
      int& depth;
      ~Level() { --depth; }
    } level{++eval_depth_};
    try {
      return eval_inner(e);
    } catch (const TemplateError&) {
      throw;
    } catch (const std::exception& x) {
      fail(line_override_ ? line_override_ : e.line, x.what());
    }
  }

  TemplateValue eval_inner(const Expr& e) {
    if (e.check_finite && !no_finite_checks_) {
      TemplateValue v = eval_node(e);
      double bad = 0;
      if (holds_non_finite(v, bad))
        throw EvalError("a constant expression that is or holds " + TemplateValue(bad).str() +
                        " inside another expression or in a statement (Jinja2 fails on it: name '" +
                        (std::isnan(bad) ? "nan" : "inf") + "' is not defined)");
      return v;
    }
    return eval_node(e);
  }

  /// Whether Jinja2 can write `v` as a literal of Python code.
  static bool literal_value(const TemplateValue& v) {
    switch (v.kind()) {
      case Kind::None:
      case Kind::Bool:
      case Kind::Int:
      case Kind::Double:
      case Kind::String:
      case Kind::Range: return true;
      case Kind::List:
      case Kind::Tuple:
        for (const auto& x : v.as_list())
          if (!literal_value(x)) return false;
        return true;
      case Kind::Map:
        for (const auto& [k, x] : v.as_map())
          if (!literal_value(x)) return false;
        return true;
      default: return false;
    }
  }

  /// Whether `v` is, or a list, tuple or dict value of it holds, a real that
  /// is not finite (the first in `bad`).
  static bool holds_non_finite(const TemplateValue& v, double& bad) {
    if (v.kind() == Kind::Double && !std::isfinite(v.as_double())) {
      bad = v.as_double();
      return true;
    }
    if (v.kind() == Kind::List || v.kind() == Kind::Tuple) {
      for (const auto& x : v.as_list())
        if (holds_non_finite(x, bad)) return true;
    } else if (v.kind() == Kind::Map) {
      for (const auto& [k, x] : v.as_map())
        if (holds_non_finite(x, bad)) return true;
    }
    return false;
  }

  TemplateValue eval_node(const Expr& e) {
    switch (e.kind) {
      case Expr::Kind::Const: return e.value;
      case Expr::Kind::Name: return lookup(e.name);
      case Expr::Kind::List:
      case Expr::Kind::Tuple: {
        List items;
        items.reserve(e.args.size());
        for (const auto& a : e.args) items.push_back(eval(*a));
        return e.kind == Expr::Kind::List ? TemplateValue(std::move(items)) : TemplateValue::tuple(std::move(items));
      }
      case Expr::Kind::Dict: {
        TemplateMap map;
        for (std::size_t i = 0; i + 1 < e.args.size(); i += 2) {
          TemplateValue key = eval(*e.args[i]);
          if (!key.is_string()) fail(e.args[i]->line, "dict keys other than strings are not supported");
          map.set(std::string(key.as_string()), eval(*e.args[i + 1]));
        }
        return TemplateValue(std::move(map));
      }
      case Expr::Kind::Attr: return get_attr(eval(*e.args[0]), e.name);
      case Expr::Kind::Item: return get_item(eval(*e.args[0]), eval(*e.args[1]));
      case Expr::Kind::Slice: {
        TemplateValue obj = eval(*e.args[0]);
        return slice_value(obj, eval(*e.args[1]), eval(*e.args[2]), eval(*e.args[3]), st_);
      }
      case Expr::Kind::Call: return eval_call(e);
      case Expr::Kind::Filter: return eval_filter(e);
      case Expr::Kind::Test: {
        TemplateValue v = eval(*e.args[0]);
        List args = eval_args(e, 1);
        check_test_keywords(e.test, e.name, e.kw_names);
        bool r = test_value(e.test, v, args);
        return TemplateValue(e.negated ? !r : r);
      }
      case Expr::Kind::Neg:
      case Expr::Kind::Pos: {
        TemplateValue v = eval(*e.args[0]);
        if (v.is_undefined()) fail_undefined(v);
        if (!v.is_number())
          throw EvalError(std::string("bad operand type for unary ") + (e.kind == Expr::Kind::Neg ? "-" : "+") +
                          ": '" + type_name(v) + "'");
        if (e.kind == Expr::Kind::Pos) return is_int(v) ? TemplateValue(v.as_bigint()) : v;
        if (v.kind() == Kind::Double) return TemplateValue(-v.as_double());
        return make_int(-v.as_bigint());
      }
      case Expr::Kind::Not: return TemplateValue(!eval(*e.args[0]).truthy());
      case Expr::Kind::Binary: {
        TemplateValue a = eval(*e.args[0]);
        TemplateValue b = eval(*e.args[1]);
        return arithmetic(e.op, a, b, st_);
      }
      case Expr::Kind::Concat: {
        if (autoescape_) return concat_escaping(e);
        std::string out;
        for (const auto& a : e.args) append_str_limited(out, eval(*a), st_.bound(0));
        st_.bytes(out.size());
        return TemplateValue(std::move(out));
      }
      case Expr::Kind::Compare: {
        TemplateValue left = eval(*e.args[0]);
        for (std::size_t i = 0; i < e.cmp_ops.size(); ++i) {
          TemplateValue right = eval(*e.args[i + 1]);
          if (!compare(e.cmp_ops[i], left, right, st_)) return TemplateValue(false);
          left = std::move(right);
        }
        return TemplateValue(true);
      }
      case Expr::Kind::And: {
        TemplateValue a = eval(*e.args[0]);
        return a.truthy() ? eval(*e.args[1]) : a;
      }
      case Expr::Kind::Or: {
        TemplateValue a = eval(*e.args[0]);
        return a.truthy() ? a : eval(*e.args[1]);
      }
      case Expr::Kind::Cond:
        if (eval(*e.args[0]).truthy()) return eval(*e.args[1]);
        if (e.args.size() > 2) return eval(*e.args[2]);
        return TemplateValue::undefined("the inline if-expression on line " + std::to_string(e.line) +
                                        " evaluated to false and no else section was defined.");
    }
    return {};
  }

  /// Jinja2's tests that take their argument by name too: divisibleby(num=),
  /// in(seq=), sameas(other=); the others take none by name.
  static void check_test_keywords(Test test, const std::string& name, const std::vector<std::string>& kw_names) {
    if (kw_names.empty()) return;
    const char* allowed = test == Test::DivisibleBy ? "num" : test == Test::In ? "seq" : test == Test::SameAs ? "other" : nullptr;
    if (!allowed) throw EvalError("the test '" + name + "' takes no keyword arguments");
    for (const auto& k : kw_names)
      if (k != allowed) throw EvalError("the test '" + name + "' got an unexpected keyword argument '" + k + "'");
  }

  bool test_value(Test test, const TemplateValue& v, const List& args) {
bool r = false;
switch (test) {
      case Test::Defined: r = !v.is_undefined(); break;
      case Test::Undefined: r = v.is_undefined(); break;
      case Test::None: r = v.is_none(); break;
      case Test::Number: r = v.is_number(); break;
      case Test::String: r = v.is_string(); break;
      // str.islower()/isupper(): some cased character, and none of the other case.
      case Test::Lower:
      case Test::Upper: {
        std::string text = v.is_string() ? std::string() : text_of(v);  // Jinja2 tests str(value)
        std::string_view s = v.is_string() ? v.as_string() : std::string_view(text);
        // islower: some cased character and all of them lower case (isupper alike).
        const CharCase want = test == Test::Lower ? CharCase::Lower : CharCase::Upper;
        bool cased = false, all = true;
        for (std::size_t i = 0; i < s.size();) {
          CharCase c = py_case(utf8_next(s, i));
          if (c == CharCase::Uncased) continue;
          cased = true;
          if (c != want) all = false;
        }
        r = cased && all;
        break;
      }
      case Test::Integer: r = v.kind() == Kind::Int; break;
      case Test::Float: r = v.kind() == Kind::Double; break;
      case Test::Boolean: r = v.kind() == Kind::Bool; break;
      case Test::True: r = v.kind() == Kind::Bool && v.as_bool(); break;
      case Test::False: r = v.kind() == Kind::Bool && !v.as_bool(); break;
      case Test::Mapping: r = v.is_map(); break;
      // len() and __getitem__: an undefined value has both.
      case Test::Sequence:
        r = v.is_undefined() || v.is_string() || v.is_map() || (v.is_sequence() && v.kind() != Kind::View);
        break;
      case Test::Iterable:
        r = v.is_undefined() || v.is_string() || v.is_map() || v.is_sequence() || v.kind() == Kind::Object ||
          v.kind() == Kind::Iterator;
        break;
      // An undefined value and the loop object can be called (and fail).
      case Test::Callable:
        r = py_callable(v) || v.is_undefined() || v.kind() == Kind::Object;
        break;
      case Test::Even:
      case Test::Odd:
      case Test::DivisibleBy: {
        TemplateValue divisor = test == Test::DivisibleBy ? args[0] : TemplateValue(2);
        TemplateValue rest = arithmetic(BinOp::Mod, v, divisor, st_);
        r = py_eq(rest, TemplateValue(test == Test::Odd ? 1 : 0), st_);  // odd: value % 2 == 1
        break;
      }
      case Test::Eq: r = compare(CmpOp::Eq, v, args[0], st_); break;
      case Test::Ne: r = compare(CmpOp::Ne, v, args[0], st_); break;
      case Test::Lt: r = compare(CmpOp::Lt, v, args[0], st_); break;
      case Test::Le: r = compare(CmpOp::Le, v, args[0], st_); break;
      case Test::Gt: r = compare(CmpOp::Gt, v, args[0], st_); break;
      case Test::Ge: r = compare(CmpOp::Ge, v, args[0], st_); break;
      case Test::In: r = compare(CmpOp::In, v, args[0], st_); break;
      case Test::SameAs: {
        // Python's `is`: only none, true and false are one object whatever
        // made them; for other values it depends on the interpreter.
        TemplateValue other = args[0];
        auto singleton = [](const TemplateValue& x) { return x.is_none() || x.kind() == Kind::Bool; };
        if (!singleton(v) && !singleton(other))
          throw EvalError("the test 'sameas' of values other than none, true and false is not supported");
        r = singleton(v) && singleton(other) && v.kind() == other.kind() &&
            (v.is_none() || v.as_bool() == other.as_bool());
        break;
      }
    }
    return r;
  }

  static TemplateValue get_attr(const TemplateValue& obj, const std::string& name) {
    if (obj.is_undefined()) fail_undefined(obj);
    if (obj.kind() == Kind::Iterator) throw EvalError("the attributes of a " + type_name(obj) + " are not supported");
    if (const char* const* fields = obj.tuple_fields())
      for (std::size_t i = 0; fields[i]; ++i)
        if (name == fields[i]) return obj.as_list()[i];
    // A block's `super` (of super() or self.name) is the next version of it in Jinja2.
    if (obj.kind() == Kind::Callable && name == "super") throw EvalError("the attribute 'super' of a block is not supported");
    if (std::optional<TemplateValue> v = special_attr(obj, name)) return std::move(*v);
    // `x.name` is Python's attribute first: a method of a dict wins over
    // its key of that name, and a str, list or number has attributes too.
    // Those the engine does not have are an error, never undefined.
    if (obj.kind() != Kind::Object && python_has_attribute(obj, name)) {
      if (!python_method(obj, name))
        throw EvalError("the attribute '" + name + "' of a " + type_name(obj) + " is not supported");
      return bound_method(obj, name);
    }
    if (obj.is_map() || obj.kind() == Kind::Object) {
      if (const TemplateValue* v = obj.as_map().find(name)) return *v;
    }
    return TemplateValue::undefined("'" + object_desc(obj) + "' has no attribute " + py_quoted(name));
  }

  /// Whether Python's object of this value's type has an attribute `name`.
  static bool python_has_attribute(const TemplateValue& obj, std::string_view name) {
    if (name.size() > 4 && name.substr(0, 2) == "__" && name.substr(name.size() - 2) == "__") return true;
    return python_method(obj, name) || python_data_attribute(obj, name);
  }

  static bool in_list(std::string_view name, std::initializer_list<std::string_view> names) {
    for (std::string_view n : names)
      if (n == name) return true;
    return false;
  }

  static bool python_method(const TemplateValue& obj, std::string_view name) {
    switch (obj.kind()) {
      case Kind::Map:
        return in_list(name, {"clear", "copy", "fromkeys", "get", "items", "keys", "pop", "popitem", "setdefault",
                              "update", "values"});
      case Kind::String:
        return in_list(name, {"capitalize", "casefold", "center", "count", "encode", "endswith", "expandtabs",
                              "find", "format", "format_map", "index", "isalnum", "isalpha", "isascii",
                              "isdecimal", "isdigit", "isidentifier", "islower", "isnumeric", "isprintable",
                              "isspace", "istitle", "isupper", "join", "ljust", "lower", "lstrip", "maketrans",
                              "partition", "removeprefix", "removesuffix", "replace", "rfind", "rindex", "rjust",
                              "rpartition", "rsplit", "rstrip", "split", "splitlines", "startswith", "strip",
                              "swapcase", "title", "translate", "upper", "zfill",
                              // Markup's own
                              "escape", "unescape", "striptags"});
      case Kind::List:
        return in_list(name, {"append", "clear", "copy", "count", "extend", "index", "insert", "pop", "remove",
                              "reverse", "sort"});
      case Kind::Tuple:
      case Kind::Range: return in_list(name, {"count", "index"});
      case Kind::Bool:
      case Kind::Int:
        return in_list(name, {"as_integer_ratio", "bit_count", "bit_length", "conjugate", "from_bytes",
                              "to_bytes", "is_integer"});
      case Kind::Double: return in_list(name, {"as_integer_ratio", "conjugate", "fromhex", "hex", "is_integer"});
      default: return false;
    }
  }

  static bool python_data_attribute(const TemplateValue& obj, std::string_view name) {
    switch (obj.kind()) {
      case Kind::Bool:
      case Kind::Int: return in_list(name, {"real", "imag", "numerator", "denominator"});
      case Kind::Double: return in_list(name, {"real", "imag"});
      case Kind::Range: return in_list(name, {"start", "stop", "step"});
      default: return false;
    }
  }

  /// A method taken without calling it: it is true, and calling or printing
  /// it (which the engine does not do) is an error. Calls written as
  /// `x.name(...)` never come here (see call_method).
  static TemplateValue bound_method(const TemplateValue& obj, const std::string& name) {
    std::string what = "the method '" + name + "' of a " + type_name(obj) + " is not supported";
    return TemplateValue::function([what](const List&) -> TemplateValue { throw EvalError(what); });
  }

  static TemplateValue get_item(const TemplateValue& obj, const TemplateValue& key) {
    if (obj.is_undefined()) fail_undefined(obj);
    if (obj.kind() == Kind::Iterator) throw EvalError("subscripts of a " + type_name(obj) + " are not supported");
    if (obj.is_map() && key.is_string()) {
      if (const TemplateValue* v = obj.as_map().find(key.as_string())) return *v;
    } else if (obj.is_sequence() && obj.kind() != Kind::View && is_int(key)) {
      const List& items = obj.as_list();
      std::int64_t i = key.as_int();
      if (i < 0) i += static_cast<std::int64_t>(items.size());
      if (i >= 0 && i < static_cast<std::int64_t>(items.size())) return items[static_cast<std::size_t>(i)];
    } else if (obj.is_string() && is_int(key)) {
      // Markup's characters are Markup.
      if (auto c = utf8_at(obj.as_string(), key.as_int()))
        return obj.is_safe() ? TemplateValue::safe_string(std::move(*c)) : TemplateValue(std::move(*c));
    }
    if (key.is_string()) return get_attr(obj, std::string(key.as_string()));
    std::string k;
    try {
      append_repr_limited(k, key, 1000);
    } catch (const std::length_error&) {
      k += "...";
    }
    return TemplateValue::undefined("'" + object_desc(obj) + "' has no element " + k);
  }

  List eval_args(const Expr& e, std::size_t from) {
    List args;
    for (std::size_t i = from; i < e.args.size(); ++i) args.push_back(eval(*e.args[i]));
    return args;
  }

  TemplateValue eval_call(const Expr& e) {
    const Expr& callee = *e.args[0];
    if (callee.kind == Expr::Kind::Attr) {
      TemplateValue obj = eval(*callee.args[0]);
      if (obj.is_undefined()) fail_undefined(obj);
      if (std::optional<TemplateValue> r = call_method(obj, callee.name, e)) return std::move(*r);
    }
    TemplateValue f = eval(callee);
    if (f.is_undefined()) fail_undefined(f);
    if (f.kind() == Kind::Object && std::string_view(f.object_type()) == "LoopContext") {
      const TemplateValue* call = f.as_map().find(kLoopCall);
      if (!call) throw EvalError("The loop must have the 'recursive' marker to be called recursively.");
      f = *call;
    }
    if (f.kind() != Kind::Callable) throw EvalError("'" + type_name(f) + "' object is not callable");
    if (std::optional<TemplateValue> r = call_special(f, e)) return std::move(*r);
    if (!e.kw_names.empty()) throw EvalError("keyword arguments in calls are not supported");
    List args = eval_args(e, 1);
    return f.as_function()(args);
  }

  /// Methods of dicts and strings; nullopt when `name` is not one of them.
  std::optional<TemplateValue> call_method(const TemplateValue& obj, const std::string& name, const Expr& e) {
    if (more_method(obj, name)) return call_more_methods(obj, name, eval_args(e, 1), e.kw_names, *this);
    auto argc = [&](std::size_t lo, std::size_t hi) {
      std::size_t n = e.args.size() - 1;
      if (!e.kw_names.empty()) throw EvalError(name + "() takes no keyword arguments");
      if (n < lo || n > hi) throw EvalError(name + "() takes " + std::to_string(lo) + (lo == hi ? "" : " to " + std::to_string(hi)) + " arguments (" + std::to_string(n) + " given)");
      return eval_args(e, 1);
    };
    if (obj.is_map()) {
      const TemplateMap& map = obj.as_map();
      if (name == "items" || name == "keys" || name == "values") {
        argc(0, 0);
        List out;
        out.reserve(map.size());
        for (const auto& [k, v] : map) {
          if (name == "items") out.push_back(TemplateValue::tuple({TemplateValue(k), v}));
          else if (name == "keys") out.emplace_back(k);
          else out.push_back(v);
        }
        return TemplateValue::view(std::move(out), name == "items"  ? "dict_items"
                                                   : name == "keys" ? "dict_keys"
                                                                    : "dict_values");
      }
      if (name == "get") {
        List a = argc(1, 2);
        const TemplateValue* v = a[0].is_string() ? map.find(a[0].as_string()) : nullptr;
        if (v) return *v;
        return a.size() > 1 ? a[1] : TemplateValue::none();
      }
    }
    if (obj.is_string()) {
      // Markup's upper, lower, strip and replace give Markup, with the
      // texts they are given escaped (MarkupSafe 2.1); startswith and
      // endswith take them as they are.
      const bool markup = obj.is_safe();
      auto result = [markup](std::string text) {
        return markup ? TemplateValue::safe_string(std::move(text)) : TemplateValue(std::move(text));
      };
      auto arg_text = [&](const TemplateValue& v) { return markup ? escaped_text(v) : text_of(v); };
      std::string_view s = obj.as_string();
      if (name == "upper" || name == "lower") {
        argc(0, 0);
        return result(name == "upper" ? py_upper(s) : py_lower(s));
      }
      if (name == "strip") {
        List a = argc(0, 1);
        std::optional<std::string> chars;
        if (!a.empty() && !a[0].is_none()) chars = arg_text(a[0]);
        if (chars) st_.step(s.size() / 256 * (chars->size() / 256 + 1));
        return result(std::string(py_strip(s, chars)));
      }
      if (name == "startswith" || name == "endswith") {
        List a = argc(1, 1);
        if (!a[0].is_string()) throw EvalError(name + " first arg must be str");
        std::string_view p = a[0].as_string();
        return TemplateValue(name == "startswith" ? s.substr(0, p.size()) == p
                                                  : s.size() >= p.size() && s.substr(s.size() - p.size()) == p);
      }
      if (name == "replace") {
        List a = argc(2, 3);
        if (!a[0].is_string() || !a[1].is_string()) throw EvalError("replace() arguments must be str");
        const std::string old = arg_text(a[0]);
        std::string r = py_replace(s, old, arg_text(a[1]), a.size() > 2 ? int_arg(a[2], "count") : -1, st_.bound(0));
        st_.step(s.size() / 256 * (old.size() / 256 + 1));
        st_.bytes(r.size());
        return result(std::move(r));
      }
    }
    return std::nullopt;
  }

  TemplateValue eval_filter(const Expr& e) {
    TemplateValue v = eval(*e.args[0]);
    return apply_filter(e.filter, e.name, v, eval_args(e, 1), e.kw_names);
  }

  // ---- FilterHost: what the filters of filters.cpp call back ----

  Budget& budget() override { return st_; }
  TemplateValue subscript(const TemplateValue& obj, const TemplateValue& key) override { return get_item(obj, key); }
  TemplateValue run_filter(const std::string& name, const TemplateValue& v, List args,
                           const std::vector<std::string>& kw_names) override {
    std::optional<Filter> f = find_filter(name);
    if (!f) throw EvalError("No filter named '" + name + "'.");
    return apply_filter(*f, name, v, std::move(args), kw_names);
  }
  bool run_test(const std::string& name, const TemplateValue& v, const List& args,
                const std::vector<std::string>& kw_names) override {
    std::optional<Test> t = find_test(name);
    if (!t) throw EvalError("No test named '" + name + "'.");
    check_test_keywords(*t, name, kw_names);
    if (args.size() != (test_takes_argument(*t) ? 1u : 0u))
      throw EvalError("the test '" + name + "' takes " + (test_takes_argument(*t) ? "one argument" : "no arguments"));
    return test_value(*t, v, args);
  }

  TemplateValue apply_filter(Filter filter, const std::string& fname, const TemplateValue& v, List raw,
                             const std::vector<std::string>& kw_names) {
    if (std::optional<TemplateValue> r = apply_more_filters(filter, fname, v, raw, kw_names, *this)) return std::move(*r);
    auto args = [&](std::initializer_list<std::string_view> names) {
      return Args(fname, names, std::move(raw), kw_names);
    };
    switch (filter) {
      case Filter::Length: {
        args({});
        switch (v.kind()) {
          case Kind::Undefined: return TemplateValue(0);
          case Kind::String: return TemplateValue(static_cast<long long>(utf8_length(v.as_string())));
          case Kind::List:
          case Kind::Tuple:
          case Kind::Range:
          case Kind::View: return TemplateValue(static_cast<long long>(v.as_list().size()));
          case Kind::Map: return TemplateValue(static_cast<long long>(v.as_map().size()));
          default: throw EvalError("object of type '" + type_name(v) + "' has no len()");
        }
      }
      case Filter::Default: {
        Args a = args({"default_value", "boolean"});
        bool boolean = a.has(1) && a.get(1).truthy();
        if (v.is_undefined() || (boolean && !v.truthy())) return a.has(0) ? a.get(0) : TemplateValue("");
        return v;
      }
      case Filter::ToJson: {
        Args a = args({"indent"});
        int indent = -1;
        if (a.has(0) && !a.get(0).is_none()) {
          std::int64_t n = int_arg(a.get(0), "indent");
          indent = static_cast<int>(std::max<std::int64_t>(0, std::min<std::int64_t>(n, 64)));
        }
        std::string out;
        append_tojson(out, v, indent, st_.bound(0));
        st_.bytes(out.size());
        return TemplateValue::safe_string(std::move(out));
      }
      case Filter::Escape:
        args({});
        if (v.is_string() && v.is_safe()) return v;
        {
          std::string text = v.is_string() ? std::string() : text_of(v);
          std::string escaped = escape_html(v.is_string() ? v.as_string() : std::string_view(text));
          st_.bytes(escaped.size());
          return TemplateValue::safe_string(std::move(escaped));
        }
      case Filter::Safe:
        args({});
        if (v.is_string()) return v.as_safe();
        return TemplateValue::safe_string(text_of(v));
      case Filter::Join: {
        Args a = args({"d", "attribute"});
        if (a.has(1)) throw EvalError("join(attribute=...) is not supported");
        if (autoescape_) return join_escaping(v, a.has(0) ? a.get(0) : TemplateValue(std::string()));
        std::string sep = a.has(0) ? text_of(a.get(0)) : std::string();
        std::string out;
        bool first = true;
        std::size_t bound = st_.bound(0);
        for (const auto& item : items_of(v)) {
          if (!first) {
            if (out.size() + sep.size() > bound) throw EvalError(kTooMuchText);
            out += sep;
          }
          first = false;
          append_str_limited(out, item, bound);
        }
        st_.bytes(out.size());
        return TemplateValue(std::move(out));
      }
      case Filter::Upper:
      case Filter::Lower: {
        args({});
        std::string text = v.is_string() ? std::string(v.as_string()) : text_of(v);
        st_.bytes(text.size());
        TemplateValue r(filter == Filter::Upper ? py_upper(text) : py_lower(text));
        return v.is_safe() ? r.as_safe() : r;
      }
      case Filter::Int: {
        Args a = args({"default", "base"});
        TemplateValue fallback = a.has(0) ? a.get(0) : TemplateValue(0);
        // A base that is no integer fails int() as a bad one does: Jinja2
        // then reads the text as a real.
        std::int64_t base = 10;
        if (a.has(1)) {
          const TemplateValue& b = a.get(1);
          base = b.kind() == Kind::Int && !b.is_big_int() ? b.as_int() : -1;
        }
        return to_int(v, fallback, base);
      }
      case Filter::Float: {
        Args a = args({"default"});
        TemplateValue fallback = a.has(0) ? a.get(0) : TemplateValue(0.0);
        if (v.is_undefined()) fail_undefined(v);
        if (v.is_number()) return TemplateValue(to_double(v));
        if (v.is_string())
          if (auto d = py_parse_float(v.as_string())) return TemplateValue(*d);
        return fallback;
      }
      case Filter::Round: {
        Args a = args({"precision", "method"});
        std::int64_t precision = a.has(0) ? int_arg(a.get(0), "precision") : 0;
        std::string method = a.has(1) ? text_of(a.get(1)) : "common";
        if (method != "common" && method != "ceil" && method != "floor")
          throw EvalError("method must be common, ceil or floor");
        if (!v.is_number()) throw EvalError("type " + type_name(v) + " doesn't define __round__ method");
        if (method == "common") {
          if (is_int(v)) return py_round_int(v, precision);
          return TemplateValue(common::round_decimal(v.as_double(), precision));
        }
        if (is_int(v) && precision >= 0) {
          // math.ceil(i * 10**p) is i * 10**p, and int / int is exact.
          if (precision > 4300) throw EvalError("round() precision too large for an integer");
          BigInt p(1);
          for (std::int64_t k = 0; k < precision; ++k) p = p * BigInt(10);
          return TemplateValue(true_divide(make_int(v.as_bigint() * p), TemplateValue(p)));
        }
        double scale = std::pow(10.0, static_cast<double>(precision));
        double m = to_double(v) * scale;
        if (std::isnan(m)) throw EvalError("cannot convert float NaN to integer");
        if (std::isinf(m)) throw EvalError("cannot convert float infinity to integer");
        // math.ceil/floor give an int: no negative zero.
        double whole = method == "ceil" ? std::ceil(m) : std::floor(m);
        return TemplateValue((whole == 0 ? 0.0 : whole) / scale);
      }
      case Filter::String:
        args({});
        if (v.is_string()) return v;
        return TemplateValue(text_of(v));
      case Filter::First:
      case Filter::Last: {
        args({});
        if (v.is_undefined()) return v;
        bool first = filter == Filter::First;
        if (v.kind() == Kind::Iterator) {
          if (!first) throw EvalError("'" + type_name(v) + "' object is not reversible");
          if (std::optional<TemplateValue> x = v.take_next()) return std::move(*x);
          return TemplateValue::undefined("No first item, sequence was empty.");
        }
        if (v.is_sequence()) {
          const List& items = v.as_list();
          if (items.empty()) return TemplateValue::undefined("No first item, sequence was empty.");
          return first ? items.front() : items.back();
        }
        if (v.is_string()) {
          // first iterates (a Markup's iterator gives str), last indexes
          // backwards (Markup's items are Markup).
          if (auto c = utf8_at(v.as_string(), first ? 0 : -1))
            return v.is_safe() && !first ? TemplateValue::safe_string(std::move(*c)) : TemplateValue(std::move(*c));
          return TemplateValue::undefined("No first item, sequence was empty.");
        }
        if (v.is_map()) {
          const TemplateMap& m = v.as_map();
          if (m.empty()) return TemplateValue::undefined("No first item, sequence was empty.");
          return TemplateValue(first ? m.begin()->first : (m.end() - 1)->first);
        }
        throw EvalError("'" + type_name(v) + "' object is not iterable");
      }
      case Filter::Trim: {
        Args a = args({"chars"});
        std::optional<std::string> chars;
        if (a.has(0) && !a.get(0).is_none()) chars = text_of(a.get(0));
        std::string s = text_of(v);
        if (chars) st_.step(s.size() / 256 * (chars->size() / 256 + 1));
        TemplateValue r(std::string(py_strip(s, chars)));
        return v.is_safe() ? r.as_safe() : r;
      }
      case Filter::Replace: {
        Args a = args({"old", "new", "count"});
        if (!a.has(0) || !a.has(1)) throw EvalError("replace() needs the old and the new text");
        std::int64_t count = a.has(2) && !a.get(2).is_none() ? int_arg(a.get(2), "count") : -1;
        // Within autoescape, Markup among the three makes it Markup's replace:
        // the plain ones escaped, the result Markup.
        const bool markup = autoescape_ && (safe(v) || safe(a.get(0)) || safe(a.get(1)));
        std::string s = markup ? escaped_text(v) : text_of(v);
        std::string old = markup ? escaped_text(a.get(0)) : text_of(a.get(0));
        std::string r = py_replace(s, old, markup ? escaped_text(a.get(1)) : text_of(a.get(1)), count, st_.bound(0));
        if (markup) {
          st_.step(s.size() / 256 * (old.size() / 256 + 1));
          st_.bytes(r.size());
          return TemplateValue::safe_string(std::move(r));
        }
        st_.step(s.size() / 256 * (old.size() / 256 + 1));
        st_.bytes(r.size());
        return TemplateValue(std::move(r));
      }
      case Filter::Abs:
        args({});
        if (v.kind() == Kind::Double) return TemplateValue(std::fabs(v.as_double()));
        if (is_int(v)) return make_int(v.as_bigint().abs());
        throw EvalError("bad operand type for abs(): '" + type_name(v) + "'");
      case Filter::List:
        args({});
        return TemplateValue(items_of(v));
      case Filter::Sum: {
        // Python's sum(): start + e1 + e2 + ..., left to right.
        Args a = args({"attribute", "start"});
        if (a.has(0) && !a.get(0).is_none()) throw EvalError("sum(attribute=...) is not supported");
        TemplateValue total = a.has(1) ? a.get(1) : TemplateValue(0);
        if (total.is_string()) throw EvalError("sum() can't sum strings [use ''.join(seq) instead]");
        for (const auto& item : items_of(v)) {
          st_.step();
          total = arithmetic(BinOp::Add, total, item, st_);
        }
        return total;
      }
      case Filter::Center: {
        Args a = args({"width"});
        std::int64_t width = a.has(0) ? int_arg(a.get(0), "width") : 80;
        std::string s = text_of(v);
        std::int64_t len = static_cast<std::int64_t>(utf8_length(s));
        const bool safe = v.is_safe();  // Markup.center gives Markup
        if (width <= len) return safe ? TemplateValue::safe_string(std::move(s)) : TemplateValue(std::move(s));
        std::int64_t marg = width - len;
        std::int64_t left = marg / 2 + (marg & width & 1);
        st_.bytes(static_cast<std::uint64_t>(marg));
        std::string out(static_cast<std::size_t>(left), ' ');
        out += s;
        out.append(static_cast<std::size_t>(marg - left), ' ');
        return safe ? TemplateValue::safe_string(std::move(out)) : TemplateValue(std::move(out));
      }
      default: break;  // the filters of filters.cpp, run above
    }
    throw EvalError("filter '" + fname + "' is not supported");
  }

  static TemplateValue to_int(const TemplateValue& v, const TemplateValue& fallback, std::int64_t base) {
    auto from_double = [&](double d) -> TemplateValue {
      if (std::isnan(d)) return fallback;
      if (std::isinf(d)) throw EvalError("cannot convert float infinity to integer");
      return make_int(BigInt::from_double(std::trunc(d)));
    };
    switch (v.kind()) {
      case Kind::Undefined: fail_undefined(v);
      case Kind::Bool:
      case Kind::Int: return TemplateValue(v.as_bigint());
      case Kind::Double: return from_double(v.as_double());
      case Kind::String:
        if (auto i = py_parse_int(v.as_string(), base)) return make_int(std::move(*i));
        if (auto d = py_parse_float(v.as_string())) return from_double(*d);
        return fallback;
      default: return fallback;
    }
  }

  const TemplateEnvironment& env_;
  const Template& tpl_;
  const TemplateMap& ctx_;
  const Renderer* parent_;
  int depth_;
  Budget& st_;
  std::string& out_;
  std::vector<TemplatePage::Splice>* splices_;  ///< nullptr: deferred texts go into out_
  std::vector<std::shared_ptr<Frame>> frames_;
  /// Expressions being evaluated, one inside another (what a macro call adds
  /// its levels to).
  int eval_depth_ = 0;
  /// The line errors of expressions name when not 0 (a macro's defaults).
  int line_override_ = 0;
  /// Top-level names bound by imports: not exported by this template's module.
  std::set<std::string_view, std::less<>> unexported_;
  /// Expires when this renderer ends (see MacroDef::parent_alive).
  std::shared_ptr<const char> alive_ = std::make_shared<const char>('\0');
  bool no_finite_checks_ = false;  ///< evaluating a {{ }} of literals as Jinja2 folds it
  // Inheritance, recursive loops, escaping (see render_extends and render_block).
  Chain* chain_ = nullptr;       ///< the inheritance chain this renderer is part of
  bool root_ = false;            ///< renders the root-level code of a template (not a block body)
  /// The chain's top-level names: a block looks them up after its frames (a
  /// root-level renderer has them as its first frame).
  std::shared_ptr<Frame> top_;
  bool parent_loop_ = false;     ///< parent_'s `loop` is visible (a scoped block)
  int loop_level_ = 0;           ///< loops open around the statement being rendered
  bool extended_ = false;        ///< a {% extends %} of this template has run
  std::shared_ptr<const Template> extends_;  ///< the template it extends
  const std::string* block_name_ = nullptr;  ///< the block whose body this renders
  std::size_t block_level_ = 0;              ///< which of the chain's versions of it (0: the most derived)
  const Renderer* block_scope_ = nullptr;    ///< a scoped block's names: the renderer where it was placed
  bool autoescape_ = false;                  ///< within {% autoescape true %}
  mutable std::shared_ptr<bool> alive_flag_;  ///< see alive_token
  static constexpr const char* kLoopCall = "\x01" "call";  ///< the attribute of `loop` that loop(...) calls
};

}  // namespace

// ---- environment --------------------------------------------------------------

TemplateEnvironment::TemplateEnvironment(std::filesystem::path search_dir, TemplateLimits limits)
    : search_dir_(std::move(search_dir)), limits_(limits) {}

void TemplateEnvironment::add_source(const std::string& name, std::string_view source) {
  std::lock_guard<std::mutex> lock(mutex_);
  sources_[name] = std::string(source);
  cache_.erase(name);
}
TemplateEnvironment::~TemplateEnvironment() = default;

std::shared_ptr<const Template> TemplateEnvironment::load(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = cache_.find(name); it != cache_.end()) return it->second;
  if (auto it = sources_.find(name); it != sources_.end()) {
    std::shared_ptr<const Template> tpl = parse_template(name, it->second);
    cache_.emplace(name, tpl);
    return tpl;
  }

  auto not_found = [&] {
    return TemplateNotFound("template '" + name + "' not found in search folder '" + search_dir_.string() + "'");
  };
  // Names are '/'-separated and may not climb out of the search folder.
  std::filesystem::path path = search_dir_;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t slash = name.find('/', start);
    std::string piece = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (piece == "..") throw not_found();
    if (!piece.empty() && piece != ".") path /= piece;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::error_code ec;
  if (search_dir_.empty() || name.empty() || !std::filesystem::is_regular_file(path, ec)) throw not_found();
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) throw TemplateError("cannot read template '" + path.string() + "'");
  std::shared_ptr<const Template> tpl = parse_template(name, text.str());
  cache_.emplace(name, tpl);
  return tpl;
}

void TemplateEnvironment::render(const std::string& name, const TemplateContext& ctx, std::string& out) const {
  render(name, ctx, out, nullptr);
}

void TemplateEnvironment::render(const std::string& name, const TemplateContext& ctx, TemplatePage& page) const {
  render(name, ctx, page.text, &page.splices);
}

void TemplateEnvironment::render(const std::string& name, const TemplateContext& ctx, std::string& out,
                                 std::vector<TemplatePage::Splice>* splices) const {
  Budget budget(limits_);
  try {
    std::shared_ptr<const Template> tpl = load(name);
    Renderer(*this, *tpl, ctx, nullptr, 0, budget, out, splices).run();
  } catch (const TemplateError&) {
    throw;
  } catch (const std::exception& e) {
    // A last resort: every failure inside a template should have become a
    // TemplateError where it arose.
    throw TemplateError((budget.name ? *budget.name : name) + ":" + std::to_string(budget.line) + ": " + e.what());
  } catch (...) {
    throw TemplateError((budget.name ? *budget.name : name) + ":" + std::to_string(budget.line) +
                        ": unknown error");
  }
}

std::string TemplateEnvironment::render(const std::string& name, const TemplateContext& ctx) const {
  std::string out;
  render(name, ctx, out);
  return out;
}

}  // namespace kemora::pipeline::panogen::tmpl
