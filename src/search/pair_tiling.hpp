// The pair phase's tiling: how many columns a tile holds and how many blocks of rows share each
// read of it, sized from the core's first-level data cache and the tuning.
#pragma once

#include <cstddef>
#include <cstdint>

#include "paths/processor.hpp"

namespace friendly {

// How a thread shares its reads of the columns among its blocks of kRowBlock rows: it compares
// a group of group_blocks blocks together against each tile of tile_bytes of numerators in turn.
// The first block of a group reads the tile from wherever the columns are (memory, or the
// shared cache), the others from the first-level cache; pair_tiling sizes the
// tile from that cache and the group as the tuning (tuning.hpp) says, so that the one far read of
// each tile is shared by many blocks.
struct PairTiling {
  std::int64_t tile_bytes = std::int64_t{16} * 1024;  // a positive multiple of 64 bytes
  int group_blocks = 256;                             // 1 to kMaxGroupBlocks (tuning.hpp)
};

// The pair phase's tiling for a core with these caches under tuning (an index in kTunings).
PairTiling pair_tiling(const CacheSizes& caches, std::size_t tuning) noexcept;

// The same under the tuning chosen (chosen_tuning()).
PairTiling pair_tiling(const CacheSizes& caches) noexcept;

}  // namespace friendly
