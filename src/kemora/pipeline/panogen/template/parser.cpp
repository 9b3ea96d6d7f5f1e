// Template source → syntax tree: the lexer (text, tags, whitespace control,
// raw blocks) and a recursive-descent parser with Jinja2's precedence rules.
#include <algorithm>
#include <map>
#include <optional>
#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "kemora/common/limits.hpp"
#include "kemora/common/text.hpp"
#include "kemora/pipeline/panogen/template/internal.hpp"

namespace kemora::pipeline::panogen::tmpl::detail {
namespace {

enum class Tok { Data, VarBegin, VarEnd, BlockBegin, BlockEnd, Name, String, Int, Float, Op, End };

struct Token {
  Tok type;
  std::string value;  // Data text, name, decoded string, number text, operator
  int line;
};

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// \r\n and \r become \n; one trailing newline is dropped.
std::string normalize_source(std::string_view source) {
  std::string out;
  out.reserve(source.size());
  for (std::size_t i = 0; i < source.size(); ++i) {
    char c = source[i];
    if (c == '\r') {
      if (i + 1 < source.size() && source[i + 1] == '\n') ++i;
      out += '\n';
    } else {
      out += c;
    }
  }
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class Lexer {
 public:
  Lexer(const std::string& name, std::string_view src) : name_(name), src_(src) {}

  std::vector<Token> run() {
    std::size_t pos = 0;
    bool strip_next = false;
    while (pos <= src_.size()) {
      std::size_t start = find_tag(pos);
      std::size_t text_end = start == std::string_view::npos ? src_.size() : start;
      std::size_t text_begin = pos;
      if (strip_next) {
        while (text_begin < text_end && is_ws(src_[text_begin])) ++text_begin;
        strip_next = false;
      }
      if (start == std::string_view::npos) {
        emit_data(text_begin, text_end);
        break;
      }
      char kind = src_[start + 1];
      char sign = start + 2 < src_.size() ? src_[start + 2] : '\0';
      if (sign == '-')
        while (text_end > text_begin && is_ws(src_[text_end - 1])) --text_end;
      emit_data(text_begin, text_end);
      std::size_t after = start + 2 + (sign == '-' || sign == '+' ? 1 : 0);
      if (kind == '#') {
        std::size_t end = src_.find("#}", after);
        if (end == std::string_view::npos) fail("missing end of comment tag", start);
        strip_next = end > after && src_[end - 1] == '-';
        pos = end + 2;
      } else if (kind == '%' && try_raw(start, after, pos, strip_next)) {
        // raw block emitted
      } else {
        tokens_.push_back({kind == '{' ? Tok::VarBegin : Tok::BlockBegin, "", line_at(start)});
        pos = lex_tag(after, kind == '{' ? '}' : '%', strip_next);
      }
    }
    // Like Jinja2, the end of the template is reported on the last token's line.
    tokens_.push_back({Tok::End, "", tokens_.empty() ? 1 : tokens_.back().line});
    return std::move(tokens_);
  }

 private:
  [[noreturn]] void fail(const std::string& msg, std::size_t offset) {
    throw TemplateError(name_ + ":" + std::to_string(line_at(offset)) + ": " + msg);
  }

  // Line number of `offset`; offsets are asked for in (mostly) rising order.
  int line_at(std::size_t offset) {
    if (offset < line_offset_) {
      line_offset_ = 0;
      line_ = 1;
    }
    for (; line_offset_ < offset && line_offset_ < src_.size(); ++line_offset_)
      if (src_[line_offset_] == '\n') ++line_;
    return line_;
  }

  std::size_t find_tag(std::size_t pos) const {
    for (std::size_t i = src_.find('{', pos); i != std::string_view::npos; i = src_.find('{', i + 1)) {
      if (i + 1 < src_.size() && (src_[i + 1] == '{' || src_[i + 1] == '%' || src_[i + 1] == '#')) return i;
    }
    return std::string_view::npos;
  }

  void emit_data(std::size_t begin, std::size_t end) {
    if (begin >= end) return;
    tokens_.push_back({Tok::Data, std::string(src_.substr(begin, end - begin)), line_at(begin)});
  }

  // Matches "[-+]? \s* word \s* [-+]? %}" at `p`; returns the position after
  // it, and whether it began and ended with '-'.
  bool match_tag_word(std::size_t p, std::string_view word, std::size_t& end, bool& lead_minus,
                      bool& trail_minus) const {
    lead_minus = false;
    if (p < src_.size() && (src_[p] == '-' || src_[p] == '+')) lead_minus = src_[p++] == '-';
    while (p < src_.size() && is_ws(src_[p])) ++p;
    if (src_.compare(p, word.size(), word) != 0) return false;
    p += word.size();
    while (p < src_.size() && is_ws(src_[p])) ++p;
    trail_minus = false;
    if (p < src_.size() && (src_[p] == '-' || src_[p] == '+')) trail_minus = src_[p++] == '-';
    if (src_.compare(p, 2, "%}") != 0) return false;
    end = p + 2;
    return true;
  }

  // A {% raw %} block starting at `start`: its content becomes one text token.
  bool try_raw(std::size_t start, std::size_t after_open, std::size_t& pos, bool& strip_next) {
    std::size_t p = after_open;
    while (p < src_.size() && is_ws(src_[p])) ++p;
    std::size_t end;
    bool lead, trail;
    if (!match_tag_word(p, "raw", end, lead, trail)) return false;
    for (std::size_t i = src_.find("{%", end); i != std::string_view::npos; i = src_.find("{%", i + 2)) {
      std::size_t close;
      bool end_lead, end_trail;
      if (!match_tag_word(i + 2, "endraw", close, end_lead, end_trail)) continue;
      std::size_t b = end, e = i;
      if (trail)
        while (b < e && is_ws(src_[b])) ++b;
      if (end_lead)
        while (e > b && is_ws(src_[e - 1])) --e;
      emit_data(b, e);
      strip_next = end_trail;
      pos = close;
      return true;
    }
    fail("missing end of raw directive", start);
  }

  // Tokenizes the inside of a {{ }} or {% %} tag starting at `p`; returns the
  // position after its end.
  std::size_t lex_tag(std::size_t p, char close, bool& strip_next) {
    int depth = 0;
    while (true) {
      while (p < src_.size() && is_ws(src_[p])) ++p;
      if (p >= src_.size())
        throw TemplateError(name_ + ":" + std::to_string(tokens_.back().line) + ": unexpected end of template, expected '" +
                            (close == '}' ? "}}" : "%}") + "'");
      if (depth == 0) {
        bool minus = src_[p] == '-' || src_[p] == '+';
        std::size_t q = p + (minus ? 1 : 0);
        if (q + 1 < src_.size() && src_[q] == close && src_[q + 1] == '}') {
          strip_next = minus && src_[p] == '-';
          tokens_.push_back({close == '}' ? Tok::VarEnd : Tok::BlockEnd, "", line_at(p)});
          return q + 2;
        }
      }
      char c = src_[p];
      if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' || latin_letter_at(p)) {
        std::size_t q = p;
        while (q < src_.size()) {
          if (std::isalnum(static_cast<unsigned char>(src_[q])) || src_[q] == '_') ++q;
          else if (std::size_t n = latin_letter_at(q)) q += n;
          else break;
        }
        tokens_.push_back({Tok::Name, std::string(src_.substr(p, q - p)), line_at(p)});
        p = q;
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        p = lex_number(p);
      } else if (c == '\'' || c == '"') {
        p = lex_string(p);
      } else {
        static const char* const ops[] = {"//", "**", "==", "!=", ">=", "<=", "+", "-", "/", "*", "%",
                                          "~", "[", "]", "(", ")", "{", "}", ">", "<", "=", ".",
                                          ":", "|", ",", ";"};
        std::string_view op;
        for (const char* o : ops)
          if (src_.compare(p, std::char_traits<char>::length(o), o) == 0) {
            op = o;
            break;
          }
        if (op.empty()) {
          std::size_t q = p;
          utf8_next(src_, q);  // the whole character, never a part of one
          fail("unexpected char '" + std::string(src_.substr(p, q - p)) + "'", p);
        }
        if (op == "(" || op == "[" || op == "{") ++depth;
        if (op == ")" || op == "]" || op == "}") {
          if (depth == 0) fail("unexpected '" + std::string(op) + "'", p);
          --depth;
        }
        tokens_.push_back({Tok::Op, std::string(op), line_at(p)});
        p += op.size();
      }
    }
  }

  /// The bytes of the letter beyond ASCII at `p` that names may hold, or 0.
  /// Jinja2 takes every Unicode identifier; the engine takes the Latin
  /// letters U+00C0..U+024F (but × and ÷), all of which Python's are too,
  /// and refuses other characters.
  std::size_t latin_letter_at(std::size_t p) const {
    if (p >= src_.size() || static_cast<unsigned char>(src_[p]) < 0x80) return 0;
    std::size_t q = p;
    char32_t cp = utf8_next(src_, q);
    return cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7 ? q - p : 0;
  }

  bool is_digit_at(std::size_t p, int base = 10) const {
    if (p >= src_.size()) return false;
    int d = hex_value(src_[p]);
    return d >= 0 && d < base;
  }

  /// The end of digits of `base` with single underscores between them
  /// starting at `p` (a leading underscore too when `lead_underscore`), or
  /// npos when there is no digit; the digits go to `out`.
  std::size_t scan_digits(std::size_t p, int base, bool lead_underscore, std::string& out) const {
    std::size_t q = p;
    if (lead_underscore && q < src_.size() && src_[q] == '_' && is_digit_at(q + 1, base)) ++q;
    if (!is_digit_at(q, base)) return std::string_view::npos;
    while (true) {
      while (is_digit_at(q, base)) out += src_[q++];
      if (q < src_.size() && src_[q] == '_' && is_digit_at(q + 1, base)) ++q;
      else return q;
    }
  }

  // Numbers as Jinja2's lexer reads them: a real needs a fraction or an
  // exponent (and is not read right after a '.', where `x.0.1` is two
  // subscripts); an integer is 0b/0o/0x with digits, or decimal without
  // leading zeros. Underscores may stand singly between digits.
  std::size_t lex_number(std::size_t p) {
    const std::size_t start = p;
    const int line = line_at(start);
    if (p == 0 || src_[p - 1] != '.') {
      std::string text;
      std::size_t q = scan_digits(p, 10, false, text);
      std::size_t end = std::string_view::npos;
      {
        std::string t = text;
        std::size_t r = q;
        if (r < src_.size() && src_[r] == '.') {
          std::string frac = ".";
          std::size_t f = scan_digits(r + 1, 10, false, frac);
          if (f != std::string_view::npos) {
            r = f;
            t += frac;
          }
        }
        if (r < src_.size() && (src_[r] == 'e' || src_[r] == 'E')) {
          std::string ex = "e";
          std::size_t x = r + 1;
          if (x < src_.size() && (src_[x] == '+' || src_[x] == '-')) ex += src_[x++];
          std::size_t f = scan_digits(x, 10, false, ex);
          if (f != std::string_view::npos) {
            end = f;
            text = t + ex;
          }
        }
        if (end == std::string_view::npos && q < src_.size() && src_[q] == '.') {
          std::string frac = ".";
          std::size_t f = scan_digits(q + 1, 10, false, frac);
          if (f != std::string_view::npos) {
            end = f;
            text += frac;
          }
        }
      }
      if (end != std::string_view::npos) {
        tokens_.push_back({Tok::Float, text, line});
        return end;
      }
    }
    std::string digits;
    if (src_[p] == '0' && p + 1 < src_.size()) {
      char k = static_cast<char>(src_[p + 1] | 0x20);
      int base = k == 'b' ? 2 : k == 'o' ? 8 : k == 'x' ? 16 : 0;
      if (base) {
        std::size_t q = scan_digits(p + 2, base, true, digits);
        if (q != std::string_view::npos) {
          tokens_.push_back({Tok::Int, std::string(1, k) + digits, line});
          return q;
        }
      }
    }
    if (src_[p] == '0') {
      // 0, 00, 0_0, ...: further digits start another token
      std::size_t q = p + 1;
      while (q < src_.size() && (src_[q] == '0' || (src_[q] == '_' && q + 1 < src_.size() && src_[q + 1] == '0')))
        ++q;
      tokens_.push_back({Tok::Int, "0", line});
      return q;
    }
    std::size_t q = scan_digits(p, 10, false, digits);
    tokens_.push_back({Tok::Int, digits, line});
    return q;
  }

  static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // A quoted string with Python's escapes (unknown escapes are kept as written).
  std::size_t lex_string(std::size_t p) {
    char quote = src_[p];
    std::string value;
    std::size_t i = p + 1;
    while (true) {
      if (i >= src_.size()) fail("unterminated string", p);
      char c = src_[i];
      if (c == quote) break;
      if (c != '\\' || i + 1 >= src_.size()) {
        value += c;
        ++i;
        continue;
      }
      char e = src_[i + 1];
      i += 2;
      switch (e) {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case '\\': value += '\\'; break;
        case '\'': value += '\''; break;
        case '"': value += '"'; break;
        case 'a': value += '\a'; break;
        case 'b': value += '\b'; break;
        case 'f': value += '\f'; break;
        case 'v': value += '\v'; break;
        case '\n': break;  // line continuation
        case 'x':
        case 'u':
        case 'U': {
          int n = e == 'x' ? 2 : e == 'u' ? 4 : 8;
          char32_t cp = 0;
          for (int k = 0; k < n; ++k) {
            int h = i + static_cast<std::size_t>(k) < src_.size() ? hex_value(src_[i + static_cast<std::size_t>(k)]) : -1;
            if (h < 0) fail(std::string("truncated \\") + e + " escape in string", p);
            cp = cp * 16 + static_cast<char32_t>(h);
          }
          if (cp > 0x10FFFF) fail("illegal Unicode character in string", p);
          // Python keeps such an escape as a lone surrogate, a character UTF-8 cannot hold.
          if (cp >= 0xD800 && cp <= 0xDFFF) fail("a surrogate escape (\\ud800..\\udfff) in a string is not supported", p);
          i += static_cast<std::size_t>(n);
          utf8_append(value, cp);
          break;
        }
        case 'N': fail("\\N{...} escapes are not supported", p);
        default:
          if (e >= '0' && e <= '7') {
            char32_t cp = static_cast<char32_t>(e - '0');
            for (int k = 0; k < 2 && i < src_.size() && src_[i] >= '0' && src_[i] <= '7'; ++k)
              cp = cp * 8 + static_cast<char32_t>(src_[i++] - '0');
            utf8_append(value, cp);
          } else {
            value += '\\';
            value += e;
          }
      }
    }
    tokens_.push_back({Tok::String, std::move(value), line_at(p)});
    return i + 1;
  }

  const std::string& name_;
  std::string_view src_;
  int line_ = 1;
  std::size_t line_offset_ = 0;
  std::vector<Token> tokens_;
};

Stmt make_stmt(Stmt::Kind kind) {
  Stmt s;
  s.kind = kind;
  return s;
}

struct FilterInfo {
  std::string_view name;
  Filter filter;
};
constexpr FilterInfo kFilters[] = {
    {"length", Filter::Length}, {"count", Filter::Length},   {"default", Filter::Default},
    {"d", Filter::Default},     {"tojson", Filter::ToJson},  {"e", Filter::Escape},
    {"escape", Filter::Escape}, {"safe", Filter::Safe},      {"join", Filter::Join},
    {"upper", Filter::Upper},   {"lower", Filter::Lower},    {"int", Filter::Int},
    {"round", Filter::Round},   {"string", Filter::String},  {"first", Filter::First},
    {"last", Filter::Last},     {"trim", Filter::Trim},      {"replace", Filter::Replace},
    {"abs", Filter::Abs},       {"float", Filter::Float},    {"list", Filter::List},
    {"sum", Filter::Sum},       {"min", Filter::Min},        {"max", Filter::Max},
    {"center", Filter::Center}, {"reverse", Filter::Reverse}, {"sort", Filter::Sort},
    {"unique", Filter::Unique}, {"title", Filter::Title}, {"capitalize", Filter::Capitalize},
    {"truncate", Filter::Truncate}, {"indent", Filter::Indent}, {"wordcount", Filter::WordCount},
    {"format", Filter::Format}, {"filesizeformat", Filter::FileSizeFormat}, {"batch", Filter::Batch},
    {"slice", Filter::Slice}, {"map", Filter::Map}, {"select", Filter::Select}, {"reject", Filter::Reject},
    {"selectattr", Filter::SelectAttr}, {"rejectattr", Filter::RejectAttr}, {"groupby", Filter::GroupBy},
    {"dictsort", Filter::DictSort}, {"items", Filter::Items}, {"urlencode", Filter::UrlEncode},
    {"striptags", Filter::StripTags},
};

struct TestInfo {
  std::string_view name;
  Test test;
};
constexpr TestInfo kTests[] = {
    {"defined", Test::Defined},   {"undefined", Test::Undefined},     {"none", Test::None},
    {"number", Test::Number},     {"string", Test::String},           {"integer", Test::Integer},
    {"float", Test::Float},       {"boolean", Test::Boolean},         {"mapping", Test::Mapping},
    {"sequence", Test::Sequence}, {"iterable", Test::Iterable},       {"callable", Test::Callable},
    {"even", Test::Even},         {"odd", Test::Odd},                 {"true", Test::True},
    {"false", Test::False},       {"divisibleby", Test::DivisibleBy}, {"eq", Test::Eq},
    {"equalto", Test::Eq},        {"ne", Test::Ne},                   {"lt", Test::Lt},
    {"lessthan", Test::Lt},       {"le", Test::Le},                   {"gt", Test::Gt},
    {"greaterthan", Test::Gt},    {"ge", Test::Ge},                   {"in", Test::In},
    {"sameas", Test::SameAs},     {"lower", Test::Lower},             {"upper", Test::Upper},
    {"==", Test::Eq},             {"!=", Test::Ne},                   {"<", Test::Lt},
    {"<=", Test::Le},             {">", Test::Gt},                    {">=", Test::Ge},
};

class Parser {
 public:
  Parser(std::string name, std::vector<Token> tokens) : name_(std::move(name)), toks_(std::move(tokens)) {}

