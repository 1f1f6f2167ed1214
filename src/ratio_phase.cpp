#include "ratio_phase.hpp"

#include <cmath>

#include "work_share.hpp"

namespace friendly {

namespace {

// Largest r with r * r <= n, for n >= 0.
std::int32_t integer_sqrt(std::int32_t n) noexcept {
  auto r = static_cast<std::int32_t>(std::sqrt(static_cast<double>(n)));
  while (std::int64_t{r} * r > n)
    --r;
  while (std::int64_t{r + 1} * (r + 1) <= n)
    ++r;
  return r;
}

}  // namespace

std::int64_t divisor_sum_literal(std::int32_t n) noexcept {
  std::int64_t sum = std::int64_t{n} + 1;
  if (n > 2) {
    std::int32_t limit = n;
    for (std::int32_t factor = 2; factor < limit; ++factor) {
      if (n % factor == 0) {
        limit = n / factor;
        sum += std::int64_t{factor} + limit;
        if (limit == factor) sum -= factor;
      }
    }
  }
  return sum;
}

std::int64_t divisor_sum(std::int32_t n, KernelPath path) noexcept {
  std::int64_t sum = std::int64_t{n} + 1;
  if (n <= 2) return sum;
  const std::int32_t root = integer_sqrt(n);
  std::int32_t limit = n;
  std::int32_t factor = 2;
  // The literal loop, skipping from one divisor to the next: each kernel call tests every
  // candidate of its stretch and returns the first divisor, where the limit shrinks exactly as
  // in the literal loop. Candidates above the root can be stepped (see kernels.hpp).
  while (factor < limit) {
    const bool below_root = factor <= root;
    const std::int32_t end = below_root && root + 1 < limit ? root + 1 : limit;
    factor = below_root ? next_divisor_dividing(path, n, factor, end)
                        : next_divisor_stepping(path, n, factor, end);
    if (factor == end) continue;
    limit = n / factor;
    sum += std::int64_t{factor} + limit;
    if (limit == factor) sum -= factor;
    ++factor;
  }
  return sum;
}

std::int64_t divisor_sum(std::int32_t n) noexcept {
  return divisor_sum(n, fastest_path());
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

template <typename Ratio>
void ratio_phase(std::int32_t low, std::int64_t length, std::int32_t* values, Ratio* numerators,
                 Ratio* denominators, KernelPath path, int share, int shares) noexcept {
  // Per-number cost is uneven, so chunks are handed out on demand. A share's chunks of
  // kRatioChunk local numbers are whole chunks of the range, so the chunks stay consecutive
  // numbers. The loop's implicit barrier keeps every ratio stored before any thread goes on.
  const std::int64_t own = share_length(length, kRatioChunk, share, shares);
#pragma omp for schedule(dynamic, kRatioChunk)
  for (std::int64_t m = 0; m < own; ++m) {
    const std::int64_t k = share_item(m, kRatioChunk, share, shares);
    const auto n = static_cast<std::int32_t>(low + k);
    values[k] = n;
    const std::int64_t sum = kLiteralKernels ? divisor_sum_literal(n) : divisor_sum(n, path);
    store_ratio(n, sum, numerators[k], denominators[k]);
  }
}

template void ratio_phase<std::int32_t>(std::int32_t, std::int64_t, std::int32_t*, std::int32_t*,
                                        std::int32_t*, KernelPath, int, int) noexcept;
template void ratio_phase<std::int64_t>(std::int32_t, std::int64_t, std::int32_t*, std::int64_t*,
                                        std::int64_t*, KernelPath, int, int) noexcept;

}  // namespace friendly
