// The validation's own arithmetic, and the answers that users compare across versions.
#include "validate/validate.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <numeric>
#include <utility>

#include "run/friendly_numbers.hpp"
#include "search/friendly.hpp"

namespace {

TEST(Validation, RatioGcdAgreesWithTheStandardGcdForSumsBeyond32Bits) {
  // Divisor sums of numbers near 2^31 pass 2^32: the remainder must be taken in 64 bits.
  const std::uint64_t sums[] = {std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 6, 6'442'450'941,
                                8'589'934'590, 9'663'676'416};
  const std::uint32_t numbers[] = {2'147'483'646, 2'147'483'640, 1'610'612'736, 3, 1};
  for (const std::uint64_t sum : sums) {
    for (const std::uint32_t n : numbers)
      EXPECT_EQ(friendly::ratio_gcd(sum, n), std::gcd(sum, std::uint64_t{n})) << sum << ", " << n;
  }
}

// The answers that the README shows, which users compare across versions, machines and builds:
// a change of the checksum's mix, or of either method, changes them.
TEST(Validation, PublishedAnswersOfTheSearchAndTheSieve) {
  struct Published {
    std::int32_t high;
    std::int64_t pairs;
    std::uint64_t checksum;
  };
  for (const Published& published :
       {Published{200, 5, 0xa02a62b63aeb9e86}, Published{100'000, 1929, 0x92aab25842e4f357}}) {
    friendly::Answer sieved;
    ASSERT_TRUE(friendly::validate_range(1, published.high, sieved));
    EXPECT_EQ(sieved.pairs, published.pairs) << published.high;
    EXPECT_EQ(friendly::checksum_text(sieved.checksum),
              friendly::checksum_text(published.checksum));
    friendly::Answer factored;
    ASSERT_TRUE(friendly::validate_by_factors(1, published.high, factored));
    EXPECT_EQ(factored.pairs, published.pairs) << published.high;
    EXPECT_EQ(factored.checksum, published.checksum) << published.high;

    std::FILE* out = std::fopen("/dev/null", "w");
    ASSERT_NE(out, nullptr);
    friendly::SearchReport report;
    ASSERT_TRUE(
        friendly::search<std::int32_t>(1, published.high, friendly::fastest_path(), out, &report));
    std::fclose(out);
    EXPECT_EQ(report.answer.pairs, published.pairs) << published.high;
    EXPECT_EQ(report.answer.checksum, published.checksum) << published.high;
  }
}

// The two checking methods agree where the ranges hold no pair, negatives, prime powers and the
// sums beyond 32 bits at the top of the range.
TEST(Validation, FactorsAndTheSieveAgreeOnWindows) {
  const std::pair<std::int32_t, std::int32_t> windows[] = {{-500, 5000},
                                                           {1, 1},
                                                           {2, 1},
                                                           {(1 << 24) - 2000, (1 << 24) + 2000},
                                                           {2'147'481'000, 2'147'483'647}};
  for (const auto& [low, high] : windows) {
    friendly::Answer sieved;
    friendly::Answer factored;
    ASSERT_TRUE(friendly::validate_range(low, high, sieved));
    ASSERT_TRUE(friendly::validate_by_factors(low, high, factored));
    EXPECT_EQ(factored.pairs, sieved.pairs) << low << ".." << high;
    EXPECT_EQ(factored.checksum, sieved.checksum) << low << ".." << high;
  }
}

}  // namespace
