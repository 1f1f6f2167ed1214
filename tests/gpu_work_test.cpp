// Each GPU thread's work (gpu_work.hpp) run on the host against the literal loops: the ratio
// phase's warp of lanes, a block's threads over every tile of the pair phase, where the tiles
// lie, and the order of the printed pairs. The kernels run these same functions on the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/report.hpp"
#include "gpu/gpu_work.hpp"
#include "gpu_ratios.hpp"
#include "memory_stream.hpp"
#include "oracles.hpp"
#include "reference.hpp"
#include "text_files.hpp"

namespace {

using friendly::kWarpLanes;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

// A warp as the kernels' is, its lanes run one after the other: each step's first lane with a
// find, and the tests and retests counted as the device counts them.
struct HostWarp {
  std::int64_t* tests;
  std::int64_t* retests;

  template <typename Find>
  friendly::FirstFind first(Find&& find) const {
    friendly::LaneFind finds[kWarpLanes];
    friendly::FirstFind result;
    for (int lane = 0; lane < kWarpLanes; ++lane) {
      finds[lane] = find(lane);
      if (finds[lane].found && result.lane == kWarpLanes) result = {lane, finds[lane].divisor};
    }
    for (int lane = 0; lane < kWarpLanes; ++lane)
      tally(finds[lane].tests, lane > result.lane ? finds[lane].tests : 0);
    return result;
  }

