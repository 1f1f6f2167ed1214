// The lane masks of the vector paths, whose tail and empty cases the kernels rely on.
#include <gtest/gtest.h>

#include <cstdint>

namespace {

#include "paths/lane_masks.inc"

TEST(LaneMasks, FirstLanesCoverNoneSomeOrAllOfAVector) {
  for (const std::int64_t width : {8, 16, 32, 64}) {
    // Counts past either end, as the stepping kernel's vectors after the longer lanes ask.
    for (const std::int64_t none : {std::int64_t{0}, std::int64_t{-1}, -width, std::int64_t{-60}})
      EXPECT_EQ(first_lanes(none, width), 0U) << none << " of " << width;
    const std::uint64_t all = width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    EXPECT_EQ(first_lanes(width, width), all) << width;
    EXPECT_EQ(first_lanes(width + 5, width), all) << width;
    EXPECT_EQ(first_lanes(3, width), 0b111U) << width;
    EXPECT_EQ(first_lanes(width - 1, width), all >> 1) << width;
  }
}

}  // namespace