  // ---- scopes ----
  //
  // Jinja2 decides at compile time where a name comes from. In a scope (the
  // template, a loop body) whose first mention of a name is a {% set %}, an
  // inner loop that uses the name before that set sees it undefined, not the
  // context's value. The engine looks names up as it renders, so such a use
  // is refused here rather than rendered differently.
  struct Scope {
    std::map<std::string, bool, std::less<>> first_is_store;  ///< names mentioned directly in the scope
    std::map<std::string, int, std::less<>> inner_loads;      ///< names inner scopes used first (and where)
  };
  std::vector<Scope> scopes_{1};
  /// The first scope that a name used in a block may concern: a block looks
  /// its names up when it renders, never in the scopes around it.
  std::size_t scope_barrier_ = 0;

  class ScopeGuard {
   public:
    explicit ScopeGuard(Parser& p) : p_(p) { p_.scopes_.emplace_back(); }
    ~ScopeGuard() { p_.scopes_.pop_back(); }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;

   private:
    Parser& p_;
  };

  void load_name(const std::string& name) {
    note_macro_load(name);
    Scope& here = scopes_.back();
    // A name that this scope, or one between, binds before any use is that
    // scope's own: the scopes around it do not see this use.
    if (here.first_is_store.emplace(name, false).first->second) return;
    for (std::size_t i = scopes_.size() - 1; i-- > scope_barrier_;) {
      auto it = scopes_[i].first_is_store.find(name);
      if (it == scopes_[i].first_is_store.end()) scopes_[i].inner_loads.emplace(name, cur().line);
      else if (it->second) break;
    }
  }

