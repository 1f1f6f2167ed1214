// The pair scans against an independent all-pairs reference and the fast block scan of every path
// against the literal scan, on ratio arrays with planted matches and near misses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "kernel_paths.hpp"
#include "reference.hpp"
#include "search/friendly.hpp"
#include "search/pair_tiling.hpp"

namespace {

using Pairs = std::vector<std::pair<std::int64_t, std::int64_t>>;

// Ratio arrays with few distinct ratios, equal numerators over different denominators among them;
// the shared numerator's low half has its top bit set.
template <typename Ratio>
void planted_ratios(std::int64_t length, std::uint32_t seed, std::vector<Ratio>& numerators,
                    std::vector<Ratio>& denominators) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pick(0, 9);
  numerators.resize(static_cast<std::size_t>(length));
  denominators.resize(static_cast<std::size_t>(length));
  for (std::size_t k = 0; k < numerators.size(); ++k) {
    const int kind = pick(random);
    // Kinds 0 to 2 share one numerator with three denominators; the rest are mostly unique.
    numerators[k] =
        kind <= 2 ? Ratio{0xC007} : static_cast<Ratio>(1000 + k * 3 + (kind == 9 ? 0 : 1));
    denominators[k] = kind <= 2 ? static_cast<Ratio>(kind + 2) : Ratio{1};
    if (kind == 9 && k >= 3) {
      numerators[k] = numerators[k - 3];
      denominators[k] = denominators[k - 3];
    }
  }
}

// All pairs of equal ratios, found by grouping indices by ratio, in row then column order.
template <typename Ratio>
Pairs reference_pairs(const std::vector<Ratio>& numerators,
                      const std::vector<Ratio>& denominators) {
  std::vector<std::pair<Ratio, Ratio>> ratios;
  for (std::size_t k = 0; k < numerators.size(); ++k)
    ratios.emplace_back(numerators[k], denominators[k]);
  return friendly_test::equal_key_pairs(ratios);
}

// The pairs that scan_row_literal reports for rows first_row to end_row - 1 (cut at the arrays'
// end), in its order.
template <typename Ratio>
Pairs literal_pairs(const std::vector<Ratio>& numerators, const std::vector<Ratio>& denominators,
                    std::int64_t first_row = 0,
                    std::int64_t end_row = std::numeric_limits<std::int64_t>::max()) {
  const auto length = static_cast<std::int64_t>(numerators.size());
  Pairs found;
  for (std::int64_t i = first_row; i < std::min(end_row, length); ++i) {
    friendly::scan_row_literal(
        i, length, numerators.data(), denominators.data(),
        [&](std::int64_t row, std::int64_t col) { found.emplace_back(row, col); });
  }
  return found;
}

template <typename Ratio>
void expect_scan_matches_reference(std::int64_t length, std::uint32_t seed) {
  std::vector<Ratio> numerators;
  std::vector<Ratio> denominators;
  planted_ratios(length, seed, numerators, denominators);
  // Same pairs, and in row order then column order.
  EXPECT_EQ(literal_pairs(numerators, denominators), reference_pairs(numerators, denominators))
      << "length " << length;
}

TEST(PairScan, ReportsEveryPlantedMatchInRowThenColumnOrder) {
  for (const std::int64_t length : {0, 1, 2, 7, 8, 9, 63, 64, 65, 300}) {
    expect_scan_matches_reference<std::int32_t>(length, 42);
    expect_scan_matches_reference<std::int64_t>(length, 43);
  }
}

TEST(PairScan, EqualNumeratorsWithDifferentDenominatorsDoNotMatch) {
  const std::vector<std::int32_t> numerators = {5, 5, 5, 6};
  const std::vector<std::int32_t> denominators = {1, 2, 1, 1};
  EXPECT_EQ(literal_pairs(numerators, denominators), (Pairs{{0, 2}}));
}

using friendly::KernelPath;

using friendly_test::path_name;

