// Proof that the fast kernels do the whole work, from the counts that their loops keep in the
// counting build: every candidate of the literal trial division is tested, and every pair of
// the range is compared, on every path the processor has, under each of its distinct stepping
// kernels and tilings, and with any team size.
#include <gtest/gtest.h>
#include <omp.h>

#include <sys/types.h>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "kernel_paths.hpp"
#include "oracles.hpp"
#include "paths/tuning.hpp"
#include "run/friendly_numbers.hpp"
#include "search/friendly.hpp"
#include "search/pair_tiling.hpp"

namespace {

using friendly::KernelPath;
using friendly_test::path_name;

static_assert(friendly::kCountWork, "these tests need the counting build of the core");

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

// Checks, number by number, that the kernels tested every candidate that the literal loop tests
// and more only as counted retests.
void expect_every_candidate_tested(KernelPath path, std::int32_t low, std::int32_t high) {
  for (std::int32_t n = low;; ++n) {
    friendly::reset_work_counts();
    static_cast<void>(friendly::divisor_sum(n, path));
    const std::int64_t literal = friendly::candidate_tests(n);
    ASSERT_GE(friendly::counted_retests(), 0) << n << " on " << path_name(path);
    ASSERT_EQ(friendly::counted_tests() - friendly::counted_retests(), literal)
        << n << " on " << path_name(path) << ": " << friendly::counted_tests() << " tests, "
        << friendly::counted_retests() << " retests";
    if (n == high) break;
  }
}

TEST(StretchRetests, AFailedStretchIsRetestedWholeByEveryLaneOfItsVector) {
  if (!friendly::path_available(KernelPath::avx512)) GTEST_SKIP() << "no AVX-512 here";
  // The prime n's candidates around n / 2 have quotient 2 below it and 1 above, remainders that
  // never go negative within one of those stretches: only the stretch across n / 2 (in the middle
  // of one lane's segment of 10 stretches) fails its try without corrections, and the 16 lanes
  // of its vector step it again. No divisor: every candidate is tested once more than that.
  // Under every tuning's kernel.
  for (std::size_t t = 0; t < friendly::kTuningCount; ++t) {
    const friendly::Tuning& tuning = friendly::kTunings[t];
    const std::int32_t stretch = tuning.avx512_stretch;
    const std::int32_t lanes = 16 * tuning.avx512_vectors;
    const std::int32_t segment = 10 * stretch;
    constexpr std::int32_t kPrime = 1'000'003;
    // n / 2 lies 3 candidates into the 5th stretch of lane lanes / 2.
    const std::int32_t from = kPrime / 2 - 3 - (lanes / 2 * segment + 4 * stretch);
    const std::int32_t to = from + lanes * segment;
    friendly::reset_work_counts();
    ASSERT_EQ(friendly_test::stepping_kernel(KernelPath::avx512, t)(kPrime, from, to), to)
        << tuning.name;
    EXPECT_EQ(friendly::counted_retests(), std::int64_t{16} * stretch) << tuning.name;
    EXPECT_EQ(friendly::counted_tests(), std::int64_t{to - from} + std::int64_t{16} * stretch)
        << tuning.name;
  }
}

using WorkCount = friendly_test::TunedPathTest;
using FastWorkCount = friendly_test::TunedPathTest;

TEST_P(FastWorkCount, EveryCandidateOfTheLiteralLoopIsTested) {
  expect_every_candidate_tested(GetParam().path, -5, 20'000);
  expect_every_candidate_tested(GetParam().path, (1 << 24) - 48, (1 << 24) + 48);
  expect_every_candidate_tested(GetParam().path, kMax - 3, kMax);
}

// The work counted in one search of low..high with the given team size, its output discarded.
template <typename Ratio>
void count_search(std::int32_t low, std::int32_t high, KernelPath path, int threads,
                  std::FILE* out) {
  friendly::reset_work_counts();
  omp_set_num_threads(threads);
  ASSERT_TRUE(friendly::search<Ratio>(low, high, path, out));
}

TEST_P(WorkCount, SearchTestsEveryCandidateAndComparesEveryPairOnce) {
  std::FILE* out = std::fopen("/dev/null", "w");
  ASSERT_NE(out, nullptr);
  // Lengths around blocks, groups and tiles: a tile of 32-bit columns holds 4096 of them where
  // the first-level data cache is 32 KiB, 6144 where it is 48 KiB; a group is 2048 rows.
  const std::int32_t ranges[][2] = {{1, 20'000}, {-37, 3'000}, {5, 5}, {5, 4}, {1, 8'200}};
  const KernelPath path = GetParam().path;
  for (const auto& [low, high] : ranges) {
    std::int64_t candidates = 0;
    for (std::int32_t n = low; n <= high; ++n)
      candidates += friendly::candidate_tests(n);
    const std::int64_t length = friendly::range_length(low, high);
    for (const int threads : {1, 3}) {
      count_search<std::int32_t>(low, high, path, threads, out);
      EXPECT_EQ(friendly::counted_comparisons(), length * (length - 1) / 2)
          << low << ".." << high << ", " << threads << " threads";
      EXPECT_EQ(friendly::counted_tests() - friendly::counted_retests(), candidates)
          << low << ".." << high << ", " << threads << " threads";
    }
    count_search<std::int64_t>(low, high, path, 2, out);
    EXPECT_EQ(friendly::counted_comparisons(), length * (length - 1) / 2)
        << low << ".." << high << ", 64-bit";
  }
  std::fclose(out);
  omp_set_num_threads(omp_get_num_procs());
}

INSTANTIATE_TEST_SUITE_P(Paths, WorkCount,
                         testing::ValuesIn(friendly_test::tiling_tunings(friendly::kAllPaths)),
                         friendly_test::tuned_path_test_name);
INSTANTIATE_TEST_SUITE_P(
    Paths, FastWorkCount,
    testing::ValuesIn(friendly_test::stepping_tunings(friendly_test::kFastPaths)),
    friendly_test::tuned_path_test_name);

// Writes of a stream that accepts `limit` bytes, then fails.
ssize_t write_until_limit(void* cookie, const char* /*data*/, std::size_t size) {
  auto& left = *static_cast<std::size_t*>(cookie);
  if (size > left) return 0;  // fopencookie: 0 reports an error
  left -= size;
  return static_cast<ssize_t>(size);
}

// A stream that accepts `limit` bytes, then fails; unbuffered, so every line is one write.
std::FILE* failing_stream(std::size_t& limit) {
  std::FILE* out = fopencookie(&limit, "w", {nullptr, write_until_limit, nullptr, nullptr});
  if (out != nullptr) std::setvbuf(out, nullptr, _IONBF, 0);
  return out;
}

TEST(FailedWrite, StopsEveryThreadWithinItsNextBlocks) {
  constexpr std::int32_t kHigh = 150'000;
  const std::int64_t group_rows =
      std::int64_t{friendly::pair_tiling(friendly::core_caches()).group_blocks} *
      friendly::kRowBlock;
  for (const int threads : {1, 3}) {
    std::size_t left = 200;
    std::FILE* out = failing_stream(left);
    ASSERT_NE(out, nullptr);
    count_search<std::int32_t>(1, kHigh, friendly::fastest_path(), threads, out);
    EXPECT_NE(std::ferror(out), 0);
    // Each thread finishes at most the group of blocks it was scanning, and one more: a sixth
    // of all pairs with three threads.
    EXPECT_LT(friendly::counted_comparisons(), std::int64_t{threads} * 2 * group_rows * kHigh)
        << threads << " threads";
    std::fclose(out);
  }
  // A thread whose own lines all succeed, or that has none, stops once another's write failed.
  std::size_t none = 0;
  std::FILE* failed = failing_stream(none);
  ASSERT_NE(failed, nullptr);
  ASSERT_LT(std::fputs("x", failed), 0);
  count_search<std::int32_t>(1, kHigh, friendly::fastest_path(), 3, failed);
  EXPECT_EQ(friendly::counted_comparisons(), 0);
  std::fclose(failed);
  omp_set_num_threads(omp_get_num_procs());
}

}  // namespace