  void store_name(const std::string& name, int line) {
    Scope& here = scopes_.back();
    if (!here.first_is_store.emplace(name, true).second) return;
    if (auto it = here.inner_loads.find(name); it != here.inner_loads.end())
      fail("'" + name + "' is used in a loop or macro on line " + std::to_string(it->second) +
               " before the {% set %} of it in the scope around that loop (Jinja2 leaves it undefined there; not supported)",
           line);
  }

  std::shared_ptr<Template> run() {
    auto tpl = std::make_shared<Template>();
    tpl->name = name_;
    try {
      std::string end = parse_body(tpl->body, {});
      (void)end;
    } catch (const TemplateError&) {
      throw;
    } catch (const std::exception& e) {  // a last resort: nothing else should arise
      fail(e.what());
    }
    tpl->max_depth = max_depth_;
    collect_blocks(tpl->body, *tpl);
    return tpl;
  }

 private:
  /// One more level of nesting while it lives: a block body, or an operand
  /// that the parser reaches by recursion (brackets, unary operators, ...).
  /// Beyond kMaxNesting levels the template is refused, before the parser's
  /// own recursion or the tree could grow deeper.
  class Nest {
   public:
    explicit Nest(Parser& p) : p_(p) {
      if (++p_.depth_ > common::kMaxNesting) p_.fail(common::kTooDeeplyNested);
      p_.max_depth_ = std::max(p_.max_depth_, p_.depth_);
    }
    ~Nest() { --p_.depth_; }
    Nest(const Nest&) = delete;
    Nest& operator=(const Nest&) = delete;

   private:
    Parser& p_;
  };

  /// Records the depth of a finished node (one more than its deepest operand)
  /// and refuses it when that, with the levels around it, passes the limit.
  ExprPtr seal(ExprPtr e) {
    int d = 0;
    for (const auto& a : e->args) d = std::max(d, a->depth);
    // Jinja2 folds what has no name and no call in it when it compiles.
    if (e->kind != Expr::Kind::Name && e->kind != Expr::Kind::Call) {
      e->constant = true;
      for (const auto& a : e->args) e->constant = e->constant && a->constant;
    }
    // Whether Jinja2 folds a constant depends on whether computing it
    // succeeds, so every constant is checked (see add_output for the one
    // place where an infinity is printed).
    e->check_finite = e->constant;
    e->depth = d + 1;
    if (depth_ + e->depth > common::kMaxNesting) fail(common::kTooDeeplyNested, e->line);
    max_depth_ = std::max(max_depth_, depth_ + e->depth);
    return e;
  }

  [[noreturn]] void fail(const std::string& msg, int line = -1) {
    throw TemplateError(name_ + ":" + std::to_string(line < 0 ? cur().line : line) + ": " + msg);
  }

  /// An integer literal as the lexer wrote it: decimal digits, or 'b', 'o'
  /// or 'x' and digits of that base (underscores already dropped).
  TemplateValue int_literal(const std::string& text) {
    int base = 10;
    std::string_view digits = text;
    if (!digits.empty() && (digits[0] == 'b' || digits[0] == 'o' || digits[0] == 'x')) {
      base = digits[0] == 'b' ? 2 : digits[0] == 'o' ? 8 : 16;
      digits.remove_prefix(1);
    }
    std::optional<BigInt> v = BigInt::parse(digits, base);
    if (!v) fail("bad integer literal");
    if (v->bit_length() > kMaxLiteralBits)
      fail("integer literal too large (integers are exact up to " + std::to_string(kMaxLiteralBits) + " bits)");
    return TemplateValue(std::move(*v));
  }
  static constexpr std::size_t kMaxLiteralBits = 14000;

  const Token& cur() const { return toks_[pos_]; }
  const Token& peek(std::size_t k = 1) const { return toks_[std::min(pos_ + k, toks_.size() - 1)]; }
  const Token& next() { return toks_[pos_ < toks_.size() - 1 ? pos_++ : pos_]; }
  bool is_op(std::string_view op) const { return cur().type == Tok::Op && cur().value == op; }
  bool is_name(std::string_view n) const { return cur().type == Tok::Name && cur().value == n; }
  bool skip_op(std::string_view op) {
    if (!is_op(op)) return false;
    next();
    return true;
  }
  bool skip_name(std::string_view n) {
    if (!is_name(n)) return false;
    next();
    return true;
  }

