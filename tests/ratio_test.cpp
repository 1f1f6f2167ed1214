// The ratio step and gcd: the defining table, divisor sums against an independent factorisation
// over whole windows of the 32-bit domain, and the fast kernels of every path, under each of their
// tunings, against independent sums and first divisors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "kernel_paths.hpp"
#include "oracles.hpp"
#include "search/friendly.hpp"

namespace {

using friendly::divisor_sum;
using friendly::divisor_sum_by_factoring;
using friendly::divisor_sum_literal;
using friendly::gcd;
using friendly::KernelPath;
using friendly::store_ratio;

// The divisor sum on the fastest path, as the search computes it.
std::int64_t divisor_sum(std::int32_t n) {
  return friendly::divisor_sum(n, friendly::fastest_path());
}

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

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

TEST(IntegerRoot, RunTimeRootIsExactAroundEverySquare) {
  // The run-time root (from the double square root) and the device's binary search, run here,
  // against the defining inequality at each square, its neighbours and the ends of the domain. The
  // search's every test, middle * middle <= n, holds for all n from one square to the next or for
  // none, so it takes one path over each such interval: these cover every n.
  static_assert(friendly::integer_root(0) == 0 && friendly::integer_root(INT32_MAX) == 46340);
  const auto check = [](std::int32_t n) {
    const std::int64_t root = friendly::integer_root(n);
    ASSERT_TRUE(root * root <= n && (root + 1) * (root + 1) > n) << n;
    ASSERT_EQ(friendly::integer_root_search(n), root) << n << ", the device's search";
  };
  for (std::int64_t m = 1; m <= 46340; ++m) {
    for (std::int64_t n = m * m - 1; n <= m * m + 1; ++n)
      check(static_cast<std::int32_t>(n));
  }
  for (const std::int32_t n : {0, 1, 2, 3, INT32_MAX - 1, INT32_MAX})
    check(n);
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
    ASSERT_EQ(divisor_sum(n), divisor_sum_by_factoring(n)) << n;
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
    const std::int64_t expected = divisor_sum_by_factoring(number);
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
  EXPECT_EQ(divisor_sum(2'147'483'640), divisor_sum_by_factoring(2'147'483'640));
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

using friendly_test::kAllPaths;
using friendly_test::path_name;

bool is_prime(std::int64_t n) {
  if (n < 2) return false;
  for (std::int64_t p = 2; p * p <= n; ++p) {
    if (n % p == 0) return false;
  }
  return true;
}

// Largest prime at most n.
std::int32_t prime_at_most(std::int32_t n) {
  while (!is_prime(n))
    --n;
  return n;
}

// What the step must yield for every n <= last, from a sieve of the divisors of 3..last (the
// literal loop agrees with the factorisation, DivisorSum above): index n holds n's sum.
std::vector<std::int64_t> sieved_sums(std::int32_t last) {
  std::vector<std::int64_t> sums(static_cast<std::size_t>(last) + 1, 0);
  for (std::int64_t d = 1; d <= last; ++d) {
    for (std::int64_t m = d; m <= last; m += d)
      sums[static_cast<std::size_t>(m)] += d;
  }
  sums[1] = 2;
  sums[2] = 3;
  return sums;
}

class FastDivisorSum : public friendly_test::TunedPathTest {};
INSTANTIATE_TEST_SUITE_P(
    Paths, FastDivisorSum,
    testing::ValuesIn(friendly_test::stepping_tunings(friendly_test::kFastPaths)),
    friendly_test::tuned_path_test_name);

TEST_P(FastDivisorSum, EqualsTheSievedSumForEveryNumberUpToOneHundredThousand) {
  const std::vector<std::int64_t> sums = sieved_sums(100'000);
  for (std::int32_t n = -50; n <= 0; ++n)
    ASSERT_EQ(divisor_sum(n, GetParam().path), std::int64_t{n} + 1) << "n = " << n;
  for (std::int32_t n = 1; n <= 100'000; ++n)
    ASSERT_EQ(divisor_sum(n, GetParam().path), sums[static_cast<std::size_t>(n)]) << "n = " << n;
}

TEST_P(FastDivisorSum, MatchesFactorisationOnRandomNumbersOfTheWholeRange) {
  // Numbers whose trial division is short enough for the portable path under sanitizers (a few
  // million candidates); the draw still covers every size up to 2^31 - 1.
  std::mt19937 random(20'240'601);
  std::uniform_int_distribution<std::int32_t> draw(3, kMax);
  int compared = 0;
  while (compared < 150) {
    const std::int32_t n = draw(random);
    if (friendly::candidate_tests(n) > (1 << 22)) continue;
    ++compared;
    ASSERT_EQ(divisor_sum(n, GetParam().path), divisor_sum_by_factoring(n)) << "n = " << n;
  }
}

TEST_P(FastDivisorSum, MatchesFactorisationOnSquaresPrimesAndTwicePrimes) {
  std::vector<std::int32_t> numbers;
  // Squares of every size, the largest square below 2^31 included.
  for (std::int32_t root = 2; root <= 46'340; root += root < 400 ? 1 : 997)
    numbers.push_back(root * root);
  numbers.push_back(46'340 * 46'340);
  numbers.push_back(prime_at_most(46'340) * prime_at_most(46'340));
  // Primes and twice primes around the sizes where the kernels change precision (2^24) and
  // a few beyond the exhaustive range.
  for (const std::int32_t bound : {131'071, 1'000'000, 8'388'608, 16'777'216, 16'777'300}) {
    const std::int32_t p = prime_at_most(bound);
    numbers.push_back(p);
    numbers.push_back(2 * prime_at_most(bound / 2));
  }
  // Every number on both sides of 2^24.
  for (std::int32_t n = (1 << 24) - 12; n <= (1 << 24) + 12; ++n)
    numbers.push_back(n);
  for (const std::int32_t n : numbers)
    ASSERT_EQ(divisor_sum(n, GetParam().path), divisor_sum_by_factoring(n)) << "n = " << n;
}

TEST_P(FastDivisorSum, MatchesFactorisationOnTheLargestPrimeAndTwiceAPrime) {
  // Here the literal loop would test about 2^31 candidates per number; the factorisation,
  // which the literal loop matches (see DivisorSum above), is the reference instead. The
  // portable path, slow under sanitizers, takes the prime only.
  EXPECT_EQ(divisor_sum(kMax, GetParam().path), divisor_sum_by_factoring(kMax));
  if (GetParam().path == KernelPath::portable) return;
  const std::int32_t twice_prime = 2 * prime_at_most(kMax / 2);
  EXPECT_EQ(divisor_sum(twice_prime, GetParam().path), divisor_sum_by_factoring(twice_prime));
}

TEST_P(FastDivisorSum, NumbersUpToTwoSkipTheTrialDivision) {
  for (const std::int32_t n : {kMin, kMin + 1, -7, -1, 0, 1, 2})
    EXPECT_EQ(divisor_sum(n, GetParam().path), std::int64_t{n} + 1) << n;
}

using friendly_test::next_divisor;

// The first divisor of n in [from, to), or to.
std::int32_t first_divisor(std::int32_t n, std::int32_t from, std::int32_t to) {
  for (std::int32_t f = from; f < to; ++f) {
    if (n % f == 0) return f;
  }
  return to;
}

class NextDivisor : public friendly_test::TunedPathTest {};
INSTANTIATE_TEST_SUITE_P(Paths, NextDivisor,
                         testing::ValuesIn(friendly_test::stepping_tunings(kAllPaths)),
                         friendly_test::tuned_path_test_name);

TEST_P(NextDivisor, FindsADivisorAtEveryPositionOfItsRange) {
  // A divisor planted at each position of ranges that fill the lanes unevenly, so that it
  // lies in every lane and every step of a lane once, and in the tail after the lanes: ranges
  // just short of and past the lanes' smallest segments, and (863) stretches of steps followed
  // by a single step and one more candidate in all but one lane of 48.
  struct Case {
    std::int32_t divisor;
    std::int32_t cofactor;
  };
  const Case cases[] = {{1'000'003, 997}, {40'009, 3}, {9'973, 7}, {50'000, 42'949}};
  for (const Case& c : cases) {
    const std::int32_t n = c.divisor * c.cofactor;
    // A long range whose last lane meets a change of quotient on its way to the divisor.
    const std::int32_t far = c.divisor - c.divisor / 16;
    if (std::int64_t{far} * far >= n) {
      ASSERT_EQ(next_divisor(GetParam().path, true, n, far, c.divisor + 64),
                first_divisor(n, far, c.divisor + 64))
          << n << " from " << far;
    }
    for (const std::int32_t count : {1, 23, 24 * 16 - 1, 24 * 16 + 5, 16 * 20 + 15, 700, 863}) {
      for (std::int32_t position = 0; position < count; ++position) {
        const std::int32_t from = c.divisor - position;
        const std::int32_t to = from + count;
        const std::int32_t expected = first_divisor(n, from, to);
        ASSERT_EQ(next_divisor(GetParam().path, false, n, from, to), expected)
            << n << " from " << from << " to " << to;
        if (std::int64_t{from} * from >= n) {
          ASSERT_EQ(next_divisor(GetParam().path, true, n, from, to), expected)
              << n << " from " << from << " to " << to;
        }
      }
    }
  }
}

TEST_P(NextDivisor, StepsUpToTheLargestNumber) {
  // Candidates, quotients and remainders at the top of the 32-bit range, for numbers with and
  // without a divisor there.
  const std::int32_t numbers[] = {kMax, kMax - 1, 2 * prime_at_most(kMax / 2), kMax - 63};
  for (const std::int32_t n : numbers) {
    // Short stretches go to the dividing kernel, whose last step may pass the largest number.
    for (const std::int32_t count : {100, 5000, 20'000}) {
      // Around n / 2 (a divisor of even n), just below n, and just below the largest number.
      for (const std::int32_t to : {n / 2 + count / 2, n, kMax}) {
        const std::int32_t from = to - count;
        ASSERT_EQ(next_divisor(GetParam().path, true, n, from, to), first_divisor(n, from, to))
            << n << " from " << from << " to " << to;
        ASSERT_EQ(next_divisor(GetParam().path, false, n, from, to), first_divisor(n, from, to))
            << n << " from " << from << " to " << to << ", dividing";
      }
    }
  }
}

TEST_P(NextDivisor, AgreesWithDivisionOnRandomRanges) {
  // Products of two random factors have several divisors near and above the square root.
  std::mt19937 random(77);
  std::uniform_int_distribution<std::int32_t> factor(2, 46'000);
  std::uniform_int_distribution<std::int32_t> span(0, 3000);
  for (int trial = 0; trial < 3000; ++trial) {
    const std::int32_t n = factor(random) * factor(random);
    const auto root = static_cast<std::int32_t>(std::sqrt(static_cast<double>(n)));
    // Division: any start from 2; stepping: starts at or above the square root.
    const std::int32_t low = 2 + span(random) % (root + 1);
    const std::int32_t low_to = low + span(random);
    ASSERT_EQ(next_divisor(GetParam().path, false, n, low, low_to), first_divisor(n, low, low_to))
        << n << " from " << low;
    const std::int32_t high = root + 1 + span(random);
    const std::int32_t high_to = high + span(random);
    ASSERT_EQ(next_divisor(GetParam().path, true, n, high, high_to),
              first_divisor(n, high, high_to))
        << n << " from " << high;
  }
}

TEST_P(NextDivisor, RangesThatStartAtADivisorFindIt) {
  // Each divisor d >= sqrt(n) of numbers with many divisors starts ranges short and long: the
  // long ones split where a tuning steps the candidates that need corrections apart, and the
  // split's first part then starts at d.
  for (const std::int32_t n : {223'092'870, 1 << 30, 2'147'483'646}) {
    for (std::int64_t d = 2; d <= n / 2 && d <= 600'000; ++d) {
      if (n % d != 0 || d * d < n) continue;
      for (const std::int32_t span : {1, 100, 5'000, 300'000}) {
        const auto from = static_cast<std::int32_t>(d);
        const std::int32_t to = from + std::min(span, n - from);
        ASSERT_EQ(next_divisor(GetParam().path, true, n, from, to), from) << n << " from " << from;
        ASSERT_EQ(next_divisor(GetParam().path, false, n, from, to), from) << n << " from " << from;
      }
    }
  }
}

// divisors_dividing against one division per candidate: on every number's candidates up to its
// root for 4..20000, both sides of 2^24 (where the vector paths leave single precision), the
// largest numbers, numbers divided by the candidate just past the pass, and from random starts.
TEST_P(NextDivisor, OnePassBelowTheRootAddsEveryDivisorAndItsCofactor) {
  const auto expect_pass = [&](std::int32_t n, std::int32_t from, std::int32_t to) {
    std::int64_t expected_sum = 5;
    std::int32_t expected_cofactor = n;
    for (std::int32_t f = from; f < to; ++f) {
      if (n % f != 0) continue;
      expected_cofactor = n / f;
      expected_sum += f + (expected_cofactor == f ? 0 : expected_cofactor);
    }
    std::int64_t sum = 5;
    ASSERT_EQ(friendly_test::divisors_dividing(GetParam().path, n, from, to, sum),
              expected_cofactor)
        << n << " from " << from << " to " << to;
    ASSERT_EQ(sum, expected_sum) << n << " from " << from << " to " << to;
  };
  const auto root = [](std::int32_t n) {
    return static_cast<std::int32_t>(std::sqrt(static_cast<double>(n)));
  };
  for (std::int32_t n = 4; n <= 20'000; ++n)
    expect_pass(n, 2, root(n) + 1);
  for (const std::int32_t n : {(1 << 24) - 1, 1 << 24, (1 << 24) + 1, 4095 * 4097, 4099 * 4099,
                               kMax, kMax - 1, 46'340 * 46'340, 2 * prime_at_most(kMax / 2)})
    expect_pass(n, 2, root(n) + 1);
  // m (m + 1), whose root is m: the first candidate past the pass divides it, in every lane.
  for (std::int32_t m = 3000; m < 3016; ++m) {
    expect_pass(m * (m + 1), 2, m + 1);
    expect_pass((m + 2000) * (m + 2001), 2, m + 2001);
  }
  std::mt19937 random(78);
  std::uniform_int_distribution<std::int32_t> number(4, kMax);
  for (int trial = 0; trial < 300; ++trial) {
    const std::int32_t n = number(random);
    const std::int32_t to = root(n) + 1;
    expect_pass(n, 2 + static_cast<std::int32_t>(random() % static_cast<unsigned>(to - 2)), to);
  }
}

}  // namespace
