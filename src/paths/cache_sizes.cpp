#include "paths/cache_sizes.hpp"

#include "paths/tuning.hpp"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace friendly {

std::int64_t cache_size_bytes(const std::string& text) noexcept {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(begin, &end, 10);
  if (end == begin || errno != 0 || number <= 0) return 0;
  std::int64_t scale = 1;
  if (*end == 'K') scale = std::int64_t{1} << 10;
  if (*end == 'M') scale = std::int64_t{1} << 20;
  if (*end == 'G') scale = std::int64_t{1} << 30;
  if (scale != 1) ++end;
  while (*end == '\n' || *end == ' ')
    ++end;
  if (*end != '\0' || number > (std::int64_t{1} << 40) / scale) return 0;
  return number * scale;
}

namespace {

// The first line of the file at path, or "" when it cannot be read.
std::string first_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// sysfs's cache folder of processor cpu.
std::string cpu_cache_folder(int cpu) {
  return "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cache";
}

}  // namespace

CacheSizes sysfs_caches(const std::string& folder) {
  CacheSizes caches;
  for (int index = 0; index < 16; ++index) {
    const std::string entry = folder + "/index" + std::to_string(index) + "/";
    const std::string level = first_line(entry + "level");
    if (level.empty()) break;
    const std::string type = first_line(entry + "type");
    if (type != "Data" && type != "Unified") continue;
    const std::int64_t bytes = cache_size_bytes(first_line(entry + "size"));
    if (level == "1") caches.level1_data = bytes;
    if (level == "2") caches.level2 = bytes;
  }
  return caches;
}

CacheSizes core_caches() noexcept {
  try {
    const int cpu = sched_getcpu();
    CacheSizes caches = sysfs_caches(cpu_cache_folder(cpu > 0 ? cpu : 0));
    if (caches.level1_data == 0 && cpu > 0) caches = sysfs_caches(cpu_cache_folder(0));
    // sysconf reads the processor's own description where sysfs is missing.
    if (caches.level1_data == 0) caches.level1_data = sysconf(_SC_LEVEL1_DCACHE_SIZE);
    if (caches.level2 == 0) caches.level2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
    if (caches.level1_data < 0) caches.level1_data = 0;
    if (caches.level2 < 0) caches.level2 = 0;
    return caches;
  } catch (...) {
    return {};
  }
}

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
