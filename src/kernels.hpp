// Fast kernels of the two phases, one set per instruction-set path, and the one place that picks
// a path. Each kernel makes every candidate test or ratio comparison of the literal loops
// (ratio_phase.hpp, pair_phase.hpp), only each one more cheaply.
//
// Every path defines the same names in its own namespace (friendly::portable, friendly::avx2,
// friendly::avx512), in one source file compiled with exactly that path's flags; the functions of
// friendly:: that take a KernelPath choose between them. This header declares functions and
// constants only: a path's source includes it, and an inline function defined here could be
// linked into another path in that path's instruction set.
#pragma once

#include <cstdint>

namespace friendly {

// Rows per block of the pair phase: the static schedule's chunk, and the rows that the
// matching_rows kernels compare together, one bit per row in their result.
inline constexpr int kRowBlock = 8;

// The instruction-set paths, from the plainest to the widest.
enum class KernelPath { portable, avx2, avx512 };

// Every path, from the plainest to the widest.
inline constexpr KernelPath kAllPaths[] = {KernelPath::portable, KernelPath::avx2,
                                           KernelPath::avx512};

// Each path's kernels, declared once (kernel_declarations.inc) inside the path's namespace: the
// same file is included once per path on purpose.
namespace portable {
#include "kernel_declarations.inc"  // NOLINT(readability-duplicate-include)
}  // namespace portable
namespace avx2 {
#include "kernel_declarations.inc"  // NOLINT(readability-duplicate-include)
}  // namespace avx2
namespace avx512 {
#include "kernel_declarations.inc"  // NOLINT(readability-duplicate-include)
}  // namespace avx512

// True when the processor and the operating system support the path (checked once).
bool path_available(KernelPath path) noexcept;

// The widest path this processor runs.
KernelPath fastest_path() noexcept;

// The path's name: "portable", "avx2" or "avx512".
const char* path_name(KernelPath path) noexcept;

// The kernels of kernel_declarations.inc on the given path, which must be available.
std::int32_t next_divisor_dividing(KernelPath path, std::int32_t n, std::int32_t from,
                                   std::int32_t to) noexcept;
std::int32_t next_divisor_stepping(KernelPath path, std::int32_t n, std::int32_t from,
                                   std::int32_t to) noexcept;
std::uint32_t matching_rows(KernelPath path, const std::int32_t* numerators,
                            const std::int32_t* denominators, std::int64_t first_row,
                            std::int64_t rows, std::int64_t from, std::int64_t to) noexcept;
std::uint32_t matching_rows(KernelPath path, const std::int64_t* numerators,
                            const std::int64_t* denominators, std::int64_t first_row,
                            std::int64_t rows, std::int64_t from, std::int64_t to) noexcept;
std::int64_t find_equal(KernelPath path, std::int32_t x, const std::int32_t* values,
                        std::int64_t from, std::int64_t to) noexcept;
std::int64_t find_equal(KernelPath path, std::int64_t x, const std::int64_t* values,
                        std::int64_t from, std::int64_t to) noexcept;

// Set by the FRIENDLY_LITERAL_KERNELS build: the phases run the literal loops instead of the
// kernels, as the speed baseline.
#ifdef FRIENDLY_LITERAL_KERNELS
inline constexpr bool kLiteralKernels = true;
#else
inline constexpr bool kLiteralKernels = false;
#endif

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
