#include "app/limits.hpp"

#include <omp.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <string_view>
#include <utility>

// LLVM's libomp reports the stack size of the threads it starts through this call of its API.
// GNU libgomp has no such call, so the reference is weak: null there. (LLVM's omp.h declares it
// too, without the weak attribute.)
// NOLINTNEXTLINE(readability-redundant-declaration)
extern "C" std::size_t kmp_get_stacksize_s() __attribute__((weak));

namespace friendly {

namespace {

constexpr const char* kAddressSpaceLimit = "the address-space limit (ulimit -v)";
constexpr const char* kDataLimit = "the data-segment limit (ulimit -d)";

// Bytes that GNU libgomp's team start keeps on the calling thread's stack for each thread of the
// team: 128 with GCC 12, with room for other versions; and the stack that the program's and the
// runtime's own frames take. LLVM's libomp keeps its team on the heap.
constexpr std::int64_t kTeamStartStackPerThread = 160;
constexpr std::int64_t kTeamStartStackReserve = std::int64_t{32} * 1024;

// Heap that a runtime allocates for each thread it starts, with room to spare (LLVM's libomp
// allocates the most), and the bytes by which libomp enlarges each thread's stack per thread
// number (twice its stack offset of one cache line).
constexpr std::int64_t kRuntimeBytesPerThread = std::int64_t{64} * 1024;
constexpr std::size_t kStackOffsetPerThread = 128;

// The soft limit of resource, or -1 when none is set.
std::int64_t soft_limit(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<std::int64_t>(
      std::min<rlim_t>(limit.rlim_cur, std::numeric_limits<std::int64_t>::max()));
}

// The whole text of the file at path, or an empty string when it cannot be read.
std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
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

// The stack size that GNU libgomp reads from the variable name, read as it reads it: a decimal
// count (strtoul, at least one digit) and an optional unit b, k, m or g (KiB when none), blanks
// around each; false when the variable is unset or not such a size.
bool gomp_stack_size(const char* name, std::size_t& size) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  const char* text = std::getenv(name);
  const auto skip_blanks = [](const char* at) {
    while (std::isspace(static_cast<unsigned char>(*at)) != 0)
      ++at;
    return at;
  };
  if (text == nullptr || *skip_blanks(text) == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long count = std::strtoul(text, &end, 10);
  const char* unit = skip_blanks(end);
  const std::size_t shift = std::string_view("bkmg").find(
      *unit == '\0' ? 'k' : static_cast<char>(std::tolower(static_cast<unsigned char>(*unit))));
  if (errno != 0 || end == text || shift == std::string_view::npos) return false;
  if (*unit != '\0' && *skip_blanks(unit + 1) != '\0') return false;
  if (((count << (10 * shift)) >> (10 * shift)) != count) return false;
  size = count << (10 * shift);
  return true;
}

// True for LLVM's libomp, whose threads allocate as they start, each taking a malloc arena.
bool runtime_is_libomp() {
  return kmp_get_stacksize_s != nullptr;
}

// Bytes of stack that the OpenMP runtime gives each thread that it starts, and the setting that
// chose them in what.
std::size_t runtime_stack_size(std::string& what) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  const char* asked = std::getenv("OMP_STACKSIZE");
  what = "the threads' stack size (OMP_STACKSIZE)";
  if (runtime_is_libomp()) {
    if (asked == nullptr) what = "the OpenMP runtime's default thread stack size";
    return kmp_get_stacksize_s();
  }
  // libgomp: OMP_STACKSIZE, else GOMP_STACKSIZE; a size that threads cannot have keeps the
  // threads' library's default, which follows the stack limit.
  pthread_attr_t attr;
  std::size_t size = 0;
  if (pthread_getattr_default_np(&attr) != 0) return 0;
  if (!gomp_stack_size("OMP_STACKSIZE", size)) {
    what = gomp_stack_size("GOMP_STACKSIZE", size) ? "the threads' stack size (GOMP_STACKSIZE)"
                                                   : "the threads' default stack size (ulimit -s)";
  }
  if (size != 0) static_cast<void>(pthread_attr_setstacksize(&attr, size));
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  return size;
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

// Maps bytes of writable memory above guard bytes of none as the threads' library maps a stack:
// the address space first, then the writable part. Returns null, what naming the limit that
// refuses it, when it cannot be mapped.
void* map_memory(std::size_t bytes, std::size_t guard, int flags, std::string& what) {
  void* base = mmap(nullptr, bytes + guard, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
  if (base == MAP_FAILED) {
    what = soft_limit(RLIMIT_AS) >= 0 ? kAddressSpaceLimit : "this process's address space";
    return nullptr;
  }
  if (mprotect(static_cast<char*>(base) + guard, bytes, PROT_READ | PROT_WRITE) != 0) {
    munmap(base, bytes + guard);
    what = soft_limit(RLIMIT_DATA) >= 0 ? kDataLimit : "this machine's memory";
    return nullptr;
  }
  return base;
}

// The threads of a probe: each one counts itself as started, then waits until the gate opens.
struct Probe {
  std::mutex gate;
  std::atomic<std::size_t> started{0};
};

void* probe_thread(void* probe_data) {
  auto& probe = *static_cast<Probe*>(probe_data);
  if (runtime_is_libomp()) {
    void* volatile block = std::malloc(1);
    std::free(block);
  }
  probe.started.fetch_add(1);
  probe.started.notify_one();
  const std::lock_guard<std::mutex> wait(probe.gate);
  return nullptr;
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

std::int64_t main_stack_room() {
  const std::int64_t limit = soft_limit(RLIMIT_STACK);
  if (limit < 0) return -1;
  // The stack grows down from the end of its mapping; the limit holds for the whole mapping.
  std::istringstream maps(read_text("/proc/self/maps"));
  for (std::string line; std::getline(maps, line);) {
    if (!line.ends_with("[stack]")) continue;
    const std::uintptr_t top = std::strtoull(line.c_str() + line.find('-') + 1, nullptr, 16);
    const volatile char here = 0;
    const auto used = static_cast<std::int64_t>(top - reinterpret_cast<std::uintptr_t>(&here));
    return limit - used;
  }
  return -1;
}

std::int64_t thread_stack_size(std::string& what) {
  return static_cast<std::int64_t>(runtime_stack_size(what));
}

std::int64_t team_size() {
  // Both runtimes start as many threads as the low 32 bits of the count, unsigned, that
  // omp_get_max_threads returns as an int; "no thread limit" reads as INT_MAX.
  std::int64_t team = static_cast<std::uint32_t>(omp_get_max_threads());
  if (omp_get_thread_limit() < INT_MAX) team = std::min<std::int64_t>(team, omp_get_thread_limit());
  if (omp_get_dynamic() != 0) team = std::min<std::int64_t>(team, omp_get_num_procs());
  return team;
}

std::int64_t team_limit(std::int64_t team, std::int64_t reserve, std::string& what) {
  if (team <= 1) return team;

  // GNU libgomp's team start keeps its per-thread data on this thread's stack, and overflows it
  // with a crash; the arguments and environment take up to a quarter of the stack (ARG_MAX).
  const std::int64_t main_stack = soft_limit(RLIMIT_STACK);
  const std::int64_t stack_most =
      (main_stack - main_stack / 4 - kTeamStartStackReserve) / kTeamStartStackPerThread;
  if (main_stack >= 0 && team > stack_most) {
    what = "the stack limit (ulimit -s)";
    return std::max<std::int64_t>(stack_most, 1);
  }

  // Every other limit (tasks, address space, writable memory, memory maps) is met by starting
  // the team's other threads here, as the runtime will, beside the arrays and the runtime's data
  // still to be allocated, since the runtime itself cannot fail softly: on stacks of the
  // runtime's size mapped as the threads' library maps them, each thread (with its malloc arena
  // under libomp) started before the next, all held until the last has started.
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const auto others = static_cast<std::size_t>(team - 1);
  std::string setting;
  const std::size_t stack_size = runtime_stack_size(setting);
  const std::size_t held_bytes =
      static_cast<std::size_t>(reserve) + others * kRuntimeBytesPerThread;
  struct Started {
    pthread_t thread;
    void* stack;
    std::size_t bytes;  // the stack's mapping, guard page included
  };
  std::vector<Started> threads;
  Probe probe;
  probe.gate.lock();
  void* held = map_memory(held_bytes, 0, MAP_NORESERVE, what);
  while (held != nullptr && threads.size() < others) {
    const std::size_t bytes =
        (stack_size + (threads.size() + 1) * kStackOffsetPerThread + page - 1) / page * page;
    void* stack = map_memory(bytes, page, MAP_STACK, what);
    pthread_attr_t attr;
    pthread_t thread{};
    if (stack == nullptr || pthread_attr_init(&attr) != 0) break;
    pthread_attr_setstack(&attr, static_cast<char*>(stack) + page, bytes);
    const int error = pthread_create(&thread, &attr, probe_thread, &probe);
    pthread_attr_destroy(&attr);
    if (error != 0) {
      munmap(stack, bytes + page);
      what = "the task limits (ulimit -u, pids.max, kernel.threads-max, kernel.pid_max)";
      break;
    }
    threads.push_back({thread, stack, bytes + page});
    probe.started.wait(threads.size() - 1);
  }
  probe.gate.unlock();
  for (const Started& started : threads) {
    pthread_join(started.thread, nullptr);
    munmap(started.stack, started.bytes);
  }
  if (held != nullptr) munmap(held, held_bytes);
  return threads.size() == others ? team : static_cast<std::int64_t>(threads.size()) + 1;
}

}  // namespace friendly
