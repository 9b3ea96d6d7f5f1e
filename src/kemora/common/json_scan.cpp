#include "kemora/common/json_scan.hpp"

#include <array>
#include <cstring>
#include <string>

#include "kemora/common/json.hpp"
#include "kemora/common/limits.hpp"
#include "kemora/common/text.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kemora::common {
namespace {

inline bool is_space(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

/// Classes of the bytes of a text as bit masks over aligned blocks of 64
/// bytes, made once per block: a loop over the bytes of a string or of a run
/// of digits becomes a bit scan.
class ByteClasses {
 public:
  ByteClasses(const unsigned char* s, std::size_t n) : s_(s), n_(n) {}

  /// The first position from `p` on whose byte ends a plain run of a string
  /// ('"', '\\', a control character or a byte beyond ASCII), or n.
  std::size_t string_stop(std::size_t p) { return next(p, &Masks::stop); }
  /// The first position from `p` on that holds no digit, or n.
  std::size_t digits_end(std::size_t p) { return next(p, &Masks::non_digit); }

 private:
  struct Masks {
    std::uint64_t stop = 0;
    std::uint64_t non_digit = 0;
  };

  std::size_t next(std::size_t p, std::uint64_t Masks::*which) {
    while (p < n_) {
      const std::size_t block = p >> 6;
      if (block != block_) load(block);
      const std::uint64_t m = (masks_.*which) >> (p & 63);
      if (m != 0) return std::min(n_, p + static_cast<std::size_t>(__builtin_ctzll(m)));
      p = (block + 1) << 6;
    }
    return n_;
  }

  void load(std::size_t block) {
    block_ = block;
    const std::size_t at = block << 6;
    const unsigned char* bytes = s_ + at;
    if (n_ - at < 64) {  // the last block: what lies past the end stops every run
      std::memset(tail_, '"', sizeof tail_);
      std::memcpy(tail_, bytes, n_ - at);
      bytes = tail_;
    }
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1F);
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i nine = _mm_set1_epi8(9);
    std::uint64_t stop = 0, digit = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * k));
      const __m128i s = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                     _mm_cmpeq_epi8(_mm_max_epu8(v, control), control));
      const __m128i d = _mm_sub_epi8(v, zero);
      const auto bits = [](__m128i x) { return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(x))); };
      stop |= (bits(s) | bits(v)) << (16 * k);  // the sign bit: beyond ASCII
      digit |= bits(_mm_cmpeq_epi8(_mm_max_epu8(d, nine), nine)) << (16 * k);
    }
    masks_ = {stop, ~digit};
#else
    Masks m;
    for (int k = 0; k < 64; ++k) {
      const unsigned char c = bytes[k];
      if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) m.stop |= std::uint64_t{1} << k;
      if (!is_digit(c)) m.non_digit |= std::uint64_t{1} << k;
    }
    masks_ = m;
#endif
  }

  const unsigned char* s_;
  std::size_t n_;
  std::size_t block_ = SIZE_MAX;
  Masks masks_;
  unsigned char tail_[64];
};

/// Length of the well-formed UTF-8 sequence of more than one byte at `p`, or
/// 0 (the rules of utf8_invalid_at).
inline std::size_t utf8_sequence(const unsigned char* s, std::size_t n, std::size_t p) {
  const unsigned char c = s[p];
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    else if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    else if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n - p < len) return 0;
  if (s[p + 1] < lo || s[p + 1] > hi) return 0;
  for (std::size_t k = 2; k < len; ++k)
    if ((s[p + k] & 0xC0) != 0x80) return 0;
  return len;
}

/// The value of four hex digits at `p`, or -1.
inline long hex4(const unsigned char* s, std::size_t n, std::size_t p) {
  if (p > n || n - p < 4) return -1;
  long v = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const unsigned char c = s[p + k];
    v <<= 4;
    if (c >= '0' && c <= '9') v |= c - '0';
    else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
    else return -1;
  }
  return v;
}

/// The length of the word for NaN or an infinity at `p`, as the reader
/// json_parse uses takes it, or 0. It reads "NaN", and otherwise "Inf" with
/// an optional "inity" after the letters of "NaN" it has already taken: so
/// "NInf" and "NaInfinity" are infinities too.
std::size_t nan_or_inf_size(const unsigned char* p, const unsigned char* end) {
  const unsigned char* q = p;
  const auto take = [&](char c) {
    if (q < end && *q == c) {
      ++q;
      return true;
    }
    return false;
  };
  if (take('N') && take('a') && take('N')) return 3;
  if (!(take('I') && take('n') && take('f'))) return 0;
  if (q < end && *q == 'i' && !(take('i') && take('n') && take('i') && take('t') && take('y'))) return 0;
  return static_cast<std::size_t>(q - p);
}

