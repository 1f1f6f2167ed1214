// Ratio phase: every number's divisor sum by trial division, reduced over the number by gcd.
#pragma once

#include <cstdint>

#include "kernels.hpp"

namespace friendly {

// Numbers per chunk of the ratio phase's dynamic schedule.
inline constexpr int kRatioChunk = 16;

// Largest last bound for which every divisor sum of the range fits a 32-bit signed integer.
//
// Proof. For n >= 1, sigma(n) / n = sum over the divisors d of n of 1 / d. Divisors pair up as
// d and n / d with one of each pair at most sqrt(n), so n has at most 2 sqrt(n) divisors, and a
// sum of k reciprocals of distinct positive integers is at most H(k) <= 1 + ln k. Hence
//   sigma(n) <= n (1 + ln 2 + ln(n) / 2),
// a bound that increases with n. At n = 190,000,000 it is below 2,132,700,000 < 2^31 - 1
// (checked in the tests), and the starting sum n + 1 of every n <= 2 is far smaller still.
inline constexpr std::int32_t kNarrowHigh = 190'000'000;

// Greatest common divisor by Euclid's truncating-remainder method: a when b is 0, otherwise the
// last non-zero remainder, which may be negative (gcd(-4, -5) is -1). Defined for every pair.
template <typename Int>
constexpr Int gcd(Int a, Int b) noexcept {
  if (b == 0) return a;
  for (;;) {
    // a mod -1 is 0, so the answer is -1; testing first also avoids the overflow of MIN % -1.
    if (b == -1) return b;
    const Int r = a % b;
    if (r == 0) return b;
    a = b;
    b = r;
  }
}

// Stores sum / g and n / g with g = gcd(sum, n) computed in Ratio's width. Ratio must hold sum,
// n and the quotients: int32_t for n > INT32_MIN with sum < 2^31, int64_t for every 32-bit n.
template <typename Ratio>
constexpr void store_ratio(std::int32_t n, std::int64_t sum, Ratio& numerator,
                           Ratio& denominator) noexcept {
  numerator = static_cast<Ratio>(sum);
  denominator = static_cast<Ratio>(n);
  const Ratio g = gcd<Ratio>(numerator, denominator);
  numerator /= g;
  denominator /= g;
}

// Divisor sum of n by trial division, written literally: n + 1, plus f + n / f for every
// candidate f = 2, 3, ... below the shrinking limit n / (last divisor found) that divides n,
// a square root counted once. For n <= 2 no candidate is tried. Exact for every 32-bit n.
std::int64_t divisor_sum_literal(std::int32_t n) noexcept;

// Divisor sum of n with the same definition and the same set of candidate tests as
// divisor_sum_literal, on the given (available) path: each test up to the square root by a
// division, each above it by stepping the previous remainder. Equal to divisor_sum_literal.
std::int64_t divisor_sum(std::int32_t n, KernelPath path) noexcept;

// divisor_sum on the fastest path this processor runs.
std::int64_t divisor_sum(std::int32_t n) noexcept;

// Number of candidates that the trial division of n tests (computed from n's divisors).
std::int64_t candidate_tests(std::int32_t n) noexcept;

// The ratio phase of the numbers low + k, for every k of share `share` of `shares` in chunks of
// kRatioChunk (work_share.hpp): stores n at values[k] and its reduced ratio at numerators[k]
// and denominators[k]. Every thread of the enclosing parallel region must call it: its loop
// hands the share's chunks out dynamically and ends with the loop's barrier. Ratio is int32_t
// or int64_t as needs_wide_ratios (friendly.hpp) decides.
template <typename Ratio>
void ratio_phase(std::int32_t low, std::int64_t length, std::int32_t* values, Ratio* numerators,
                 Ratio* denominators, KernelPath path, int share, int shares) noexcept;

}  // namespace friendly
