// Search driver: the three per-number arrays and the one parallel region that runs a share of the
// ratio phase, an exchange between the phases, and a share of the pair phase, over a range.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "paths/kernels.hpp"
#include "search/output.hpp"
#include "search/pair_phase.hpp"
#include "search/pair_tiling.hpp"
#include "search/ratio_phase.hpp"
#include "support/contract.hpp"

namespace friendly {

// The time line, exactly as the program prints it after the search.
inline constexpr const char* kTimeFormat = "Tempo total %lf seconds\n";

// Number of integers from low to high inclusive (0 for high = low - 1).
constexpr std::int64_t range_length(std::int32_t low, std::int32_t high) noexcept {
  return std::int64_t{high} - std::int64_t{low} + 1;
}

// True when some number of the range needs 64-bit ratio elements: a divisor sum that may not
// fit 32 bits, or INT32_MIN, whose reduced denominator is 2^31.
constexpr bool needs_wide_ratios(std::int32_t low, std::int32_t high) noexcept {
  if (range_length(low, high) <= 0) return false;
  return high > kNarrowHigh || low == std::numeric_limits<std::int32_t>::min();
}

// Bytes that the three per-number arrays of the range take.
constexpr std::int64_t search_bytes(std::int32_t low, std::int32_t high) noexcept {
  const std::int64_t ratio_bytes = needs_wide_ratios(low, high) ? 8 : 4;
  return range_length(low, high) * (4 + 2 * ratio_bytes);
}

// An array of count elements (at least one) with no initial contents, or null when it cannot be
// allocated.
template <typename T>
std::unique_ptr<T[]> allocate_array(std::int64_t count) {
  const std::int64_t elements = std::max<std::int64_t>(count, 1);
  if (static_cast<std::uint64_t>(elements) > SIZE_MAX / sizeof(T)) return nullptr;
  return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(elements)]);
}

// What one search did and found: the team, each phase's time, the work and the answer.
struct SearchReport {
  int threads = 0;                   // threads of the team that ran the region (0 on the GPU)
  double ratio_seconds = 0;          // from just before the region to the ratio phase's barrier
  double pair_seconds = 0;           // from that barrier, or the exchange after it, to the end
  std::int64_t candidate_tests = 0;  // the literal trial division's tests over the range
  Answer answer;                     // the pair lines printed
};

// The arrays of a search: n, and its ratio's numerator and denominator, for each number.
template <typename Ratio>
struct SearchArrays {
  std::unique_ptr<std::int32_t[]> values;
  std::unique_ptr<Ratio[]> numerators;
  std::unique_ptr<Ratio[]> denominators;

  explicit operator bool() const noexcept { return values && numerators && denominators; }
};

// Arrays of count elements (at least one) for the length <= count numbers of a range, the
// elements past length zeroed; an array that cannot be allocated is null.
template <typename Ratio>
SearchArrays<Ratio> allocate_search_arrays(std::int64_t length, std::int64_t count) {
  SearchArrays<Ratio> arrays{allocate_array<std::int32_t>(count), allocate_array<Ratio>(count),
                             allocate_array<Ratio>(count)};
  if (arrays && count > length) {
    std::fill(arrays.values.get() + length, arrays.values.get() + count, 0);
    std::fill(arrays.numerators.get() + length, arrays.numerators.get() + count, 0);
    std::fill(arrays.denominators.get() + length, arrays.denominators.get() + count, 0);
  }
  return arrays;
}

struct NoExchange {};  // nothing between the phases: the search of one process

// Share `share` of `shares` (work_share.hpp) of the search of the length numbers from low into
// arrays (allocated) on Path (available), in one parallel region: the ratio phase, then (unless
// Exchange is NoExchange) exchange() on thread 0, the calling thread, while the team waits, then
// the pair phase, printing on out; progress as search's. Returns what the share did and found.
// A failed write stops the pair phase and shows in out's error flag.
template <KernelPath Path, typename Ratio, typename Exchange = NoExchange>
SearchReport search_share(std::int32_t low, std::int64_t length, const SearchArrays<Ratio>& arrays,
                          int share, int shares, std::FILE* out, std::FILE* progress,
                          Exchange&& exchange = {}) {
  constexpr bool exchanges = !std::is_same_v<std::remove_cvref_t<Exchange>, NoExchange>;
  FRIENDLY_ASSERT(length >= 0 && path_available(Path) && arrays);

  // The ratio phase's barrier keeps every ratio stored before the exchange and any comparison,
  // the exchange has a barrier of its own. Thread 0 reads the clock as it leaves the barrier,
  // which adds no synchronisation, and alone draws the meter; the counts are summed at the end.
  const PairTiling tiling = pair_tiling(core_caches());
  std::int64_t tests = 0;
  Answer answer;
  int threads = 0;
  const double start = omp_get_wtime();
  double barrier = start;
  double resumed = start;
  ProgressMeter meter = start_progress(progress, start);
  ProgressMeter* const shown = progress != nullptr ? &meter : nullptr;
#pragma omp parallel default(none)                                                             \
    shared(low, length, arrays, share, shares, out, threads, barrier, resumed, tiling, shown, \
               exchange) reduction(+ : tests, answer)
  {
    tests += ratio_phase<Path>(low, length, arrays.values.get(), arrays.numerators.get(),
                               arrays.denominators.get(), share, shares, shown);
    if (omp_get_thread_num() == 0) {
      barrier = omp_get_wtime();
      threads = omp_get_num_threads();
      if constexpr (exchanges) exchange();
      resumed = exchanges ? omp_get_wtime() : barrier;
    }
    if constexpr (exchanges) {
#pragma omp barrier
    }
    static_cast<void>(pair_phase<Path>(length, arrays.values.get(), arrays.numerators.get(),
                                       arrays.denominators.get(), share, shares, out, answer,
                                       tiling, shown));
  }
  const double stop = omp_get_wtime();
  if (shown != nullptr) end_progress(meter);
  return {threads, barrier - start, stop - resumed, tests, answer};
}

// The search of low..high (high >= low - 1) on the CPU path path (available), with ratio
// elements of type Ratio (int32_t where needs_wide_ratios is false, else int64_t), in one parallel
// region of the runtime's default team size, printing the pair lines on out; report, when not
// null, receives what it did; progress, when not null, is the terminal that the progress meter
// (progress.hpp) is drawn on and erased from before it returns. Returns false, having printed
// nothing, when the arrays cannot be allocated.
template <typename Ratio>
[[nodiscard]] bool search_on_cpu(std::int32_t low, std::int32_t high, KernelPath path,
                                 std::FILE* out, SearchReport* report = nullptr,
                                 std::FILE* progress = nullptr);

// Calls visit(Ratio{}) with the ratio element that the numbers of low..high need: std::int32_t,
// or std::int64_t where needs_wide_ratios; returns what it returns. The one choice of the width.
template <typename Visit>
decltype(auto) on_ratio_width(std::int32_t low, std::int32_t high, Visit&& visit) {
  return needs_wide_ratios(low, high) ? visit(std::int64_t{}) : visit(std::int32_t{});
}

}  // namespace friendly
