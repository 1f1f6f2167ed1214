// The stacks: what the main thread has left under its limit, and the team that GNU libgomp's
// start fits on it.
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "app/limits.hpp"

namespace friendly {

namespace {

// Bytes that GNU libgomp's team start keeps on the calling thread's stack for each thread of the
// team: 128 with GCC 12, with room for other versions; and the stack that the program's and the
// runtime's own frames take. LLVM's libomp keeps its team on the heap.
constexpr std::int64_t kTeamStartStackPerThread = 160;
constexpr std::int64_t kTeamStartStackReserve = std::int64_t{32} * 1024;

}  // namespace

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

std::int64_t team_start_most(std::int64_t stack_limit) noexcept {
  // The arguments and environment take up to a quarter of the stack (ARG_MAX).
  return (stack_limit - stack_limit / 4 - kTeamStartStackReserve) / kTeamStartStackPerThread;
}

}  // namespace friendly
