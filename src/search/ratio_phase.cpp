#include "search/ratio_phase.hpp"

#include <cmath>

namespace friendly {

std::int32_t integer_sqrt(std::int32_t n) noexcept {
  auto r = static_cast<std::int32_t>(std::sqrt(static_cast<double>(n)));
  while (std::int64_t{r} * r > n)
    --r;
  while (std::int64_t{r + 1} * (r + 1) <= n)
    ++r;
  return r;
}

std::int64_t divisor_sum_literal(std::int32_t n, std::int64_t& tests) noexcept {
  std::int64_t sum = std::int64_t{n} + 1;
  tests = 0;
  if (n > 2) {
    std::int32_t limit = n;
    std::int32_t factor = 2;
    for (; factor < limit; ++factor) {
      if (n % factor == 0) {
        limit = n / factor;
        sum += std::int64_t{factor} + limit;
        if (limit == factor) sum -= factor;
      }
    }
    tests = tests_below_limit(n, limit);
    // The loop ran once for each candidate from 2 to the one that ended it.
    if constexpr (kCountWork) count_work(factor - 2, 0, 0);
  }
  return sum;
}

std::int64_t divisor_sum_literal(std::int32_t n) noexcept {
  std::int64_t tests = 0;
  return divisor_sum_literal(n, tests);
}

std::int64_t divisor_sum(std::int32_t n, KernelPath path) noexcept {
  std::int64_t tests = 0;
  return on_path(path, [n, &tests](auto chosen) {
    constexpr KernelPath Path = chosen;
    return divisor_sum<Path>(n, tests);
  });
}

std::int64_t candidate_tests(std::int32_t n) noexcept {
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
