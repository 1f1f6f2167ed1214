// The progress meter's estimate of the ratio phase's work and its time text, and the pair
// phase's tiling read from the caches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "paths/cache_sizes.hpp"
#include "search/progress.hpp"
#include "search/ratio_phase.hpp"

namespace {

// The estimated share of the ratio phase's work below each of a few numbers of low..high agrees
// with the share of the candidate tests that the trial division really makes there.
void expect_ratio_shares_hold(std::int32_t low, std::int32_t high) {
  std::vector<double> below(static_cast<std::size_t>(high - low + 2), 0);
  for (std::int32_t n = low; n <= high; ++n) {
    const auto k = static_cast<std::size_t>(n - low);
    below[k + 1] = below[k] + static_cast<double>(friendly::candidate_tests(n));
  }
  friendly::ProgressMeter meter;
  friendly::begin_ratio_progress(meter, low, std::int64_t{high} - low + 1, 1, 0);
  for (int tenth = 1; tenth < 10; ++tenth) {
    const std::int32_t n = low + (high - low) / 10 * tenth;
    const double real = below[static_cast<std::size_t>(n - low)] / below.back();
    EXPECT_NEAR(friendly::ratio_share(meter, n), real, 0.01) << low << ".." << high << " at " << n;
  }
}

TEST(Progress, RatioPhaseSharesFollowTheCandidateTests) {
  expect_ratio_shares_hold(1, 200'000);
  expect_ratio_shares_hold(150'000, 200'000);
  expect_ratio_shares_hold(1'000'000, 1'050'000);
  // Numbers below 3 make no tests: their share is that of the numbers.
  friendly::ProgressMeter meter;
  friendly::begin_ratio_progress(meter, -100, 100, 1, 0);
  EXPECT_DOUBLE_EQ(friendly::ratio_share(meter, -50), 0.5);
}

TEST(Progress, TimeLeftReadsAsSecondsMinutesOrHours) {
  char text[48];
  const std::pair<double, std::string> cases[] = {
      {0, "0.0 s"},          {4.54, "4.5 s"},      {9.94, "9.9 s"},
      {9.96, "10 s"},        {59.4, "59 s"},       {185, "3 min 05 s"},
      {3599, "59 min 59 s"}, {7620, "2 h 07 min"}, {360000, "100 h 00 min"}};
  for (const auto& [seconds, expected] : cases) {
    friendly::format_time_left(seconds, text, sizeof text);
    EXPECT_EQ(std::string(text), expected) << seconds;
  }
}

TEST(CacheSizes, SysfsSizesAndTheTilesTheyGive) {
  EXPECT_EQ(friendly::cache_size_bytes("48K"), 48 * 1024);
  EXPECT_EQ(friendly::cache_size_bytes("2048K\n"), 2048 * 1024);
  EXPECT_EQ(friendly::cache_size_bytes("1M"), 1024 * 1024);
  EXPECT_EQ(friendly::cache_size_bytes("32768"), 32768);
  for (const char* bad : {"", "K", "-32K", "32Q", "32K extra", "99999999999999999999K"})
    EXPECT_EQ(friendly::cache_size_bytes(bad), 0) << bad;

  // Half the first-level cache, 64-byte lines, between 4 and 256 KiB; 16 KiB when unknown.
  const std::pair<std::int64_t, std::int64_t> tiles[] = {
      {48 * 1024, 24 * 1024}, {32 * 1024, 16 * 1024}, {0, 16 * 1024},
      {4000, 4 * 1024},       {1 << 30, 256 * 1024},  {80 * 1000, 40000 / 64 * 64}};
  for (const auto& [level1, tile] : tiles) {
    const friendly::PairTiling tiling = friendly::pair_tiling({level1, 0});
    EXPECT_EQ(tiling.tile_bytes, tile) << level1;
    EXPECT_GE(tiling.group_blocks, 1);
    EXPECT_LE(tiling.group_blocks, friendly::kMaxGroupBlocks);
  }
}

}  // namespace
