#include "limits.hpp"

#include <dlfcn.h>
#include <omp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

namespace friendly {

namespace {

// Bytes that GNU libgomp's team start keeps on the calling thread's stack for each thread of the
// team: 128 with GCC 12 (measured as the smallest teams that overflow stacks of 256, 512 and
// 768 KiB), with room for other versions. LLVM's libomp keeps its team on the heap.
constexpr std::int64_t kTeamStartStackPerThread = 160;

// Stack that the runtime's and the search's own frames take below the caller of team_limit.
constexpr std::int64_t kTeamStartStackReserve = std::int64_t{32} * 1024;

// Memory maps that each new thread adds: its stack and the guard page below it.
constexpr std::int64_t kMapsPerThread = 2;

// Memory maps that each malloc arena adds (one per thread, at most 8 per processor), for runtimes
// whose threads allocate.
constexpr std::int64_t kMapsPerArena = 2;
constexpr std::int64_t kArenasPerProcessor = 8;
// Address space that one malloc arena reserves, and a thread stack's guard page.
constexpr std::int64_t kArenaBytes = std::int64_t{64} << 20;
constexpr std::int64_t kGuardPage = 4096;

// Process ids below this are not handed out again once the ids have wrapped (the kernel's
// RESERVED_PIDS), so they may not be free even when no task holds them.
constexpr std::int64_t kReservedPids = 300;

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

// The number at the start of text, or -1.
std::int64_t leading_number(std::string_view text, int base = 10) {
  std::int64_t value = -1;
  std::from_chars(text.data(), text.data() + text.size(), value, base);
  return value;
}

// Tasks (threads) on the whole system now: the total in the fourth field of /proc/loadavg.
std::int64_t system_tasks() {
  std::istringstream fields(read_text("/proc/loadavg"));
  std::string field;
  for (int i = 0; i < 4; ++i)
    fields >> field;
  const std::size_t slash = field.find('/');
  return slash == std::string::npos ? -1
                                    : leading_number(std::string_view(field).substr(slash + 1));
}

// Tasks of every process whose real user is user, as the process limit counts them.
std::int64_t user_tasks(uid_t user) {
  std::int64_t tasks = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    // Only the numbered entries are processes (self and thread-self would count this one again).
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // A process that has gone since the listing has no status and counts nothing.
    std::istringstream status(read_text(entry.path().string() + "/status"));
    std::int64_t real_user = -1;
    std::int64_t threads = 0;
    for (std::string line; std::getline(status, line);) {
      std::istringstream fields(line);
      std::string key;
      fields >> key;
      if (key == "Uid:") fields >> real_user;
      if (key == "Threads:") fields >> threads;
    }
    if (real_user == user) tasks += threads;
  }
  return tasks;
}

// The memory maps of this process, and the top of its main thread's stack (0 when not found).
std::int64_t memory_maps(std::uintptr_t& stack_top) {
  std::istringstream lines(read_text("/proc/self/maps"));
  std::int64_t maps = 0;
  stack_top = 0;
  for (std::string line; std::getline(lines, line); ++maps) {
    // start-end permissions offset device inode [stack]
    if (!line.ends_with("[stack]")) continue;
    const std::size_t dash = line.find('-');
    const std::int64_t top = leading_number(std::string_view(line).substr(dash + 1), 16);
    if (dash != std::string::npos && top > 0) stack_top = static_cast<std::uintptr_t>(top);
  }
  return maps;
}

// True when the OpenMP runtime is LLVM's libomp, whose team start keeps nothing per thread on
// the caller's stack.
bool runtime_is_libomp() {
  return dlsym(RTLD_DEFAULT, "__kmpc_fork_call") != nullptr;
}

// The soft limit of resource in bytes, or -1 when none is set.
std::int64_t soft_limit(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
  constexpr auto kMost = static_cast<rlim_t>(std::numeric_limits<std::int64_t>::max());
  return static_cast<std::int64_t>(limit.rlim_cur < kMost ? limit.rlim_cur : kMost);
}

// Bytes of address space that this process has mapped (VmSize), or -1 when unknown.
std::int64_t mapped_bytes() {
  std::istringstream status(read_text("/proc/self/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoll(line.substr(7)) * 1024;
  }
  return -1;
}

// Bytes of address space that each thread of a team maps for its stack: OMP_STACKSIZE, else the
// runtime's default (the stack limit for GNU libgomp, 4 MiB for LLVM's libomp), and a guard page.
std::int64_t thread_stack(bool libomp) {
  std::int64_t stack = libomp ? std::int64_t{4} << 20 : soft_limit(RLIMIT_STACK);
  if (stack < 0) stack = std::int64_t{2} << 20;  // glibc's default under an unlimited stack
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  if (const char* size = std::getenv("OMP_STACKSIZE"); size != nullptr) {
    char* end = nullptr;
    const long long number = std::strtoll(size, &end, 10);
    const std::string_view unit(end);
    const int shift = unit == "B" || unit == "b"   ? 0
                      : unit == "M" || unit == "m" ? 20
                      : unit == "G" || unit == "g" ? 30
                                                   : 10;
    if (number > 0 && number < (std::int64_t{1} << 40 >> shift)) stack = number << shift;
  }
  return stack + kGuardPage;
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

std::int64_t memory_limit(std::string& what, int sharing) {
  Least least;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0) {
    least.offer(std::int64_t{pages} * page_size / sharing, "this machine's physical memory");
  }
  // A group's limit holds for every group below it, so each parent's counts too.
  for (const std::string& directory : own_cgroup_directories("memory")) {
    std::int64_t bytes = 0;
    if (read_number(directory + "/memory.max", bytes) ||
        read_number(directory + "/memory.limit_in_bytes", bytes)) {
      least.offer(bytes / sharing, "the control group's memory limit");
    }
  }
  offer_rlimit(least, RLIMIT_AS, "the address-space limit (ulimit -v)");
  offer_rlimit(least, RLIMIT_DATA, "the data-segment limit (ulimit -d)");
  what = least.what;
  return least.value < 0 ? 0 : least.value;
}

std::int64_t team_size() {
  std::int64_t team = omp_get_max_threads();
  team = std::min<std::int64_t>(team, omp_get_thread_limit());
  if (omp_get_dynamic() != 0) team = std::min<std::int64_t>(team, omp_get_num_procs());
  return team;
}

std::int64_t team_limit(std::int64_t team, std::int64_t reserve, std::string& what) {
  // Each limit is offered as the threads that can still be started besides this one.
  Least least;
  const std::int64_t tasks = system_tasks();
  std::int64_t most = 0;
  if (tasks >= 0 && read_number("/proc/sys/kernel/threads-max", most))
    least.offer(most - tasks, "the system's thread limit (kernel.threads-max)");
  if (tasks >= 0 && read_number("/proc/sys/kernel/pid_max", most))
    least.offer(most - kReservedPids - tasks, "the system's process-id limit (kernel.pid_max)");
  for (const std::string& directory : own_cgroup_directories("pids")) {
    std::int64_t current = 0;
    if (read_number(directory + "/pids.max", most) &&
        read_number(directory + "/pids.current", current)) {
      least.offer(most - current, "the control group's task limit (pids.max)");
    }
  }

  // The process limit does not hold for root. A user has no more tasks than the system, so
  // they are counted only when the limit could be reached.
  rlimit processes{};
  if (getuid() != 0 && getrlimit(RLIMIT_NPROC, &processes) == 0 &&
      processes.rlim_cur != RLIM_INFINITY) {
    const auto allowed = static_cast<std::int64_t>(
        std::min<rlim_t>(processes.rlim_cur, std::numeric_limits<std::int64_t>::max()));
    if (tasks < 0 || allowed - tasks < team)
      least.offer(allowed - user_tasks(getuid()), "the process limit (ulimit -u)");
  }

  std::uintptr_t stack_top = 0;
  const std::int64_t maps = memory_maps(stack_top);
  if (read_number("/proc/sys/vm/max_map_count", most)) {
    const std::int64_t arenas = kArenasPerProcessor * omp_get_num_procs();
    least.offer((most - maps - kMapsPerArena * arenas) / kMapsPerThread,
                "the memory-map limit (vm.max_map_count)");
  }

  // GNU libgomp's team start keeps its per-thread data on this thread's stack, and overflows it
  // with a crash rather than an error.
  rlimit stack{};
  if (!runtime_is_libomp() && getrlimit(RLIMIT_STACK, &stack) == 0 &&
      stack.rlim_cur != RLIM_INFINITY) {
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const auto used =
        static_cast<std::int64_t>(stack_top > here ? stack_top - here : 0) + kTeamStartStackReserve;
    const auto size = static_cast<std::int64_t>(
        std::min<rlim_t>(stack.rlim_cur, std::numeric_limits<std::int64_t>::max()));
    least.offer((size - used) / kTeamStartStackPerThread, "the stack limit (ulimit -s)");
  }

  // Thread stacks count against the address-space limit, besides what is mapped now and the
  // search's arrays; with libomp, whose threads allocate at start, so does one malloc arena for
  // each of the first threads, up to glibc's number of arenas.
  const std::int64_t address_space = soft_limit(RLIMIT_AS);
  const std::int64_t mapped = mapped_bytes();
  if (address_space >= 0 && mapped >= 0) {
    const bool libomp = runtime_is_libomp();
    const std::int64_t left = address_space - mapped - reserve;
    const std::int64_t per_thread = thread_stack(libomp);
    const std::int64_t arenas = libomp ? kArenasPerProcessor * omp_get_num_procs() : 0;
    const std::int64_t with_arena = per_thread + kArenaBytes;
    least.offer(left < arenas * with_arena ? left / with_arena
                                           : arenas + (left - arenas * with_arena) / per_thread,
                "the address-space limit (ulimit -v)");
  }

  what = least.what;
  return least.value < 0 ? std::numeric_limits<std::int64_t>::max() : least.value + 1;
}

}  // namespace friendly
