// Oracles of the tests and the benchmarks: the divisor sum of one number, on the literal loop, on
// a path chosen at run time or from its factorisation, and the candidate tests counted from the
// number's divisors.
#pragma once

#include <cstdint>

#include "paths/path_table.hpp"
#include "search/ratio_phase.hpp"

namespace friendly {

// The literal loop's divisor sum of n.
inline std::int64_t divisor_sum_literal(std::int32_t n) noexcept {
  std::int64_t tests = 0;
  return divisor_sum_literal(n, tests);
}

// The divisor sum of n on the given path, which must be available, under the chosen tuning.
inline std::int64_t divisor_sum(std::int32_t n, KernelPath path) noexcept {
  std::int64_t tests = 0;
  return on_path(path, [n, &tests](auto chosen) {
    constexpr KernelPath Path = chosen;
    return divisor_sum<Path>(n, tests, stepping_kernel<Path>(chosen_tuning()));
  });
}

// The divisor sum that the trial division of n must yield, from n's prime factorisation: the
// sum of n's positive divisors, but n + 1 for n <= 2 (1 counts its divisor twice, and numbers
// up to 2 never enter the trial division). Fast where the literal loop takes 2^31 divisions.
inline std::int64_t divisor_sum_by_factoring(std::int32_t number) noexcept {
  if (number <= 2) return std::int64_t{number} + 1;
  std::int64_t n = number;
  std::int64_t sigma = 1;
  for (std::int64_t p = 2; p * p <= n; ++p) {
    std::int64_t power_sum = 1;
    std::int64_t power = 1;
    while (n % p == 0) {
      n /= p;
      power *= p;
      power_sum += power;
    }
    sigma *= power_sum;
  }
  return n > 1 ? sigma * (n + 1) : sigma;
}

// Number of candidates that the trial division of n tests, computed from n's divisors.
inline std::int64_t candidate_tests(std::int32_t n) noexcept {
  if (n <= 2) return 0;
  // The last divisor found is the largest divisor d <= sqrt(n); candidates run to n / d - 1,
  // and to n / d itself when that is d (a perfect square).
  std::int64_t largest = 1;
  for (std::int64_t f = 2; f * f <= n; ++f) {
    if (n % f == 0) largest = f;
  }
  const std::int64_t limit = n / largest;
  return limit - 2 + (limit == largest ? 1 : 0);
}

}  // namespace friendly