// Ratios drawn from a few values that agree in their low 16 bits (and, for 64-bit elements, in
// their low 32 bits) without being equal, over three denominators, so that equal numerators
// over other denominators and numerators equal only in their low bits are everywhere; 0 among
// them, the value of a vector's lanes past the end of a range.
template <typename Ratio>
void near_miss_ratios(std::int64_t length, std::uint32_t seed, std::vector<Ratio>& numerators,
                      std::vector<Ratio>& denominators) {
  // Low halves with their top bits set (0x8007, 0xFFFF) as well as small ones, so that a filter
  // that drops any bit of the low half misses real matches.
  std::vector<std::int64_t> values = {7,       7 + 65'536, 7 - 65'536, 7 + (1 << 20),   -65'529,
                                      0,       65'536,     0x8007,     0x8007 + 65'536, 0xFFFF,
                                      0x1FFFF, -1};
  if (sizeof(Ratio) == 8) values.push_back(7 + (std::int64_t{1} << 32));
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> pick_value(0, values.size() * 2 - 1);
  std::uniform_int_distribution<int> pick_denominator(1, 3);
  numerators.resize(static_cast<std::size_t>(length));
  denominators.resize(static_cast<std::size_t>(length));
  for (std::size_t k = 0; k < numerators.size(); ++k) {
    // Half the draws are one of the values above; the others are unique.
    const std::size_t v = pick_value(random);
    numerators[k] =
        static_cast<Ratio>(v < values.size() ? values[v] : 200'000 + static_cast<Ratio>(k));
    denominators[k] = static_cast<Ratio>(pick_denominator(random));
  }
}

// The pairs that scan_block reports over every block, in the order of the blocks.
template <typename Ratio>
Pairs block_pairs(KernelPath path, const std::vector<Ratio>& numerators,
                  const std::vector<Ratio>& denominators) {
  const auto length = static_cast<std::int64_t>(numerators.size());
  Pairs found;
  for (std::int64_t first = 0; first < length; first += friendly::kRowBlock) {
    const bool finished =
        friendly_test::scan_block(path, first, length, numerators.data(), denominators.data(),
                                  [&](std::int64_t row, std::int64_t col) {
                                    found.emplace_back(row, col);
                                    return true;
                                  });
    EXPECT_TRUE(finished);
  }
  return found;
}

template <typename Ratio>
void expect_block_scan_is_literal(KernelPath path, std::int64_t length, std::uint32_t seed) {
  std::vector<Ratio> numerators;
  std::vector<Ratio> denominators;
  planted_ratios(length, seed, numerators, denominators);
  EXPECT_EQ(block_pairs(path, numerators, denominators), literal_pairs(numerators, denominators))
      << "planted, length " << length << ", " << sizeof(Ratio) << "-byte, " << path_name(path);
  near_miss_ratios(length, seed, numerators, denominators);
  const Pairs literal = literal_pairs(numerators, denominators);
  EXPECT_EQ(block_pairs(path, numerators, denominators), literal)
      << "near misses, length " << length << ", " << sizeof(Ratio) << "-byte, " << path_name(path);
  if (length >= 40) {
    EXPECT_FALSE(literal.empty()) << "near misses, length " << length;
  }
}

class BlockScan : public friendly_test::PathTest {};
INSTANTIATE_TEST_SUITE_P(Paths, BlockScan, testing::ValuesIn(friendly_test::kAllPaths),
                         friendly_test::path_test_name);

TEST_P(BlockScan, ReportsTheLiteralScansPairsInItsOrderAroundBlockAndVectorSizes) {
  const std::int64_t lengths[] = {0,  1,  2,  7,  8,  9,  15, 16, 17, 23,  24,  25,  31,
                                  32, 33, 40, 63, 64, 65, 71, 72, 73, 100, 129, 300, 1000};
  for (const std::int64_t length : lengths) {
    expect_block_scan_is_literal<std::int32_t>(GetParam(), length, 5);
    expect_block_scan_is_literal<std::int64_t>(GetParam(), length, 6);
  }
}

TEST_P(BlockScan, StopsWhenTheReportAsksTo) {
  // Every pair matches.
  const std::vector<std::int32_t> numerators(200, 7);
  const std::vector<std::int32_t> denominators(200, 2);
  int calls = 0;
  const bool finished =
      friendly_test::scan_block(GetParam(), 0, 200, numerators.data(), denominators.data(),
                                [&](std::int64_t, std::int64_t) { return ++calls < 2; });
  EXPECT_FALSE(finished);
  EXPECT_EQ(calls, 2);
}

TEST_P(BlockScan, GroupsOfBlocksReportTheirRowsPairsAcrossTiles) {
  // Unique ratios, but for copies of a few rows' ratios on both sides of each tile's edge (tiles
  // start one column after the group's first row) and at the last column; with the smallest
  // and the largest tiles that pair_tiling chooses, and with the tiles of this processor under
  // every tuning.
  std::vector<std::int64_t> tile_sizes = {4096, friendly::PairTiling{}.tile_bytes,
                                          std::int64_t{256} * 1024};
  for (std::size_t tuning = 0; tuning < friendly::kTuningCount; ++tuning)
    tile_sizes.push_back(friendly::pair_tiling(friendly::core_caches(), tuning).tile_bytes);
  for (const std::int64_t tile_bytes : tile_sizes) {
    const std::int64_t tile = tile_bytes / static_cast<std::int64_t>(sizeof(std::int32_t));
    const std::int64_t length = 3 * tile + 50;
    std::vector<std::int32_t> numerators(static_cast<std::size_t>(length));
    std::vector<std::int32_t> denominators(static_cast<std::size_t>(length), 1);
    for (std::int64_t k = 0; k < length; ++k)
      numerators[static_cast<std::size_t>(k)] = static_cast<std::int32_t>(1000 + k);
    constexpr std::int64_t kFarBlock = 648;  // block 81
    const std::int64_t first_rows[] = {0, 24, 80, kFarBlock};
    // Each planted row's ratio is copied to three columns, some tiles apart.
    const std::int64_t planted[][4] = {{0, tile - 1, tile, length - 1},
                                       {7, tile + 1, 2 * tile + 1, 2 * tile + 2},
                                       {27, 30, tile, 3 * tile},
                                       {80, 81, 2 * tile, length - 2},
                                       {kFarBlock + 3, tile + 2, 2 * tile - 1, 3 * tile + 1}};
    for (const auto& [row, a, b, c] : planted) {
      for (const std::int64_t column : {a, b, c})
        numerators[static_cast<std::size_t>(column)] = numerators[static_cast<std::size_t>(row)];
    }
    Pairs expected;
    for (const std::int64_t first : first_rows) {
      const Pairs block =
          literal_pairs(numerators, denominators, first, first + friendly::kRowBlock);
      expected.insert(expected.end(), block.begin(), block.end());
    }
    ASSERT_GE(expected.size(), 15u);
    Pairs found;
    EXPECT_TRUE(friendly_test::scan_blocks(GetParam(), first_rows, 4, length, numerators.data(),
                                           denominators.data(), tile_bytes,
                                           [&](std::int64_t row, std::int64_t col) {
                                             found.emplace_back(row, col);
                                             return true;
                                           }));
    EXPECT_EQ(found, expected) << tile_bytes << "-byte tiles";
  }
}

// matching_rows by brute force.
template <typename Ratio>
std::uint32_t reference_rows(const std::vector<Ratio>& numerators,
                             const std::vector<Ratio>& denominators,
                             const std::vector<std::int64_t>& rows, std::int64_t from,
                             std::int64_t to) {
  std::uint32_t found = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const auto i = static_cast<std::size_t>(rows[r]);
    for (std::int64_t j = std::max(from, rows[r] + 1); j < to; ++j) {
      const auto c = static_cast<std::size_t>(j);
      if (numerators[i] == numerators[c] && denominators[i] == denominators[c]) found |= 1U << r;
    }
  }
  return found;
}

