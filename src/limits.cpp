#include "limits.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <limits>
#include <sstream>

namespace friendly {

namespace {

// The least of the limits offered to it, and the name of that limit.
struct Least {
  std::int64_t value = -1;  // none yet
  std::string what;

  void offer(std::int64_t limit, const char* name) {
    if (value >= 0 && limit >= value) return;
    value = limit < 0 ? 0 : limit;
    what = name;
  }
};

// The whole text of the file at path, or an empty string when it cannot be read.
std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Reads the number that the file at path begins with into value; false when there is none (the
// file is missing, or it says "max", the control groups' word for no limit).
bool read_number(const std::string& path, std::int64_t& value) {
  std::ifstream in(path);
  return static_cast<bool>(in >> value);
}

// Offers the soft limit of resource, when one is set.
void offer_rlimit(Least& least, int resource, const char* name) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  constexpr auto kMost = static_cast<rlim_t>(std::numeric_limits<std::int64_t>::max());
  least.offer(static_cast<std::int64_t>(limit.rlim_cur < kMost ? limit.rlim_cur : kMost), name);
}

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

// cgroup_directories for this process.
std::vector<std::string> own_cgroup_directories(std::string_view controller) {
  return cgroup_directories(controller, read_text("/proc/self/cgroup"),
                            read_text("/proc/self/mountinfo"));
}

}  // namespace

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

std::int64_t memory_limit(std::string& what) {
  Least least;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0) {
    least.offer(std::int64_t{pages} * page_size, "this machine's physical memory");
  }
  // A group's limit holds for every group below it, so each parent's counts too.
  for (const std::string& directory : own_cgroup_directories("memory")) {
    std::int64_t bytes = 0;
    if (read_number(directory + "/memory.max", bytes) ||
        read_number(directory + "/memory.limit_in_bytes", bytes)) {
      least.offer(bytes, "the control group's memory limit");
    }
  }
  offer_rlimit(least, RLIMIT_AS, "the address-space limit (ulimit -v)");
  offer_rlimit(least, RLIMIT_DATA, "the data-segment limit (ulimit -d)");
  what = least.what;
  return least.value < 0 ? 0 : least.value;
}

}  // namespace friendly
