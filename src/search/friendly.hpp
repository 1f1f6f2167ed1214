// Search driver: the three per-number arrays and the one parallel region that runs the ratio
// phase, then the pair phase, over a range of numbers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "paths/kernels.hpp"
#include "search/pair_phase.hpp"
#include "search/placement.hpp"
#include "search/ratio_phase.hpp"

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
  double pair_seconds = 0;           // from that barrier to the end of the region
  std::int64_t candidate_tests = 0;  // the literal trial division's tests over the range
  std::int64_t pairs = 0;            // pair lines printed
  std::uint64_t checksum = 0;        // sum of pair_mix over the printed pairs, modulo 2^64
};

// The search of low..high (high >= low - 1) with ratio elements of type Ratio (int32_t where
// needs_wide_ratios is false, else int64_t) at the given (available) placement, printing the
// pair lines on out; report, when not null, receives what it did; progress, when not null, is the
// terminal that the progress meter (progress.hpp) is drawn on and erased from before it returns.
// On the GPU the whole range is searched on the device first, and then its pairs are printed in
// row, then column order. Returns false, having printed nothing, when the arrays cannot be
// allocated or the device fails; error, when not null, then receives the device's one-line reason
// (left alone for the host's memory).
template <typename Ratio>
[[nodiscard]] bool search(std::int32_t low, std::int32_t high, Placement placement, std::FILE* out,
                          SearchReport* report = nullptr, std::FILE* progress = nullptr,
                          std::string* error = nullptr);

// Prints one pair line on standard output for every pair of numbers from low to high
// (high >= low - 1) with equal ratios, in one OpenMP parallel region of the runtime's default
// team size, or on the GPU, at the given (available) placement, by default the programs' own;
// report and error as search's. Draws
// the progress meter on standard error where progress_wanted(stdout). Returns false, having
// printed nothing, when the arrays cannot be allocated or the device fails.
[[nodiscard]] bool FriendlyNumbers(std::int32_t low, std::int32_t high,
                                   Placement placement = default_placement(),
                                   SearchReport* report = nullptr, std::string* error = nullptr);

}  // namespace friendly
