// Fast kernels of the two phases, one set per instruction-set path. Each kernel makes exactly the
// candidate tests or ratio comparisons of the literal loops in friendly.hpp, only each one more
// cheaply. The *_avx2 kernels may run only where cpu_has_avx2() is true.
//
// This header declares functions and constants only: kernels_avx2.cpp, compiled for AVX2, includes
// it, and an inline function defined here could be linked into the portable path in its AVX2 form.
#pragma once

#include <cstdint>

namespace friendly {

// Rows per block of the pair phase: the static schedule's chunk, and the rows that the
// matching_rows kernels compare together, one bit per row in their result.
inline constexpr int kRowBlock = 8;

// True when the processor and the operating system support AVX2 (checked once).
bool cpu_has_avx2() noexcept;

// First candidate f in [from, to) that divides n, or to when none does: every candidate is
// tested, in increasing order, by a remainder computed with a division. Requires 2 <= from.
std::int32_t next_divisor_dividing_portable(std::int32_t n, std::int32_t from,
                                            std::int32_t to) noexcept;
std::int32_t next_divisor_dividing_avx2(std::int32_t n, std::int32_t from,
                                        std::int32_t to) noexcept;

// Same result, each candidate's remainder derived from the previous one's without division
// (n = q f + r gives n = q (f + 1) + r - q, corrected once). Requires 2 <= from and
// from * from >= n, where quotients never exceed their candidates.
std::int32_t next_divisor_stepping_portable(std::int32_t n, std::int32_t from,
                                            std::int32_t to) noexcept;
std::int32_t next_divisor_stepping_avx2(std::int32_t n, std::int32_t from,
                                        std::int32_t to) noexcept;

// Bit r (r < rows <= 8) set when row i = first_row + r has the same ratio as some column j with
// max(from, i + 1) <= j < to, comparing numerators first and denominators only when those match.
std::uint32_t matching_rows_portable(const std::int32_t* numerators,
                                     const std::int32_t* denominators, std::int64_t first_row,
                                     std::int64_t rows, std::int64_t from,
                                     std::int64_t to) noexcept;
std::uint32_t matching_rows_portable(const std::int64_t* numerators,
                                     const std::int64_t* denominators, std::int64_t first_row,
                                     std::int64_t rows, std::int64_t from,
                                     std::int64_t to) noexcept;
std::uint32_t matching_rows_avx2(const std::int32_t* numerators, const std::int32_t* denominators,
                                 std::int64_t first_row, std::int64_t rows, std::int64_t from,
                                 std::int64_t to) noexcept;
std::uint32_t matching_rows_avx2(const std::int64_t* numerators, const std::int64_t* denominators,
                                 std::int64_t first_row, std::int64_t rows, std::int64_t from,
                                 std::int64_t to) noexcept;

// First index j in [from, to) with values[j] == x, or to when there is none.
std::int64_t find_equal_portable(std::int32_t x, const std::int32_t* values, std::int64_t from,
                                 std::int64_t to) noexcept;
std::int64_t find_equal_portable(std::int64_t x, const std::int64_t* values, std::int64_t from,
                                 std::int64_t to) noexcept;
std::int64_t find_equal_avx2(std::int32_t x, const std::int32_t* values, std::int64_t from,
                             std::int64_t to) noexcept;
std::int64_t find_equal_avx2(std::int64_t x, const std::int64_t* values, std::int64_t from,
                             std::int64_t to) noexcept;

}  // namespace friendly
