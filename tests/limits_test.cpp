// The control groups' directories of a process and the memory limit that their files set.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/limits.hpp"

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

}  // namespace
