// A model of the pair phase's filter on the GPU, from the ratios of 1..HIGH computed on the host
// with a divisor-sum sieve (a model only, outside any search): the share of a warp's tiles (32
// threads x 8 rows against 2048 columns) and of a thread's tiles (8 rows) right of the diagonal
// that pass the filter on the key of both halves (ratio_key), and on the numerators' low words
// alone, from random samples of tiles.
//
//   gpu_filter_model [HIGH (default 10000000)] [SAMPLES (default 20000)]
//
// (target gpu_filter_model of a build with FRIENDLY_BUILD_BENCHMARKS)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "gpu/gpu_work.hpp"

namespace {

// The share of sampled tiles right of the diagonal in which some row's word equals some
// column's, for a warp's rows and for one thread's.
struct Shares {
  double warp = 0;
  double thread = 0;
};

Shares passing(const std::vector<std::uint32_t>& words, int samples, std::mt19937_64& random) {
  const auto length = static_cast<std::int64_t>(words.size());
  const std::int64_t tiles = (length + friendly::kTile - 1) / friendly::kTile;
  std::uniform_int_distribution<std::int64_t> pick(0, tiles - 1);
  std::uniform_int_distribution<int> warp_of(0, friendly::kPairThreads / friendly::kWarpLanes - 1);
  int warps = 0;
  int threads = 0;
  std::vector<std::uint32_t> columns;
  for (int sample = 0; sample < samples; ++sample) {
    std::int64_t row_tile = pick(random);
    std::int64_t column_tile = pick(random);
    while (row_tile == column_tile) {
      row_tile = pick(random);
      column_tile = pick(random);
    }
    if (row_tile > column_tile) std::swap(row_tile, column_tile);
    const std::int64_t first = column_tile * friendly::kTile;
    columns.assign(words.begin() + first,
                   words.begin() + std::min(length, first + friendly::kTile));
    std::sort(columns.begin(), columns.end());
    const int warp = warp_of(random);
    bool warp_hit = false;
    for (int lane = 0; lane < friendly::kWarpLanes; ++lane) {
      bool thread_hit = false;
      for (int r = 0; r < friendly::kRowsPerThread; ++r) {
        const std::int64_t i = row_tile * friendly::kTile +
                               std::int64_t{warp} * friendly::kWarpLanes + lane +
                               std::int64_t{r} * friendly::kPairThreads;
        thread_hit = thread_hit || std::binary_search(columns.begin(), columns.end(),
                                                      words[static_cast<std::size_t>(i)]);
      }
      threads += lane == 0 && thread_hit ? 1 : 0;
      warp_hit = warp_hit || thread_hit;
    }
    warps += warp_hit ? 1 : 0;
  }
  return {static_cast<double>(warps) / samples, static_cast<double>(threads) / samples};
}

}  // namespace

int main(int argc, char** argv) {
  const std::int32_t high = argc > 1 ? static_cast<std::int32_t>(std::stol(argv[1])) : 10'000'000;
  const int samples = argc > 2 ? std::stoi(argv[2]) : 20'000;
  if (high < 2 * friendly::kTile || samples <= 0) {
    std::fprintf(stderr, "gpu_filter_model: HIGH must be at least %d and SAMPLES positive\n",
                 2 * friendly::kTile);
    return 2;
  }
  // Divisor sums by a sieve, then the reduced ratios, their keys and their numerators' low words.
  std::vector<std::int64_t> sums(static_cast<std::size_t>(high) + 1, 0);
  for (std::int64_t d = 1; d <= high; ++d)
    for (std::int64_t m = d; m <= high; m += d)
      sums[static_cast<std::size_t>(m)] += d;
  std::vector<std::uint32_t> keys(static_cast<std::size_t>(high));
  std::vector<std::uint32_t> numerators(keys.size());
  for (std::int32_t n = 1; n <= high; ++n) {
    std::int32_t numerator = 0;
    std::int32_t denominator = 0;
    friendly::store_ratio(n, sums[static_cast<std::size_t>(n)], numerator, denominator);
    keys[static_cast<std::size_t>(n - 1)] = friendly::ratio_key(numerator, denominator);
    numerators[static_cast<std::size_t>(n - 1)] = static_cast<std::uint32_t>(numerator);
  }
  std::mt19937_64 random(21);
  const Shares key = passing(keys, samples, random);
  const Shares low = passing(numerators, samples, random);
  std::printf("1..%d, %d sampled tiles right of the diagonal, share that passes the filter:\n",
              high, samples);
  std::printf("  key of both halves:      warp tiles %.4f %%, thread tiles %.4f %%\n",
              100 * key.warp, 100 * key.thread);
  std::printf("  numerators' low words:   warp tiles %.4f %%, thread tiles %.4f %%\n",
              100 * low.warp, 100 * low.thread);
  return 0;
}
