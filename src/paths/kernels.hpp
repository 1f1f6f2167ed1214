// The kernels of the two phases, one set per path, and the one place that picks a path. Each
// kernel makes every candidate test or ratio comparison of the literal loops (ratio_phase.hpp,
// pair_phase.hpp), only each one more cheaply.
//
// A path is one row of path_table.hpp and one source file, kernels_NAME.cpp, compiled with
// exactly that path's flags, that defines the kernel templates below for its KernelPath
// (FRIENDLY_PATH_KERNELS). The phases are templates on the path, so they call their path's
// kernels directly; on_path is the one switch from a path chosen at run time to that code. This
// header declares functions and constants only: a path's source includes it, and an inline
// function defined here could be linked into another path in that path's instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "paths/path_table.hpp"
#include "paths/tuning.hpp"

namespace friendly {

// Rows per block of the pair phase: the static schedule's chunk.
inline constexpr int kRowBlock = 8;

// The kernels, each defined by every path's source for its own KernelPath; a path's kernels may
// run only where path_available(Path).

// First candidate f in [from, to) that divides n, or to when none does: every candidate is
// tested, in increasing order, by a remainder computed with a division. Requires 2 <= from.
template <KernelPath Path>
std::int32_t next_divisor_dividing(std::int32_t n, std::int32_t from, std::int32_t to) noexcept;

// One pass over every candidate f in [from, to), each tested by a division: adds f and its
// cofactor n / f (a square root once) to sum for every f that divides n, and returns the
// cofactor of the largest such f, the quotient of the same division, or n when none divides.
// Requires 2 <= from and (to - 1)^2 <= n, so that every cofactor is at least its divisor.
template <KernelPath Path>
std::int32_t divisors_dividing(std::int32_t n, std::int32_t from, std::int32_t to,
                               std::int64_t& sum) noexcept;

// Same result as next_divisor_dividing, each candidate's remainder derived from the previous one's
// without division (n = q f + r gives n = q (f + 1) + r - q, corrected once); a path may divide
// instead in a range too short for its lanes. Requires 2 <= from and from * from >= n, where
// quotients never exceed their candidates. The lanes are those of the first tuning (kTunings[0]).
template <KernelPath Path>
std::int32_t next_divisor_stepping(std::int32_t n, std::int32_t from, std::int32_t to) noexcept;

// A stepping kernel: next_divisor_stepping's contract, under one tuning.
using StepKernel = std::int32_t (*)(std::int32_t n, std::int32_t from, std::int32_t to) noexcept;

// Path's stepping kernel compiled for tuning (an index in kTunings), taken once per search: a
// path compiles one for each tuning of the table, or one for all where it has nothing to tune.
template <KernelPath Path>
StepKernel stepping_kernel(std::size_t tuning) noexcept;

// Rows that one matching_rows call compares against each load of columns: two blocks.
inline constexpr int kMatchRows = 2 * kRowBlock;
static_assert(kMatchRows <= 32, "matching_rows returns one bit per row");

// Bit r (r < rows <= kMatchRows) set when row i = row_indices[r] (increasing) has the same ratio
// as some column j with max(from, i + 1) <= j < to, comparing numerators first and denominators
// only when those match. row_keys[r] and keys[j - from] are the rows' and columns' 16-bit keys,
// one function of both halves of the ratio (equal ratios, equal keys); only pairs with equal keys
// can match, and a path may compare only those in full. Ratio is std::int32_t or std::int64_t.
template <KernelPath Path, typename Ratio>
std::uint32_t matching_rows(const Ratio* numerators, const Ratio* denominators,
                            const std::int64_t* row_indices, const std::uint16_t* row_keys,
                            std::int64_t rows, const std::uint16_t* keys, std::int64_t from,
                            std::int64_t to) noexcept;

// First index j in [from, to) with values[j] == x, or to when there is none. Ratio as above.
template <KernelPath Path, typename Ratio>
std::int64_t find_equal(Ratio x, const Ratio* values, std::int64_t from, std::int64_t to) noexcept;

// The kernels of Path, defined in that path's source from its own internal functions (dividing:
// as next_divisor_dividing; all_dividing: as divisors_dividing; stepping: as stepping_kernel;
// matching, finding: function templates over Ratio as matching_rows and find_equal): one line per
// path. Explicit specialisations are the path object's own strong symbols, so no copy of them is
// shared with another path.
#define FRIENDLY_PATH_KERNELS(Path, dividing, all_dividing, stepping, matching, finding)   \
  template <>                                                                              \
  std::int32_t next_divisor_dividing<Path>(std::int32_t n, std::int32_t from,              \
                                           std::int32_t to) noexcept {                     \
    return dividing(n, from, to);                                                          \
  }                                                                                        \
  template <>                                                                              \
  std::int32_t divisors_dividing<Path>(std::int32_t n, std::int32_t from, std::int32_t to, \
                                       std::int64_t & sum) noexcept {                      \
    return all_dividing(n, from, to, sum);                                                 \
  }                                                                                        \
  template <>                                                                              \
  std::int32_t next_divisor_stepping<Path>(std::int32_t n, std::int32_t from,              \
                                           std::int32_t to) noexcept {                     \
    return stepping(0)(n, from, to);                                                       \
  }                                                                                        \
  template <>                                                                              \
  StepKernel stepping_kernel<Path>(std::size_t tuning) noexcept {                          \
    return stepping(tuning);                                                               \
  }                                                                                        \
  FRIENDLY_PATH_PAIR_KERNELS(Path, std::int32_t, matching, finding)                        \
  FRIENDLY_PATH_PAIR_KERNELS(Path, std::int64_t, matching, finding)

// The pair phase's kernels of Path for one Ratio type, as FRIENDLY_PATH_KERNELS defines them.
#define FRIENDLY_PATH_PAIR_KERNELS(Path, Ratio, matching, finding)                          \
  template <>                                                                               \
  std::uint32_t matching_rows<Path>(                                                        \
      const Ratio* numerators, const Ratio* denominators, const std::int64_t* row_indices,  \
      const std::uint16_t* row_keys, std::int64_t rows, const std::uint16_t* keys,          \
      std::int64_t from, std::int64_t to) noexcept {                                        \
    return matching(numerators, denominators, row_indices, row_keys, rows, keys, from, to); \
  }                                                                                         \
  template <>                                                                               \
  std::int64_t find_equal<Path>(Ratio x, const Ratio* values, std::int64_t from,            \
                                std::int64_t to) noexcept {                                 \
    return finding(x, values, from, to);                                                    \
  }

// Work counting, compiled in only where FRIENDLY_COUNT_WORK is defined (the friendly_counted
// library of the tests): each kernel call adds the candidate tests and row-column comparisons
// its loops ran. In every other build the kernels never call these.
#ifdef FRIENDLY_COUNT_WORK
inline constexpr bool kCountWork = true;
#else
inline constexpr bool kCountWork = false;
#endif

// Adds to the process-wide tallies: tests run (each candidate tested once per pass of a loop),
// retests among them (candidates past a found divisor, or tested again after one) and
// comparisons of a row's ratio with a column's. Safe from any thread.
void count_work(std::int64_t tests, std::int64_t retests, std::int64_t comparisons) noexcept;

// The tallies since the last reset_work_counts().
std::int64_t counted_tests() noexcept;
std::int64_t counted_retests() noexcept;
std::int64_t counted_comparisons() noexcept;
void reset_work_counts() noexcept;

}  // namespace friendly
