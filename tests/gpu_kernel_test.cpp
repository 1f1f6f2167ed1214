// The kernels' whole bodies (gpu_kernels.hpp) on the host executor (gpu_host.hpp) against the
// literal loops: the ratio kernel on several host warps, the pair kernel block by block, on
// windows with 32- and 64-bit ratios; the search's device loop (gpu_loop.hpp) on the host
// device, its rerun and a failure at each call; and the executor's own checks of collective
// calls and barriers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "gpu_host.hpp"
#include "gpu_ratios.hpp"
#include "oracles.hpp"
#include "search/pair_phase.hpp"
#include "search/ratio_phase.hpp"

namespace {

using friendly::Count;

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr int kHostWarps = 3;

// Runs the ratio kernel on low..high and checks each ratio against the factorisation's, the
// literal loop's candidate tests, and the warps' tests less retests against the literal loop; the
// ratios go to numerators and denominators.
template <typename Ratio>
void expect_literal_ratios(std::int32_t low, std::int32_t high, std::vector<Ratio>& numerators,
                           std::vector<Ratio>& denominators) {
  const std::int64_t length = friendly::range_length(low, high);
  numerators.assign(static_cast<std::size_t>(length), -1);
  denominators.assign(static_cast<std::size_t>(length), -1);
  std::vector<Count> counters(friendly::kGpuCounters, 0);
  std::vector<Count> counts(friendly::kGpuCounters, 0);
  EXPECT_EQ(friendly::run_ratio_kernel(kHostWarps, low, length, numerators.data(),
                                       denominators.data(), counters.data(), counts.data()),
            "");
  std::int64_t candidates = 0;
  for (std::int64_t k = 0; k < length; ++k) {
    const auto n = static_cast<std::int32_t>(low + k);
    Ratio numerator = 0;
    Ratio denominator = 0;
    friendly::store_ratio(n, friendly::divisor_sum_by_factoring(n), numerator, denominator);
    const auto at = static_cast<std::size_t>(k);
    ASSERT_EQ(numerators[at], numerator) << n;
    ASSERT_EQ(denominators[at], denominator) << n;
    candidates += friendly::candidate_tests(n);
  }
  EXPECT_EQ(counters[friendly::kCandidateTests], static_cast<Count>(candidates));
  EXPECT_EQ(counts[friendly::kTests] - counts[friendly::kRetests], static_cast<Count>(candidates));
  // Each warp took one number past the end, and then stopped.
  EXPECT_EQ(counters[friendly::kNextNumber], static_cast<Count>(length + kHostWarps));
}

// Runs the pair kernel on `blocks` blocks over the ratios and checks its pairs, each once,
// against the literal scan, and its comparisons against the literal loop's.
template <typename Ratio>
void expect_literal_pairs(const std::vector<Ratio>& numerators,
                          const std::vector<Ratio>& denominators, std::int64_t blocks) {
  const auto length = static_cast<std::int64_t>(numerators.size());
  std::vector<std::uint64_t> literal;
  for (std::int64_t i = 0; i < length; ++i) {
    friendly::scan_row_literal(i, length, numerators.data(), denominators.data(),
                               [&](std::int64_t row, std::int64_t column) {
                                 literal.push_back(friendly::pair_key(row, column));
                               });
  }
  const std::int64_t tiles = (length + friendly::kTile - 1) / friendly::kTile;
  std::vector<std::uint64_t> keys(literal.size() + 1, 0);
  std::vector<Count> counters(friendly::kGpuCounters, 0);
  std::vector<Count> counts(friendly::kGpuCounters, 0);
  EXPECT_EQ(friendly::run_pair_kernel(blocks, length, numerators.data(), denominators.data(), tiles,
                                      keys.data(), static_cast<Count>(keys.size()), counters.data(),
                                      counts.data()),
            "");
  ASSERT_EQ(counters[friendly::kPairsFound], literal.size()) << length << " numbers";
  // Every tile taken once from the counter, and one number past the last by each block; each
  // pair compared once.
  EXPECT_EQ(counters[friendly::kNextTile], static_cast<Count>(tiles * (tiles + 1) / 2 + blocks));
  keys.resize(literal.size());
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, literal) << length << " numbers, " << sizeof(Ratio) << "-byte ratios";
  EXPECT_EQ(counts[friendly::kComparisons], static_cast<Count>(length * (length - 1) / 2));

