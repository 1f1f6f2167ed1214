// The search core end to end, in process: both ratio element widths on every path against an
// independent reference, and a range dealt out in shares, as several processes would run it.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kernel_paths.hpp"
#include "memory_stream.hpp"
#include "oracles.hpp"
#include "reference.hpp"
#include "run/friendly_numbers.hpp"
#include "search/friendly.hpp"
#include "text_files.hpp"
#include "validate/validate.hpp"

namespace {

using friendly::KernelPath;
using friendly_test::MemoryStream;
using friendly_test::reference_lines;
using friendly_test::sorted;
using friendly_test::split_lines;

// The lines of search<Ratio>(low, high) on path with a team of the given size.
template <typename Ratio>
std::vector<std::string> search_lines(std::int32_t low, std::int32_t high, KernelPath path,
                                      int threads) {
  MemoryStream out;
  omp_set_num_threads(threads);
  EXPECT_TRUE(friendly::search<Ratio>(low, high, path, out.get()));
  return out.lines();
}

using SearchOnPath = friendly_test::PathTest;

TEST_P(SearchOnPath, BothElementWidthsPrintTheReferencePairs) {
  const std::vector<std::string> expected = reference_lines(1, 30000);
  ASSERT_GT(expected.size(), 200u);
  // One thread prints in row, then column order; a larger team in any order.
  EXPECT_EQ(search_lines<std::int32_t>(1, 30000, GetParam(), 1), expected);
  EXPECT_EQ(search_lines<std::int64_t>(1, 30000, GetParam(), 1), expected);
  EXPECT_EQ(sorted(search_lines<std::int64_t>(1, 30000, GetParam(), 3)), sorted(expected));
  omp_set_num_threads(omp_get_num_procs());
}

INSTANTIATE_TEST_SUITE_P(Paths, SearchOnPath, testing::ValuesIn(friendly::kAllPaths),
                         friendly_test::path_test_name);

// Every share of `shares` of low..high, run one after the other: every number is stored and
// every pair printed once.
void expect_shares_cover(std::int32_t low, std::int32_t high, int shares) {
  const std::int64_t length = friendly::range_length(low, high);
  const KernelPath path = friendly::fastest_path();
  std::vector<std::int32_t> values(static_cast<std::size_t>(length), -1);
  std::vector<std::int32_t> numerators(values.size());
  std::vector<std::int32_t> denominators(values.size());
  MemoryStream out;
  for (int share = 0; share < shares; ++share) {
#pragma omp parallel num_threads(2)
    friendly::on_path(path, [&](auto chosen) {
      constexpr KernelPath Path = chosen;
      return friendly::ratio_phase<Path>(low, length, values.data(), numerators.data(),
                                         denominators.data(), share, shares);
    });
  }
  for (std::int64_t k = 0; k < length; ++k)
    ASSERT_EQ(values[static_cast<std::size_t>(k)], low + k) << shares << " shares";
  for (int share = 0; share < shares; ++share) {
#pragma omp parallel num_threads(3)
    friendly::on_path(path, [&](auto chosen) {
      constexpr KernelPath Path = chosen;
      friendly::Answer answer;
      return friendly::pair_phase<Path>(length, values.data(), numerators.data(),
                                        denominators.data(), share, shares, out.get(), answer);
    });
  }
  EXPECT_EQ(sorted(out.lines()), sorted(reference_lines(std::max(low, 1), high)))
      << low << ".." << high << ", " << shares << " shares";
}

TEST(Search, SharesTogetherStoreEveryNumberAndPrintEveryPairOnce) {
  for (const int shares : {1, 2, 3, 7})
    expect_shares_cover(-45, 5000, shares);
  // Fewer chunks of 16 numbers, and blocks of 8 rows, than shares: some shares have no work.
  expect_shares_cover(1, 30, 5);
}

// Each of three shares through the driver, its exchange filling in the other shares' ratios from
// a search of the whole range: the exchange runs once, on the calling thread, once the share's
// own ratios are stored and before any comparison, and the shares together find the whole
// range's pairs, answer and work.
TEST(Search, TheDriverExchangesBetweenThePhasesOnTheCallingThread) {
  constexpr std::int32_t kLow = -45;
  constexpr int kShares = 3;
  const std::int64_t length = friendly::range_length(kLow, 6000);
  const std::int64_t padded = (length / friendly::kRatioChunk + 1) * friendly::kRatioChunk;
  const auto share_of = [&](int share, const friendly::SearchArrays<std::int32_t>& arrays,
                            std::FILE* out, auto&& exchange) {
    return friendly::on_path(friendly::fastest_path(), [&](auto chosen) {
      constexpr KernelPath Path = chosen;
      return friendly::search_share<Path>(kLow, length, arrays, share, kShares, out, nullptr,
                                          exchange);
    });
  };
  omp_set_num_threads(3);
  MemoryStream all;
  const auto whole = friendly::allocate_search_arrays<std::int32_t>(length, padded);
  ASSERT_TRUE(whole);
  const friendly::SearchReport expected = friendly::on_path(friendly::fastest_path(), [&](auto c) {
    constexpr KernelPath Path = c;
    return friendly::search_share<Path>(kLow, length, whole, 0, 1, all.get(), nullptr);
  });
  EXPECT_EQ(whole.values[static_cast<std::size_t>(length)], 0);  // the padding, zeroed

  // One thread orders the phases and the exchange alone; three also need the barriers.
  for (const int threads : {1, 3}) {
    omp_set_num_threads(threads);
    MemoryStream out;
    friendly::SearchReport sum;
    const auto caller = std::this_thread::get_id();
    for (int share = 0; share < kShares; ++share) {
      const auto arrays = friendly::allocate_search_arrays<std::int32_t>(length, padded);
      ASSERT_TRUE(arrays);
      std::fill(arrays.values.get(), arrays.values.get() + length, INT32_MIN);  // none stored yet
      int calls = 0;
      bool in_order = true;
      const friendly::SearchReport report = share_of(share, arrays, out.get(), [&] {
        ++calls;
        in_order = std::this_thread::get_id() == caller && omp_get_thread_num() == 0;
        for (std::size_t k = 0; k < static_cast<std::size_t>(length); ++k) {
          if (static_cast<int>(k / friendly::kRatioChunk % kShares) == share) {
            in_order = in_order && arrays.values[k] == whole.values[k] &&
                       arrays.numerators[k] == whole.numerators[k] &&
                       arrays.denominators[k] == whole.denominators[k];
          } else {
            arrays.values[k] = whole.values[k];
            arrays.numerators[k] = whole.numerators[k];
            arrays.denominators[k] = whole.denominators[k];
          }
        }
      });
      EXPECT_EQ(calls, 1) << threads << " threads, share " << share;
      EXPECT_TRUE(in_order) << threads << " threads, share " << share;
      sum.candidate_tests += report.candidate_tests;
      sum.answer.pairs += report.answer.pairs;
      sum.answer.checksum += report.answer.checksum;
    }
    EXPECT_EQ(sorted(out.lines()), sorted(all.lines()));
    EXPECT_EQ(sorted(out.lines()), sorted(reference_lines(1, 6000)));
    EXPECT_EQ(sum.candidate_tests, expected.candidate_tests);
    EXPECT_EQ(sum.answer.pairs, expected.answer.pairs);
    EXPECT_EQ(sum.answer.checksum, expected.answer.checksum);
  }
  omp_set_num_threads(omp_get_num_procs());
}

}  // namespace