  static std::string describe(const Token& t) {
    switch (t.type) {
      case Tok::Data: return "template data";
      case Tok::VarBegin: return "begin of print statement";
      case Tok::VarEnd: return "end of print statement";
      case Tok::BlockBegin: return "begin of statement block";
      case Tok::BlockEnd: return "end of statement block";
      case Tok::End: return "end of template";
      case Tok::String: return "string";
      default: return t.value;
    }
  }

  void expect_op(std::string_view op) {
    if (!skip_op(op)) fail("expected '" + std::string(op) + "', got '" + describe(cur()) + "'");
  }
  std::string expect_name() {
    if (cur().type != Tok::Name) fail("expected a name, got '" + describe(cur()) + "'");
    return next().value;
  }
  void expect_block_end() {
    if (cur().type != Tok::BlockEnd) fail("expected end of statement block, got '" + describe(cur()) + "'");
    next();
  }

  // Parses statements until one of `ends` (a block tag name) and returns the
  // tag found, leaving the parser after its name; "" at the end of the template.
  std::string parse_body(Body& body, std::initializer_list<std::string_view> ends) {
    while (true) {
      const Token& t = cur();
      switch (t.type) {
        // The recursion of nested blocks passes through this function: what
        // does not recurse lives in functions of its own, so that its frame
        // stays small.
        case Tok::Data: add_text(body); break;
        case Tok::VarBegin: add_output(body); break;
        case Tok::BlockBegin: {
          next();
          if (cur().type != Tok::Name) fail("tag name expected");
          const std::string& tag = cur().value;
          for (std::string_view e : ends)
            if (tag == e) {
              next();
              return tag;
            }
          int line = cur().line;
          next();
          if (tag == "for") body.push_back(parse_for(line));
          else if (tag == "if") body.push_back(parse_if(line));
          else if (tag == "set") body.push_back(parse_set(line));
          else if (tag == "include") body.push_back(parse_include(line));
          else if (tag == "extends" || tag == "block" || tag == "autoescape") body.push_back(parse_inheritance_tag(tag, line));
          else if (!parse_macro_stmt(tag, line, body)) fail_tag(tag, ends, line);
          break;
        }
        case Tok::End:
          if (ends.size() != 0) fail_end(ends);
          return "";
        default: fail_unexpected(t);
      }
    }
  }

  [[gnu::noinline]] void add_text(Body& body) {
    Stmt s = make_stmt(Stmt::Kind::Text);
    s.line = cur().line;
    s.text = cur().value;
    body.push_back(std::move(s));
    next();
  }

  static bool arithmetic_of_literals(const Expr& e) {
    if (e.kind == Expr::Kind::Const) return e.value.is_number();
    if (e.kind != Expr::Kind::Binary && e.kind != Expr::Kind::Neg && e.kind != Expr::Kind::Pos) return false;
    for (const auto& a : e.args)
      if (!arithmetic_of_literals(*a)) return false;
    return true;
  }
  static void clear_check_finite(Expr& e) {
    e.check_finite = false;
    for (auto& a : e.args) clear_check_finite(*a);
  }

  [[gnu::noinline]] void add_output(Body& body) {
    next();
    Stmt s = make_stmt(Stmt::Kind::Output);
    s.line = cur().line;
    s.expr = parse_tuple(true, false);
    // {{ }} of arithmetic on number literals only: Jinja2 prints the value as
    // text, an infinity too.
    if (arithmetic_of_literals(*s.expr)) clear_check_finite(*s.expr);
    if (cur().type != Tok::VarEnd) fail("expected end of print statement, got '" + describe(cur()) + "'");
    next();
    body.push_back(std::move(s));
  }

  [[noreturn, gnu::noinline]] void fail_tag(const std::string& tag, std::initializer_list<std::string_view> ends,
                                            int line) {
    if (tag == "endfor" || tag == "endif" || tag == "else" || tag == "elif" || tag == "endraw" || tag == "endset" ||
        tag == "endblock" || tag == "endautoescape")
      fail("unexpected '" + tag + "'" + expected_text(ends), line);
    fail("unknown tag '" + tag + "'" + expected_text(ends), line);
  }
  [[noreturn, gnu::noinline]] void fail_end(std::initializer_list<std::string_view> ends) {
    fail("unexpected end of template" + expected_text(ends));
  }
  [[noreturn, gnu::noinline]] void fail_unexpected(const Token& t) { fail("unexpected '" + describe(t) + "'"); }

  static std::string expected_text(std::initializer_list<std::string_view> ends) {
    if (ends.size() == 0) return "";
    std::string s = ", expected ";
    bool first = true;
    for (std::string_view e : ends) {
      if (!first) s += " or ";
      first = false;
      s += "'" + std::string(e) + "'";
    }
    return s;
  }

  std::vector<std::string> parse_targets() {
    std::vector<std::string> names;
    bool paren = skip_op("(");
    do {
      if (paren && is_op(")")) break;
      if (is_op("(")) fail("nested unpacking is not supported");
      std::string n = expect_name();
      if (n == "true" || n == "false" || n == "none" || n == "True" || n == "False" || n == "None")
        fail("can't assign to '" + n + "'");
      if (is_op(".") || is_op("[")) fail("assignment to an attribute or item is not supported");
      names.push_back(std::move(n));
    } while (skip_op(","));
    if (paren) expect_op(")");
    return names;
  }

  Stmt parse_for(int line) {
    Stmt s = make_stmt(Stmt::Kind::For);
    s.line = line;
    s.targets = parse_targets();
    for (const auto& t : s.targets)
      if (t == "loop") fail("can't assign to special loop variable in for-loop target", line);
    if (!skip_name("in")) fail("expected 'in', got '" + describe(cur()) + "'");
    s.expr = parse_tuple(false, false, "recursive"); statement_expr(s.expr);
    // The targets, the condition and the body are the loop's scope; its else
    // is not in it (it sees the names around the loop).
    std::optional<ScopeGuard> loop_scope;
    loop_scope.emplace(*this);
    for (const auto& t : s.targets) store_name(t, line);
    if (skip_name("if")) {
      s.cond = parse_expression(true);
      statement_expr(s.cond);
    }
    s.recursive = skip_name("recursive");
    if (s.recursive && autoescape_level_ > 0) fail("a recursive loop inside {% autoescape %} is not supported", line);
    s.depth = depth_;
    expect_block_end();
    bool outer_loop = saw_loop_;
    saw_loop_ = false;
    std::string end;
    const int outer_max_depth = max_depth_;
    max_depth_ = depth_;
    ++scope_level_;
    recursive_loops_ += s.recursive;
    {
      Nest nest(*this);
      end = parse_body(s.body, {"endfor", "else"});
    }
    recursive_loops_ -= s.recursive;
    --scope_level_;
    // A recursive call of the body nests it once more below the call.
    s.body_depth = max_depth_ - depth_;
    max_depth_ = std::max(max_depth_, outer_max_depth);
    s.uses_loop = saw_loop_ || s.recursive;
    saw_loop_ = outer_loop;
    expect_block_end();
    loop_scope.reset();
    if (end == "else") {
      {
        Nest nest(*this);
        ScopeGuard else_scope(*this);
        ++scope_level_;
        parse_body(s.else_body, {"endfor"});
        --scope_level_;
      }
      expect_block_end();
    }
    return s;
  }

  Stmt parse_if(int line) {
    Stmt s = make_stmt(Stmt::Kind::If);
    s.line = line;
    ExprPtr cond = parse_tuple(false, false); statement_expr(cond);
    while (true) {
      expect_block_end();
      Body body;
      std::string end;
      {
        Nest nest(*this);
        end = parse_body(body, {"elif", "else", "endif"});
      }
      s.branches.emplace_back(std::move(cond), std::move(body));
      if (end == "elif") {
        cond = parse_tuple(false, false); statement_expr(cond);
        continue;
      }
      if (end == "else") {
        expect_block_end();
        Body else_body;
        {
          Nest nest(*this);
          parse_body(else_body, {"endif"});
        }
        s.branches.emplace_back(nullptr, std::move(else_body));
      }
      expect_block_end();
      return s;
    }
  }

