// The kernel paths that the tests run: each path test once per path, named after it, and the
// kernels called on a path chosen at run time.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "paths/kernels.hpp"
#include "search/pair_phase.hpp"

namespace friendly {

// A path in a test's parameters and messages: its name.
inline void PrintTo(KernelPath path, std::ostream* out) {
  *out << path_name(path);
}

}  // namespace friendly

namespace friendly_test {

using friendly::kAllPaths;
using friendly::KernelPath;

// The paths whose kernels stand in for the literal loops, which are the reference of their tests:
// every path of the table but literal.
inline constexpr std::array<KernelPath, friendly::kPathCount - 1> kFastPaths = [] {
  std::array<KernelPath, friendly::kPathCount - 1> paths{};
  std::size_t k = 0;
  for (const KernelPath path : kAllPaths) {
    if (path != KernelPath::literal) paths[k++] = path;
  }
  return paths;
}();

// A test suite run on each path of kAllPaths (GetParam()), skipped on a path this processor
// lacks.
class PathTest : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!friendly::path_available(GetParam()))
      GTEST_SKIP() << "this processor lacks the " << friendly::path_name(GetParam()) << " path";
  }
};

// The path's name, the last part of each test's name.
inline std::string path_test_name(const ::testing::TestParamInfo<KernelPath>& info) {
  return friendly::path_name(info.param);
}

using friendly::path_name;

// The kernels on a path given at run time, the stepping kernel under the chosen tuning.
inline std::int32_t next_divisor(KernelPath path, bool stepping, std::int32_t n, std::int32_t from,
                                 std::int32_t to) {
  return friendly::on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return stepping ? friendly::stepping_kernel<Path>(friendly::chosen_tuning())(n, from, to)
                    : friendly::next_divisor_dividing<Path>(n, from, to);
  });
}

inline std::int32_t divisors_dividing(KernelPath path, std::int32_t n, std::int32_t from,
                                      std::int32_t to, std::int64_t& sum) {
  return friendly::on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return friendly::divisors_dividing<Path>(n, from, to, sum);
  });
}

template <typename Ratio>
std::uint32_t matching_rows(KernelPath path, const Ratio* numerators, const Ratio* denominators,
                            const std::int64_t* row_indices, const std::uint16_t* row_keys,
                            std::int64_t rows, const std::uint16_t* keys, std::int64_t from,
                            std::int64_t to) {
  return friendly::on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return friendly::matching_rows<Path>(numerators, denominators, row_indices, row_keys, rows,
                                         keys, from, to);
  });
}

template <typename Ratio>
std::int64_t find_equal(KernelPath path, Ratio x, const Ratio* values, std::int64_t from,
                        std::int64_t to) {
  return friendly::on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return friendly::find_equal<Path>(x, values, from, to);
  });
}

// scan_blocks and scan_block on a path given at run time (the literal path through its plain
// kernels).
template <typename Ratio, typename Report>
bool scan_blocks(KernelPath path, const std::int64_t* first_rows, int blocks, std::int64_t length,
                 const Ratio* numerators, const Ratio* denominators, std::int64_t tile_bytes,
                 Report&& report) {
  return friendly::on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return friendly::scan_blocks<Path>(first_rows, blocks, length, numerators, denominators,
                                       tile_bytes, report);
  });
}

template <typename Ratio, typename Report>
bool scan_block(KernelPath path, std::int64_t first_row, std::int64_t length,
                const Ratio* numerators, const Ratio* denominators, Report&& report) {
  return scan_blocks(path, &first_row, 1, length, numerators, denominators,
                     friendly::PairTiling{}.tile_bytes, report);
}

}  // namespace friendly_test