/// Whether the reader json_parse uses takes the well-formed number in
/// [p, end) as a value: it refuses one too large for a double, which it
/// decides while it accumulates the digits. This follows its steps exactly;
/// json_outline calls it only for the numbers that can come near the limit
/// (hundreds of integer digits, a positive exponent beyond 308).
bool number_fits(const unsigned char* p, const unsigned char* end) {
  const auto digit = [&] { return p < end && is_digit(*p); };
  const auto peek = [&] { return p < end ? *p : 0; };
  const bool minus = peek() == '-';
  if (minus) ++p;
  unsigned i = 0;
  std::uint64_t i64 = 0;
  bool use64bit = false;
  int significant = 0;
  if (peek() == '0') {
    ++p;
  } else if (digit()) {
    i = static_cast<unsigned>(*p++ - '0');
    const unsigned limit = minus ? 214748364u : 429496729u;
    const unsigned char last = minus ? '8' : '5';
    while (digit()) {
      if (i >= limit && (i != limit || *p > last)) {
        i64 = i;
        use64bit = true;
        break;
      }
      i = i * 10 + static_cast<unsigned>(*p++ - '0');
      ++significant;
    }
  } else {
    p += nan_or_inf_size(p, end);
  }
  double d = 0;
  bool use_double = false;
  if (use64bit) {
    const std::uint64_t limit = minus ? 0x0CCCCCCCCCCCCCCCull : 0x1999999999999999ull;
    const unsigned char last = minus ? '8' : '5';
    while (digit()) {
      if (i64 >= limit && (i64 != limit || *p > last)) {
        d = static_cast<double>(i64);
        use_double = true;
        break;
      }
      i64 = i64 * 10 + static_cast<unsigned>(*p++ - '0');
      ++significant;
    }
  }
  if (use_double) {
    while (digit()) {
      if (d >= 1.7976931348623157e307) return false;
      d = d * 10 + (*p++ - '0');
    }
  }
  int exp_frac = 0;
  if (peek() == '.') {
    ++p;
    if (!use_double) {
      if (!use64bit) i64 = i;
      while (digit()) {
        if (i64 > 0x1FFFFFFFFFFFFFull) break;
        i64 = i64 * 10 + static_cast<unsigned>(*p++ - '0');
        --exp_frac;
        if (i64 != 0) ++significant;
      }
      d = static_cast<double>(i64);
      use_double = true;
    }
    while (digit()) {
      if (significant < 17) {
        d = d * 10.0 + (*p++ - '0');
        --exp_frac;
        if (d > 0.0) ++significant;
      } else {
        ++p;
      }
    }
  }
  if (peek() == 'e' || peek() == 'E') {
    ++p;
    if (peek() == '-') return true;  // a negative exponent is never too large
    if (peek() == '+') ++p;
    int exp = *p++ - '0';
    const int max_exp = 308 - exp_frac;
    while (digit()) {
      exp = exp * 10 + (*p++ - '0');
      if (exp > max_exp) return false;
    }
  }
  return true;
}

class Outliner {
 public:
  Outliner(std::string_view text, const JsonOutlineRequest& request, JsonOutline& out)
      : s_(reinterpret_cast<const unsigned char*>(text.data())),
        n_(text.size()),
        classes_(s_, n_),
        request_(request),
        out_(out) {}

  std::optional<std::size_t> run() {
    out_.members.assign(request_.members.size(), std::nullopt);
    out_.elements.clear();
    skip_space();
    if (p_ < n_) out_.root = static_cast<char>(s_[p_]);
    for (;;) {
    value:
      skip_space();
      if (p_ >= n_) return p_;
      if (depth_ == 1) value_begin_ = p_;
      else if (depth_ == 2 && in_list_) element_begin_ = p_;
      switch (s_[p_]) {
        case '{':
          if (depth_ == kMaxNesting) return p_;
          closer_[depth_++] = '}';
          ++p_;
          skip_space();
          if (p_ < n_ && s_[p_] == '}') {
            ++p_;
            close();
            goto after_value;
          }
          goto key;
        case '[':
          if (depth_ == kMaxNesting) return p_;
          if (depth_ == 1 && member_ != SIZE_MAX && member_ == request_.list) {
            in_list_ = true;
            if (request_.on_list) request_.on_list(p_);
          }
          closer_[depth_++] = ']';
          ++p_;
          skip_space();
          if (p_ < n_ && s_[p_] == ']') {
            ++p_;
            close();
            goto after_value;
          }
          goto value;
        case '"':
          if (!string()) return p_;
          goto after_value;
        case 't':
          if (!literal("true")) return p_;
          goto after_value;
        case 'f':
          if (!literal("false")) return p_;
          goto after_value;
        case 'n':
          if (!literal("null")) return p_;
          goto after_value;
        default:
          if (!number()) return p_;
          goto after_value;
      }
    after_value:
      if (depth_ == 0) {
        skip_space();
        // The reader ends its input at a NUL byte, as at the end of the text.
        if (p_ < n_ && s_[p_] != 0) return p_;
        return std::nullopt;
      }
      if (depth_ == 1) {
        if (member_ < out_.members.size()) {
          out_.members[member_] = JsonSpan{value_begin_, p_};
          if (request_.on_member) request_.on_member(member_, *out_.members[member_]);
        }
        member_ = SIZE_MAX;
      } else if (depth_ == 2 && in_list_) {
        out_.elements.push_back({element_begin_, p_});
        if (request_.on_element) request_.on_element(out_.elements.back());
      }
      skip_space();
      if (p_ >= n_) return p_;
      if (s_[p_] == ',') {
        ++p_;
        if (closer_[depth_ - 1] == '}') goto key;
        goto value;
      }
      if (s_[p_] != closer_[depth_ - 1]) return p_;
      ++p_;
      close();
      goto after_value;
    key:
      skip_space();
      if (p_ >= n_ || s_[p_] != '"') return p_;
      {
        const std::size_t begin = p_;
        if (!string()) return p_;
        if (depth_ == 1) name_member(begin, p_);
      }
      skip_space();
      if (p_ >= n_ || s_[p_] != ':') return p_;
      ++p_;
      goto value;
    }
  }

