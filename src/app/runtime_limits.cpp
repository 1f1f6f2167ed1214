// The OpenMP runtime's settings (the team's size, its threads' stacks) and the probe that starts
// its team once before the search does.
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
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/limits.hpp"

// LLVM's libomp reports the stack size of the threads it starts through this call of its API.
// GNU libgomp has no such call, so the reference is weak: null there. (LLVM's omp.h declares it
// too, without the weak attribute.)
// NOLINTNEXTLINE(readability-redundant-declaration)
extern "C" std::size_t kmp_get_stacksize_s() __attribute__((weak));

namespace friendly {

namespace {

// Heap that a runtime allocates for each thread it starts, with room to spare (LLVM's libomp
// allocates the most), and the bytes by which libomp enlarges each thread's stack per thread
// number (twice its stack offset of one cache line).
constexpr std::int64_t kRuntimeBytesPerThread = std::int64_t{64} * 1024;
constexpr std::size_t kStackOffsetPerThread = 128;

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
  if (!gomp_stack_size(asked, size)) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
    const bool gomp = gomp_stack_size(std::getenv("GOMP_STACKSIZE"), size);
    what = gomp ? "the threads' stack size (GOMP_STACKSIZE)"
                : "the threads' default stack size (ulimit -s)";
  }
  if (size != 0) static_cast<void>(pthread_attr_setstacksize(&attr, size));
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  return size;
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

bool gomp_stack_size(const char* text, std::size_t& size) {
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
  // with a crash.
  const std::int64_t main_stack = soft_limit(RLIMIT_STACK);
  const std::int64_t stack_most = team_start_most(main_stack);
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
