// The stacks: what the main thread has left under its limit, what a new thread has left below its
// own data, and the team that GNU libgomp's start fits on the main thread's.
#include <pthread.h>
#include <sys/resource.h>

#include <cstddef>
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

// A thread's part of thread_stack_room: the bytes of its stack below its first frame, into
// *room.
void* measure_thread_room(void* room) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return nullptr;
  void* low = nullptr;
  std::size_t size = 0;
  const int error = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  if (error != 0) return nullptr;
  const volatile char here = 0;
  *static_cast<std::int64_t*>(room) = static_cast<std::int64_t>(
      reinterpret_cast<std::uintptr_t>(&here) - reinterpret_cast<std::uintptr_t>(low));
  return nullptr;
}

}  // namespace

std::int64_t thread_stack_room(std::size_t stack_size) {
  // The measuring thread gets 64 KiB more, so that its own calls (the dynamic linker's lazy
  // binding saves every vector register on the stack) fit where the stack asked for has no room
  // left; a multiple of any alignment of thread-local storage, it moves the top as it moves the
  // room.
  constexpr std::size_t kExtra = std::size_t{64} << 10;
  std::int64_t room = -1;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return static_cast<std::int64_t>(stack_size);
  pthread_t thread{};
  if (pthread_attr_setstacksize(&attr, stack_size + kExtra) == 0 &&
      pthread_create(&thread, &attr, measure_thread_room, &room) == 0) {
    pthread_join(thread, nullptr);
  }
  pthread_attr_destroy(&attr);
  return room < 0 ? static_cast<std::int64_t>(stack_size)
                  : room - static_cast<std::int64_t>(kExtra);
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

std::int64_t team_start_most(std::int64_t stack_limit) noexcept {
  // The arguments and environment take up to a quarter of the stack (ARG_MAX).
  return (stack_limit - stack_limit / 4 - kTeamStartStackReserve) / kTeamStartStackPerThread;
}

}  // namespace friendly
