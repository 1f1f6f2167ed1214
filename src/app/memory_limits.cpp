// The memory that this process may still take: the machine's, its control groups' and its own
// limits, each against what the process takes already.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/limits.hpp"

namespace friendly {

namespace {

// True when the comma-separated list holds item.
bool lists(std::string_view list, std::string_view item) {
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    if (list.substr(start, end - start) == item) return true;
    start = end + 1;
  }
  return false;
}

// True when the line of /proc/self/mountinfo mounts the unified hierarchy (unified) or a v1
// hierarchy with controller; sets root to the group shown at the mount point point.
bool mounts_hierarchy(const std::string& mount, bool unified, std::string_view controller,
                      std::string& root, std::string& point) {
  // id parent device root mount-point options [optional fields] - type source super-options
  std::istringstream fields(mount);
  std::string skipped;
  fields >> skipped >> skipped >> skipped >> root >> point;
  while (fields >> skipped && skipped != "-") {
  }
  std::string type;
  std::string options;
  fields >> type >> skipped >> options;
  return unified ? type == "cgroup2" : type == "cgroup" && lists(options, controller);
}

// Appends directory and each parent's up to point, the mount point.
void add_with_parents(std::string directory, const std::string& point,
                      std::vector<std::string>& directories) {
  while (directory.size() > point.size() && directory.back() == '/')
    directory.pop_back();
  for (;;) {
    directories.push_back(directory);
    if (directory.size() <= point.size()) return;
    directory.erase(directory.rfind('/'));
  }
}

// The bytes that /proc/self/status gives for field (such as "VmSize"), or 0 when it is missing.
std::int64_t process_bytes(std::string_view field) {
  std::istringstream lines(read_text("/proc/self/status"));
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(field) || line.size() <= field.size() || line[field.size()] != ':')
      continue;
    std::int64_t kib = 0;
    std::istringstream(line.substr(field.size() + 1)) >> kib;
    return kib * 1024;
  }
  return 0;
}

}  // namespace

std::int64_t soft_limit(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<std::int64_t>(
      std::min<rlim_t>(limit.rlim_cur, std::numeric_limits<std::int64_t>::max()));
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> cgroup_directories(std::string_view controller, const std::string& cgroups,
                                            const std::string& mounts) {
  std::vector<std::string> directories;
  std::istringstream group_lines(cgroups);
  for (std::string group; std::getline(group_lines, group);) {
    // hierarchy:controllers:path, where the unified hierarchy lists no controllers.
    const std::size_t first = group.find(':');
    const std::size_t second = first == std::string::npos ? first : group.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string_view controllers =
        std::string_view(group).substr(first + 1, second - first - 1);
    const std::string path = group.substr(second + 1);
    const bool unified = controllers.empty();
    if (!unified && !lists(controllers, controller)) continue;

    std::istringstream mount_lines(mounts);
    for (std::string mount; std::getline(mount_lines, mount);) {
      std::string root;
      std::string point;
      if (!mounts_hierarchy(mount, unified, controller, root, point)) continue;
      // The mount shows the hierarchy from its root down; a group outside that is not visible.
      if (root == "/") {
        add_with_parents(point + path, point, directories);
      } else if (path == root || path.starts_with(root + "/")) {
        add_with_parents(point + path.substr(root.size()), point, directories);
      }
    }
  }
  return directories;
}

std::int64_t cgroup_memory_limit(const std::vector<std::string>& directories) {
  // A group's limit holds for every group below it; "max" (no limit) reads as no number.
  std::int64_t least = -1;
  for (const std::string& directory : directories) {
    for (const char* file : {"/memory.max", "/memory.limit_in_bytes"}) {
      std::int64_t bytes = 0;
      if (std::ifstream(directory + file) >> bytes && (least < 0 || bytes < least)) least = bytes;
    }
  }
  return least;
}

MemoryLimit memory_limit(int sharing) {
  MemoryLimit least;
  const auto offer = [&](std::int64_t limit, std::int64_t taken, const char* name) {
    if (limit >= 0 && (least.what.empty() || limit - taken < least.bytes - least.taken))
      least = {limit, taken, name};
  };
  const std::int64_t resident = process_bytes("VmRSS");
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0)
    offer(std::int64_t{pages} * page_size / sharing, resident, "this machine's physical memory");
  const std::int64_t group = cgroup_memory_limit(cgroup_directories(
      "memory", read_text("/proc/self/cgroup"), read_text("/proc/self/mountinfo")));
  if (group >= 0) offer(group / sharing, resident, "the control group's memory limit");
  offer(soft_limit(RLIMIT_AS), process_bytes("VmSize"), kAddressSpaceLimit);
  offer(soft_limit(RLIMIT_DATA), process_bytes("VmData"), kDataLimit);
  return least;
}

}  // namespace friendly
