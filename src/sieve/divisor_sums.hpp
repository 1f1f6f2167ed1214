// Divisor sums of consecutive positive numbers by a segmented sieve: every divisor pair d <= n / d
// of each number, found by stepping through the multiples of d.
#pragma once

#include <cstdint>

namespace friendly {

// The divisor sum of every number of first .. first + count - 1 (1 <= first, the last below
// 2^31) into sums[0, count): 1 sums to 1 here, its divisor counted once.
void sieve_divisor_sums(std::int64_t first, std::int64_t count, std::uint64_t* sums) noexcept;

}  // namespace friendly
