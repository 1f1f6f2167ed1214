// The limits that the preflight reads (control groups, stacks, the runtime's settings) and the
// preflight's boundaries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/limits.hpp"
#include "app/preflight.hpp"
#include "search/friendly.hpp"
#include "validate/validate.hpp"

namespace {

TEST(Limits, ControlGroupDirectoriesRunFromTheGroupUpToTheMountOfItsHierarchy) {
  const std::string cgroups =
      "12:pids:/user.slice/u1\n"
      "4:cpu,memory:/box/app\n"
      "0::/box/job\n";
  // The memory hierarchy is mounted from /box down, as in a container; /outside is not shown.
  const std::string mounts =
      "30 25 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n"
      "35 31 0:30 /box /mem rw shared:14 - cgroup cgroup rw,cpu,memory\n"
      "36 31 0:31 / /sys/fs/cgroup/pids rw - cgroup cgroup rw,pids\n"
      "37 31 0:32 /outside /elsewhere rw - cgroup cgroup rw,memory\n"
      "38 25 0:5 / /proc rw - proc proc rw\n";
  EXPECT_EQ(friendly::cgroup_directories("memory", cgroups, mounts),
            (std::vector<std::string>{"/mem/app", "/mem", "/sys/fs/cgroup/box/job",
                                      "/sys/fs/cgroup/box", "/sys/fs/cgroup"}));
  EXPECT_EQ(
      friendly::cgroup_directories("pids", cgroups, mounts),
      (std::vector<std::string>{"/sys/fs/cgroup/pids/user.slice/u1",
                                "/sys/fs/cgroup/pids/user.slice", "/sys/fs/cgroup/pids",
                                "/sys/fs/cgroup/box/job", "/sys/fs/cgroup/box", "/sys/fs/cgroup"}));
}

TEST(Limits, ControlGroupMemoryLimitIsTheLeastOfItsGroupsFiles) {
  // A v2 group without a limit ("max"), a v2 parent and a v1 group with one each.
  const std::string base = ::testing::TempDir() + "friendly_cgroup_" + std::to_string(getpid());
  const std::vector<std::string> groups = {base + "/job", base, base + "/v1"};
  for (const std::string& group : groups)
    std::filesystem::create_directories(group);
  std::ofstream(groups[0] + "/memory.max") << "max\n";
  std::ofstream(groups[1] + "/memory.max") << "5000000000\n";
  std::ofstream(groups[2] + "/memory.limit_in_bytes") << "3000000000\n";
  EXPECT_EQ(friendly::cgroup_memory_limit(groups), 3000000000);
  EXPECT_EQ(friendly::cgroup_memory_limit({groups[0], groups[1]}), 5000000000);
  EXPECT_EQ(friendly::cgroup_memory_limit({groups[0]}), -1);
  std::filesystem::remove_all(base);
}

TEST(Limits, StackSizesAreReadAsGnuLibgompReadsThem) {
  const struct {
    const char* text;
    std::size_t size;  // 0: not a size
  } cases[] = {{"20", 20480},
               {" 20 ", 20480},
               {"20b", 20},
               {"84 k", 86016},
               {"1M", std::size_t{1} << 20},
               {" 2 g ", std::size_t{2} << 30},
               {"20x", 0},
               {"20 k b", 0},
               {"k", 0},
               {"", 0},
               {"  ", 0}};
  for (const auto& [text, size] : cases) {
    std::size_t read = 0;
    EXPECT_EQ(friendly::gomp_stack_size(text, read), size != 0) << "'" << text << "'";
    if (size != 0) {
      EXPECT_EQ(read, size) << "'" << text << "'";
    }
  }
  std::size_t read = 0;
  EXPECT_FALSE(friendly::gomp_stack_size(nullptr, read));
}

TEST(Limits, TeamStartFitsItsThreadsBesideAQuarterOfTheStackAndItsFrames) {
  // (limit - limit / 4 - 32 KiB) / 160 bytes per thread: 1024 threads from 262,143 bytes on.
  EXPECT_EQ(friendly::team_start_most(262142), 1023);
  EXPECT_EQ(friendly::team_start_most(262143), 1024);
  EXPECT_EQ(friendly::team_start_most(std::int64_t{8} << 20), 39116);
}

TEST(Preflight, StacksFitFromTheirPathsNeedOn) {
  for (const friendly::KernelPath path :
       {friendly::KernelPath::literal, friendly::KernelPath::portable}) {
    const std::int64_t need = friendly::search_stack_bytes(path);
    EXPECT_FALSE(friendly::stack_fits(path, need - 1)) << friendly::path_name(path);
    EXPECT_TRUE(friendly::stack_fits(path, need)) << friendly::path_name(path);
    EXPECT_TRUE(friendly::stack_fits(path, -1)) << "unlimited";
  }
}

TEST(Preflight, ARunThatValidatesNeedsTheLargerOfTheSearchsAndTheValidationsArrays) {
  const std::int64_t search = friendly::search_bytes(1, 400000);
  const std::int64_t validation = friendly::validation_bytes(1, 400000);
  ASSERT_GT(validation, search);
  EXPECT_EQ(friendly::run_bytes(search, 1, 400000, true), validation);
  EXPECT_EQ(friendly::run_bytes(search, 1, 400000, false), search);
  EXPECT_EQ(friendly::run_bytes(2 * validation, 1, 400000, true), 2 * validation);
}

}  // namespace
