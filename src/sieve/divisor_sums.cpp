#include "sieve/divisor_sums.hpp"

#include <algorithm>

namespace friendly {

void sieve_divisor_sums(std::int64_t first, std::int64_t count, std::uint64_t* sums) noexcept {
  const std::int64_t last = first + count - 1;
  std::fill(sums, sums + count, 0);
  for (std::int64_t d = 1; d * d <= last; ++d) {
    // The first multiple of d at or after max(first, d * d), by its co-divisor q >= d; the
    // quotient in 32 bits, as first + d - 1 < 2^32.
    const auto divisor = static_cast<std::uint32_t>(d);
    std::int64_t q = std::max<std::int64_t>(d, static_cast<std::uint32_t>(first + d - 1) / divisor);
    std::int64_t at = q * d - first;
    if (q == d) {
      sums[at] += static_cast<std::uint64_t>(d);
      ++q;
      at += d;
    }
    for (auto pair = static_cast<std::uint64_t>(d + q); at < count; at += d, ++pair)
      sums[at] += pair;
  }
}

}  // namespace friendly
