// Ratio phase: every number's divisor sum by trial division, reduced over the number by gcd.
#pragma once

#include <omp.h>

#include <cstdint>

#include "paths/kernels.hpp"
#include "paths/tuning.hpp"
#include "search/progress.hpp"
#include "search/work_share.hpp"
#include "support/contract.hpp"
#include "support/integer_root.hpp"

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

// Candidate tests that the literal trial division of n makes, from the limit it ended with:
// candidates 2 to limit - 1, and limit itself when it is the square root of n.
constexpr std::int64_t tests_below_limit(std::int32_t n, std::int32_t limit) noexcept {
  if (n <= 2) return 0;
  return std::int64_t{limit} - 2 + (std::int64_t{limit} * limit == n ? 1 : 0);
}

// Divisor sum of n by trial division, written literally: n + 1, plus f + n / f for every
// candidate f = 2, 3, ... below the shrinking limit n / (last divisor found) that divides n,
// a square root counted once. For n <= 2 no candidate is tried. Exact for every 32-bit n.
// tests receives the number of candidates tested.
std::int64_t divisor_sum_literal(std::int32_t n, std::int64_t& tests) noexcept;

// Divisor sum of n with the same definition and the same set of candidate tests as
// divisor_sum_literal, on Path's kernels: the candidates up to the square root in one pass of
// divisions (divisors_dividing), where the limit only shrinks to the cofactor of the largest
// divisor found, then each candidate above it by stepping the previous remainder with stepping
// (stepping_kernel<Path>). Path must be available; tests as divisor_sum_literal's.
template <KernelPath Path>
std::int64_t divisor_sum_by_kernels(std::int32_t n, std::int64_t& tests,
                                    StepKernel stepping) noexcept {
  std::int64_t sum = std::int64_t{n} + 1;
  tests = 0;
  if (n <= 2) return sum;
  // Each limit of the literal loop is the cofactor of a divisor below the root, at least the
  // root, so every candidate up to the root is tested, and the limit after them is the cofactor
  // of the largest. Above the root the loop goes on from one divisor to the next, each kernel
  // call testing every candidate of its stretch (see kernels.hpp); a divisor there would be the
  // cofactor of a larger divisor below the root, so the first call ends at the limit.
  const std::int32_t root = integer_root(n);
  std::int32_t limit = root >= 2 ? divisors_dividing<Path>(n, 2, root + 1, sum) : n;
  std::int32_t factor = root + 1;
  while (factor < limit) {
    factor = stepping(n, factor, limit);
    if (factor == limit) break;
    limit = n / factor;
    sum += std::int64_t{factor} + limit;
    if (limit == factor) sum -= factor;
    ++factor;
  }
  tests = tests_below_limit(n, limit);
  return sum;
}

// The divisor sum of n on Path: the literal loop itself on the literal path, the kernels on the
// others, stepping with stepping.
template <KernelPath Path>
std::int64_t divisor_sum(std::int32_t n, std::int64_t& tests, StepKernel stepping) noexcept {
  if constexpr (Path == KernelPath::literal) {
    return divisor_sum_literal(n, tests);
  } else {
    return divisor_sum_by_kernels<Path>(n, tests, stepping);
  }
}

// The ratio phase of the numbers low + k, for every k of share `share` of `shares` in chunks of
// kRatioChunk (work_share.hpp): stores n at values[k] and its reduced ratio at numerators[k]
// and denominators[k], on Path's kernels. Every thread of the enclosing parallel region must
// call it: its loop hands the share's chunks out dynamically and ends with the loop's barrier.
// Ratio is int32_t or int64_t as needs_wide_ratios (friendly.hpp) decides. Thread 0 draws
// progress, when not null, between its chunks. Returns the candidate tests of the literal loop
// over the numbers that this thread stored. It steps under the chosen tuning (chosen_tuning()).
template <KernelPath Path, typename Ratio>
std::int64_t ratio_phase(std::int32_t low, std::int64_t length, std::int32_t* values,
                         Ratio* numerators, Ratio* denominators, int share, int shares,
                         ProgressMeter* progress = nullptr) noexcept {
  // Per-number cost is uneven, so chunks are handed out on demand. A share's chunks of
  // kRatioChunk local numbers are whole chunks of the range, so the chunks stay consecutive
  // numbers. The loop's implicit barrier keeps every ratio stored before any thread goes on.
  FRIENDLY_ASSERT(length <= std::int64_t{INT32_MAX} - low + 1);
  const std::int64_t own = share_length(length, kRatioChunk, share, shares);
  std::int64_t tests = 0;
  const StepKernel stepping = stepping_kernel<Path>(chosen_tuning());
  // Only thread 0 sees the meter.
  ProgressMeter* const meter = omp_get_thread_num() == 0 ? progress : nullptr;
  if (meter != nullptr) {
    begin_ratio_progress(*meter, low, length, omp_get_num_threads(), omp_get_wtime());
  }
#pragma omp for schedule(dynamic, kRatioChunk)
  for (std::int64_t m = 0; m < own; ++m) {
    const std::int64_t k = share_item(m, kRatioChunk, share, shares);
    if (meter != nullptr && m % kRatioChunk == 0) ratio_progress(*meter, low + k, tests);
    const auto n = static_cast<std::int32_t>(low + k);
    values[k] = n;
    std::int64_t number_tests = 0;
    const std::int64_t sum = divisor_sum<Path>(n, number_tests, stepping);
    tests += number_tests;
    store_ratio(n, sum, numerators[k], denominators[k]);
  }
  return tests;
}

}  // namespace friendly
