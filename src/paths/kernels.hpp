// The kernels of the two phases, one set per path, and the one place that picks a path. Each
// kernel makes every candidate test or ratio comparison of the literal loops (ratio_phase.hpp,
// pair_phase.hpp), only each one more cheaply.
//
// A path is one source file (kernels_literal.cpp, kernels_portable.cpp, kernels_avx2.cpp,
// kernels_avx512.cpp), compiled with exactly that path's flags, that defines the kernel templates
// below for its KernelPath. The phases are templates on the path, so they call their path's
// kernels directly; on_path is the one switch from a path chosen at run time to that code. This
// header declares functions and constants only: a path's source includes it, and an inline
// function defined here could be linked into another path in that path's instruction set.
#pragma once

#include <cstdint>
#include <type_traits>

namespace friendly {

// Rows per block of the pair phase: the static schedule's chunk, and the rows that the
// matching_rows kernels compare together, one bit per row in their result.
inline constexpr int kRowBlock = 8;

// The paths, from the plainest to the widest: the literal loops (the speed baseline), portable
// C++ and the two vector instruction sets; then the GPU, which is no set of CPU kernels: the
// search drivers hand it to the GPU search (gpu.hpp) before they choose any kernel.
enum class KernelPath { literal, portable, avx2, avx512, gpu };

// Every CPU path, from the plainest to the widest.
inline constexpr KernelPath kAllPaths[] = {KernelPath::literal, KernelPath::portable,
                                           KernelPath::avx2, KernelPath::avx512};

// Every path a user may choose: the CPU paths, then the GPU.
inline constexpr KernelPath kAllChoices[] = {KernelPath::literal, KernelPath::portable,
                                             KernelPath::avx2, KernelPath::avx512, KernelPath::gpu};

// True when the processor and the operating system support the path (checked once); for the
// GPU, when this build has CUDA and a device is present.
bool path_available(KernelPath path) noexcept;

// The widest CPU path this processor runs.
KernelPath fastest_path() noexcept;

// The path a search takes when none is chosen: the GPU where path_available says so, else the
// widest CPU path.
KernelPath default_path() noexcept;

// The path's name: "literal", "portable", "avx2", "avx512" or "gpu".
const char* path_name(KernelPath path) noexcept;

// The path named name (as path_name spells it) into path; false, leaving path alone, when no
// path has that name.
bool path_named(const char* name, KernelPath& path) noexcept;

// The names of the paths that this machine runs, plainest first and the GPU last, separated by
// ", ".
const char* available_path_names() noexcept;

// A path as a type, for code that takes the path as a compile-time constant: a visitor of
// on_path takes one, `[&](auto chosen) { constexpr KernelPath Path = chosen; ... }`.
template <KernelPath Path>
using PathConstant = std::integral_constant<KernelPath, Path>;

// Calls visit(PathConstant<path>{}) with the KernelPath given at run time as a constant, and
// returns what it returns: the one place where a path chosen at run time becomes code. The GPU
// has no CPU kernels: CPU code asked to run on it runs on the widest CPU path.
template <typename Visit>
decltype(auto) on_path(KernelPath path, Visit&& visit) {
  switch (path) {
    case KernelPath::avx512:
      return visit(PathConstant<KernelPath::avx512>{});
    case KernelPath::avx2:
      return visit(PathConstant<KernelPath::avx2>{});
    case KernelPath::portable:
      return visit(PathConstant<KernelPath::portable>{});
    case KernelPath::gpu:
      return on_path(fastest_path(), visit);
    case KernelPath::literal:
      break;
  }
  return visit(PathConstant<KernelPath::literal>{});
}

// The kernels, each defined by every path's source for its own KernelPath; a path's kernels may
// run only where path_available(Path).

// First candidate f in [from, to) that divides n, or to when none does: every candidate is
// tested, in increasing order, by a remainder computed with a division. Requires 2 <= from.
template <KernelPath Path>
std::int32_t next_divisor_dividing(std::int32_t n, std::int32_t from, std::int32_t to) noexcept;

// Same result, each candidate's remainder derived from the previous one's without division
// (n = q f + r gives n = q (f + 1) + r - q, corrected once); a path may divide instead in a range
// too short for its lanes. Requires 2 <= from and from * from >= n, where quotients never exceed
// their candidates.
template <KernelPath Path>
std::int32_t next_divisor_stepping(std::int32_t n, std::int32_t from, std::int32_t to) noexcept;

// Bit r (r < rows <= 8) set when row i = first_row + r has the same ratio as some column j with
// max(from, i + 1) <= j < to, comparing numerators first and denominators only when those match.
// Ratio is std::int32_t or std::int64_t.
template <KernelPath Path, typename Ratio>
std::uint32_t matching_rows(const Ratio* numerators, const Ratio* denominators,
                            std::int64_t first_row, std::int64_t rows, std::int64_t from,
                            std::int64_t to) noexcept;

// First index j in [from, to) with values[j] == x, or to when there is none. Ratio as above.
template <KernelPath Path, typename Ratio>
std::int64_t find_equal(Ratio x, const Ratio* values, std::int64_t from, std::int64_t to) noexcept;

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
