#include "friendly.hpp"

#include <omp.h>

#include <cstdio>
#include <memory>
#include <new>

namespace friendly {

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

std::int64_t divisor_sum(std::int32_t n) noexcept {
  return divisor_sum_literal(n);
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

namespace {

// An array of count elements with no initial contents, or null when it cannot be allocated.
template <typename T>
std::unique_ptr<T[]> allocate(std::int64_t count) {
  if (count <= 0) return std::unique_ptr<T[]>(new (std::nothrow) T[1]);
  if (static_cast<std::uint64_t>(count) > SIZE_MAX / sizeof(T)) return nullptr;
  return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(count)]);
}

// The search with ratio elements of type Ratio (see needs_wide_ratios).
template <typename Ratio>
bool search(std::int32_t low, std::int32_t high) {
  const std::int64_t length = range_length(low, high);

  std::unique_ptr<std::int32_t[]> values = allocate<std::int32_t>(length);
  std::unique_ptr<Ratio[]> numerators = allocate<Ratio>(length);
  std::unique_ptr<Ratio[]> denominators = allocate<Ratio>(length);
  if (!values || !numerators || !denominators) return false;

  std::int32_t* const value = values.get();
  Ratio* const numerator = numerators.get();
  Ratio* const denominator = denominators.get();

#pragma omp parallel
  {
    // Ratio phase: per-number cost is uneven, so numbers are handed out on demand. The loop's
    // implicit barrier keeps every ratio stored before any thread starts comparing.
#pragma omp for schedule(dynamic, kRatioChunk)
    for (std::int64_t k = 0; k < length; ++k) {
      const auto n = static_cast<std::int32_t>(low + k);
      value[k] = n;
      store_ratio(n, divisor_sum(n), numerator[k], denominator[k]);
    }

    // Pair phase: blocks of rows dealt out cyclically, so every thread gets long and short rows.
    // A thread whose output fails stops scanning; the caller sees the stream's error flag.
    bool output_failed = false;
#pragma omp for schedule(static, kRowBlock)
    for (std::int64_t i = 0; i < length; ++i) {
      if (output_failed) continue;
      scan_row_literal(i, length, numerator, denominator, [&](std::int64_t row, std::int64_t col) {
        if (std::printf(kPairFormat, value[row], value[col]) < 0) output_failed = true;
      });
    }
  }

  values.reset();
  numerators.reset();
  denominators.reset();
  return true;
}

}  // namespace

bool FriendlyNumbers(std::int32_t low, std::int32_t high) {
  return needs_wide_ratios(low, high) ? search<std::int64_t>(low, high)
                                      : search<std::int32_t>(low, high);
}

}  // namespace friendly
