// The kernel paths that the tests run: each path test once per path, named after it, and the
// kernels called on a path chosen at run time.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "paths/kernels.hpp"
#include "paths/tuning.hpp"
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

// A path under one tuning (an index in kTunings): the kernels that a test of the path's tuned
// code runs.
struct TunedPath {
  KernelPath path;
  std::size_t tuning;
};

inline void PrintTo(const TunedPath& tuned, std::ostream* out) {
  *out << friendly::path_name(tuned.path) << " under " << friendly::kTunings[tuned.tuning].name;
}

// The stepping kernel that path compiles for tuning.
inline friendly::StepKernel stepping_kernel(KernelPath path, std::size_t tuning) {
  return friendly::on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return friendly::stepping_kernel<Path>(tuning);
  });
}

// Each path of paths once per distinct stepping kernel that it compiles from the table (two
// tunings whose constants give the same kernel give one), under the first tuning that gives it.
template <std::size_t Count>
std::vector<TunedPath> stepping_tunings(const std::array<KernelPath, Count>& paths) {
  std::vector<TunedPath> tuned;
  for (const KernelPath path : paths) {
    for (std::size_t t = 0; t < friendly::kTuningCount; ++t) {
      bool seen = false;
      for (const TunedPath& other : tuned)
        seen = seen || (other.path == path &&
                        stepping_kernel(path, other.tuning) == stepping_kernel(path, t));
      if (!seen) tuned.push_back({path, t});
    }
  }
  return tuned;
}

// Each path of paths once per distinct pair tiling of the table (tile share and group), under
// the first tuning that gives it; the literal path, which scans row by row with no tiles, once.
template <std::size_t Count>
std::vector<TunedPath> tiling_tunings(const std::array<KernelPath, Count>& paths) {
  std::vector<TunedPath> tuned;
  for (const KernelPath path : paths) {
    for (std::size_t t = 0; t < friendly::kTuningCount; ++t) {
      const friendly::Tuning& row = friendly::kTunings[t];
      bool seen = false;
      for (const TunedPath& other : tuned) {
        const friendly::Tuning& before = friendly::kTunings[other.tuning];
        seen = seen || (other.path == path &&
                        (path == KernelPath::literal || (before.tile_percent == row.tile_percent &&
                                                         before.group_blocks == row.group_blocks)));
      }
      if (!seen) tuned.push_back({path, t});
    }
  }
  return tuned;
}

// A test suite run on each TunedPath of its instantiation, under that tuning (chosen for the
// test's span), skipped on a path this processor lacks.
class TunedPathTest : public ::testing::TestWithParam<TunedPath> {
 protected:
  void SetUp() override {
    if (!friendly::path_available(GetParam().path))
      GTEST_SKIP() << "this processor lacks the " << friendly::path_name(GetParam().path)
                   << " path";
    friendly::choose_tuning(GetParam().tuning);
  }
  void TearDown() override {
    friendly::choose_tuning(friendly::tuning_for(friendly::this_processor()));
  }
};

// The path's name, then the tuning's where the suite runs the path under several tunings: the
// last part of each test's name.
inline std::string tuned_path_test_name(const ::testing::TestParamInfo<TunedPath>& info) {
  std::string name = friendly::path_name(info.param.path);
  if (info.param.tuning != 0) name += std::string("_") + friendly::kTunings[info.param.tuning].name;
  return name;
}

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