  Stmt parse_set(int line) {
    Stmt s = make_stmt(Stmt::Kind::Set);
    s.line = line;
    if (cur().type == Tok::Name && peek().type == Tok::Op && peek().value == "." && peek(2).type == Tok::Name) {
      // {% set ns.attr = ... %}: an attribute of a namespace
      s.targets.push_back(next().value);
      next();
      s.name = next().value;
      if (is_op(",") || is_op(".") || is_op("[")) fail("assignment to several attributes or items is not supported");
    } else {
      s.targets = parse_targets();
    }
    if (!skip_op("=")) {
      if (cur().type == Tok::BlockEnd || is_op("|")) return parse_set_block(std::move(s));
      fail("expected '=', got '" + describe(cur()) + "'");
    }
    s.expr = parse_tuple(true, false); statement_expr(s.expr);
    if (s.name.empty())
      for (const auto& t : s.targets) store_name(t, line);
    else
      load_name(s.targets[0]);
    expect_block_end();
    return s;
  }

  Stmt parse_include(int line) {
    Stmt s = make_stmt(Stmt::Kind::Include);
    s.line = line;
    s.depth = depth_;
    s.expr = parse_expression(true); statement_expr(s.expr);
    if (is_name("ignore") && peek().type == Tok::Name && peek().value == "missing") {
      next();
      next();
      s.ignore_missing = true;
    }
    if ((is_name("with") || is_name("without")) && peek().type == Tok::Name && peek().value == "context") {
      s.with_context = next().value == "with";
      next();
    }
    // Jinja2 fails to render such a template ("expected str instance, generator found").
    if (!s.with_context && recursive_loops_ > 0)
      fail("an include without context inside a recursive loop is not supported", line);
    // Jinja2 writes a generator's address there (a macro or call block), or
    // the included text past the block (a set or filter block).
    if (!s.with_context && captured_bodies_ > 0)
      fail("an include without context inside a macro, call, set or filter block is not supported", line);
    expect_block_end();
    return s;
  }

  // ---- inheritance and escaping ----

  [[gnu::noinline]] Stmt parse_inheritance_tag(const std::string& tag, int line) {
    if (tag == "extends") return parse_extends(line);
    if (tag == "block") return parse_block(line);
    return parse_autoescape(line);
  }

  Stmt parse_extends(int line) {
    if (scope_level_ > 0) fail("cannot use extend from a non top-level scope", line);
    Stmt s = make_stmt(Stmt::Kind::Extends);
    s.line = line;
    s.expr = parse_expression(true); statement_expr(s.expr);
    expect_block_end();
    return s;
  }

  Stmt parse_block(int line) {
    // Jinja2 renders a block body there unescaped, and what it gives as Markup.
    if (autoescape_level_ > 0) fail("{% block %} inside {% autoescape %} is not supported", line);
    Stmt s = make_stmt(Stmt::Kind::Block);
    s.line = line;
    s.depth = depth_;
    if (cur().type != Tok::Name) fail("expected token 'name', got '" + describe(cur()) + "'");
    s.text = next().value;
    if (is_op("-")) fail("Block names in Jinja have to be valid Python identifiers and may not contain hyphens, use an underscore instead.");
    s.scoped = skip_name("scoped");
    s.required = skip_name("required");
    expect_block_end();
    {
      // A block body is a function of its own in Jinja2: its names are its own scope.
      Nest nest(*this);
      ScopeGuard block_scope(*this);
      const std::size_t outer_barrier = scope_barrier_;
      scope_barrier_ = scopes_.size() - 1;
      ++scope_level_;
      parse_body(s.body, {"endblock"});
      --scope_level_;
      scope_barrier_ = outer_barrier;
      // `loop` in a scoped block (or in a child's version of it) is the loop
      // around it; in other blocks it is undefined.
      saw_loop_ = saw_loop_ || s.scoped;
    }
    if (cur().type == Tok::Name && cur().value == s.text) next();
    expect_block_end();
    if (s.required)
      for (const Stmt& c : s.body)
        if (c.kind != Stmt::Kind::Text || !all_space(c.text))
          fail("Required blocks can only contain comments or whitespace", c.line);
    if (!block_lines_.emplace(s.text, line).second) fail("block '" + s.text + "' defined twice", line);
    return s;
  }

  static bool all_space(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size())
      if (!py_isspace(utf8_next(text, i))) return false;
    return true;
  }

  Stmt parse_autoescape(int line) {
    Stmt s = make_stmt(Stmt::Kind::Autoescape);
    s.line = line;
    s.expr = parse_expression(true); statement_expr(s.expr);
    // Jinja2 compiles `~` by the value known when it compiles, and escapes {{ }}
    // by the value when it renders: a value it knows only then mixes both.
    if (!s.expr->constant) fail("{% autoescape %} of a value known only when rendering is not supported", line);
    expect_block_end();
    {
      // Its body is a scope, as a loop body is: what it sets ends with it.
      Nest nest(*this);
      ScopeGuard scope(*this);
      ++autoescape_level_;
      ++scope_level_;
      parse_body(s.body, {"endautoescape"});
      --scope_level_;
      --autoescape_level_;
    }
    expect_block_end();
    check_autoescape_body(s.body);
    return s;
  }

  /// Refuses in an autoescape region what gives Markup there by rules of its
  /// own: statements other than text, {{ }}, if, for, set, include and
  /// autoescape, and calls of names other than range() (macros, callables).
  void check_autoescape_body(const Body& body) {
    for (const Stmt& st : body) {
      switch (st.kind) {
        case Stmt::Kind::Text:
        case Stmt::Kind::Output:
        case Stmt::Kind::For:
        case Stmt::Kind::If:
        case Stmt::Kind::Set:
        case Stmt::Kind::Include:
        case Stmt::Kind::Autoescape: break;
        default: fail("this statement inside {% autoescape %} is not supported", st.line);
      }
      check_autoescape_expr(st.expr.get());
      check_autoescape_expr(st.cond.get());
      check_autoescape_body(st.body);
      check_autoescape_body(st.else_body);
      for (const auto& [cond, b] : st.branches) {
        check_autoescape_expr(cond.get());
        check_autoescape_body(b);
      }
    }
  }
  void check_autoescape_expr(const Expr* e) {
    if (!e) return;
    if (e->kind == Expr::Kind::Call && e->args[0]->kind == Expr::Kind::Name && e->args[0]->name != "range")
      fail("calling '" + e->args[0]->name + "' inside {% autoescape %} is not supported", e->line);
    for (const auto& a : e->args) check_autoescape_expr(a.get());
  }

  /// Records where every block of the finished tree stands.
  static void collect_blocks(const Body& body, Template& tpl) {
    for (const Stmt& s : body) {
      if (s.kind == Stmt::Kind::Block) tpl.blocks.emplace(s.text, &s);
      collect_blocks(s.body, tpl);
      collect_blocks(s.else_body, tpl);
      for (const auto& [cond, b] : s.branches) collect_blocks(b, tpl);
    }
  }

  // ---- macros, call blocks, imports and the with, filter and set blocks ----

  /// The macros and call blocks whose bodies are being read: a `caller`,
  /// `varargs` or `kwargs` anywhere in a body (in the macros it holds too, as
  /// Jinja2 looks for them) makes the macro take it.
  std::vector<Stmt*> open_macros_;

  void note_macro_load(const std::string& name) {
    for (Stmt* m : open_macros_) {
      if (name == "caller") m->uses_caller = true;
      else if (name == "varargs") m->catch_varargs = true;
      else if (name == "kwargs") m->catch_kwargs = true;
    }
  }

  /// The statements of this group; false for another tag.
  bool parse_macro_stmt(std::string tag, int line, Body& body) {
    if (tag == "macro") body.push_back(parse_macro(line));
    else if (tag == "call") body.push_back(parse_call_block(line));
    else if (tag == "filter") body.push_back(parse_filter_block(line));
    else if (tag == "with") body.push_back(parse_with(line));
    else if (tag == "import") body.push_back(parse_import(line));
    else if (tag == "from") body.push_back(parse_from_import(line));
    else return false;
    return true;
  }

