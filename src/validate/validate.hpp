// The independent checks of an answer: the same pairs found by another method, outside the timed
// run. For the search, divisor sums from a segmented sieve and equal ratios from a radix sort,
// which the search itself never does; for the sieve method, divisor sums from prime factors and
// equal ratios from a comparison sort, which that method never does.
#pragma once

#include <cstdint>

#include "search/output.hpp"

namespace friendly {

// Greatest common divisor of a divisor sum and its number n, 1 <= n < 2^31.
std::uint32_t ratio_gcd(std::uint64_t sum, std::uint32_t n) noexcept;

// Bytes that validate_range allocates for low..high.
std::int64_t validation_bytes(std::int32_t low, std::int32_t high) noexcept;

// The answer for low..high (high >= low - 1) by the sieve: the divisor sum of every n >= 1 of the
// range (2 for n = 1, which counts its divisor twice), each ratio reduced by the greatest common
// divisor, the ratios sorted, and every pair of equal ones counted. Numbers below 1 never pair.
// False, with nothing in answer, when its memory cannot be allocated. Runs on the calling thread.
bool validate_range(std::int32_t low, std::int32_t high, Answer& answer) noexcept;

// The answer for low..high (high >= low - 1) by another method, which checks the sieve method's:
// each divisor sum from the number's prime factors, each ratio reduced by std::gcd, the ratios
// ordered by a comparison sort. Numbers below 1 never pair. At most validation_bytes(low, high)
// + 192 KiB; false, with nothing in answer, when they cannot be allocated. Runs on the calling
// thread.
bool validate_by_factors(std::int32_t low, std::int32_t high, Answer& answer) noexcept;

}  // namespace friendly
