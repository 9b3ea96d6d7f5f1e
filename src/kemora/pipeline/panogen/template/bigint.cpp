// Integers of any size: schoolbook arithmetic on 32-bit limbs, long
// division after Knuth (TAOCP vol. 2, 4.3.1, algorithm D).
#include "kemora/pipeline/panogen/template/bigint.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kemora::pipeline::panogen::tmpl {

void BigInt::trim(Mag& m) {
  while (!m.empty() && m.back() == 0) m.pop_back();
}

BigInt BigInt::make(bool neg, Mag mag) {
  trim(mag);
  BigInt r;
  r.neg_ = neg && !mag.empty();
  r.mag_ = std::move(mag);
  return r;
}

BigInt::BigInt(std::int64_t v) {
  neg_ = v < 0;
  std::uint64_t m = neg_ ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  while (m) {
    mag_.push_back(static_cast<std::uint32_t>(m));
    m >>= 32;
  }
}

std::optional<BigInt> BigInt::parse(std::string_view digits, int base) {
  if (digits.empty() || base < 2 || base > 36) return std::nullopt;
  Mag m;
  for (char c : digits) {
    int d = c >= '0' && c <= '9' ? c - '0'
            : c >= 'a' && c <= 'z' ? c - 'a' + 10
            : c >= 'A' && c <= 'Z' ? c - 'A' + 10
                                   : 99;
    if (d >= base) return std::nullopt;
    std::uint64_t carry = static_cast<std::uint64_t>(d);
    for (auto& limb : m) {
      std::uint64_t t = static_cast<std::uint64_t>(limb) * static_cast<std::uint64_t>(base) + carry;
      limb = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    if (carry) m.push_back(static_cast<std::uint32_t>(carry));
  }
  return make(false, std::move(m));
}

BigInt BigInt::from_double(double integral) {
  int exp = 0;
  double frac = std::frexp(std::fabs(integral), &exp);  // |x| = frac * 2**exp, frac in [0.5, 1)
  if (frac == 0.0) return BigInt();
  // 53 bits of mantissa as an integer, then shifted into place.
  auto mant = static_cast<std::int64_t>(std::ldexp(frac, 53));
  BigInt r(mant);
  if (exp >= 53) {
    r = r.shifted_left(static_cast<std::size_t>(exp - 53));
  } else {
    std::uint64_t m = static_cast<std::uint64_t>(mant) >> (53 - exp);
    r = BigInt(static_cast<std::int64_t>(m));
  }
  return integral < 0 ? -r : r;
}

std::optional<std::int64_t> BigInt::to_int64() const {
  if (mag_.size() > 2) return std::nullopt;
  std::uint64_t m = 0;
  for (std::size_t i = mag_.size(); i-- > 0;) m = (m << 32) | mag_[i];
  if (neg_) {
    if (m > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) return std::nullopt;
    return static_cast<std::int64_t>(0 - m);
  }
  if (m > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  return static_cast<std::int64_t>(m);
}

std::size_t BigInt::bit_length() const {
  if (mag_.empty()) return 0;
  return 32 * (mag_.size() - 1) + (32 - static_cast<std::size_t>(__builtin_clz(mag_.back())));
}

std::string BigInt::to_string() const {
  if (mag_.empty()) return "0";
  Mag m = mag_;
  std::string digits;
  while (!m.empty()) {
    // Divide by 10**9 and write the remainder's nine digits.
    std::uint64_t rem = 0;
    for (std::size_t i = m.size(); i-- > 0;) {
      std::uint64_t cur = (rem << 32) | m[i];
      m[i] = static_cast<std::uint32_t>(cur / 1000000000u);
      rem = cur % 1000000000u;
    }
    trim(m);
    for (int k = 0; k < 9; ++k) {
      digits += static_cast<char>('0' + rem % 10);
      rem /= 10;
      if (m.empty() && rem == 0) break;
    }
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (neg_) digits += '-';
  std::reverse(digits.begin(), digits.end());
  return digits;
}

std::optional<double> BigInt::to_double() const {
  std::size_t bits = bit_length();
  if (bits <= 64) {
    std::uint64_t m = 0;
    for (std::size_t i = mag_.size(); i-- > 0;) m = (m << 32) | mag_[i];
    double d = static_cast<double>(m);  // rounds to nearest, ties to even
    return neg_ ? -d : d;
  }
  if (bits > 1024) return std::nullopt;
  // The top 64 bits, with every bit below them folded into the lowest one so
  // that a tie is only a tie when the rest is zero.
  std::size_t shift = bits - 64;
  std::uint64_t top = 0;
  for (int k = 63; k >= 0; --k) {
    std::size_t bit = shift + static_cast<std::size_t>(k);
    top = (top << 1) | ((mag_[bit / 32] >> (bit % 32)) & 1u);
  }
  bool sticky = false;
  for (std::size_t bit = 0; bit < shift && !sticky; ++bit) sticky = (mag_[bit / 32] >> (bit % 32)) & 1u;
  if (sticky) top |= 1;
  double d = std::ldexp(static_cast<double>(top), static_cast<int>(shift));
  if (std::isinf(d)) return std::nullopt;
  return neg_ ? -d : d;
}

BigInt BigInt::operator-() const {
  BigInt r = *this;
  if (!r.mag_.empty()) r.neg_ = !r.neg_;
  return r;
}

BigInt BigInt::abs() const {
  BigInt r = *this;
  r.neg_ = false;
  return r;
}

int BigInt::cmp_mag(const Mag& a, const Mag& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

BigInt::Mag BigInt::add_mag(const Mag& a, const Mag& b) {
  const Mag& l = a.size() >= b.size() ? a : b;
  const Mag& s = a.size() >= b.size() ? b : a;
  Mag r(l.size() + 1, 0);
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < l.size(); ++i) {
    std::uint64_t t = static_cast<std::uint64_t>(l[i]) + (i < s.size() ? s[i] : 0) + carry;
    r[i] = static_cast<std::uint32_t>(t);
    carry = t >> 32;
  }
  r[l.size()] = static_cast<std::uint32_t>(carry);
  trim(r);
  return r;
}

BigInt::Mag BigInt::sub_mag(const Mag& a, const Mag& b) {
  Mag r(a.size(), 0);
  std::int64_t borrow = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::int64_t t = static_cast<std::int64_t>(a[i]) - (i < b.size() ? b[i] : 0) - borrow;
    borrow = t < 0;
    if (t < 0) t += std::int64_t{1} << 32;
    r[i] = static_cast<std::uint32_t>(t);
  }
  trim(r);
  return r;
}

BigInt::Mag BigInt::mul_mag(const Mag& a, const Mag& b) {
  if (a.empty() || b.empty()) return {};
  Mag r(a.size() + b.size(), 0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::uint64_t carry = 0;
    for (std::size_t j = 0; j < b.size(); ++j) {
      std::uint64_t t = static_cast<std::uint64_t>(a[i]) * b[j] + r[i + j] + carry;
      r[i + j] = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    r[i + b.size()] = static_cast<std::uint32_t>(carry);
  }
  trim(r);
  return r;
}

void BigInt::divmod_mag(const Mag& a, const Mag& b, Mag& q, Mag& r) {
  if (cmp_mag(a, b) < 0) {
    q.clear();
    r = a;
    return;
  }
  if (b.size() == 1) {
    q.assign(a.size(), 0);
    std::uint64_t rem = 0;
    for (std::size_t i = a.size(); i-- > 0;) {
      std::uint64_t cur = (rem << 32) | a[i];
      q[i] = static_cast<std::uint32_t>(cur / b[0]);
      rem = cur % b[0];
    }
    trim(q);
    r.clear();
    if (rem) r.push_back(static_cast<std::uint32_t>(rem));
    return;
  }
  // Normalize so that the divisor's top limb has its high bit set.
  const int s = __builtin_clz(b.back());
  const std::size_t n = b.size(), m = a.size() - b.size();
  Mag v(n), u(a.size() + 1);
  for (std::size_t i = n; i-- > 0;)
    v[i] = (b[i] << s) | (s && i > 0 ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(b[i - 1]) >> (32 - s)) : 0);
  u[a.size()] = s ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(a.back()) >> (32 - s)) : 0;
  for (std::size_t i = a.size(); i-- > 0;)
    u[i] = (a[i] << s) | (s && i > 0 ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(a[i - 1]) >> (32 - s)) : 0);
  q.assign(m + 1, 0);
  constexpr std::uint64_t kBase = std::uint64_t{1} << 32;
  for (std::size_t j = m + 1; j-- > 0;) {
    std::uint64_t num = (static_cast<std::uint64_t>(u[j + n]) << 32) | u[j + n - 1];
    std::uint64_t qhat = num / v[n - 1];
    std::uint64_t rhat = num % v[n - 1];
    while (qhat >= kBase || qhat * v[n - 2] > ((rhat << 32) | u[j + n - 2])) {
      --qhat;
      rhat += v[n - 1];
      if (rhat >= kBase) break;
    }
    // u[j..j+n] -= qhat * v
    std::int64_t borrow = 0;
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint64_t p = qhat * v[i] + carry;
      carry = p >> 32;
      std::int64_t t = static_cast<std::int64_t>(u[i + j]) - borrow - static_cast<std::int64_t>(p & 0xFFFFFFFFu);
      borrow = t < 0;
      u[i + j] = static_cast<std::uint32_t>(t < 0 ? t + static_cast<std::int64_t>(kBase) : t);
    }
    std::int64_t t = static_cast<std::int64_t>(u[j + n]) - borrow - static_cast<std::int64_t>(carry);
    u[j + n] = static_cast<std::uint32_t>(t < 0 ? t + static_cast<std::int64_t>(kBase) : t);
    if (t < 0) {  // qhat was one too large: add v back
      --qhat;
      std::uint64_t c = 0;
      for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t sum = static_cast<std::uint64_t>(u[i + j]) + v[i] + c;
        u[i + j] = static_cast<std::uint32_t>(sum);
        c = sum >> 32;
      }
      u[j + n] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(u[j + n]) + c);
    }
    q[j] = static_cast<std::uint32_t>(qhat);
  }
  trim(q);
  r.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i)
    r[i] = (u[i] >> s) | (s ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(u[i + 1]) << (32 - s)) : 0);
  trim(r);
}

