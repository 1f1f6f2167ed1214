// The contracts of the kernels, checked where the build has them on: a call that breaks one ends
// the process with the condition named, before the kernel computes a wrong answer.
#include <gtest/gtest.h>

#include <cstdint>

#include "kernel_paths.hpp"

namespace {

using friendly::KernelPath;

class ContractDeathTest : public friendly_test::PathTest {};
INSTANTIATE_TEST_SUITE_P(Paths, ContractDeathTest, testing::ValuesIn(friendly::kAllPaths),
                         friendly_test::path_test_name);

TEST_P(ContractDeathTest, SteppingBelowTheSquareRootIsCaught) {
#ifndef FRIENDLY_CONTRACTS
  GTEST_SKIP() << "contracts are compiled out of this build (FRIENDLY_CONTRACTS is off)";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Below the square root of n, a quotient exceeds its candidate and one correction per step
  // no longer suffices: stepping from 2 would miss the divisors of 1000003 * 3.
  EXPECT_DEATH(static_cast<void>(friendly_test::next_divisor(GetParam(), true, 3'000'009, 2, 100)),
               "contract violated: .*\\* from >= n");
  EXPECT_DEATH(static_cast<void>(friendly_test::next_divisor(GetParam(), false, 30, 1, 10)),
               "contract violated: 2 <= from");
  const std::int32_t ratios[32] = {};
  const std::int64_t rows[17] = {};
  const std::uint16_t keys[32] = {};
  EXPECT_DEATH(static_cast<void>(friendly_test::matching_rows(GetParam(), ratios, ratios, rows,
                                                              keys, 17, keys, 17, 32)),
               "contract violated: .*rows <= kMatchRows");
#endif
}

}  // namespace
