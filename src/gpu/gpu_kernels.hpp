// The ratio and pair kernels' bodies, written once over an execution context: the CUDA build's
// kernels (gpu_search.cu) run them on the device's threads, and the tests' host executor
// (tests/support/gpu_host.hpp) runs them on host threads in the tests. A lane context gives the
// lane's index, the warp's ballot and shuffles, and atomic adds; a block thread's context gives its
// thread index, the block's barrier, and atomic adds.
#pragma once

#include <cstdint>

#include "gpu/gpu_work.hpp"

#ifndef __CUDA_ARCH__
#include <bit>
#endif

namespace friendly {

// The type of CUDA's 64-bit atomic add, which the counters have.
using Count = unsigned long long;

inline constexpr unsigned kFullWarp = 0xFFFFFFFFU;
inline constexpr int kRatioThreads = 256;

// Indices of the counters in device memory (kGpuCounters of them).
enum Counter : int {
  kNextNumber,
  kCandidateTests,
  kPairsFound,
  kNextTile,
  kTests,
  kRetests,
  kComparisons,
  kComparisonRetests,
};
static_assert(kComparisonRetests + 1 == kGpuCounters);

// The lowest lane whose bit is set in bits (not 0).
FRIENDLY_HOST_DEVICE inline int lowest_lane(unsigned bits) {
#ifdef __CUDA_ARCH__
  return __ffs(static_cast<int>(bits)) - 1;
#else
  return std::countr_zero(bits);
#endif
}

// Sum of value over the lanes of the warp, on every lane.
template <typename Lane>
FRIENDLY_HOST_DEVICE std::int64_t warp_sum(const Lane& lane, std::int64_t value) {
  for (int offset = kWarpLanes / 2; offset > 0; offset /= 2)
    value += lane.shfl_xor(kFullWarp, value, offset);
  return value;
}

// The warp of gpu_work.hpp over a lane context: the lanes' finds met by a ballot, counted into
// counts (when not null) by lane 0.
template <typename Lane>
struct LaneWarp {
  const Lane& lane;
  Count* counts;

  template <typename Find>
  FRIENDLY_HOST_DEVICE FirstFind first(Find&& find) const {
    const int me = lane.lane();
    const LaneFind mine = find(me);
    const unsigned hits = lane.ballot(kFullWarp, mine.found);
    FirstFind result;
    if (hits != 0) {
      result.lane = lowest_lane(hits);
      result.divisor = lane.shfl(kFullWarp, mine.divisor, result.lane);
    }
    if (counts != nullptr)
      tally(warp_sum(lane, mine.tests), warp_sum(lane, me > result.lane ? mine.tests : 0));
    return result;
  }

