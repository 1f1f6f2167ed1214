// The ratio step and gcd: the defining table, and divisor sums against an independent
// factorisation over whole windows of the 32-bit domain.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "friendly.hpp"

namespace {

using friendly::divisor_sum;
using friendly::divisor_sum_literal;
using friendly::gcd;
using friendly::store_ratio;

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

// Sum of the positive divisors of n >= 1 from its prime factorisation.
std::int64_t sigma_by_factoring(std::int64_t n) {
  std::int64_t sigma = 1;
  for (std::int64_t p = 2; p * p <= n; ++p) {
    std::int64_t power_sum = 1;
    std::int64_t power = 1;
    while (n % p == 0) {
      n /= p;
      power *= p;
      power_sum += power;
    }
    sigma *= power_sum;
  }
  return n > 1 ? sigma * (n + 1) : sigma;
}

// What the step must yield for any n: sigma(n), except that 1 counts its divisor twice and
// numbers up to 2 never enter the trial division.
std::int64_t expected_sum(std::int32_t n) {
  return n <= 2 ? std::int64_t{n} + 1 : sigma_by_factoring(n);
}

struct Ratio32 {
  std::int32_t numerator;
  std::int32_t denominator;
};

Ratio32 narrow_ratio(std::int32_t n) {
  Ratio32 r{};
  store_ratio(n, divisor_sum(n), r.numerator, r.denominator);
  return r;
}

TEST(Gcd, RemainderMethodCases) {
  EXPECT_EQ(gcd(12, 0), 12);
  EXPECT_EQ(gcd(12, 18), 6);
  EXPECT_EQ(gcd(18, 12), 6);
  EXPECT_EQ(gcd(7, 13), 1);
  EXPECT_EQ(gcd(0, 5), 5);
  EXPECT_EQ(gcd(-4, -5), -1);
  EXPECT_EQ(gcd(0, -1), -1);
  EXPECT_EQ(gcd(1, 0), 1);
  // Operands whose plain remainder would overflow.
  EXPECT_EQ(gcd(kMin, -1), -1);
  EXPECT_EQ(gcd(-1, kMin), -1);
  EXPECT_EQ(gcd(kMin + 1, kMin), -1);
  EXPECT_EQ(gcd<std::int64_t>(std::int64_t{kMin} + 1, kMin), -1);
}

TEST(Gcd, AgreesWithStandardGcdOnPositiveOperands) {
  for (std::int32_t a = 1; a <= 300; ++a) {
    for (std::int32_t b = 1; b <= 300; ++b) {
      ASSERT_EQ(gcd(a, b), std::gcd(a, b)) << a << ", " << b;
    }
  }
}

TEST(RatioStep, DefiningTable) {
  struct Row {
    std::int32_t n;
    std::int32_t numerator;
    std::int32_t denominator;
  };
  const Row table[] = {{-5, 4, 5}, {-1, 0, 1},  {0, 1, 0},    {1, 2, 1},    {2, 3, 2},
                       {4, 7, 4},  {6, 2, 1},   {9, 13, 9},   {12, 7, 3},   {16, 31, 16},
                       {28, 2, 1}, {30, 12, 5}, {140, 12, 5}, {80, 93, 40}, {200, 93, 40}};
  for (const Row& row : table) {
    const Ratio32 r = narrow_ratio(row.n);
    EXPECT_EQ(r.numerator, row.numerator) << "n = " << row.n;
    EXPECT_EQ(r.denominator, row.denominator) << "n = " << row.n;
  }
}

TEST(RatioStep, PrimesSquaresAndNegatives) {
  for (const std::int32_t p : {3, 5, 97, 997, 7919, 65521, 1000003}) {
    const Ratio32 r = narrow_ratio(p);
    EXPECT_EQ(r.numerator, p + 1) << p;
    EXPECT_EQ(r.denominator, p) << p;
  }
  for (std::int32_t root = 2; root <= 300; ++root) {
    const std::int32_t n = root * root;
    ASSERT_EQ(divisor_sum(n), sigma_by_factoring(n)) << n;
  }
  for (const std::int32_t n : {-2, -3, -100, -65536, kMin + 1}) {
    const Ratio32 r = narrow_ratio(n);
    EXPECT_EQ(r.numerator, -n - 1) << n;
    EXPECT_EQ(r.denominator, -n) << n;
  }
  // The smallest number's denominator is 2^31, which only the wide elements hold.
  std::int64_t numerator = 0;
  std::int64_t denominator = 0;
  store_ratio(kMin, divisor_sum(kMin), numerator, denominator);
  EXPECT_EQ(numerator, std::int64_t{kMax});
  EXPECT_EQ(denominator, std::int64_t{kMax} + 1);
}

// Checks both kernels against the factorisation over [first, last].
void expect_window_exact(std::int32_t first, std::int32_t last) {
  for (std::int64_t n = first; n <= last; ++n) {
    const auto number = static_cast<std::int32_t>(n);
    const std::int64_t expected = expected_sum(number);
    ASSERT_EQ(divisor_sum_literal(number), expected) << "n = " << n;
    ASSERT_EQ(divisor_sum(number), expected) << "n = " << n;
  }
}

TEST(DivisorSum, MatchesFactorisationFromNegativesToTwentyThousand) {
  expect_window_exact(-200, 20'000);
}

TEST(DivisorSum, MatchesFactorisationNearTheNarrowBound) {
  expect_window_exact(friendly::kNarrowHigh - 40, friendly::kNarrowHigh + 40);
}

TEST(DivisorSum, MatchesFactorisationJustBelowTheLargestNumber) {
  // Windows chosen where trial division is short; most sums here exceed 2^31 - 1.
  expect_window_exact(2'147'483'616, 2'147'483'627);
  expect_window_exact(2'147'483'630, 2'147'483'635);
  EXPECT_GT(divisor_sum(2'147'483'640), std::int64_t{kMax});
  EXPECT_EQ(divisor_sum(2'147'483'640), sigma_by_factoring(2'147'483'640));
}

TEST(DivisorSum, SmallestNumbersOfTheDomain) {
  for (std::int64_t n = kMin; n < std::int64_t{kMin} + 64; ++n) {
    const auto number = static_cast<std::int32_t>(n);
    ASSERT_EQ(divisor_sum(number), n + 1);
  }
}

TEST(RatioStep, WideAndNarrowElementsAgreeWhereSumsFit) {
  for (std::int32_t n = -1000; n <= 50'000; ++n) {
    const std::int64_t sum = divisor_sum(n);
    std::int32_t narrow_num = 0;
    std::int32_t narrow_den = 0;
    std::int64_t wide_num = 0;
    std::int64_t wide_den = 0;
    store_ratio(n, sum, narrow_num, narrow_den);
    store_ratio(n, sum, wide_num, wide_den);
    ASSERT_EQ(wide_num, narrow_num) << n;
    ASSERT_EQ(wide_den, narrow_den) << n;
  }
}

TEST(RatioStep, WideRatiosAreInLowestTermsAboveTheNarrowRange) {
  for (const std::int32_t n : {2'147'483'616, 2'147'483'620, 2'147'483'640}) {
    std::int64_t numerator = 0;
    std::int64_t denominator = 0;
    const std::int64_t sum = divisor_sum(n);
    store_ratio(n, sum, numerator, denominator);
    EXPECT_EQ(std::gcd(numerator, denominator), 1) << n;
    EXPECT_EQ(numerator * n, sum * denominator) << n;
  }
}

TEST(NarrowBound, ProvenBoundFitsAndRangesWidenOnlyWhenNeeded) {
  // The bound of the proof, n (1 + ln 2 + ln(n) / 2), at the narrow limit.
  const long double n = friendly::kNarrowHigh;
  const long double bound = n * (1.0L + std::log(2.0L) + std::log(n) / 2.0L);
  EXPECT_LT(bound, static_cast<long double>(kMax));

  EXPECT_FALSE(friendly::needs_wide_ratios(1, friendly::kNarrowHigh));
  EXPECT_FALSE(friendly::needs_wide_ratios(kMin + 1, 100));
  EXPECT_TRUE(friendly::needs_wide_ratios(1, friendly::kNarrowHigh + 1));
  EXPECT_TRUE(friendly::needs_wide_ratios(kMin, kMin));
  EXPECT_EQ(friendly::search_bytes(1, 100), 1200);
  EXPECT_EQ(friendly::search_bytes(kMax - 99, kMax), 2000);
  EXPECT_EQ(friendly::search_bytes(5, 4), 0);
}

TEST(CandidateTests, CountsTheTrialDivisionsOfTheLiteralLoop) {
  EXPECT_EQ(friendly::candidate_tests(2), 0);
  EXPECT_EQ(friendly::candidate_tests(4), 1);
  EXPECT_EQ(friendly::candidate_tests(9), 2);
  EXPECT_EQ(friendly::candidate_tests(97), 95);
  EXPECT_EQ(friendly::candidate_tests(194), 95);
  EXPECT_EQ(friendly::candidate_tests(960), 30);
  EXPECT_EQ(friendly::candidate_tests(997), 995);
  std::int64_t total = 0;
  for (std::int32_t n = 1; n <= 100'000; ++n)
    total += friendly::candidate_tests(n);
  EXPECT_EQ(total, 798'187'214);
}

}  // namespace
