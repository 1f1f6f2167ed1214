// Search core: the ratio of every number's divisor sum to the number, in lowest terms, and the
// scan that reports every pair of numbers with equal ratios.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "kernels.hpp"

namespace friendly {

// The pair line and the time line, exactly as the program prints them.
inline constexpr const char* kPairFormat = "%d and %d are FRIENDLY \n";
inline constexpr const char* kTimeFormat = "Tempo total %lf seconds\n";

// Numbers per chunk of the ratio phase (dynamic schedule); the pair phase's blocks of kRowBlock
// rows (static schedule) are defined with the kernels that scan them.
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

// Divisor sum of n by trial division, written literally: n + 1, plus f + n / f for every
// candidate f = 2, 3, ... below the shrinking limit n / (last divisor found) that divides n,
// a square root counted once. For n <= 2 no candidate is tried. Exact for every 32-bit n.
std::int64_t divisor_sum_literal(std::int32_t n) noexcept;

// The instruction-set paths of the fast kernels: plain x86-64, or AVX2.
enum class KernelPath { portable, avx2 };

// The fastest path this processor runs.
KernelPath fastest_path() noexcept;

// True when this processor runs the path.
bool path_available(KernelPath path) noexcept;

// Divisor sum of n with the same definition and the same candidate tests, in the same order, as
// divisor_sum_literal, on the given (available) path: each test up to the square root by a
// division, each above it by stepping the previous remainder. Equal to divisor_sum_literal.
std::int64_t divisor_sum(std::int32_t n, KernelPath path) noexcept;

// divisor_sum on the fastest path this processor runs.
std::int64_t divisor_sum(std::int32_t n) noexcept;

// Number of candidates that the trial division of n tests.
std::int64_t candidate_tests(std::int32_t n) noexcept;

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

// Calls report(i, j) for every column j of row i (i < j < length) whose ratio equals row i's,
// in increasing j, comparing numerators first and denominators only when those are equal.
template <typename Ratio, typename Report>
void scan_row_literal(std::int64_t i, std::int64_t length, const Ratio* numerators,
                      const Ratio* denominators, Report&& report) {
  for (std::int64_t j = i + 1; j < length; ++j) {
    if (numerators[i] == numerators[j] && denominators[i] == denominators[j]) report(i, j);
  }
}

// matching_rows_portable or matching_rows_avx2, by path.
template <typename Ratio>
std::uint32_t matching_rows(KernelPath path, const Ratio* numerators, const Ratio* denominators,
                            std::int64_t first_row, std::int64_t rows, std::int64_t from,
                            std::int64_t to) noexcept {
  return path == KernelPath::avx2
             ? matching_rows_avx2(numerators, denominators, first_row, rows, from, to)
             : matching_rows_portable(numerators, denominators, first_row, rows, from, to);
}

// find_equal_portable or find_equal_avx2, by path.
template <typename Ratio>
std::int64_t find_equal(KernelPath path, Ratio x, const Ratio* values, std::int64_t from,
                        std::int64_t to) noexcept {
  return path == KernelPath::avx2 ? find_equal_avx2(x, values, from, to)
                                  : find_equal_portable(x, values, from, to);
}

// Calls report(i, j) for every pair of equal ratios with first_row <= i < first_row + kRowBlock,
// i < length and i < j < length, in the order of scan_row_literal over these rows, until report
// returns false; returns false if it did. A first pass compares the block's rows together
// against each column to find the rows with any match; only those rows are then scanned.
template <typename Ratio, typename Report>
bool scan_block(KernelPath path, std::int64_t first_row, std::int64_t length,
                const Ratio* numerators, const Ratio* denominators, Report&& report) {
  const std::int64_t rows = length - first_row < kRowBlock ? length - first_row : kRowBlock;
  const std::uint32_t with_match =
      matching_rows(path, numerators, denominators, first_row, rows, first_row + 1, length);
  for (std::int64_t r = 0; r < rows; ++r) {
    if ((with_match >> r & 1U) == 0) continue;
    const std::int64_t i = first_row + r;
    for (std::int64_t j = find_equal(path, numerators[i], numerators, i + 1, length); j < length;
         j = find_equal(path, numerators[i], numerators, j + 1, length)) {
      if (denominators[i] == denominators[j] && !report(i, j)) return false;
    }
  }
  return true;
}

// Number of integers from low to high inclusive (0 for high = low - 1).
constexpr std::int64_t range_length(std::int32_t low, std::int32_t high) noexcept {
  return std::int64_t{high} - std::int64_t{low} + 1;
}

// True when some number of the range needs 64-bit ratio elements: a divisor sum that may not
// fit 32 bits, or INT32_MIN, whose reduced denominator is 2^31.
constexpr bool needs_wide_ratios(std::int32_t low, std::int32_t high) noexcept {
  if (range_length(low, high) <= 0) return false;
  return high > kNarrowHigh || low == std::numeric_limits<std::int32_t>::min();
}

// Bytes that the three per-number arrays of the range take.
constexpr std::int64_t search_bytes(std::int32_t low, std::int32_t high) noexcept {
  const std::int64_t ratio_bytes = needs_wide_ratios(low, high) ? 8 : 4;
  return range_length(low, high) * (4 + 2 * ratio_bytes);
}

// Prints one pair line for every pair of numbers from low to high (high >= low - 1) with equal
// ratios, in one OpenMP parallel region of the runtime's default team size. Returns false,
// having searched and printed nothing, when the arrays cannot be allocated.
[[nodiscard]] bool FriendlyNumbers(std::int32_t low, std::int32_t high);

}  // namespace friendly
