// The core's caches as sysfs describes them, and the pair phase's tiles sized from them.
#include "paths/tuning.hpp"
#include "search/pair_tiling.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// Writes a sysfs cache entry index<index> with the given level, type and size under folder.
void write_entry(const std::filesystem::path& folder, int index, const char* level,
                 const char* type, const char* size) {
  const std::filesystem::path entry = folder / ("index" + std::to_string(index));
  std::filesystem::create_directories(entry);
  std::ofstream(entry / "level") << level << "\n";
  std::ofstream(entry / "type") << type << "\n";
  std::ofstream(entry / "size") << size << "\n";
}

TEST(CacheSizes, SysfsEntriesGiveTheFirstLevelDataAndTheSecondLevel) {
  char pattern[] = "/tmp/friendly-caches-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path folder = pattern;
  // The usual x86-64 order: data and instruction caches of level 1, then 2 and 3.
  write_entry(folder, 0, "1", "Data", "48K");
  write_entry(folder, 1, "1", "Instruction", "32K");
  write_entry(folder, 2, "2", "Unified", "1024K");
  write_entry(folder, 3, "3", "Unified", "32M");
  friendly::CacheSizes caches = friendly::sysfs_caches(folder.string());
  EXPECT_EQ(caches.level1_data, 48 * 1024);
  EXPECT_EQ(caches.level2, 1024 * 1024);

  // Entries after a missing one are not read; a folder with none reports nothing.
  std::filesystem::remove_all(folder / "index1");
  caches = friendly::sysfs_caches(folder.string());
  EXPECT_EQ(caches.level1_data, 48 * 1024);
  EXPECT_EQ(caches.level2, 0);
  caches = friendly::sysfs_caches((folder / "none").string());
  EXPECT_EQ(caches.level1_data, 0);
  std::filesystem::remove_all(folder);
}

TEST(CacheSizes, SysfsSizesAndTheTilesTheyGive) {
  EXPECT_EQ(friendly::cache_size_bytes("48K"), 48 * 1024);
  EXPECT_EQ(friendly::cache_size_bytes("2048K\n"), 2048 * 1024);
  EXPECT_EQ(friendly::cache_size_bytes("1M"), 1024 * 1024);
  EXPECT_EQ(friendly::cache_size_bytes("32768"), 32768);
  for (const char* bad : {"", "K", "-32K", "32Q", "32K extra", "99999999999999999999K"})
    EXPECT_EQ(friendly::cache_size_bytes(bad), 0) << bad;

  // Under the standard tuning, half the first-level cache, 64-byte lines, between 4 and 256 KiB;
  // 16 KiB when unknown. The zen5 tuning takes it whole.
  const std::pair<std::int64_t, std::int64_t> tiles[] = {
      {48 * 1024, 24 * 1024}, {32 * 1024, 16 * 1024}, {0, 16 * 1024},
      {4000, 4 * 1024},       {1 << 30, 256 * 1024},  {80 * 1000, 40000 / 64 * 64}};
  for (const auto& [level1, tile] : tiles) {
    const friendly::PairTiling tiling = friendly::pair_tiling({level1, 0}, 0);
    EXPECT_EQ(tiling.tile_bytes, tile) << level1;
    EXPECT_GE(tiling.group_blocks, 1);
    EXPECT_LE(tiling.group_blocks, friendly::kMaxGroupBlocks);
  }
  constexpr std::int64_t kLevel1 = std::int64_t{48} * 1024;
  EXPECT_EQ(friendly::pair_tiling({kLevel1, 0}, friendly::tuning_named("zen5")).tile_bytes,
            kLevel1);
}

}  // namespace
