// The caches of the processor core that the program runs on, as the operating system reports
// them, and the pair phase's tiling sized from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "search/pair_phase.hpp"

namespace friendly {

// Bytes of each level of cache that serves one core's data; 0 where none is reported.
struct CacheSizes {
  std::int64_t level1_data = 0;
  std::int64_t level2 = 0;
};

// The size in a sysfs cache size file ("48K", "2048K", "1M", a plain number of bytes), or 0
// when text is none of these.
std::int64_t cache_size_bytes(const std::string& text) noexcept;

// The data caches that a sysfs cache folder (/sys/devices/system/cpu/cpuN/cache) describes in
// its entries index0, index1, ... up to the first one missing; sizes it lacks are 0.
CacheSizes sysfs_caches(const std::string& folder);

// The caches of the core that the calling thread runs on (sysfs, the first processor's when the
// thread's cannot be read), else sysconf's; sizes not reported by either are 0.
CacheSizes core_caches() noexcept;

// The pair phase's tiling for a core with these caches under tuning (an index in kTunings).
PairTiling pair_tiling(const CacheSizes& caches, std::size_t tuning) noexcept;

// The same under the tuning chosen (chosen_tuning()).
PairTiling pair_tiling(const CacheSizes& caches) noexcept;

}  // namespace friendly
