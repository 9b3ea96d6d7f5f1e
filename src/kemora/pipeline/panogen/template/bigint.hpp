#pragma once
// Integers of any size, as the template language's integers are: exact sums,
// differences, products, floor quotients and remainders, comparisons, decimal
// text, and the correctly rounded real an integer stands nearest to.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kemora::pipeline::panogen::tmpl {

class BigInt {
 public:
  BigInt() = default;
  explicit BigInt(std::int64_t v);

  /// Digits of `base` (2..36, letters in either case), nothing else: no
  /// sign, blank or underscore. nullopt for an empty text or a bad digit.
  static std::optional<BigInt> parse(std::string_view digits, int base = 10);
  /// The integer a finite real with no fraction stands for, exactly.
  static BigInt from_double(double integral);

  bool negative() const { return neg_; }
  bool is_zero() const { return mag_.empty(); }
  /// The value when it fits 64 bits.
  std::optional<std::int64_t> to_int64() const;
  /// Bits of the magnitude (0 for zero), as Python's int.bit_length().
  std::size_t bit_length() const;
  /// Decimal text, with '-' for a negative value.
  std::string to_string() const;
  /// The nearest real, ties to even (as Python's float(int)); nullopt when
  /// the magnitude is beyond the largest real.
  std::optional<double> to_double() const;

  BigInt operator-() const;
  BigInt abs() const;
  friend BigInt operator+(const BigInt& a, const BigInt& b);
  friend BigInt operator-(const BigInt& a, const BigInt& b);
  friend BigInt operator*(const BigInt& a, const BigInt& b);
  /// Python's divmod: the quotient rounded towards minus infinity and the
  /// remainder with the sign of `b`. Requires b != 0.
  static void divmod(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder);
  /// a * 2**bits.
  BigInt shifted_left(std::size_t bits) const;
  /// -1, 0 or 1.
  friend int compare(const BigInt& a, const BigInt& b);
  friend bool operator==(const BigInt& a, const BigInt& b) { return compare(a, b) == 0; }

 private:
  using Mag = std::vector<std::uint32_t>;  // little-endian limbs, no leading zero limbs
  static int cmp_mag(const Mag& a, const Mag& b);
  static Mag add_mag(const Mag& a, const Mag& b);
  static Mag sub_mag(const Mag& a, const Mag& b);  // requires a >= b
  static Mag mul_mag(const Mag& a, const Mag& b);
  static void divmod_mag(const Mag& a, const Mag& b, Mag& q, Mag& r);
  static void trim(Mag& m);
  static BigInt make(bool neg, Mag mag);

  bool neg_ = false;
  Mag mag_;
};

/// The ordering of an integer and a real as Python gives it (exact, no
/// rounding of either): -1, 0, 1, or 2 when `d` is NaN.
int compare_int_real(const BigInt& i, double d);

}  // namespace kemora::pipeline::panogen::tmpl
