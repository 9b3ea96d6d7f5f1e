#pragma once
#include <cstdint>
#include <string>

/// Number texts as the system prints and writes them.
namespace kemora::common {

/// Shortest text that reads back as `v`, as Python's repr writes a float:
/// "3.0", "0.1", "1e+16", "1e-05", "-0.0", "nan", "inf", "-inf".
std::string repr_double(double v);

/// Fixed-point text with `decimals` digits, correctly rounded from the exact
/// binary value, exact ties to the even digit ("%.1f" semantics): 0.25 -> "0.2".
std::string format_fixed(double v, int decimals);

/// The double nearest to `v` correctly rounded to `decimals` decimal places
/// (ties to even on the exact binary value), as Python's round(v, decimals):
/// round_decimal(75.44, 1) == 75.4, round_decimal(1250.0, -2) == 1200.0.
/// Non-finite values, zeros and `decimals` beyond 323 give `v`; `decimals`
/// below -308 gives a zero of the sign of `v`.
double round_decimal(double v, std::int64_t decimals);

}  // namespace kemora::common