namespace {

// The answer of the reference lines of [max(low, 1), high], from their numbers.
friendly::Answer reference_answer(std::int32_t low, std::int32_t high) {
  friendly::Answer answer;
  for (const std::string& line : reference_lines(std::max(low, 1), high)) {
    std::int32_t a = 0;
    std::int32_t b = 0;
    EXPECT_EQ(std::sscanf(line.c_str(), "%d and %d", &a, &b), 2) << line;
    ++answer.pairs;
    answer.checksum += friendly::pair_mix(a, b);
  }
  return answer;
}

TEST(Validation, SieveAndSearchReportTheReferenceAnswerAndWork) {
  const std::int32_t ranges[][2] = {{-60, 30000}, {1, 1}, {5, 4}, {28, 496}, {9000, 20000}};
  for (const auto& [low, high] : ranges) {
    const friendly::Answer expected = reference_answer(low, high);
    friendly::Answer sieved;
    ASSERT_TRUE(friendly::validate_range(low, high, sieved));
    EXPECT_EQ(sieved.pairs, expected.pairs) << low << ".." << high;
    EXPECT_EQ(sieved.checksum, expected.checksum) << low << ".." << high;

    MemoryStream out;
    friendly::SearchReport report;
    omp_set_num_threads(3);
    ASSERT_TRUE(
        friendly::search<std::int32_t>(low, high, friendly::fastest_path(), out.get(), &report));
    EXPECT_EQ(report.answer.pairs, expected.pairs) << low << ".." << high;
    EXPECT_EQ(report.answer.checksum, expected.checksum) << low << ".." << high;
    std::int64_t tests = 0;
    for (std::int64_t n = low; n <= high; ++n)
      tests += friendly::candidate_tests(static_cast<std::int32_t>(n));
    EXPECT_EQ(report.candidate_tests, tests) << low << ".." << high;
    EXPECT_EQ(report.threads, 3);
  }
  omp_set_num_threads(omp_get_num_procs());
  // Swapping two pairs' numbers changes the checksum; a difference is named with both answers.
  EXPECT_NE(friendly::pair_mix(6, 28), friendly::pair_mix(28, 6));
  EXPECT_EQ(friendly::answer_mismatch({5, 0xabc}, {5, 0xabc}), "");
  EXPECT_EQ(friendly::answer_mismatch({5, 0xabc}, {6, 0xabc}),
            "validation failed: the search printed 5 pairs with checksum 0000000000000abc, the "
            "sieve finds 6 with checksum 0000000000000abc");
}

}  // namespace