  // A buffer of one pair: every pair still counted, the one slot holding one of them.
  if (literal.size() < 2) return;
  std::uint64_t only = 0;
  std::fill(counters.begin(), counters.end(), 0);
  EXPECT_EQ(friendly::run_pair_kernel(blocks, length, numerators.data(), denominators.data(), tiles,
                                      &only, 1, counters.data(), nullptr),
            "");
  EXPECT_EQ(counters[friendly::kPairsFound], literal.size());
  EXPECT_TRUE(std::binary_search(literal.begin(), literal.end(), only));
}

TEST(GpuKernels, RatioThenPairKernelOnHostGiveTheLiteralRatiosTestsAndPairs) {
  // Windows over two tiles of 2048 and over one, near 2^24, across the last bound of 32-bit
  // ratios and at both ends of the range: 32-bit ratios where they fit, 64-bit ones on the
  // others and on some where 32 bits fit.
  struct Window {
    std::int32_t low;
    std::int32_t high;
    bool narrow;
    bool wide;
  };
  const Window windows[] = {{-40, 2'100, true, false},
                            {-40, 300, false, true},
                            {(1 << 24) - 6, (1 << 24) + 6, true, true},
                            {190'000'000 - 4, 190'000'000 + 4, false, true},
                            {kMax - 1, kMax, false, true},
                            {kMin, kMin + 40, false, true}};
  for (const auto& [low, high, narrow, wide] : windows) {
    SCOPED_TRACE(std::to_string(low) + ".." + std::to_string(high));
    if (narrow) {
      std::vector<std::int32_t> numerators;
      std::vector<std::int32_t> denominators;
      expect_literal_ratios(low, high, numerators, denominators);
      expect_literal_pairs(numerators, denominators, 4);
    }
    if (wide) {
      std::vector<std::int64_t> numerators;
      std::vector<std::int64_t> denominators;
      expect_literal_ratios(low, high, numerators, denominators);
      expect_literal_pairs(numerators, denominators, 2);
    }
  }
}

TEST(GpuKernels, PairKernelOnHostFindsEveryPairOfClusteredRatiosOnce) {
  // Lengths around one tile, its rows per thread, and three tiles, as many blocks as tiles of
  // the triangle and fewer.
  for (const std::int64_t length : {2, 257, 2'047, 2'048, 2'049, 3 * 2'048 - 5}) {
    std::vector<std::int32_t> narrow_numerators;
    std::vector<std::int32_t> narrow_denominators;
    friendly_test::clustered_ratios(length, narrow_numerators, narrow_denominators);
    expect_literal_pairs(narrow_numerators, narrow_denominators, 6);
    std::vector<std::int64_t> numerators;
    std::vector<std::int64_t> denominators;
    friendly_test::clustered_ratios(length, numerators, denominators);
    expect_literal_pairs(numerators, denominators, 1);
  }
}

// The literal pairs of low..high, as pair keys in row, then column order, and the literal loop's
// candidate tests.
void literal_search(std::int32_t low, std::int32_t high, std::vector<std::uint64_t>& pairs,
                    std::int64_t& candidates) {
  const std::int64_t length = friendly::range_length(low, high);
  std::vector<std::int32_t> numerators(static_cast<std::size_t>(length));
  std::vector<std::int32_t> denominators(numerators.size());
  candidates = 0;
  for (std::int64_t k = 0; k < length; ++k) {
    const auto n = static_cast<std::int32_t>(low + k);
    const auto at = static_cast<std::size_t>(k);
    friendly::store_ratio(n, friendly::divisor_sum_by_factoring(n), numerators[at],
                          denominators[at]);
    candidates += friendly::candidate_tests(n);
  }
  pairs.clear();
  for (std::int64_t i = 0; i < length; ++i) {
    friendly::scan_row_literal(i, length, numerators.data(), denominators.data(),
                               [&](std::int64_t row, std::int64_t column) {
                                 pairs.push_back(friendly::pair_key(row, column));
                               });
  }
}

constexpr std::int32_t kLoopLow = 1;
constexpr std::int32_t kLoopHigh = 300;

TEST(GpuLoop, ShortFirstBufferRunsThePairPhaseAgainWithNoPairLostOrDoubled) {
  std::vector<std::uint64_t> literal;
  std::int64_t candidates = 0;
  literal_search(kLoopLow, kLoopHigh, literal, candidates);
  ASSERT_GE(literal.size(), 2U);
  constexpr std::int64_t kLength = kLoopHigh - kLoopLow + 1;
  for (const std::int64_t capacity : {friendly::kFirstPairCapacity, std::int64_t{1}}) {
    friendly::HostDevice device;
    friendly::GpuRun run;
    friendly::GpuWork work;
    std::string error;
    ASSERT_TRUE(friendly::search_with<std::int32_t>(device, kLoopLow, kLoopHigh, run, error, &work,
                                                    capacity))
        << error;
    EXPECT_EQ(run.pair_passes, capacity == 1 ? 2 : 1);
    std::sort(run.pairs.begin(), run.pairs.end());
    EXPECT_EQ(run.pairs, literal) << "first capacity " << capacity;
    EXPECT_EQ(run.candidate_tests, candidates);
    EXPECT_EQ(work.tests - work.retests, candidates);
    EXPECT_EQ(work.comparisons, kLength * (kLength - 1) / 2);
    EXPECT_EQ(device.live_allocations, 0);
  }
}

TEST(GpuLoop, FailureAtAnyDeviceCallGivesOneLineAndNoPairs) {
  friendly::HostDevice clean;
  friendly::GpuRun run;
  std::string error;
  ASSERT_TRUE(
      friendly::search_with<std::int32_t>(clean, kLoopLow, kLoopHigh, run, error, nullptr, 1));
  ASSERT_GT(clean.calls, 10);
  for (int call = 1; call <= clean.calls; ++call) {
    friendly::HostDevice device;
    device.fail_at = call;
    error.clear();
    EXPECT_FALSE(
        friendly::search_with<std::int32_t>(device, kLoopLow, kLoopHigh, run, error, nullptr, 1))
        << "call " << call;
    EXPECT_EQ(error.rfind("CUDA error: injected failure (", 0), 0U) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_TRUE(run.pairs.empty()) << "call " << call;
    EXPECT_EQ(device.live_allocations, 0) << "call " << call;
  }
}

// A lane context whose lane `odd` calls its ballot with `mask` (or shuffles instead, when
// shuffle_instead), the other lanes with the full mask.
struct OddLane {
  friendly::HostLane lane;
  int odd;
  unsigned mask;
  bool shuffle_instead;

  [[nodiscard]] unsigned ballot() const {
    if (lane.lane() != odd) return lane.ballot(friendly::kFullWarp, true);
    if (shuffle_instead) return lane.shfl(friendly::kFullWarp, 0U, 0);
    return lane.ballot(mask, true);
  }
};

// The error of one host warp whose lanes each call OddLane::ballot once.
std::string odd_warp_error(int odd, unsigned mask, bool shuffle_instead) {
  friendly::HostWarpGroup group;
  std::vector<unsigned> votes(friendly::kWarpLanes, 0);
  auto lane_body = [&](int lane) {
    const OddLane me{friendly::HostLane(group, lane), odd, mask, shuffle_instead};
    votes[static_cast<std::size_t>(lane)] = me.ballot();
  };
  group.run(lane_body);
  if (!shuffle_instead && mask == friendly::kFullWarp) {
    EXPECT_EQ(votes, std::vector<unsigned>(friendly::kWarpLanes, friendly::kFullWarp));
  }
  return group.error();
}

TEST(GpuKernels, HostWarpAndBlockCatchLanesAndThreadsThatGoTheirOwnWay) {
  EXPECT_EQ(odd_warp_error(-1, friendly::kFullWarp, false), "");
  EXPECT_NE(odd_warp_error(7, friendly::kFullWarp & ~(1U << 7), false), "");
  EXPECT_NE(odd_warp_error(31, friendly::kFullWarp, true), "");

  // A block whose thread 3 skips the barrier that the others pass.
  friendly::HostBlockGroup block;
  {
    std::vector<std::jthread> threads;
    threads.reserve(friendly::kPairThreads);
    for (int thread = 0; thread < friendly::kPairThreads; ++thread) {
      threads.emplace_back([&, thread] {
        if (thread != 3) block.sync(thread);
        block.leave();
      });
    }
  }
  EXPECT_NE(block.error(), "");
}

}  // namespace
