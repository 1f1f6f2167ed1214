// Portable kernels: plain C++ for any x86-64, written as independent lanes and fixed-size
// chunks that the compiler turns into SSE2 vector code. The vector paths hand their short
// ranges and rare exact checks to these.
#include <cstddef>
#include <cstdint>

#include "paths/kernels.hpp"
#include "support/contract.hpp"

namespace friendly {

namespace {

#include "paths/work_tally.inc"

// The first divisor of n in [from, to), or to, by one division per candidate: the literal path's
// own loop (plain x86-64 code like this path's), which the compiler cannot make cheaper.
std::int32_t dividing(std::int32_t n, std::int32_t from, std::int32_t to) noexcept {
  return next_divisor_dividing<KernelPath::literal>(n, from, to);
}

// divisors_dividing by one division per candidate, each divisor's cofactor its quotient; the
// divisions of successive candidates do not wait on each other.
std::int32_t divisors(std::int32_t n, std::int32_t from, std::int32_t to,
                      std::int64_t& sum) noexcept {
  FRIENDLY_ASSERT(2 <= from && from <= to && std::int64_t{to - 1} * (to - 1) <= n);
  std::int32_t cofactor = n;
  std::int32_t f = from;
  for (; f < to; ++f) {
    const std::int32_t q = n / f;
    if (q * f == n) {
      sum += q == f ? f : std::int64_t{f} + q;
      cofactor = q;
    }
  }
  WorkTally tally;
  tally.tests = f - from;
  return cofactor;
}

// Lanes of the stepping kernel: independent segments, so the 4-cycle chain of one remainder
// update overlaps with the others.
constexpr std::int32_t kStepLanes = 16;
// Shortest segment worth the lanes' setup (one division each).
constexpr std::int32_t kMinSegment = 16;

// The stepping test of every candidate of [from, to), one after the other.
std::int32_t next_divisor_stepping_scalar(std::int32_t n, std::int32_t from,
                                          std::int32_t to) noexcept {
  if (from >= to) return to;
  WorkTally tally;
  std::int32_t q = n / from;
  std::int32_t r = n % from;
  std::int32_t f = from;
  for (;;) {
    ++tally.tests;
    if (r == 0) break;
    if (++f == to) break;
    // n = q (f - 1) + r = q f + (r - q); one correction suffices because q <= f.
    r -= q;
    if (r < 0) {
      r += f;
      --q;
    }
  }
  return f;
}

// The first divisor of n in [from, to), or to, by stepping in kStepLanes segments.
std::int32_t stepping(std::int32_t n, std::int32_t from, std::int32_t to) noexcept {
  FRIENDLY_ASSERT(2 <= from && from <= to && std::int64_t{from} * from >= n);
  const std::int32_t segment = (to - from) / kStepLanes;
  if (segment < kMinSegment) return next_divisor_stepping_scalar(n, from, to);

  // Lane k walks the candidates from + k segment ... from + (k + 1) segment - 1.
  std::int32_t f[kStepLanes];
  std::int32_t q[kStepLanes];
  std::int32_t r[kStepLanes];
  std::int32_t zero[kStepLanes];
  for (std::int32_t k = 0; k < kStepLanes; ++k) {
    f[k] = from + k * segment;
    q[k] = n / f[k];
    r[k] = n % f[k];
    zero[k] = 0;
  }
  // The loop's own trip count is what the counting build reports.
  WorkTally tally;
  std::int32_t steps = 0;
  for (; steps < segment; ++steps) {
    for (std::int32_t k = 0; k < kStepLanes; ++k) {
      zero[k] |= static_cast<std::int32_t>(r[k] == 0);
      f[k] += 1;
      r[k] -= q[k];
      const std::int32_t negative = r[k] >> 31;  // all ones when r went below 0
      r[k] += negative & f[k];
      q[k] += negative;
    }
  }

  // The first lane that met a zero remainder holds the first divisor: its segment is tested
  // again one by one, and its candidates and the later lanes' count as retests.
  tally.tests = std::int64_t{steps} * kStepLanes;
  for (std::int32_t k = 0; k < kStepLanes; ++k) {
    if (zero[k] != 0) {
      tally.retests = std::int64_t{steps} * (kStepLanes - k);
      const std::int32_t start = from + k * segment;
      return next_divisor_stepping_scalar(n, start, start + segment);
    }
  }
  return next_divisor_stepping_scalar(n, from + kStepLanes * segment, to);
}

// The stepping kernel under every tuning: this path has nothing to tune.
StepKernel any_tuning(std::size_t /*tuning*/) noexcept {
  return stepping;
}

// Columns per chunk of the key filter.
constexpr std::int64_t kChunk = 64;

// matching_rows by testing every (row, column) pair in full; compared counts the pairs.
template <typename Ratio>
std::uint32_t matching_rows_exact(const Ratio* numerators, const Ratio* denominators,
                                  const std::int64_t* row_indices, std::int64_t rows,
                                  std::int64_t from, std::int64_t to, Count& compared) noexcept {
  std::uint32_t found = 0;
  for (std::int64_t r = 0; r < rows; ++r) {
    const std::int64_t i = row_indices[r];
    bool equal = false;
    for (std::int64_t j = from > i + 1 ? from : i + 1; j < to; ++j) {
      ++compared;
      equal |= numerators[i] == numerators[j] && denominators[i] == denominators[j];
    }
    if (equal) found |= 1U << r;
  }
  return found;
}

// matching_rows over the columns [from, to) after every row, each pair in full where the keys
// (row_key[r], keys[j - from]) are equal: a second look at pairs that the filter compared.
template <typename Ratio>
std::uint32_t matching_rows_keyed(const Ratio* numerators, const Ratio* denominators,
                                  const std::int64_t* row_indices, const std::uint16_t* row_key,
                                  std::int64_t rows, const std::uint16_t* keys, std::int64_t from,
                                  std::int64_t to) noexcept {
  std::uint32_t found = 0;
  for (std::int64_t r = 0; r < rows; ++r) {
    const std::int64_t i = row_indices[r];
    for (std::int64_t j = from; j < to; ++j) {
      if (keys[j - from] == row_key[r] && numerators[i] == numerators[j] &&
          denominators[i] == denominators[j]) {
        found |= 1U << r;
        break;
      }
    }
  }
  return found;
}

// Bits set where some key of the kChunk columns from keys equals one of the rows' keys.
std::uint32_t chunk_hits(const std::uint16_t* keys, const std::uint16_t (&row_key)[kMatchRows]) {
  std::uint16_t equal = 0;
  for (std::int64_t j = 0; j < kChunk; ++j) {
    for (const std::uint16_t key : row_key)
      equal |= static_cast<std::uint16_t>(keys[j] == key);
  }
  return equal;
}

template <typename Ratio>
std::uint32_t matching_rows_chunked(const Ratio* numerators, const Ratio* denominators,
                                    const std::int64_t* row_indices, const std::uint16_t* row_keys,
                                    std::int64_t rows, const std::uint16_t* keys, std::int64_t from,
                                    std::int64_t to) noexcept {
  FRIENDLY_ASSERT(0 <= rows && rows <= kMatchRows);
  if (rows <= 0) return 0;
  // Columns up to the last row (where j > i decides), then those after it, which every row has.
  const std::int64_t last = row_indices[rows - 1] + 1;
  const std::int64_t after = from > last ? from : last;
  WorkTally tally;
  std::uint32_t found = matching_rows_exact(numerators, denominators, row_indices, rows, from,
                                            to < after ? to : after, tally.comparisons);

  // Key filter, every row against each column (missing rows repeat the last); a chunk that
  // passes is compared in full where the keys are equal.
  std::uint16_t row_key[kMatchRows];
  for (std::int64_t r = 0; r < kMatchRows; ++r)
    row_key[r] = row_keys[r < rows ? r : rows - 1];
  std::int64_t chunk = after;
  for (; to - chunk >= kChunk; chunk += kChunk) {
    tally.comparisons += rows * kChunk;
    if (chunk_hits(keys + (chunk - from), row_key) != 0) {
      found |= matching_rows_keyed(numerators, denominators, row_indices, row_key, rows,
                                   keys + (chunk - from), chunk, chunk + kChunk);
    }
  }
  if (chunk < to) {
    tally.comparisons += rows * (to - chunk);
    found |= matching_rows_keyed(numerators, denominators, row_indices, row_key, rows,
                                 keys + (chunk - from), chunk, to);
  }
  return found;
}

template <typename Ratio>
std::int64_t find_equal_chunked(Ratio x, const Ratio* values, std::int64_t from,
                                std::int64_t to) noexcept {
  FRIENDLY_ASSERT(from <= to);
  for (std::int64_t chunk = from; chunk < to; chunk += kChunk) {
    const std::int64_t end = to - chunk < kChunk ? to : chunk + kChunk;
    Ratio equal = 0;
    for (std::int64_t j = chunk; j < end; ++j)
      equal |= static_cast<Ratio>(values[j] == x);
    if (equal == 0) continue;
    for (std::int64_t j = chunk; j < end; ++j) {
      if (values[j] == x) return j;
    }
  }
  return to;
}

}  // namespace

// The portable path's kernels.
FRIENDLY_PATH_KERNELS(KernelPath::portable, dividing, divisors, any_tuning, matching_rows_chunked,
                      find_equal_chunked)

}  // namespace friendly
