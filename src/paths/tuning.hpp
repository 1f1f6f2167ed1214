// The kernels' tunings: the constants that suit one kind of core, one row each, and the table of
// processors that picks one, chosen once at start beside the path. A tuning changes how fast the
// kernels make their tests and comparisons, never which ones, the lines or their order.
// Declarations and constants only: a path's source includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "paths/processor.hpp"

namespace friendly {

// The tunings, one row each: TUNING(name, avx512_vectors, avx512_stretch, avx512_split,
// avx2_vectors, tile_percent, group_blocks). The name is the FRIENDLY_TUNING setting; the first row
// is the default, for a processor that kProcessorTunings does not know.
// - avx512_vectors, avx2_vectors: vectors of stepping lanes (sixteen or eight lanes each), the
//   independent remainder chains that hide each update's latency;
// - avx512_stretch: steps that the AVX-512 lanes first try without corrections;
// - avx512_split: 1 to step the candidates that need corrections apart from the rest, by every
//   lane, so that no vector of lanes waits on the corrections of its first lanes; 0 not to;
// - tile_percent: the pair phase's tile, in percent of the first-level data cache;
// - group_blocks: blocks of rows that share each read of a tile.
// standard is the constants first tuned on an Ice Lake (two 512-bit ports) and a Zen 3; zen5 is
// for four vector pipes and a 48 KiB first-level cache; zen4 for 512-bit operations issued as
// two halves (docs/performance.md, how each row was measured).
#define FRIENDLY_TUNINGS(TUNING)        \
  TUNING(standard, 3, 8, 0, 3, 50, 256) \
  TUNING(zen5, 5, 8, 1, 3, 100, 512)    \
  TUNING(zen4, 3, 8, 1, 3, 50, 256)

// One tuning.
struct Tuning {
  const char* name;
  int avx512_vectors;
  int avx512_stretch;
  int avx512_split;
  int avx2_vectors;
  int tile_percent;
  int group_blocks;
};

// Most blocks of rows in one group: the bound of the block scan's arrays on the stack.
inline constexpr int kMaxGroupBlocks = 512;

// The table, in the order of its rows.
inline constexpr Tuning kTunings[] = {
#define FRIENDLY_TUNING_ROW(name, avx512_vectors, avx512_stretch, avx512_split, avx2_vectors, \
                            tile_percent, group_blocks)                                       \
  {#name, avx512_vectors, avx512_stretch, avx512_split, avx2_vectors, tile_percent, group_blocks},
    FRIENDLY_TUNINGS(FRIENDLY_TUNING_ROW)
#undef FRIENDLY_TUNING_ROW
};

inline constexpr std::size_t kTuningCount = std::size(kTunings);

// Every tuning within the kernels' limits, under a name of its own: the AVX-512 lanes' 32
// registers hold at most six vectors of four registers each beside their constants, AVX2's 16
// at most three; a stretch is even (stepped two candidates at a time), from 4 to 32 steps (no
// longer one was measured); a split is 0 or 1; a tile is at least a tenth of the cache.
static_assert([] {
  for (std::size_t k = 0; k < kTuningCount; ++k) {
    const Tuning& t = kTunings[k];
    if (t.avx512_vectors < 1 || t.avx512_vectors > 6) return false;
    if (t.avx512_stretch < 4 || t.avx512_stretch > 32 || t.avx512_stretch % 2 != 0) return false;
    if (t.avx512_split != 0 && t.avx512_split != 1) return false;
    if (t.avx2_vectors < 1 || t.avx2_vectors > 3) return false;
    if (t.tile_percent < 10 || t.tile_percent > 100) return false;
    if (t.group_blocks < 1 || t.group_blocks > kMaxGroupBlocks) return false;
    for (std::size_t other = 0; other < k; ++other) {
      if (std::string_view(t.name) == kTunings[other].name) return false;
    }
  }
  return true;
}());

// The index in kTunings of the tuning named name, at compile time: a name that no row has stops
// the build.
consteval std::size_t tuning_index(std::string_view name) {
  for (std::size_t k = 0; k < kTuningCount; ++k) {
    if (name == kTunings[k].name) return k;
  }
  throw "no tuning has that name";  // not a constant expression: the build stops here
}

// One processor row: cores of vendor's family with a model in [model_low, model_high] and at
// least least_level1 bytes of first-level data cache run the tuning kTunings[tuning].
struct ProcessorTuning {
  Vendor vendor;
  int family;
  int model_low;
  int model_high;
  std::int64_t least_level1;
  std::size_t tuning;
};

// The processors, the first row that matches chooses: Ice Lake server (Intel family 6, model 106)
// and Zen 3 (AMD family 25) at the standard constants, Zen 4 server (family 25, models 0x10 to
// 0x1f) at zen4, Zen 5 (family 26) at zen5.
inline constexpr ProcessorTuning kProcessorTunings[] = {
    {Vendor::intel, 6, 106, 106, 0, tuning_index("standard")},
    {Vendor::amd, 25, 0x10, 0x1f, 0, tuning_index("zen4")},
    {Vendor::amd, 25, 0, 255, 0, tuning_index("standard")},
    {Vendor::amd, 26, 0, 255, std::int64_t{48} * 1024, tuning_index("zen5")},
};

// The index in kTunings of the tuning named name, or kTuningCount when none has that name.
std::size_t tuning_named(std::string_view name) noexcept;

// The index in kTunings of the tuning for the processor: the first row of kProcessorTunings that
// matches it, else 0.
std::size_t tuning_for(const ProcessorId& processor) noexcept;

// The tuning that the search runs: tuning_for(this_processor()) until choose_tuning.
std::size_t chosen_tuning() noexcept;

// Makes tuning (an index in kTunings) the one that every later search runs; call it before any
// search, from one thread.
void choose_tuning(std::size_t tuning) noexcept;

// The names of every tuning, separated by ", ".
const char* tuning_names() noexcept;

}  // namespace friendly