  void tally(std::int64_t tested, std::int64_t retested) const {
    *tests += tested;
    *retests += retested;
  }
};

// The first divisor of n in [from, to), or to, one division per candidate.
std::int32_t first_divisor(std::int32_t n, std::int32_t from, std::int32_t to) {
  std::int32_t f = from;
  while (f < to && n % f != 0)
    ++f;
  return f;
}

// Checks every n of low..high: the warp's sum is the factorisation's, and its tests less its
// retests are the literal loop's candidates, as is the count from the limit it ended with.
void expect_warp_sums(std::int32_t low, std::int32_t high) {
  for (std::int32_t n = low;; ++n) {
    std::int64_t tests = 0;
    std::int64_t retests = 0;
    std::int32_t limit = 0;
    const std::int64_t sum = friendly::divisor_sum_on_warp(n, HostWarp{&tests, &retests}, limit);
    ASSERT_EQ(sum, friendly::divisor_sum_by_factoring(n)) << n;
    const std::int64_t literal = friendly::candidate_tests(n);
    ASSERT_EQ(tests - retests, literal) << n << ": " << tests << " tests, " << retests;
    ASSERT_GE(retests, 0) << n;
    ASSERT_EQ(friendly::tests_below_limit(n, limit), literal) << n;
    if (n == high) break;
  }
}

TEST(GpuWork, WarpSumsAndTestsEveryCandidateOfTheLiteralLoop) {
  expect_warp_sums(-5, 20'000);
  expect_warp_sums((1 << 24) - 48, (1 << 24) + 48);
  expect_warp_sums(kMax - 3, kMax);
}

TEST(GpuWork, RootIsTheLargestWhoseSquareFits) {
  for (const std::int32_t n : {0, 1, 2, 3, 4, 8, 9, 10, 99, 100, 65'535, 65'536, 46'340 * 46'340,
                               46'340 * 46'340 - 1, kMax - 1, kMax}) {
    const std::int64_t root = friendly::integer_root(n);
    EXPECT_LE(root * root, n) << n;
    EXPECT_GT((root + 1) * (root + 1), n) << n;
  }
}

TEST(GpuWork, TheMemoryCheckKeepsAMarginOf64MiBOrOnePercent) {
  constexpr std::int64_t kMiB = std::int64_t{1} << 20;
  // A device of 4 GiB keeps 64 MiB free, one of 80 GB 800 MB: one byte less fits, one more not.
  for (const std::int64_t total : {std::int64_t{4096} * kMiB, std::int64_t{80'000'000'000}}) {
    const std::int64_t margin = std::max(64 * kMiB, total / 100);
    const std::int64_t free_bytes = total / 2;
    const std::int64_t bytes = free_bytes - margin;
    EXPECT_TRUE(friendly::gpu_memory_fits(bytes, free_bytes, total)) << total;
    EXPECT_FALSE(friendly::gpu_memory_fits(bytes + 1, free_bytes, total)) << total;
  }
}

TEST(GpuWork, LaneSegmentsCoverTheStretchInOrder) {
  const std::pair<std::int32_t, std::int32_t> stretches[] = {
      {5, 5},         {5, 6},          {10, 41}, {10, 42}, {100, 100 + 32 * 7 + 31},
      {46'341, kMax}, {kMax - 1, kMax}};
  for (const auto& [from, to] : stretches) {
    std::int32_t next = from;
    std::int32_t longest = 0;
    std::int32_t shortest = std::numeric_limits<std::int32_t>::max();
    for (int lane = 0; lane < kWarpLanes; ++lane) {
      std::int32_t first = 0;
      std::int32_t end = 0;
      friendly::lane_segment(from, to, lane, first, end);
      ASSERT_EQ(first, next) << from << ".." << to << " lane " << lane;
      ASSERT_LE(first, end);
      next = end;
      longest = std::max(longest, end - first);
      if (end < to) shortest = std::min(shortest, end - first);
    }
    EXPECT_EQ(next, to) << from << ".." << to;
    // Every lane but those at the end has the longest segment: no lane holds the warp back.
    if (shortest != std::numeric_limits<std::int32_t>::max()) {
      EXPECT_EQ(shortest, longest);
    }
  }
}

TEST(GpuWork, StretchesFindTheFirstDivisorAndCountItsCandidates) {
  // Numbers with divisors above their roots, and stretches that start anywhere above the root:
  // the driver never meets a divisor there, but the stretch must.
  std::mt19937 random(7);
  for (const std::int32_t n :
       {1000, 5040, 720'720, 2 * 3 * 5 * 7 * 11 * 13 * 17, 999'983 * 2, (1 << 24) + 2, kMax - 1}) {
    const std::int32_t root = friendly::integer_root(n);
    // Stretches of up to a million candidates, the first one from just above the root.
    std::uniform_int_distribution<std::int32_t> start(root + 1, n - 1);
    std::uniform_int_distribution<std::int32_t> length(0, 1'000'000);
    for (int trial = 0; trial < 50; ++trial) {
      const std::int32_t from = trial == 0 ? root + 1 : start(random);
      const auto to =
          static_cast<std::int32_t>(std::min<std::int64_t>(std::int64_t{from} + length(random), n));
      const std::int32_t expected = first_divisor(n, from, to);
      std::int64_t tests = 0;
      std::int64_t retests = 0;
      const HostWarp warp{&tests, &retests};
      EXPECT_EQ(friendly::stepping_stretch(n, from, to, warp), expected) << n << ": " << from;
      const std::int64_t literal = std::int64_t{expected} - from + (expected < to ? 1 : 0);
      EXPECT_EQ(tests - retests, literal) << n << ": " << from << ".." << to;
      std::int64_t segment_tests = 0;
      EXPECT_EQ(friendly::segment_divisor(n, from, to, segment_tests), expected);
      EXPECT_EQ(segment_tests, literal);
      EXPECT_EQ(friendly::segment_has_divisor(n, from, to), expected < to);
      tests = 0;
      retests = 0;
      const std::int32_t low = 2 + trial % 20;
      const std::int32_t high = std::min(root + 1, low + 5 * trial + 1);
      const std::int32_t divisor = first_divisor(n, low, high);
      EXPECT_EQ(friendly::dividing_stretch(n, low, high, warp), divisor) << n << ": " << low;
      EXPECT_EQ(tests - retests, std::int64_t{divisor} - low + (divisor < high ? 1 : 0));
    }
  }
}

TEST(GpuWork, TrianglesOfTilesListEveryTileRightOfTheDiagonalOnce) {
  for (const std::int64_t tiles : {1, 2, 3, 5, 64}) {
    std::int64_t t = 0;
    for (std::int64_t row = 0; row < tiles; ++row) {
      for (std::int64_t column = row; column < tiles; ++column, ++t) {
        std::int64_t row_tile = -1;
        std::int64_t column_tile = -1;
        friendly::triangle_tile(t, tiles, row_tile, column_tile);
        ASSERT_EQ(row_tile, row) << tiles << " tiles, t = " << t;
        ASSERT_EQ(column_tile, column) << tiles << " tiles, t = " << t;
      }
    }
  }
  // The most tiles a 32-bit range has: each row's first and last tile.
  constexpr std::int64_t kTiles = (std::int64_t{1} << 31) / friendly::kTile;
  for (const std::int64_t row : {std::int64_t{0}, std::int64_t{1}, kTiles / 2, kTiles - 1}) {
    const std::int64_t start = row * kTiles - row * (row - 1) / 2;
    for (const std::int64_t column : {row, kTiles - 1}) {
      std::int64_t row_tile = -1;
      std::int64_t column_tile = -1;
      friendly::triangle_tile(start + column - row, kTiles, row_tile, column_tile);
      EXPECT_EQ(row_tile, row);
      EXPECT_EQ(column_tile, column);
    }
  }
}

// The pairs of a block's threads over every tile, as the pair kernel deals them, with the
// comparisons and retests they counted.
struct TiledPairs {
  std::vector<std::uint64_t> keys;
  friendly::TileWork work;
};

template <typename Ratio>
TiledPairs pairs_by_tiles(const std::vector<Ratio>& numerators,
                          const std::vector<Ratio>& denominators) {
  const auto length = static_cast<std::int64_t>(numerators.size());
  const std::int64_t tiles = (length + friendly::kTile - 1) / friendly::kTile;
  std::vector<std::uint32_t> keys(numerators.size());
  for (std::size_t k = 0; k < keys.size(); ++k)
    keys[k] = friendly::ratio_key(numerators[k], denominators[k]);
  TiledPairs found;
  const auto emit = [&](std::int64_t i, std::int64_t j) {
    found.keys.push_back(friendly::pair_key(i, j));
  };
  for (std::int64_t t = 0; t < tiles * (tiles + 1) / 2; ++t) {
    std::int64_t row_tile = 0;
    std::int64_t column_tile = 0;
    friendly::triangle_tile(t, tiles, row_tile, column_tile);
    const std::int64_t first_column = column_tile * friendly::kTile;
    const auto columns =
        static_cast<int>(std::min<std::int64_t>(friendly::kTile, length - first_column));
    for (int thread = 0; thread < friendly::kPairThreads; ++thread) {
      const friendly::ThreadRows<Ratio> rows =
          friendly::thread_rows(row_tile, thread, length, numerators.data(), denominators.data());
      const friendly::TileWork work = friendly::thread_tile(
          rows, row_tile == column_tile, first_column, columns, numerators.data() + first_column,
          denominators.data() + first_column, keys.data() + first_column, emit);
      found.work.comparisons += work.comparisons;
      found.work.retests += work.retests;
    }
  }
  return found;
}

template <typename Ratio>
void expect_tiles_find_the_literal_pairs(std::int64_t length) {
  std::vector<Ratio> numerators;
  std::vector<Ratio> denominators;
  friendly_test::clustered_ratios(length, numerators, denominators);
  std::vector<std::uint64_t> literal;
  for (std::int64_t i = 0; i < length; ++i) {
    friendly::scan_row_literal(i, length, numerators.data(), denominators.data(),
                               [&](std::int64_t row, std::int64_t column) {
                                 literal.push_back(friendly::pair_key(row, column));
                               });
  }
  TiledPairs tiled = pairs_by_tiles(numerators, denominators);
  EXPECT_EQ(tiled.work.comparisons, length * (length - 1) / 2) << length;
  EXPECT_GT(tiled.keys.size(), 0U);
  std::sort(tiled.keys.begin(), tiled.keys.end());
  EXPECT_EQ(tiled.keys, literal) << length << " numbers, " << sizeof(Ratio) << "-byte ratios";
}

TEST(GpuWork, TilesCompareEveryPairOnceAndFindTheLiteralPairs) {
  // Lengths around one tile (2048), its rows per thread, and three tiles.
  for (const std::int64_t length : {2, 257, 2047, 2048, 2049, 3 * 2048 - 5}) {
    expect_tiles_find_the_literal_pairs<std::int32_t>(length);
    expect_tiles_find_the_literal_pairs<std::int64_t>(length);
  }
}

TEST(GpuWork, FilterOnBothHalvesPassesOnlyTilesWithAnEqualRatio) {
  // Rows of tile 0, columns of tile 1 with no equal ratio: the filter alone, no retest.
  constexpr std::int64_t kLength = std::int64_t{2} * friendly::kTile;
  std::vector<std::int64_t> numerators(kLength);
  std::vector<std::int64_t> denominators(kLength, 1);
  for (std::int64_t k = 0; k < kLength; ++k)
    numerators[static_cast<std::size_t>(k)] = k + 1;
  EXPECT_EQ(pairs_by_tiles(numerators, denominators).work.retests, 0);
  // Columns of tile 1 that share row 5's numerator or denominator, or its numerator's low or
  // high word alone, pass no tile: the key mixes both halves and both words.
  numerators[friendly::kTile + 9] = numerators[5];
  denominators[friendly::kTile + 9] = 2;
  numerators[friendly::kTile + 10] = numerators[5] + (std::int64_t{1} << 32);
  numerators[friendly::kTile + 11] = (numerators[5] << 32) + 7;
  EXPECT_EQ(pairs_by_tiles(numerators, denominators).work.retests, 0);
  // An equal ratio passes: its thread compares its rows with the whole tile again.
  numerators[friendly::kTile + 12] = numerators[5];
  const TiledPairs tiled = pairs_by_tiles(numerators, denominators);
  EXPECT_EQ(tiled.work.retests, std::int64_t{friendly::kRowsPerThread} * friendly::kTile);
  EXPECT_EQ(tiled.keys, std::vector<std::uint64_t>{friendly::pair_key(5, friendly::kTile + 12)});
}

TEST(GpuWork, PairsPrintInRowThenColumnOrderWithTheirChecksum) {
  constexpr std::int32_t kHigh = 2000;
  std::vector<std::uint64_t> keys;
  std::vector<std::int32_t> numerators(kHigh);
  std::vector<std::int32_t> denominators(kHigh);
  for (std::int32_t n = 1; n <= kHigh; ++n) {
    friendly::store_ratio(n, friendly::divisor_sum_by_factoring(n),
                          numerators[static_cast<std::size_t>(n - 1)],
                          denominators[static_cast<std::size_t>(n - 1)]);
  }
  std::uint64_t checksum = 0;
  for (std::int64_t i = 0; i < kHigh; ++i) {
    friendly::scan_row_literal(i, kHigh, numerators.data(), denominators.data(),
                               [&](std::int64_t row, std::int64_t column) {
                                 keys.push_back(friendly::pair_key(row, column));
                                 checksum +=
                                     friendly::pair_mix(static_cast<std::int32_t>(row + 1),
                                                        static_cast<std::int32_t>(column + 1));
                               });
  }
  std::shuffle(keys.begin(), keys.end(), std::mt19937(3));
  friendly_test::MemoryStream out;
  ASSERT_NE(out.get(), nullptr);
  friendly::Answer answer;
  EXPECT_TRUE(friendly::print_pairs(keys, 1, out.get(), answer));
  EXPECT_EQ(out.lines(), friendly_test::reference_lines(1, kHigh));
  EXPECT_EQ(answer.pairs, static_cast<std::int64_t>(keys.size()));
  EXPECT_EQ(answer.checksum, checksum);

  // Indices at both ends of the 32-bit range map back to their numbers.
  std::vector<std::uint64_t> edge = {friendly::pair_key(1, kMax), friendly::pair_key(0, 1)};
  friendly_test::MemoryStream edge_out;
  ASSERT_NE(edge_out.get(), nullptr);
  EXPECT_TRUE(friendly::print_pairs(edge, std::numeric_limits<std::int32_t>::min(), edge_out.get(),
                                    answer));
  EXPECT_EQ(edge_out.text(),
            "-2147483648 and -2147483647 are FRIENDLY \n-2147483647 and -1 are FRIENDLY \n");
}

TEST(GpuReport, NamesTheDeviceAndItsSetupOnTheGpuPathOnly) {
  friendly::RunReport run;
  run.device = {"Some \"GPU\"", 0.25};
  run.placement = friendly::default_placement(true);
  const std::string text = friendly::format_report(run, friendly::ReportFormat::text);
  EXPECT_NE(text.find("\n  device: Some \"GPU\"\n  device_setup_seconds: 0.250000\n"),
            std::string::npos)
      << text;
  const std::string json = friendly::format_report(run, friendly::ReportFormat::json);
  EXPECT_NE(json.find(R"("device":"Some \"GPU\"","device_setup_seconds":0.250000,)"),
            std::string::npos)
      << json;
  run.placement = friendly::fastest_path();
  EXPECT_EQ(friendly::format_report(run, friendly::ReportFormat::json).find("device"),
            std::string::npos);
}

}  // namespace
