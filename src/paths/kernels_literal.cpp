// Literal kernels: one division per candidate and one full comparison per pair, as the literal
// loops make them. The search on this path runs the literal loops themselves (ratio_phase.hpp,
// pair_phase.hpp); these kernels are the plain reference that the other paths' tests share.
#include <cstddef>
#include <cstdint>

#include "paths/kernels.hpp"
#include "support/contract.hpp"

namespace friendly {

namespace {

#include "paths/work_tally.inc"

// The first divisor of n in [from, to), or to: n % f for every candidate.
std::int32_t first_divisor(std::int32_t n, std::int32_t from, std::int32_t to) noexcept {
  FRIENDLY_ASSERT(2 <= from && from <= to);
  WorkTally tally;
  std::int32_t f = from;
  while (f < to && n % f != 0)
    ++f;
  tally.tests = std::int64_t{f} - from + (f < to ? 1 : 0);
  return f;
}

// divisors_dividing as the literal loop tests: n % f for every candidate, n / f for each divisor.
std::int32_t divisors_literal(std::int32_t n, std::int32_t from, std::int32_t to,
                              std::int64_t& sum) noexcept {
  FRIENDLY_ASSERT(2 <= from && from <= to && std::int64_t{to - 1} * (to - 1) <= n);
  WorkTally tally;
  tally.tests = to - from;
  std::int32_t limit = n;
  for (std::int32_t f = from; f < to; ++f) {
    if (n % f != 0) continue;
    limit = n / f;
    sum += std::int64_t{f} + limit;
    if (limit == f) sum -= f;
  }
  return limit;
}

// first_divisor, where stepping's precondition holds.
std::int32_t stepping_literal(std::int32_t n, std::int32_t from, std::int32_t to) noexcept {
  FRIENDLY_ASSERT(std::int64_t{from} * from >= n);
  return first_divisor(n, from, to);
}

// stepping_literal under every tuning: the literal loop has nothing to tune.
StepKernel any_tuning(std::size_t /*tuning*/) noexcept {
  return stepping_literal;
}

template <typename Ratio>
std::uint32_t matching_rows_literal(const Ratio* numerators, const Ratio* denominators,
                                    const std::int64_t* row_indices,
                                    const std::uint16_t* /*row_keys*/, std::int64_t rows,
                                    const std::uint16_t* /*keys*/, std::int64_t from,
                                    std::int64_t to) noexcept {
  FRIENDLY_ASSERT(0 <= rows && rows <= kMatchRows);
  WorkTally tally;
  std::uint32_t found = 0;
  for (std::int64_t r = 0; r < rows; ++r) {
    const std::int64_t i = row_indices[r];
    for (std::int64_t j = from > i + 1 ? from : i + 1; j < to; ++j) {
      ++tally.comparisons;
      if (numerators[i] == numerators[j] && denominators[i] == denominators[j]) found |= 1U << r;
    }
  }
  return found;
}

template <typename Ratio>
std::int64_t find_equal_literal(Ratio x, const Ratio* values, std::int64_t from,
                                std::int64_t to) noexcept {
  std::int64_t j = from;
  while (j < to && values[j] != x)
    ++j;
  return j;
}

}  // namespace

// The literal path's kernels.
FRIENDLY_PATH_KERNELS(KernelPath::literal, first_divisor, divisors_literal, any_tuning,
                      matching_rows_literal, find_equal_literal)

}  // namespace friendly