  std::string assign_name() {
    if (cur().type != Tok::Name) fail("expected token 'name', got '" + describe(cur()) + "'");
    std::string n = next().value;
    if (n == "true" || n == "false" || n == "none" || n == "True" || n == "False" || n == "None")
      fail("can't assign to '" + n + "'");
    return n;
  }

  /// "(a, b=default, ...)" of a macro or call block; the parameters are
  /// stored in the current scope when `store`.
  void parse_signature(Stmt& s, bool store) {
    expect_op("(");
    Nest nest(*this);
    while (!is_op(")")) {
      if (!s.targets.empty()) expect_op(",");
      std::string n = assign_name();
      if (n == "caller" || n == "varargs" || n == "kwargs")
        fail("a macro parameter named '" + n + "' is not supported");
      for (const auto& t : s.targets)
        if (t == n) fail("duplicate argument '" + n + "' in a macro definition");
      ExprPtr def;
      if (skip_op("=")) {
        def = parse_expression(true);
        statement_expr(def);
      } else if (!s.defaults.empty() && s.defaults.back()) {
        fail("non-default argument follows default argument");
      }
      if (store) store_name(n, s.line);
      s.targets.push_back(std::move(n));
      s.defaults.push_back(std::move(def));
    }
    next();
  }

  /// The body of a macro or call block up to `end`, in the scope open.
  void parse_macro_body(Stmt& s, std::string_view end) {
    expect_block_end();
    open_macros_.push_back(&s);
    ++captured_bodies_;
    {
      Nest nest(*this);
      parse_body(s.body, {end});
    }
    --captured_bodies_;
    open_macros_.pop_back();
  }

  Stmt parse_macro(int line) {
    Stmt s = make_stmt(Stmt::Kind::Macro);
    s.line = line;
    s.name = assign_name();
    // Stored before the body: the macro may call itself.
    store_name(s.name, line);
    // The levels the defaults and the body add to those of the definition:
    // what a call of the macro adds to the levels of the call.
    const int saved_max = max_depth_;
    max_depth_ = depth_;
    s.depth = depth_;
    {
      ScopeGuard scope(*this);
      parse_signature(s, true);
      parse_macro_body(s, "endmacro");
    }
    expect_block_end();
    s.body_depth = max_depth_ - s.depth;
    max_depth_ = std::max(saved_max, max_depth_);
    return s;
  }

  Stmt parse_call_block(int line) {
    Stmt s = make_stmt(Stmt::Kind::CallBlock);
    s.line = line;
    s.name = "caller";
    const int saved_max = max_depth_;
    max_depth_ = depth_;
    s.depth = depth_;
    if (is_op("(")) parse_signature(s, false);
    s.expr = parse_expression(true);
    if (s.expr->kind != Expr::Kind::Call) fail("expected call", line);
    {
      ScopeGuard scope(*this);
      for (const auto& t : s.targets) store_name(t, line);
      parse_macro_body(s, "endcall");
    }
    expect_block_end();
    s.body_depth = max_depth_ - s.depth;
    max_depth_ = std::max(saved_max, max_depth_);
    return s;
  }

  /// The filters of a filter block ("upper|replace('a', 'b')", `lead_bar`
  /// false) or a set block ("| upper"), applied to a name no template can
  /// write, which the block's text is bound to.
  ExprPtr parse_block_filters(int line, bool lead_bar) {
    auto subject = make(Expr::Kind::Name, line);
    subject->constant = false;
    subject->check_finite = false;
    subject->name = kBlockText;
    if (lead_bar) toks_.insert(toks_.begin() + static_cast<std::ptrdiff_t>(pos_), Token{Tok::Op, "|", cur().line});
    ExprPtr chain = parse_filter_expr(std::move(subject));
    for (const Expr* e = chain.get(); e->kind != Expr::Kind::Name; e = e->args[0].get())
      if (e->kind != Expr::Kind::Filter) fail("expected end of statement block", line);
    return chain;
  }

  /// A body in a scope of its own up to `end`, and the end tag's block end.
  void parse_scoped_body(Body& body, std::string_view end, const std::vector<std::string>& stored, int line) {
    {
      ScopeGuard scope(*this);
      for (const auto& t : stored) store_name(t, line);
      Nest nest(*this);
      parse_body(body, {end});
    }
    expect_block_end();
  }

  Stmt parse_filter_block(int line) {
    Stmt s = make_stmt(Stmt::Kind::FilterBlock);
    s.line = line;
    s.expr = parse_block_filters(line, true);
    expect_block_end();
    ++captured_bodies_;
    parse_scoped_body(s.body, "endfilter", {}, line);
    --captured_bodies_;
    return s;
  }

  Stmt parse_set_block(Stmt s) {
    s.kind = Stmt::Kind::SetBlock;
    if (s.targets.size() != 1) fail("a block assignment to several names is not supported", s.line);
    if (is_op("|")) s.expr = parse_block_filters(s.line, false);
    expect_block_end();
    ++captured_bodies_;
    parse_scoped_body(s.body, "endset", {}, s.line);
    --captured_bodies_;
    if (s.name.empty()) store_name(s.targets[0], s.line);
    else load_name(s.targets[0]);
    return s;
  }

  Stmt parse_with(int line) {
    Stmt s = make_stmt(Stmt::Kind::With);
    s.line = line;
    while (cur().type != Tok::BlockEnd) {
      if (!s.targets.empty()) expect_op(",");
      std::string n = assign_name();
      expect_op("=");
      ExprPtr v = parse_expression(true);
      statement_expr(v);
      s.targets.push_back(std::move(n));
      s.defaults.push_back(std::move(v));
    }
    next();
    parse_scoped_body(s.body, "endwith", s.targets, line);
    return s;
  }

  bool is_context_clause() const {
    return (is_name("with") || is_name("without")) && peek().type == Tok::Name && peek().value == "context";
  }
  /// "with context" / "without context" when there, else `fallback`.
  bool parse_import_context(bool fallback) {
    if (!is_context_clause()) return fallback;
    bool with = next().value == "with";
    next();
    return with;
  }

  Stmt parse_import(int line) {
    Stmt s = make_stmt(Stmt::Kind::Import);
    s.line = line;
    s.depth = depth_;
    s.expr = parse_expression(true);
    statement_expr(s.expr);
    if (!skip_name("as")) fail("expected token 'as', got '" + describe(cur()) + "'");
    s.name = assign_name();
    s.with_context = parse_import_context(false);
    expect_block_end();
    store_name(s.name, line);
    return s;
  }

  Stmt parse_from_import(int line) {
    Stmt s = make_stmt(Stmt::Kind::FromImport);
    s.line = line;
    s.depth = depth_;
    s.expr = parse_expression(true);
    statement_expr(s.expr);
    if (!skip_name("import")) fail("expected token 'import', got '" + describe(cur()) + "'");
    s.with_context = false;
    while (true) {
      if (!s.targets.empty()) expect_op(",");
      if (cur().type != Tok::Name) fail("expected token 'name', got '" + describe(cur()) + "'");
      if (is_context_clause()) {
        s.with_context = parse_import_context(false);
        break;
      }
      std::string n = assign_name();
      if (n[0] == '_') fail("names starting with an underline can not be imported");
      std::string alias = skip_name("as") ? assign_name() : n;
      s.targets.push_back(std::move(n));
      s.aliases.push_back(std::move(alias));
      if (is_context_clause()) {
        s.with_context = parse_import_context(false);
        break;
      }
      if (!is_op(",")) break;
    }
    expect_block_end();
    for (const auto& a : s.aliases) store_name(a, line);
    return s;
  }

  /// The expression of a statement other than {{ }}: a constant one is
  /// written into Jinja2's Python code, where an infinity fails.
  static void statement_expr(const ExprPtr& e) {
    if (e && e->constant) e->check_finite = true;
  }

  ExprPtr make(Expr::Kind kind, int line) {
    auto e = std::make_unique<Expr>();
    e->kind = kind;
    e->line = line;
    e->constant = kind == Expr::Kind::Const;
    e->check_finite = e->constant;
    return e;
  }