// matching_rows on random rows of up to two blocks and random windows of columns, with the
// ratios' own keys and with key 0 for all (every pair then passes the filter, and so would
// columns past the window that a kernel padded with zeros), against brute force; and find_equal
// against std::find.
template <typename Ratio>
void expect_windows_match(KernelPath path, std::uint32_t seed) {
  constexpr std::int64_t kLength = 400;
  std::vector<Ratio> numerators;
  std::vector<Ratio> denominators;
  near_miss_ratios(kLength, seed, numerators, denominators);
  std::vector<std::uint16_t> own_keys;
  for (std::size_t k = 0; k < numerators.size(); ++k)
    own_keys.push_back(friendly::filter_key(numerators[k], denominators[k]));
  const std::vector<std::uint16_t> one_key(numerators.size(), 0);
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::int64_t> position(0, kLength - 1);
  std::uniform_int_distribution<std::int64_t> row_count(0, friendly::kRowBlock);
  for (int trial = 0; trial < 2000; ++trial) {
    // A whole block then a part of one, or a part of one alone, as the block scan makes them.
    std::vector<std::int64_t> rows;
    const std::int64_t second = row_count(random);
    const bool two = trial % 2 == 0 && second > 0;
    const std::int64_t first_rows = two ? friendly::kRowBlock : second;
    const std::int64_t first_row = std::min<std::int64_t>(
        position(random), kLength - std::int64_t{2} * friendly::kRowBlock - 24);
    for (std::int64_t r = 0; r < first_rows; ++r)
      rows.push_back(first_row + r);
    const std::int64_t later = first_row + std::int64_t{friendly::kRowBlock} * (1 + trial % 3);
    for (std::int64_t r = 0; two && r < second; ++r)
      rows.push_back(later + r);
    const std::int64_t a = position(random);
    const std::int64_t b = position(random) + 1;
    const std::int64_t from = std::min(a, b);
    const std::int64_t to = std::max(a, b);
    const std::uint32_t expected = reference_rows(numerators, denominators, rows, from, to);
    for (const std::vector<std::uint16_t>* keys : {&std::as_const(own_keys), &one_key}) {
      std::vector<std::uint16_t> row_keys;
      row_keys.reserve(rows.size());
      for (const std::int64_t i : rows)
        row_keys.push_back((*keys)[static_cast<std::size_t>(i)]);
      ASSERT_EQ(friendly_test::matching_rows(
                    path, numerators.data(), denominators.data(), rows.data(), row_keys.data(),
                    static_cast<std::int64_t>(rows.size()), keys->data() + from, from, to),
                expected)
          << rows.size() << " rows from " << first_row << ", columns " << from << ".." << to << ", "
          << sizeof(Ratio) << "-byte, " << (keys == &one_key ? "one key, " : "") << path_name(path);
    }

    const Ratio x = numerators[static_cast<std::size_t>(position(random))];
    const auto first = std::find(numerators.begin() + from, numerators.begin() + to, x);
    ASSERT_EQ(friendly_test::find_equal(path, x, numerators.data(), from, to),
              first - numerators.begin())
        << "find " << x << " in " << from << ".." << to << ", " << path_name(path);
  }
}

TEST_P(BlockScan, RowAndValueSearchesAgreeWithBruteForceOnAnyWindow) {
  expect_windows_match<std::int32_t>(GetParam(), 11);
  expect_windows_match<std::int64_t>(GetParam(), 12);
}

}  // namespace
