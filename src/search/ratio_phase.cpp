// The literal trial division of one number, the loop that the literal path runs.
#include "search/ratio_phase.hpp"

namespace friendly {

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

}  // namespace friendly