  bool at_tuple_end(std::string_view extra_end) const {
    if (cur().type == Tok::VarEnd || cur().type == Tok::BlockEnd || cur().type == Tok::End) return true;
    if (is_op(")")) return true;
    return !extra_end.empty() && is_name(extra_end);
  }

  // Comma-separated expressions; one expression without a comma stands alone.
  ExprPtr parse_tuple(bool with_condexpr, bool explicit_parens, std::string_view extra_end = {}) {
    int line = cur().line;
    std::vector<ExprPtr> items;
    bool is_tuple = false;
    while (true) {
      if (!items.empty()) expect_op(",");
      if (at_tuple_end(extra_end)) break;
      items.push_back(parse_expression(with_condexpr));
      if (is_op(",")) is_tuple = true;
      else break;
    }
    if (!is_tuple) {
      if (!items.empty()) return std::move(items[0]);
      if (!explicit_parens) fail("expected an expression, got '" + describe(cur()) + "'");
    }
    auto t = make(Expr::Kind::Tuple, line);
    t->args = std::move(items);
    return seal(std::move(t));
  }

  ExprPtr parse_expression(bool with_condexpr) {
    if (!with_condexpr) return parse_or();
    int line = cur().line;
    ExprPtr expr = parse_or();
    while (skip_name("if")) {
      auto c = make(Expr::Kind::Cond, line);
      ExprPtr test = parse_or();
      c->args.push_back(std::move(test));
      c->args.push_back(std::move(expr));
      if (skip_name("else")) {
        Nest nest(*this);
        c->args.push_back(parse_expression(true));
      }
      expr = seal(std::move(c));
      line = cur().line;
    }
    return expr;
  }

  ExprPtr parse_or() { return parse_logical("or", Expr::Kind::Or, &Parser::parse_and); }
  ExprPtr parse_and() { return parse_logical("and", Expr::Kind::And, &Parser::parse_not); }

  /// operand (word operand)*, grouped from the left.
  ExprPtr parse_logical(std::string_view word, Expr::Kind kind, ExprPtr (Parser::*operand)()) {
    ExprPtr left = (this->*operand)();
    while (is_name(word)) {
      auto e = make(kind, next().line);
      e->args.push_back(std::move(left));
      e->args.push_back((this->*operand)());
      left = seal(std::move(e));
    }
    return left;
  }

  ExprPtr parse_not() {
    if (is_name("not")) {
      auto e = make(Expr::Kind::Not, next().line);
      {
        Nest nest(*this);
        e->args.push_back(parse_not());
      }
      return seal(std::move(e));
    }
    return parse_compare();
  }

  ExprPtr parse_compare() {
    int line = cur().line;
    ExprPtr first = parse_math1();
    std::unique_ptr<Expr> cmp;
    while (true) {
      CmpOp op;
      if (is_op("==")) op = CmpOp::Eq;
      else if (is_op("!=")) op = CmpOp::Ne;
      else if (is_op("<")) op = CmpOp::Lt;
      else if (is_op("<=")) op = CmpOp::Le;
      else if (is_op(">")) op = CmpOp::Gt;
      else if (is_op(">=")) op = CmpOp::Ge;
      else if (is_name("in")) op = CmpOp::In;
      else if (is_name("not") && peek().type == Tok::Name && peek().value == "in") {
        next();
        op = CmpOp::NotIn;
      } else
        break;
      next();
      if (!cmp) {
        cmp = make(Expr::Kind::Compare, line);
        cmp->args.push_back(std::move(first));
      }
      cmp->cmp_ops.push_back(op);
      cmp->args.push_back(parse_math1());
    }
    return cmp ? seal(std::move(cmp)) : std::move(first);
  }

  ExprPtr binary(BinOp op, ExprPtr left, ExprPtr right, int line) {
    auto e = make(Expr::Kind::Binary, line);
    e->op = op;
    e->args.push_back(std::move(left));
    e->args.push_back(std::move(right));
    return seal(std::move(e));
  }

  ExprPtr parse_math1() {
    int line = cur().line;
    ExprPtr left = parse_concat();
    while (is_op("+") || is_op("-")) {
      BinOp op = next().value == "+" ? BinOp::Add : BinOp::Sub;
      left = binary(op, std::move(left), parse_concat(), line);
      line = cur().line;
    }
    return left;
  }

  ExprPtr parse_concat() {
    int line = cur().line;
    ExprPtr first = parse_math2();
    if (!is_op("~")) return first;
    auto e = make(Expr::Kind::Concat, line);
    e->args.push_back(std::move(first));
    while (skip_op("~")) e->args.push_back(parse_math2());
    return seal(std::move(e));
  }

  ExprPtr parse_math2() {
    int line = cur().line;
    ExprPtr left = parse_pow();
    while (is_op("*") || is_op("/") || is_op("//") || is_op("%")) {
      std::string op = next().value;
      BinOp b = op == "*" ? BinOp::Mul : op == "/" ? BinOp::Div : op == "//" ? BinOp::FloorDiv : BinOp::Mod;
      left = binary(b, std::move(left), parse_pow(), line);
      line = cur().line;
    }
    return left;
  }

  ExprPtr parse_pow() {
    int line = cur().line;
    ExprPtr left = parse_unary(true);
    while (skip_op("**")) {
      left = binary(BinOp::Pow, std::move(left), parse_unary(true), line);
      line = cur().line;
    }
    return left;
  }

  ExprPtr parse_unary(bool with_filter) {
    ExprPtr node;
    if (is_op("-") || is_op("+")) {
      auto e = make(next().value == "-" ? Expr::Kind::Neg : Expr::Kind::Pos, cur().line);
      {
        Nest nest(*this);
        e->args.push_back(parse_unary(false));
      }
      node = seal(std::move(e));
    } else {
      node = parse_primary();
    }
    node = parse_postfix(std::move(node));
    if (with_filter) node = parse_filter_expr(std::move(node));
    return node;
  }

  // Parentheses, lists and dicts recurse; everything else is a leaf, parsed
  // apart so that the recursive frames stay small.
  ExprPtr parse_primary() {
    int line = cur().line;
    if (is_op("(")) {
      next();
      Nest nest(*this);
      ExprPtr e = parse_tuple(true, true);
      expect_op(")");
      return e;
    }
    if (is_op("[")) {
      next();
      auto e = make(Expr::Kind::List, line);
      {
        Nest nest(*this);
        while (!is_op("]")) {
          if (!e->args.empty()) expect_op(",");
          if (is_op("]")) break;
          e->args.push_back(parse_expression(true));
        }
        expect_op("]");
      }
      return seal(std::move(e));
    }
    if (is_op("{")) {
      next();
      auto e = make(Expr::Kind::Dict, line);
      {
        Nest nest(*this);
        while (!is_op("}")) {
          if (!e->args.empty()) expect_op(",");
          if (is_op("}")) break;
          e->args.push_back(parse_expression(true));
          expect_op(":");
          e->args.push_back(parse_expression(true));
        }
        expect_op("}");
      }
      return seal(std::move(e));
    }
    return parse_leaf();
  }

  [[gnu::noinline]] ExprPtr parse_leaf() {
    const Token& t = cur();
    int line = t.line;
    if (t.type == Tok::Name) {
      auto e = make(Expr::Kind::Const, line);
      const std::string& v = t.value;
      if (v == "true" || v == "True") e->value = TemplateValue(true);
      else if (v == "false" || v == "False") e->value = TemplateValue(false);
      else if (v == "none" || v == "None") e->value = TemplateValue::none();
      else {
        e->kind = Expr::Kind::Name;
        e->constant = false;
        e->check_finite = false;
        load_name(v);
        e->name = v;
        if (v == "loop") saw_loop_ = true;
        // What blocks and recursive loops give there is Markup or not by rules of their own.
        if (autoescape_level_ > 0 && (v == "self" || v == "super" || (v == "loop" && recursive_loops_ > 0)))
          fail("'" + v + "' inside {% autoescape %} is not supported");
      }
      next();
      return e;
    }
    if (t.type == Tok::String) {
      std::string s;
      while (cur().type == Tok::String) s += next().value;  // adjacent strings join
      auto e = make(Expr::Kind::Const, line);
      e->value = TemplateValue(std::move(s));
      return e;
    }
    if (t.type == Tok::Int || t.type == Tok::Float) {
      auto e = make(Expr::Kind::Const, line);
      e->constant = true;
      const std::string& text = t.value;
      if (t.type == Tok::Int) {
        e->value = TemplateValue(int_literal(text));
      } else {
        e->value = TemplateValue(std::strtod(text.c_str(), nullptr));
      }
      next();
      return e;
    }
    fail("unexpected '" + describe(t) + "'");
  }

