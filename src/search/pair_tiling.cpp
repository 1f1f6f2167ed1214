// The pair phase's tiles and groups, from the core's caches and the tuning.
#include "search/pair_tiling.hpp"

#include "paths/tuning.hpp"

namespace friendly {

PairTiling pair_tiling(const CacheSizes& caches, std::size_t tuning) noexcept {
  // The tile takes the tuning's share of the first-level data cache, where it stays while every
  // block of the group reads it, beside the blocks' rows, the stack and the match arrays; a cache
  // that is not reported is taken as 32 KiB, the smallest of the x86-64 cores of the last decade.
  // The group does not depend on the caches: its size shares the one far read of each tile,
  // which costs about as much as ten blocks' comparisons of it (the rate at 32 blocks), over
  // hundreds of blocks.
  constexpr std::int64_t kLeast = std::int64_t{4} * 1024;
  constexpr std::int64_t kMost = std::int64_t{256} * 1024;
  const Tuning& chosen = kTunings[tuning < kTuningCount ? tuning : 0];
  const std::int64_t level1 = caches.level1_data > 0 ? caches.level1_data : std::int64_t{32} * 1024;
  const std::int64_t share = level1 * chosen.tile_percent / 100 / 64 * 64;
  PairTiling tiling;
  tiling.tile_bytes = share < kLeast ? kLeast : share > kMost ? kMost : share;
  tiling.group_blocks = chosen.group_blocks;
  return tiling;
}

PairTiling pair_tiling(const CacheSizes& caches) noexcept {
  return pair_tiling(caches, chosen_tuning());
}

}  // namespace friendly
