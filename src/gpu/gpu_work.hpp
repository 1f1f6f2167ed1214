// Each GPU thread's share of the search, written once for the host and the device: the ratio
// phase's per-number loop over a warp's lanes (candidates below the root tested by division in
// rounds of one candidate per lane, those above it by stepping in one segment per lane), a
// thread's rows against a tile of columns in the pair phase, where the tiles lie, and the order
// in which the pairs are printed. The CUDA build runs these functions in its kernels; every build
// runs them on the host in the tests, against the literal loops.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "gpu/gpu.hpp"
#include "search/friendly.hpp"
#include "search/pair_phase.hpp"
#include "search/ratio_phase.hpp"
#include "support/host_device.hpp"
#include "support/integer_root.hpp"

namespace friendly {

// Threads of a warp: the lanes that share one number of the ratio phase.
inline constexpr int kWarpLanes = 32;

// Threads per block of the pair phase, rows each thread holds in registers, and the tile: its
// rows are the block's, and its columns (as many) sit in shared memory while the block compares.
inline constexpr int kPairThreads = 256;
inline constexpr int kRowsPerThread = 8;
inline constexpr int kTile = kPairThreads * kRowsPerThread;

// What one lane found in one step of a warp: whether it met a divisor, which one, and how many
// candidates it tested.
struct LaneFind {
  bool found = false;
  std::int32_t divisor = 0;
  std::int64_t tests = 0;
};

// The first lane of a warp step that met a divisor (kWarpLanes when none did), and that divisor.
struct FirstFind {
  int lane = kWarpLanes;
  std::int32_t divisor = 0;
};

// A warp, as the functions below use it: Warp::first(find) runs find(lane) on every lane of the
// warp and returns the FirstFind of the results, counting (where it counts) every lane's tests
// and, as retests, the tests of the lanes after the first one that met a divisor;
// Warp::tally(tests, retests) adds to those counts. Every lane calls both with the same values.

// Lane `lane`'s candidate of the dividing round that starts at base: base + lane, tested by a
// division when below to. Requires n > 2 and 2 <= base.
FRIENDLY_HOST_DEVICE constexpr LaneFind dividing_lane(std::int32_t n, std::int64_t base,
                                                      std::int32_t to, int lane) noexcept {
  const std::int64_t f = base + lane;
  if (f >= to) return {false, to, 0};
  const auto candidate = static_cast<std::uint32_t>(f);
  return {static_cast<std::uint32_t>(n) % candidate == 0, static_cast<std::int32_t>(f), 1};
}

// First candidate f in [from, to) that divides n, or to: the warp tests one candidate per lane
// and round, and stops after the first round that meets a divisor. Requires n > 2, 2 <= from.
template <typename Warp>
FRIENDLY_HOST_DEVICE std::int32_t dividing_stretch(std::int32_t n, std::int32_t from,
                                                   std::int32_t to, const Warp& warp) {
  for (std::int64_t base = from; base < to; base += kWarpLanes) {
    const FirstFind hit = warp.first([&](int lane) { return dividing_lane(n, base, to, lane); });
    if (hit.lane < kWarpLanes) return hit.divisor;
  }
  return to;
}

// Lane `lane`'s segment [first, end) of the stepping stretch [from, to): consecutive candidates,
// as many for every lane (the last ones may have fewer, or none).
FRIENDLY_HOST_DEVICE constexpr void lane_segment(std::int32_t from, std::int32_t to, int lane,
                                                 std::int32_t& first, std::int32_t& end) noexcept {
  const std::int64_t each = (std::int64_t{to} - from + kWarpLanes - 1) / kWarpLanes;
  const std::int64_t start = std::int64_t{from} + each * lane;
  first = static_cast<std::int32_t>(start < to ? start : to);
  end = static_cast<std::int32_t>(start + each < to ? start + each : to);
}

// True when some candidate of [first, end) divides n. Every candidate is tested, its remainder
// derived from the previous one's (n = q f + r gives n = q (f + 1) + r - q, corrected once, as
// q <= f) after one division at first. Requires first * first >= n, n > 2, 2 <= first.
FRIENDLY_HOST_DEVICE constexpr bool segment_has_divisor(std::int32_t n, std::int32_t first,
                                                        std::int32_t end) noexcept {
  if (first >= end) return false;
  std::int32_t q = n / first;
  std::int32_t r = n % first;
  // The least remainder met, 0 when a candidate divides (one minimum per candidate, where a flag
  // would go through a byte each time). No early exit: every lane of a warp runs its segment
  // through at full rate.
  std::int32_t least = r;
  for (std::int32_t f = first + 1; f != end; ++f) {
    r -= q;
    if (r < 0) {
      r += f;
      --q;
    }
    least = r < least ? r : least;
  }
  return least == 0;
}

// First candidate of [first, end) that divides n, or end, by the same stepping, stopping there;
// tests receives the candidates tested. Requirements as segment_has_divisor's.
FRIENDLY_HOST_DEVICE constexpr std::int32_t segment_divisor(std::int32_t n, std::int32_t first,
                                                            std::int32_t end,
                                                            std::int64_t& tests) noexcept {
  tests = 0;
  if (first >= end) return end;
  std::int32_t q = n / first;
  std::int32_t r = n % first;
  std::int32_t f = first;
  for (;;) {
    ++tests;
    if (r == 0 || ++f == end) return f;
    r -= q;
    if (r < 0) {
      r += f;
      --q;
    }
  }
}

// First candidate f in [from, to) that divides n, or to: each lane steps through its segment,
// and the first lane that met a divisor finds it again in its own segment, which counts as
// retests the first time. Requires from * from >= n, n > 2, 2 <= from.
template <typename Warp>
FRIENDLY_HOST_DEVICE std::int32_t stepping_stretch(std::int32_t n, std::int32_t from,
                                                   std::int32_t to, const Warp& warp) {
  const FirstFind hit = warp.first([&](int lane) {
    std::int32_t first = 0;
    std::int32_t end = 0;
    lane_segment(from, to, lane, first, end);
    return LaneFind{segment_has_divisor(n, first, end), 0, std::int64_t{end} - first};
  });
  if (hit.lane == kWarpLanes) return to;
  std::int32_t first = 0;
  std::int32_t end = 0;
  lane_segment(from, to, hit.lane, first, end);
  std::int64_t tests = 0;
  const std::int32_t divisor = segment_divisor(n, first, end, tests);
  warp.tally(tests, std::int64_t{end} - first);
  return divisor;
}

// Divisor sum of n with the definition and the candidate tests of divisor_sum_literal
// (ratio_phase.hpp), on one warp: candidates up to the root of n by dividing_stretch, those
// above it by stepping_stretch, the limit shrinking exactly as in the literal loop. limit
// receives the limit the loop ended with (tests_below_limit gives the literal loop's tests).
template <typename Warp>
FRIENDLY_HOST_DEVICE std::int64_t divisor_sum_on_warp(std::int32_t n, const Warp& warp,
                                                      std::int32_t& limit) {
  std::int64_t sum = std::int64_t{n} + 1;
  limit = n;
  if (n <= 2) return sum;
  const std::int32_t root = integer_root(n);
  std::int32_t factor = 2;
  while (factor < limit) {
    std::int32_t end = limit;
    if (factor <= root) {
      if (root + 1 < limit) end = root + 1;
      factor = dividing_stretch(n, factor, end, warp);
    } else {
      factor = stepping_stretch(n, factor, end, warp);
    }
    if (factor == end) continue;
    limit = n / factor;
    sum += std::int64_t{factor} + limit;
    if (limit == factor) sum -= factor;
    ++factor;
  }
  return sum;
}

// Tile t (0 <= t < tiles (tiles + 1) / 2) of the upper triangle of tiles x tiles, counted row by
// row: row_tile <= column_tile, each such pair once.
FRIENDLY_HOST_DEVICE constexpr void triangle_tile(std::int64_t t, std::int64_t tiles,
                                                  std::int64_t& row_tile,
                                                  std::int64_t& column_tile) noexcept {
  // Row I of the triangle starts at I tiles - I (I - 1) / 2; find the last row starting at or
  // before t.
  std::int64_t below = 0;
  std::int64_t above = tiles;
  while (above - below > 1) {
    const std::int64_t middle = below + (above - below) / 2;
    if (middle * tiles - middle * (middle - 1) / 2 <= t) {
      below = middle;
    } else {
      above = middle;
    }
  }
  row_tile = below;
  column_tile = below + t - (below * tiles - below * (below - 1) / 2);
}

// A 32-bit key of the ratio numerator / denominator that mixes both halves (and both words of
// each half of a 64-bit ratio): equal ratios have equal keys, and ratios that share a numerator
// or a denominator rarely do. The pair phase's filter compares keys, then ratios.
template <typename Ratio>
FRIENDLY_HOST_DEVICE constexpr std::uint32_t ratio_key(Ratio numerator,
                                                       Ratio denominator) noexcept {
  const auto n = static_cast<std::uint64_t>(numerator);
  const auto d = static_cast<std::uint64_t>(denominator);
  std::uint32_t key =
      static_cast<std::uint32_t>(n) ^ static_cast<std::uint32_t>(n >> 32) * 0x85EBCA6BU;
  key ^= (static_cast<std::uint32_t>(d) ^ static_cast<std::uint32_t>(d >> 32) * 0xC2B2AE35U) *
         0x9E3779B1U;
  return key ^ key >> 16;
}

// value, which the device compiler must keep in a register once computed: it cannot see how it
// was made, so it cannot make it again inside a loop to save the register.
FRIENDLY_HOST_DEVICE inline std::uint32_t held(std::uint32_t value) noexcept {
#ifdef __CUDA_ARCH__
  asm("mov.b32 %0, %0;" : "+r"(value));
#endif
  return value;
}

// The rows that one thread of the pair phase holds: rows first, first + kPairThreads, ... of the
// range (count of them, below length), their ratios, and their keys, those of missing rows
// repeating the first row's.
template <typename Ratio>
struct ThreadRows {
  std::int64_t first = 0;
  int count = 0;
  Ratio numerators[kRowsPerThread] = {};
  Ratio denominators[kRowsPerThread] = {};
  std::uint32_t keys[kRowsPerThread] = {};
};

// The rows of thread `thread` of a block for the rows of tile row_tile.
template <typename Ratio>
FRIENDLY_HOST_DEVICE ThreadRows<Ratio> thread_rows(std::int64_t row_tile, int thread,
                                                   std::int64_t length, const Ratio* numerators,
                                                   const Ratio* denominators) {
  // Every loop over the rows has a fixed trip count, so that the rows stay in registers.
  ThreadRows<Ratio> rows;
  rows.first = row_tile * kTile + thread;
  for (int r = 0; r < kRowsPerThread; ++r) {
    const std::int64_t i = rows.first + std::int64_t{r} * kPairThreads;
    if (i < length) {
      rows.numerators[r] = numerators[i];
      rows.denominators[r] = denominators[i];
      rows.count = r + 1;
    }
  }
  // Constant indices only, or the rows would go to local memory.
  for (int r = 0; r < kRowsPerThread; ++r) {
    const bool here = r < rows.count;
    rows.keys[r] = held(ratio_key(here ? rows.numerators[r] : rows.numerators[0],
                                  here ? rows.denominators[r] : rows.denominators[0]));
  }
  return rows;
}

// Calls emit(i, j) for each column j = first_column + c (c < columns) above row i whose ratio
// equals (numerator, denominator), in increasing j; returns the columns compared.
template <typename Ratio, typename Emit>
FRIENDLY_HOST_DEVICE std::int64_t compare_row(std::int64_t i, Ratio numerator, Ratio denominator,
                                              std::int64_t first_column, int columns,
                                              const Ratio* tile_numerators,
                                              const Ratio* tile_denominators, Emit&& emit) {
  const std::int64_t skip = i + 1 - first_column;
  const int from = skip <= 0 ? 0 : skip >= columns ? columns : static_cast<int>(skip);
  for (int c = from; c < columns; ++c) {
    if (tile_numerators[c] == numerator && tile_denominators[c] == denominator)
      emit(i, first_column + c);
  }
  return columns - from;
}

// Comparisons that one thread made with one tile: each (row, column) pair with the column above
// the row counted once, and the pairs compared again after the filter as retests.
struct TileWork {
  std::int64_t comparisons = 0;
  std::int64_t retests = 0;
};

// True when some column key of keys[0, columns) equals some row key: the filter of a tile
// right of the diagonal, with no early exit, so that the warp's threads run it in step.
FRIENDLY_HOST_DEVICE inline bool keys_meet(const std::uint32_t (&rows)[kRowsPerThread],
                                           const std::uint32_t* keys, int columns) {
  // The rows' matches of a column meet as predicates, the columns' in a word: a flag carried from
  // column to column as a predicate goes through a byte each time.
  unsigned hit = 0;
  const auto meet = [&](int c) {
    const std::uint32_t column = keys[c];
    bool match = rows[0] == column;
    for (int r = 1; r < kRowsPerThread; ++r)
      match |= rows[r] == column;
    hit |= match ? 1U : 0U;
  };
  // A full tile (every one right of the diagonal but those of the last columns) with a trip
  // count known to the compiler.
  if (columns == kTile) {
    for (int c = 0; c < kTile; ++c)
      meet(c);
  } else {
    for (int c = 0; c < columns; ++c)
      meet(c);
  }
  return hit != 0;
}

// One thread's rows against one tile of `columns` columns from first_column (every one of them
// below the range's length), calling emit(i, j) for every pair of equal ratios with j > i, row
// by row and in increasing j. A tile right of the diagonal (every column above every row) goes
// through the filter on the keys first (tile_keys: the columns' ratio_key), and only a tile that
// passes it is compared in full; a tile on the diagonal is compared in full, column above row
// only.
template <typename Ratio, typename Emit>
FRIENDLY_HOST_DEVICE TileWork thread_tile(const ThreadRows<Ratio>& rows, bool diagonal,
                                          std::int64_t first_column, int columns,
                                          const Ratio* tile_numerators,
                                          const Ratio* tile_denominators,
                                          const std::uint32_t* tile_keys, Emit&& emit) {
  TileWork work;
  if (rows.count == 0) return work;
  if (!diagonal) {
    work.comparisons = std::int64_t{rows.count} * columns;
    if (!keys_meet(rows.keys, tile_keys, columns)) return work;
  }
  std::int64_t compared = 0;
  for (int r = 0; r < kRowsPerThread; ++r) {
    if (r < rows.count) {
      compared += compare_row(rows.first + std::int64_t{r} * kPairThreads, rows.numerators[r],
                              rows.denominators[r], first_column, columns, tile_numerators,
                              tile_denominators, emit);
    }
  }
  (diagonal ? work.comparisons : work.retests) = compared;
  return work;
}

// Counters that a GPU search keeps in device memory: the next number of the ratio phase, the
// candidate tests, the pairs found, the next tile of the pair phase, and the work counts of
// GpuWork.
inline constexpr int kGpuCounters = 8;

// Device bytes that the search of low..high takes before any pair is found: the two ratio
// arrays, the first buffer of pairs and the counters.
constexpr std::int64_t gpu_search_bytes(std::int32_t low, std::int32_t high) noexcept {
  const std::int64_t ratio_bytes = needs_wide_ratios(low, high) ? 8 : 4;
  const std::int64_t length = range_length(low, high);
  return (length > 0 ? length : 1) * 2 * ratio_bytes + kFirstPairCapacity * 8 +
         std::int64_t{kGpuCounters} * 8;
}

// Device bytes that the memory check keeps free beside the search's: the larger of 64 MiB and 1 %
// of the device's total_bytes. The search's four allocations are each rounded up to the
// allocation granularity, and the context's own memory may grow; a range that fits only without
// them would fail after the clock has started, too late to search on the CPU instead.
constexpr std::int64_t gpu_memory_margin(std::int64_t total_bytes) noexcept {
  const std::int64_t least = std::int64_t{64} << 20;
  return total_bytes / 100 > least ? total_bytes / 100 : least;
}

// True when free_bytes of a device of total_bytes hold the search's bytes beside the margin.
constexpr bool gpu_memory_fits(std::int64_t bytes, std::int64_t free_bytes,
                               std::int64_t total_bytes) noexcept {
  return bytes + gpu_memory_margin(total_bytes) <= free_bytes;
}

// A pair of indices (i < j < 2^31) as one key; keys sort in row, then column order.
FRIENDLY_HOST_DEVICE constexpr std::uint64_t pair_key(std::int64_t i, std::int64_t j) noexcept {
  return static_cast<std::uint64_t>(i) << 32 | static_cast<std::uint64_t>(j);
}

// Sorts keys into row, then column order and prints the pair line of each, numbers low + i and
// low + j, on out, adding each printed pair to answer; stops at the first failed write and
// returns false if one failed.
inline bool print_pairs(std::vector<std::uint64_t>& keys, std::int32_t low, std::FILE* out,
                        Answer& answer) {
  std::sort(keys.begin(), keys.end());
  for (const std::uint64_t key : keys) {
    const auto a = static_cast<std::int32_t>(low + static_cast<std::int64_t>(key >> 32));
    const auto b = static_cast<std::int32_t>(low + static_cast<std::int64_t>(key & 0xFFFFFFFFU));
    if (!print_pair(out, a, b, answer)) return false;
  }
  return true;
}

}  // namespace friendly