  ExprPtr parse_postfix(ExprPtr node) {
    while (true) {
      if (is_op(".")) {
        int line = next().line;
        if (cur().type == Tok::Name) {
          auto e = make(Expr::Kind::Attr, line);
          e->name = next().value;
          e->args.push_back(std::move(node));
          node = seal(std::move(e));
        } else if (cur().type == Tok::Int) {
          auto e = make(Expr::Kind::Item, line);
          auto idx = make(Expr::Kind::Const, line);
          idx->value = TemplateValue(int_literal(cur().value));
          next();
          e->args.push_back(std::move(node));
          e->args.push_back(std::move(idx));
          node = seal(std::move(e));
        } else {
          fail("expected a name after '.', got '" + describe(cur()) + "'");
        }
      } else if (is_op("[")) {
        int line = next().line;
        ExprPtr index;
        {
          Nest nest(*this);
          if (!is_op(":")) index = parse_tuple(true, false);
          if (is_op(":")) {
            node = parse_slice(std::move(node), std::move(index), line);
            continue;
          }
        }
        expect_op("]");
        auto e = make(Expr::Kind::Item, line);
        e->args.push_back(std::move(node));
        e->args.push_back(std::move(index));
        node = seal(std::move(e));
      } else if (is_op("(")) {
        node = parse_call(std::move(node));
      } else {
        return node;
      }
    }
  }

  // Reads the rest of "x[start:stop:step]" from the first ':'; a missing
  // bound is none (what Python's slice() takes it as).
  ExprPtr parse_slice(ExprPtr subject, ExprPtr start, int line) {
    auto none = [&] {
      auto c = make(Expr::Kind::Const, line);
      c->value = TemplateValue::none();
      return seal(std::move(c));
    };
    if (start && start->kind == Expr::Kind::Tuple) fail("a slice in a tuple of subscripts is not supported");
    auto e = make(Expr::Kind::Slice, line);
    e->args.push_back(std::move(subject));
    e->args.push_back(start ? std::move(start) : none());
    expect_op(":");
    e->args.push_back(is_op(":") || is_op("]") ? none() : parse_expression(true));
    if (is_op(":")) {
      next();
      e->args.push_back(is_op("]") ? none() : parse_expression(true));
    } else {
      e->args.push_back(none());
    }
    if (is_op(",")) fail("a slice in a tuple of subscripts is not supported");
    expect_op("]");
    return seal(std::move(e));
  }

  // Reads "(args)" into e->args (after any already there) and e->kw_names.
  void parse_call_args(Expr& e) {
    expect_op("(");
    Nest nest(*this);
    bool first = true;
    while (!is_op(")")) {
      if (!first) expect_op(",");
      first = false;
      if (is_op(")")) break;
      auto seen = [&](std::string_view n) { return std::find(e.kw_names.begin(), e.kw_names.end(), n) != e.kw_names.end(); };
      if (is_op("*") || is_op("**")) {
        // `*x` and `**x` go with the keywords, named "*" and "**" (what only
        // a macro call or a global that takes keywords accepts).
        if (seen("**") || (is_op("*") && seen("*"))) fail("invalid syntax for function call expression");
        e.kw_names.push_back(next().value);
      } else if (cur().type == Tok::Name && peek().type == Tok::Op && peek().value == "=") {
        if (seen("**")) fail("invalid syntax for function call expression");
        e.kw_names.push_back(next().value);
        next();
      } else if (!e.kw_names.empty()) {
        fail("positional argument follows keyword argument");
      }
      e.args.push_back(parse_expression(true));
    }
    expect_op(")");
  }

  ExprPtr parse_call(ExprPtr callee) {
    auto e = make(Expr::Kind::Call, cur().line);
    e->level = depth_;
    e->args.push_back(std::move(callee));
    parse_call_args(*e);
    return seal(std::move(e));
  }

  ExprPtr parse_filter_expr(ExprPtr node) {
    while (true) {
      if (is_op("|")) {
        int line = next().line;
        std::string name = expect_name();
        while (is_op(".")) {
          next();
          name += "." + expect_name();
        }
        auto e = make(Expr::Kind::Filter, line);
        e->name = name;
        bool known = false;
        for (const auto& f : kFilters)
          if (f.name == name) {
            e->filter = f.filter;
            known = true;
          }
        if (!known) fail("unknown filter '" + name + "'", line);
        e->args.push_back(std::move(node));
        if (is_op("(")) parse_call_args(*e);
        node = seal(std::move(e));
      } else if (is_name("is")) {
        int line = next().line;
        bool negated = skip_name("not");
        std::string name = expect_name();
        auto e = make(Expr::Kind::Test, line);
        e->name = name;
        e->negated = negated;
        bool known = false;
        for (const auto& t : kTests)
          if (t.name == name) {
            e->test = t.test;
            known = true;
          }
        if (!known) fail("unknown test '" + name + "'", line);
        e->args.push_back(std::move(node));
        if (is_op("(")) {
          parse_call_args(*e);
        } else if ((cur().type == Tok::Name || cur().type == Tok::String || cur().type == Tok::Int ||
                    cur().type == Tok::Float || is_op("[") || is_op("{")) &&
                   !is_name("else") && !is_name("or") && !is_name("and")) {
          if (is_name("is")) fail("You cannot chain multiple tests with is");
          Nest nest(*this);
          e->args.push_back(parse_postfix(parse_primary()));
        }
        if (!test_takes_argument(e->test) && e->args.size() > 1) fail("the test '" + name + "' takes no arguments", line);
        if (test_takes_argument(e->test) && e->args.size() != 2)
          fail("the test '" + name + "' takes one argument", line);
        node = seal(std::move(e));
      } else if (is_op("(")) {
        node = parse_call(std::move(node));
      } else {
        return node;
      }
    }
  }

  std::string name_;
  std::vector<Token> toks_;
  std::size_t pos_ = 0;
  bool saw_loop_ = false;
  int scope_level_ = 0;  ///< loops, blocks and autoescape regions open (where {% extends %} may not stand)
  int recursive_loops_ = 0;  ///< recursive loops open
  int captured_bodies_ = 0;  ///< macro, call, set and filter block bodies open
  int autoescape_level_ = 0;  ///< {% autoescape %} regions open
  std::map<std::string, int, std::less<>> block_lines_;  ///< the blocks met so far, by name
  int depth_ = 0;      ///< levels open at the current token
  int max_depth_ = 0;  ///< the deepest level met
};

}  // namespace

std::optional<Filter> find_filter(std::string_view name) {
  for (const auto& f : kFilters)
    if (f.name == name) return f.filter;
  return std::nullopt;
}

std::optional<Test> find_test(std::string_view name) {
  for (const auto& t : kTests)
    if (t.name == name) return t.test;
  return std::nullopt;
}

std::shared_ptr<Template> parse_template(std::string name, std::string_view source) {
  // A template is text: bytes that are not UTF-8 would reach the page as they are.
  if (auto bad = common::utf8_invalid_at(source)) {
    std::size_t line = 1 + static_cast<std::size_t>(std::count(source.begin(), source.begin() + *bad, '\n'));
    throw TemplateError(name + ":" + std::to_string(line) + ": not valid UTF-8 at byte " + std::to_string(*bad));
  }
  std::string normalized = normalize_source(source);
  std::vector<Token> tokens = Lexer(name, normalized).run();
  return Parser(std::move(name), std::move(tokens)).run();
}

}  // namespace kemora::pipeline::panogen::tmpl::detail