BigInt operator+(const BigInt& a, const BigInt& b) {
  if (a.neg_ == b.neg_) return BigInt::make(a.neg_, BigInt::add_mag(a.mag_, b.mag_));
  int c = BigInt::cmp_mag(a.mag_, b.mag_);
  if (c == 0) return BigInt();
  if (c > 0) return BigInt::make(a.neg_, BigInt::sub_mag(a.mag_, b.mag_));
  return BigInt::make(b.neg_, BigInt::sub_mag(b.mag_, a.mag_));
}

BigInt operator-(const BigInt& a, const BigInt& b) { return a + (-b); }

BigInt operator*(const BigInt& a, const BigInt& b) {
  return BigInt::make(a.neg_ != b.neg_, BigInt::mul_mag(a.mag_, b.mag_));
}

void BigInt::divmod(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder) {
  Mag q, r;
  divmod_mag(a.mag_, b.mag_, q, r);
  BigInt qi = make(a.neg_ != b.neg_, std::move(q));
  BigInt ri = make(a.neg_, std::move(r));
  // Truncated division to floor division: when the signs differ and there is
  // a remainder, step the quotient down and move the remainder to b's side.
  if (!ri.is_zero() && ri.neg_ != b.neg_) {
    qi = qi - BigInt(1);
    ri = ri + b;
  }
  quotient = std::move(qi);
  remainder = std::move(ri);
}

BigInt BigInt::shifted_left(std::size_t bits) const {
  if (mag_.empty()) return *this;
  Mag r(bits / 32, 0);
  const unsigned s = bits % 32;
  std::uint32_t carry = 0;
  for (std::uint32_t limb : mag_) {
    r.push_back(s ? (limb << s) | carry : limb);
    carry = s ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(limb) >> (32 - s)) : 0;
  }
  if (carry) r.push_back(carry);
  return make(neg_, std::move(r));
}

int compare(const BigInt& a, const BigInt& b) {
  if (a.neg_ != b.neg_) return a.neg_ ? -1 : 1;
  int c = BigInt::cmp_mag(a.mag_, b.mag_);
  return a.neg_ ? -c : c;
}

int compare_int_real(const BigInt& i, double d) {
  if (std::isnan(d)) return 2;
  if (std::isinf(d)) return d > 0 ? -1 : 1;
  double f = std::floor(d);
  int c = compare(i, BigInt::from_double(f));
  if (c != 0) return c;
  return f == d ? 0 : -1;  // i == floor(d) < d
}

}  // namespace kemora::pipeline::panogen::tmpl