 private:
  void skip_space() {
    while (p_ < n_ && is_space(s_[p_])) ++p_;
  }

  void close() {
    --depth_;
    if (depth_ == 1) in_list_ = false;
  }

  bool literal(std::string_view word) {
    if (n_ - p_ < word.size() || std::memcmp(s_ + p_, word.data(), word.size()) != 0) return false;
    p_ += word.size();
    return true;
  }

  /// A string at p_ (its quote): moves p_ past its closing quote, or to the fault.
  [[gnu::always_inline]] bool string() {
    std::size_t p = p_ + 1;
    escaped_ = false;
    for (;;) {
      p = classes_.string_stop(p);
      if (p >= n_) break;
      const unsigned char c = s_[p];
      if (c == '"') {
        p_ = p + 1;
        return true;
      }
      if (c == '\\') {
        escaped_ = true;
        const std::size_t next = escape(p);
        if (next == 0) break;
        p = next;
        continue;
      }
      if (c < 0x20) break;
      const std::size_t len = utf8_sequence(s_, n_, p);
      if (len == 0) break;
      p += len;
    }
    p_ = p;
    return false;
  }

  /// The escape at `p` (its backslash): the offset after it, or 0 when it is
  /// not one, or decodes to text that is not UTF-8 (a surrogate alone).
  std::size_t escape(std::size_t p) const {
    if (n_ - p < 2) return 0;
    switch (s_[p + 1]) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't': return p + 2;
      case 'u': break;
      default: return 0;
    }
    const long cp = hex4(s_, n_, p + 2);
    if (cp < 0) return 0;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return 0;
    if (cp < 0xD800 || cp > 0xDBFF) return p + 6;
    if (n_ - p < 8 || s_[p + 6] != '\\' || s_[p + 7] != 'u') return 0;
    const long low = hex4(s_, n_, p + 8);
    if (low < 0xDC00 || low > 0xDFFF) return 0;
    return p + 12;
  }

  [[gnu::always_inline]] bool number() {
    std::size_t p = p_;
    const auto digit = [&] { return p < n_ && is_digit(s_[p]); };
    if (s_[p] == '-') ++p;
    const std::size_t int_begin = p;
    bool check_range = false;
    if (p < n_ && s_[p] == '0') {
      ++p;
    } else if (digit()) {
      p = classes_.digits_end(p);
      check_range = p - int_begin >= 300;
    } else if (p < n_ && (s_[p] == 'N' || s_[p] == 'I')) {
      const std::size_t word = nan_or_inf_size(s_ + p, s_ + n_);
      if (word == 0) return fail_at(p);
      p += word;
    } else {
      return fail_at(p);
    }
    if (p < n_ && s_[p] == '.') {
      ++p;
      if (!digit()) return fail_at(p);
      p = classes_.digits_end(p);
    }
    if (p < n_ && (s_[p] == 'e' || s_[p] == 'E')) {
      ++p;
      bool negative = false;
      if (p < n_ && (s_[p] == '+' || s_[p] == '-')) negative = s_[p++] == '-';
      if (!digit()) return fail_at(p);
      long exp = 0;
      while (digit()) {
        if (exp < 100000) exp = exp * 10 + (s_[p] - '0');
        ++p;
      }
      if (!negative && exp > 308) check_range = true;
    }
    if (check_range && !number_fits(s_ + p_, s_ + p)) return false;
    p_ = p;
    return true;
  }

  bool fail_at(std::size_t p) {
    p_ = p;
    return false;
  }

  /// The root member whose name lies in [begin, end) (quotes included).
  void name_member(std::size_t begin, std::size_t end) {
    std::string_view name(reinterpret_cast<const char*>(s_) + begin + 1, end - begin - 2);
    if (escaped_) {
      JsonCursor cursor(std::string_view(reinterpret_cast<const char*>(s_) + begin, end - begin), begin);
      decoded_ = cursor.string();
      name = decoded_;
    }
    member_ = SIZE_MAX;
    for (std::size_t i = 0; i < request_.members.size(); ++i)
      if (request_.members[i] == name) member_ = i;
    if (member_ != SIZE_MAX && member_ == request_.list) out_.elements.clear();
  }

  const unsigned char* s_;
  std::size_t n_;
  ByteClasses classes_;
  const JsonOutlineRequest& request_;
  JsonOutline& out_;
  std::size_t p_ = 0;
  int depth_ = 0;
  char closer_[kMaxNesting];
  bool escaped_ = false;       // the last string held an escape
  bool in_list_ = false;       // inside the list whose elements are recorded
  std::size_t member_ = SIZE_MAX;
  std::size_t value_begin_ = 0, element_begin_ = 0;
  std::string decoded_;
};

}  // namespace

