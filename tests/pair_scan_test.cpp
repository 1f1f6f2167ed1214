// The pair scan against an independent all-pairs reference, on ratio arrays with planted matches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "friendly.hpp"

namespace {

using Pairs = std::vector<std::pair<std::int64_t, std::int64_t>>;

// Ratio arrays with few distinct ratios, equal numerators over different denominators among them.
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
    numerators[k] = kind <= 2 ? Ratio{7} : static_cast<Ratio>(1000 + k * 3 + (kind == 9 ? 0 : 1));
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
  std::map<std::pair<Ratio, Ratio>, std::vector<std::int64_t>> groups;
  for (std::size_t k = 0; k < numerators.size(); ++k) {
    groups[{numerators[k], denominators[k]}].push_back(static_cast<std::int64_t>(k));
  }
  Pairs pairs;
  for (const auto& [ratio, members] : groups) {
    for (std::size_t a = 0; a < members.size(); ++a) {
      for (std::size_t b = a + 1; b < members.size(); ++b)
        pairs.emplace_back(members[a], members[b]);
    }
  }
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

template <typename Ratio>
void expect_scan_matches_reference(std::int64_t length, std::uint32_t seed) {
  std::vector<Ratio> numerators;
  std::vector<Ratio> denominators;
  planted_ratios(length, seed, numerators, denominators);
  Pairs found;
  for (std::int64_t i = 0; i < length; ++i) {
    friendly::scan_row_literal(
        i, length, numerators.data(), denominators.data(),
        [&](std::int64_t row, std::int64_t col) { found.emplace_back(row, col); });
  }
  // Same pairs, and in row order then column order.
  EXPECT_EQ(found, reference_pairs(numerators, denominators)) << "length " << length;
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
  Pairs found;
  for (std::int64_t i = 0; i < 4; ++i) {
    friendly::scan_row_literal(
        i, 4, numerators.data(), denominators.data(),
        [&](std::int64_t row, std::int64_t col) { found.emplace_back(row, col); });
  }
  EXPECT_EQ(found, (Pairs{{0, 2}}));
}

}  // namespace
