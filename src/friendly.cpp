#include "friendly.hpp"

#include <omp.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <new>

namespace friendly {

namespace {

// Set by the FRIENDLY_LITERAL_KERNELS build: the search runs the literal loops, as a baseline.
#ifdef FRIENDLY_LITERAL_KERNELS
constexpr bool kLiteralKernels = true;
#else
constexpr bool kLiteralKernels = false;
#endif

// Largest r with r * r <= n, for n >= 0.
std::int32_t integer_sqrt(std::int32_t n) noexcept {
  auto r = static_cast<std::int32_t>(std::sqrt(static_cast<double>(n)));
  while (std::int64_t{r} * r > n)
    --r;
  while (std::int64_t{r + 1} * (r + 1) <= n)
    ++r;
  return r;
}

}  // namespace

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

KernelPath fastest_path() noexcept {
  return cpu_has_avx2() ? KernelPath::avx2 : KernelPath::portable;
}

bool path_available(KernelPath path) noexcept {
  return path == KernelPath::portable || cpu_has_avx2();
}

std::int64_t divisor_sum(std::int32_t n, KernelPath path) noexcept {
  std::int64_t sum = std::int64_t{n} + 1;
  if (n <= 2) return sum;
  const bool avx2 = path == KernelPath::avx2;
  const std::int32_t root = integer_sqrt(n);
  std::int32_t limit = n;
  std::int32_t factor = 2;
  // The literal loop, skipping from one divisor to the next: each kernel call tests every
  // candidate of its stretch in order and stops at the first divisor, where the limit shrinks
  // exactly as in the literal loop. Candidates above the root can be stepped (see kernels.hpp).
  while (factor < limit) {
    const bool below_root = factor <= root;
    const std::int32_t end = below_root && root + 1 < limit ? root + 1 : limit;
    if (below_root) {
      factor = avx2 ? next_divisor_dividing_avx2(n, factor, end)
                    : next_divisor_dividing_portable(n, factor, end);
    } else {
      factor = avx2 ? next_divisor_stepping_avx2(n, factor, end)
                    : next_divisor_stepping_portable(n, factor, end);
    }
    if (factor == end) continue;
    limit = n / factor;
    sum += std::int64_t{factor} + limit;
    if (limit == factor) sum -= factor;
    ++factor;
  }
  return sum;
}

std::int64_t divisor_sum(std::int32_t n) noexcept {
  return divisor_sum(n, fastest_path());
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
  const KernelPath path = fastest_path();

#pragma omp parallel
  {
    // Ratio phase: per-number cost is uneven, so numbers are handed out on demand. The loop's
    // implicit barrier keeps every ratio stored before any thread starts comparing.
#pragma omp for schedule(dynamic, kRatioChunk)
    for (std::int64_t k = 0; k < length; ++k) {
      const auto n = static_cast<std::int32_t>(low + k);
      value[k] = n;
      const std::int64_t sum = kLiteralKernels ? divisor_sum_literal(n) : divisor_sum(n, path);
      store_ratio(n, sum, numerator[k], denominator[k]);
    }

    // Pair phase: blocks of rows dealt out cyclically, so every thread gets long and short rows.
    // A thread whose output fails stops scanning; the caller sees the stream's error flag.
    bool output_failed = false;
#pragma omp for schedule(static, kRowBlock)
    for (std::int64_t i = 0; i < length; ++i) {
      if (output_failed) continue;
      if constexpr (kLiteralKernels) {
        scan_row_literal(i, length, numerator, denominator,
                         [&](std::int64_t row, std::int64_t col) {
                           if (std::printf(kPairFormat, value[row], value[col]) < 0)
                             output_failed = true;
                         });
      } else {
        // The static schedule hands a thread each block of kRowBlock rows whole, starting at a
        // multiple of kRowBlock, so the block's first row scans the whole block (its rows are
        // compared together against each column) and the other rows have nothing left to do.
        if (i % kRowBlock != 0) continue;
        output_failed = !scan_block(path, i, length, numerator, denominator,
                                    [&](std::int64_t row, std::int64_t col) {
                                      return std::printf(kPairFormat, value[row], value[col]) >= 0;
                                    });
      }
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