std::optional<std::size_t> json_outline(std::string_view text, const JsonOutlineRequest& request,
                                        JsonOutline& out) {
  return Outliner(text, request, out).run();
}

// ---- JsonCursor -------------------------------------------------------------

std::size_t JsonCursor::find_quote_or_backslash(std::string_view text, std::size_t p) {
  const char* s = text.data();
  const std::size_t n = text.size();
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  while (p + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + p));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
    if (mask != 0) return p + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    p += 16;
  }
#endif
  while (p < n && s[p] != '"' && s[p] != '\\') ++p;
  return p;
}

void JsonCursor::fault() const {
  const std::size_t at = offset_ + p_;
  throw JsonParseError("invalid JSON at byte " + std::to_string(at), at);
}

std::size_t JsonCursor::string_end(std::size_t from) {
  for (std::size_t p = from + 1; p < text_.size(); ++p) {
    if (text_[p] == '\\') ++p;
    else if (text_[p] == '"') return p + 1;
  }
  p_ = text_.size();
  fault();
}

std::string_view JsonCursor::escaped_string(std::size_t begin) {
  const std::size_t end = string_end(begin - 1) - 1;  // the closing quote
  scratch_.clear();
  const auto hex = [&](std::size_t at) {
    return hex4(reinterpret_cast<const unsigned char*>(text_.data()), end, at);
  };
  std::size_t p = begin;
  while (p < end) {
    const char c = text_[p];
    if (c != '\\') {
      scratch_ += c;
      ++p;
      continue;
    }
    if (p + 1 >= end) break;
    const char e = text_[p + 1];
    p += 2;
    switch (e) {
      case 'b': scratch_ += '\b'; continue;
      case 'f': scratch_ += '\f'; continue;
      case 'n': scratch_ += '\n'; continue;
      case 'r': scratch_ += '\r'; continue;
      case 't': scratch_ += '\t'; continue;
      case 'u': break;
      default: scratch_ += e; continue;  // '"', '\\', '/'
    }
    long cp = hex(p);
    if (cp < 0) break;
    p += 4;
    if (cp >= 0xD800 && cp <= 0xDBFF && end - p >= 6 && text_[p] == '\\' && text_[p + 1] == 'u') {
      const long low = hex(p + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        p += 6;
      }
    }
    utf8_append(scratch_, static_cast<char32_t>(cp));
  }
  if (p < end) {
    p_ = p;
    fault();
  }
  p_ = end + 1;
  return scratch_;
}

std::string_view JsonCursor::skip() {
  const Kind kind = peek();
  const std::size_t begin = p_;
  switch (kind) {
    case Kind::String: p_ = string_end(p_); break;
    case Kind::Number: number(); break;
    case Kind::True:
    case Kind::Null: p_ = std::min(text_.size(), p_ + 4); break;
    case Kind::False: p_ = std::min(text_.size(), p_ + 5); break;
    case Kind::List:
    case Kind::Map: {
      std::size_t depth = 0;
      do {
        const char c = text_[p_];
        if (c == '"') {
          p_ = string_end(p_);
          continue;
        }
        if (c == '{' || c == '[') ++depth;
        else if (c == '}' || c == ']') --depth;
        ++p_;
      } while (depth > 0 && p_ < text_.size());
      if (depth > 0) fault();
      break;
    }
  }
  return text_.substr(begin, p_ - begin);
}

}  // namespace kemora::common