  FRIENDLY_HOST_DEVICE void tally(std::int64_t tests, std::int64_t retests) const {
    if (counts == nullptr || lane.lane() != 0) return;
    lane.atomic_add(&counts[kTests], static_cast<Count>(tests));
    lane.atomic_add(&counts[kRetests], static_cast<Count>(retests));
  }
};

// Ratio phase, one lane's part: each warp takes the numbers low + k one at a time, k from
// length - 1 down (the costly numbers of a range are mostly its largest), and stores their
// reduced ratios; the literal loop's candidate tests go to counters[kCandidateTests]. counts:
// the work counts, or null.
// counts is written through the warp's tally, which the analysis does not follow.
// NOLINTBEGIN(readability-non-const-parameter)
template <typename Ratio, typename Lane>
FRIENDLY_HOST_DEVICE void ratio_kernel_body(const Lane& lane, std::int32_t low, std::int64_t length,
                                            Ratio* numerators, Ratio* denominators, Count* counters,
                                            Count* counts) {
  // NOLINTEND(readability-non-const-parameter)
  const LaneWarp<Lane> warp{lane, counts};
  const bool leader = lane.lane() == 0;
  Count tests = 0;
  for (;;) {
    Count taken = 0;
    if (leader) taken = lane.atomic_add(&counters[kNextNumber], Count{1});
    taken = lane.shfl(kFullWarp, taken, 0);
    if (taken >= static_cast<Count>(length)) break;
    const std::int64_t k = length - 1 - static_cast<std::int64_t>(taken);
    const auto n = static_cast<std::int32_t>(low + k);
    std::int32_t limit = n;
    const std::int64_t sum = divisor_sum_on_warp(n, warp, limit);
    if (leader) {
      Ratio numerator = 0;
      Ratio denominator = 0;
      store_ratio(n, sum, numerator, denominator);
      numerators[k] = numerator;
      denominators[k] = denominator;
      tests += static_cast<Count>(tests_below_limit(n, limit));
    }
  }
  if (leader) lane.atomic_add(&counters[kCandidateTests], tests);
}

// The columns of one tile, as a block holds them in shared memory: their ratios and keys, and the
// number of the block's next tile.
template <typename Ratio>
struct SharedTile {
  Ratio numerators[kTile];
  Ratio denominators[kTile];
  std::uint32_t keys[kTile];
  Count next;
};

// Pair phase, one block thread's part: each block takes the tiles t of the upper triangle of
// tiles x tiles (tiles of kTile rows and as many columns) one at a time from
// counters[kNextTile], so that blocks that start late or run slowly take fewer, and writes
// pair_key(i, j) of each pair of equal ratios to keys[slot] for a slot below capacity, counting
// every pair in counters[kPairsFound]. tile: the block's shared tile. counts: the work counts,
// or null.
template <typename Ratio, typename Thread>
FRIENDLY_HOST_DEVICE void pair_kernel_body(const Thread& self, SharedTile<Ratio>& tile,
                                           std::int64_t length, const Ratio* numerators,
                                           const Ratio* denominators, std::int64_t tiles,
                                           std::uint64_t* keys, Count capacity, Count* counters,
                                           Count* counts) {
  const int thread = self.thread();
  const auto emit = [&](std::int64_t i, std::int64_t j) {
    const Count slot = self.atomic_add(&counters[kPairsFound], Count{1});
    if (slot < capacity) keys[slot] = pair_key(i, j);
  };
  const auto triangle = static_cast<Count>(tiles * (tiles + 1) / 2);
  if (thread == 0) tile.next = self.atomic_add(&counters[kNextTile], Count{1});
  for (;;) {
    self.sync();  // the tile's number taken; every thread is done with the last tile
    const Count t = tile.next;
    if (t >= triangle) break;
    std::int64_t row_tile = 0;
    std::int64_t column_tile = 0;
    triangle_tile(static_cast<std::int64_t>(t), tiles, row_tile, column_tile);
    const std::int64_t first_column = column_tile * kTile;
    const int columns =
        length - first_column < kTile ? static_cast<int>(length - first_column) : kTile;
    for (int c = thread; c < columns; c += kPairThreads) {
      const Ratio numerator = numerators[first_column + c];
      const Ratio denominator = denominators[first_column + c];
      tile.numerators[c] = numerator;
      tile.denominators[c] = denominator;
      tile.keys[c] = ratio_key(numerator, denominator);
    }
    self.sync();  // the columns stored; every thread has read the tile's number
    // The next tile's number, taken while this one is compared.
    if (thread == 0) tile.next = self.atomic_add(&counters[kNextTile], Count{1});
    const ThreadRows<Ratio> rows = thread_rows(row_tile, thread, length, numerators, denominators);
    const TileWork work = thread_tile(rows, row_tile == column_tile, first_column, columns,
                                      tile.numerators, tile.denominators, tile.keys, emit);
    if (counts != nullptr) {
      self.atomic_add(&counts[kComparisons], static_cast<Count>(work.comparisons));
      self.atomic_add(&counts[kComparisonRetests], static_cast<Count>(work.retests));
    }
  }
}

}  // namespace friendly
