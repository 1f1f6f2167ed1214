// Limits of this machine and this process that a search must fit before it starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace friendly {

// Shared by the limits' sources (memory_limits.cpp, stack_limits.cpp, runtime_limits.cpp).

// The names of the address-space and data-segment limits in refusals.
inline constexpr const char* kAddressSpaceLimit = "the address-space limit (ulimit -v)";
inline constexpr const char* kDataLimit = "the data-segment limit (ulimit -d)";

// The soft limit of resource (RLIMIT_...), or -1 when none is set.
std::int64_t soft_limit(int resource);

// The whole text of the file at path, or an empty string when it cannot be read.
std::string read_text(const std::string& path);

// Memory and control groups (memory_limits.cpp).

// The directories whose files limit this process for a control-group controller ("memory",
// "pids"): for the process's group in the unified hierarchy and in the hierarchy of that
// controller, the group's directory and then each parent's up to the hierarchy's mount point.
// cgroups is the text of /proc/self/cgroup, mounts that of /proc/self/mountinfo.
std::vector<std::string> cgroup_directories(std::string_view controller, const std::string& cgroups,
                                            const std::string& mounts);

// The least memory limit that the given control-group directories set (memory.max of cgroup v2,
// memory.limit_in_bytes of v1), or -1 when none sets one.
std::int64_t cgroup_memory_limit(const std::vector<std::string>& directories);

// A memory limit: its bytes (0 when none is known), the bytes that this process already takes
// against it, and its name.
struct MemoryLimit {
  std::int64_t bytes = 0;
  std::int64_t taken = 0;
  std::string what;
};

// The limit that leaves the least room (bytes - taken) for the arrays still to be allocated:
// this machine's physical memory and the memory limit of the process's control group (against
// the process's resident memory), its address-space limit (against its mapped address space)
// and its data-segment limit (against its data segment). sharing processes of this machine
// (each with the same limits of its own) take the same size: the machine's memory and the
// control group's limit are shared out among them.
MemoryLimit memory_limit(int sharing = 1);

// The stacks (stack_limits.cpp).

// Bytes of stack that the main thread has left under its limit (ulimit -s) below the caller's
// frame, or -1 when the limit is unlimited or unknown.
std::int64_t main_stack_room();

// Bytes of stack below the first frame of a thread started with stack_size bytes, as the OpenMP
// runtime starts its threads: what its thread-local storage (aligned as the program's asks), the
// threads' library's descriptor and the start's frames leave at the top. stack_size when no such
// thread starts (the probe of the team names that limit).
std::int64_t thread_stack_room(std::size_t stack_size);

// The most threads of a team that GNU libgomp's team start fits on a main thread's stack of
// stack_limit bytes (ulimit -s), beside the arguments, the environment and the frames.
std::int64_t team_start_most(std::int64_t stack_limit) noexcept;

// The OpenMP runtime's settings and the probe of its team (runtime_limits.cpp).

// Threads of the team that the next parallel region starts: the runtime's team size (an
// unsigned 32-bit count) within its thread limit, and within the processors when the runtime
// may shrink teams (OMP_DYNAMIC).
std::int64_t team_size();

// The stack size in text, read as GNU libgomp reads OMP_STACKSIZE and GOMP_STACKSIZE: a decimal
// count and an optional unit b, k, m or g (KiB when none), blanks around each; false when text is
// null, blank or not such a size.
bool gomp_stack_size(const char* text, std::size_t& size);

// Bytes of stack that the OpenMP runtime gives each thread that it starts; what names the
// setting that chose them.
std::int64_t thread_stack_size(std::string& what);

// The most threads, this one included, of a team of team threads that this process can start
// now from its main thread, with reserve bytes of arrays still to be allocated: team when all
// can start, else fewer, and what names the limit that stops them.
std::int64_t team_limit(std::int64_t team, std::int64_t reserve, std::string& what);

}  // namespace friendly
