// The sieve method: its divisor sums and keys, and its lines against the search's and against
// trial division, in one pass or several.
#include "answer/sieve_answer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "kernel_paths.hpp"
#include "memory_stream.hpp"
#include "oracles.hpp"
#include "reference.hpp"
#include "search/friendly.hpp"
#include "sieve/divisor_sums.hpp"

namespace {

using friendly_test::MemoryStream;

// Divisor sum of n >= 1 by trial division up to its square root.
std::uint64_t trial_sum(std::int64_t n) {
  std::uint64_t sum = 0;
  for (std::int64_t d = 1; d * d <= n; ++d) {
    if (n % d == 0) sum += static_cast<std::uint64_t>(d * d == n ? d : d + n / d);
  }
  return sum;
}

// The pair lines of low..high in increasing order, from trial division: 1 counts its divisor
// twice, numbers below 1 never pair.
std::vector<std::string> window_lines(std::int64_t low, std::int64_t high) {
  const std::int64_t first = std::max<std::int64_t>(low, 1);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ratios;
  for (std::int64_t n = first; n <= high; ++n) {
    const std::uint64_t sum = n == 1 ? 2 : trial_sum(n);
    const std::uint64_t g = std::gcd(sum, static_cast<std::uint64_t>(n));
    ratios.emplace_back(sum / g, static_cast<std::uint64_t>(n) / g);
  }
  std::vector<std::string> lines;
  for (const auto& [a, b] : friendly_test::equal_key_pairs(ratios))
    lines.push_back(friendly_test::pair_line(first + a, first + b));
  return lines;
}

// The lines of the sieve method over low..high with the given budget, and its report.
std::vector<std::string> sieve_lines(std::int32_t low, std::int32_t high, std::int64_t budget,
                                     friendly::SieveReport& report) {
  MemoryStream out;
  EXPECT_TRUE(friendly::sieve_answer(low, high, budget, out.get(), nullptr, &report));
  return out.lines();
}

TEST(SieveMethod, DivisorSumsAndKeysAgreeWithTrialDivisionAndTheLiteralLoop) {
  // Segments from 1, near 2^24, near 190,000,000 and at the top, where sums pass 2^32.
  const std::int64_t firsts[] = {1, (1 << 24) - 700, 189'999'500, 2'147'482'000};
  std::vector<std::uint64_t> sums(1648);
  bool beyond_32_bits = false;
  for (const std::int64_t first : firsts) {
    const std::int64_t count = std::min<std::int64_t>(1648, 2'147'483'648 - first);
    friendly::sieve_divisor_sums(first, count, sums.data());
    for (std::int64_t i = 0; i < count; ++i) {
      const std::int64_t n = first + i;
      const std::uint64_t sum = sums[static_cast<std::size_t>(i)];
      ASSERT_EQ(sum, trial_sum(n)) << n;
      ASSERT_EQ(friendly::key_sum(friendly::ratio_key(sum, n), static_cast<std::uint32_t>(n)), sum)
          << n;
      beyond_32_bits = beyond_32_bits || sum > 0xFFFFFFFFU;
      // The literal loop where it is cheap: numbers with a divisor near their square root.
      std::int64_t divisor = 1;
      for (std::int64_t d = 1; d * d <= n; ++d)
        divisor = n % d == 0 ? d : divisor;
      if (n >= 2 && n / divisor < 3000) {
        EXPECT_EQ(sum, static_cast<std::uint64_t>(
                           friendly::divisor_sum_literal(static_cast<std::int32_t>(n))))
            << n;
      }
    }
  }
  EXPECT_TRUE(beyond_32_bits);
}

TEST(SieveMethod, EqualKeysOfUnequalRatiosDoNotPair) {
  // 6442450940 / 2147483647 and 6442450937 / 2147483646 differ by 1 / (2147483647 * 2147483646),
  // far below the doubles' spacing: one key, two ratios. 1 and 6 share the ratio 2.
  const auto entry = [](std::uint64_t sum, std::uint32_t n) {
    const std::uint64_t key = friendly::ratio_key(sum, n);
    return friendly::SieveEntry{static_cast<std::uint32_t>(key >> 32),
                                static_cast<std::uint32_t>(key), n};
  };
  const friendly::SieveEntry entries[] = {entry(6'442'450'940, 2'147'483'647), entry(2, 1),
                                          entry(6'442'450'937, 2'147'483'646), entry(12, 6)};
  ASSERT_EQ(friendly::ratio_key(6'442'450'940, 2'147'483'647),
            friendly::ratio_key(6'442'450'937, 2'147'483'646));
  const std::int64_t starts[] = {0};
  const std::int64_t sizes[] = {4};
  std::vector<std::uint64_t> pairs;
  ASSERT_TRUE(friendly::match_bins(entries, starts, sizes, 1, 1, pairs, {}));
  EXPECT_EQ(pairs, std::vector<std::uint64_t>{std::uint64_t{1} << 32 | 6});
}

TEST(SieveMethod, PrintsTheSearchsLinesInIncreasingOrderOnEveryPath) {
  const std::pair<std::int32_t, std::int32_t> windows[] = {
      {1, 3000}, {-300, 2000}, {2, 30}, {1, 1}, {5, 4}, {-2'147'483'648, -2'147'482'000}};
  for (const auto& [low, high] : windows) {
    friendly::SieveReport report;
    const std::vector<std::string> lines = sieve_lines(low, high, -1, report);
    EXPECT_EQ(lines, window_lines(low, high)) << low << ".." << high;
    EXPECT_EQ(report.passes, 1);
    for (const friendly::KernelPath path : friendly::kAllPaths) {
      if (!friendly::path_available(path)) continue;
      MemoryStream out;
      friendly::SearchReport searched;
      ASSERT_TRUE(friendly::search_on_cpu<std::int64_t>(low, high, path, out.get(), &searched));
      EXPECT_EQ(friendly_test::sorted(out.lines()), friendly_test::sorted(lines))
          << low << ".." << high << " on " << friendly::path_name(path);
      EXPECT_EQ(searched.answer.checksum, report.answer.checksum);
      EXPECT_EQ(searched.answer.pairs, report.answer.pairs);
    }
  }
}

TEST(SieveMethod, FarWindowsMatchTrialDivision) {
  // Near 2^24, across 190,000,000 (the search's ratios widen above it) and the top of the range.
  const std::pair<std::int32_t, std::int32_t> windows[] = {{(1 << 24) - 3000, (1 << 24) + 3000},
                                                           {189'998'000, 190'002'000},
                                                           {2'147'481'000, 2'147'483'647}};
  for (const auto& [low, high] : windows) {
    friendly::SieveReport report;
    EXPECT_EQ(sieve_lines(low, high, -1, report), window_lines(low, high)) << low << ".." << high;
  }
}

TEST(SieveMethod, ABudgetTooSmallForTheEntriesTakesSeveralPassesWithTheSameLines) {
  const std::int32_t high = 60'000;
  friendly::SieveReport whole;
  const std::vector<std::string> expected = sieve_lines(1, high, -1, whole);
  ASSERT_GT(expected.size(), 1000u);
  // Room for a fifth of the entries beside the fixed part.
  const friendly::SieveLayout layout = friendly::sieve_layout(1, high, omp_get_max_threads());
  const std::int64_t budget = friendly::sieve_least_bytes(layout) +
                              high / 5 * static_cast<std::int64_t>(sizeof(friendly::SieveEntry));
  friendly::SieveReport parts;
  EXPECT_EQ(sieve_lines(1, high, budget, parts), expected);
  EXPECT_GE(parts.passes, 5);
  EXPECT_EQ(parts.answer.checksum, whole.answer.checksum);
}

}  // namespace
