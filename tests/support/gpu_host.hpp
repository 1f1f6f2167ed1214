// The host executor of the kernels' bodies (gpu_kernels.hpp): a warp is 32 fibers of one host
// thread that meet at each collective call, which must be the same call with the same full mask
// on every lane; a block is 256 host threads that meet at each barrier, which every thread must
// pass as often. The ratio kernel runs several such warps at once, each on its own thread, on one
// atomic counter; the pair kernel runs its blocks one after the other, each block's threads phase
// by phase between its barriers. HostDevice runs the search's device loop on them.
#pragma once

#include <ucontext.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gpu/gpu_kernels.hpp"
#include "gpu/gpu_loop.hpp"

#if defined(__SANITIZE_THREAD__)
#define FRIENDLY_TSAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FRIENDLY_TSAN_FIBERS 1
#endif
#endif
#ifdef FRIENDLY_TSAN_FIBERS
#include <sanitizer/tsan_interface.h>
#endif

namespace friendly {

// Adds value to *counter atomically and returns the value before, as CUDA's atomicAdd does.
// NOLINTNEXTLINE(readability-non-const-parameter): written through the atomic reference
inline Count host_atomic_add(Count* counter, Count value) {
  return std::atomic_ref<Count>(*counter).fetch_add(value);
}

// One host warp: 32 lanes run as fibers of the calling thread, each until its next collective
// call, which it deposits; when every lane that is still running has made its call, the calls are
// checked and each lane's result computed, and the lanes go on. error() names the first mismatch
// seen.
class HostWarpGroup {
 public:
  enum class Call : std::uint8_t { none, ballot, shfl, shfl_xor, exit };

  HostWarpGroup() = default;
  HostWarpGroup(const HostWarpGroup&) = delete;
  HostWarpGroup& operator=(const HostWarpGroup&) = delete;

  // Runs lane_body(lane) on the 32 lanes until every one of them has returned.
  template <typename LaneBody>
  void run(LaneBody& lane_body) {
    constexpr std::size_t kStackBytes = std::size_t{256} << 10;
    stacks_.assign(kWarpLanes * kStackBytes, std::byte{0});
    body_ = &lane_body;
    call_body_ = [](void* body, int lane) { (*static_cast<LaneBody*>(body))(lane); };
    for (int lane = 0; lane < kWarpLanes; ++lane) {
      ucontext_t& context = lanes_[lane];
      getcontext(&context);
      context.uc_stack.ss_sp = stacks_.data() + static_cast<std::size_t>(lane) * kStackBytes;
      context.uc_stack.ss_size = kStackBytes;
      context.uc_link = &scheduler_;
      // makecontext passes int arguments: the group's address in two halves.
      const auto address = reinterpret_cast<std::uintptr_t>(this);
      makecontext(&context, reinterpret_cast<void (*)()>(&HostWarpGroup::start), 3,
                  static_cast<unsigned>(address >> 32), static_cast<unsigned>(address), lane);
      calls_[lane] = {};
    }
    fiber_setup();
    int running = kWarpLanes;
    while (running > 0) {
      for (int lane = 0; lane < kWarpLanes; ++lane) {
        if (calls_[lane].call == Call::exit) continue;
        fiber_switch(lane);
        swapcontext(&scheduler_, &lanes_[lane]);
        if (calls_[lane].call == Call::exit) --running;
      }
      if (running > 0) resolve();
    }
    fiber_teardown();
  }

  // Lane `lane`'s collective call: returns its result once every lane has made its call.
  std::uint64_t meet(int lane, Call call, unsigned mask, std::uint64_t value, int argument) {
    calls_[lane] = {call, mask, value, argument};
    fiber_switch(-1);
    swapcontext(&lanes_[lane], &scheduler_);
    return results_[lane];
  }

  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  struct LaneCall {
    Call call = Call::none;
    unsigned mask = 0;
    std::uint64_t value = 0;
    int argument = 0;
  };

  // A lane's fiber: runs the body, then marks the lane done and switches back to the scheduler
  // for good (not by returning, which ThreadSanitizer would count on the scheduler's stack).
  static void start(unsigned high, unsigned low, int lane) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): makecontext passes ints only
    auto* group = reinterpret_cast<HostWarpGroup*>(std::uintptr_t{high} << 32 | low);
    group->call_body_(group->body_, lane);
    group->calls_[lane] = {Call::exit, 0, 0, 0};
    group->fiber_switch(-1);
    swapcontext(&group->lanes_[lane], &group->scheduler_);
  }

  // Checks that the lanes made one call alike, then computes each lane's result.
  void resolve() {
    const LaneCall& first = calls_[0];
    bool alike = first.mask == kFullWarp;
    for (const LaneCall& call : calls_) {
      alike = alike && call.call == first.call && call.mask == first.mask &&
              call.argument == first.argument;
    }
    if (!alike && error_.empty()) {
      error_ = "the lanes of a warp made different collective calls (call/mask/argument):";
      for (const LaneCall& call : calls_) {
        error_ += " " + std::to_string(static_cast<int>(call.call)) + "/" +
                  std::to_string(call.mask) + "/" + std::to_string(call.argument);
      }
    }
    std::uint64_t votes = 0;
    for (int lane = 0; lane < kWarpLanes; ++lane) {
      if (calls_[lane].call == Call::ballot && (calls_[lane].mask >> lane & 1U) != 0)
        votes |= (calls_[lane].value != 0 ? std::uint64_t{1} : 0) << lane;
    }
    for (int lane = 0; lane < kWarpLanes; ++lane) {
      const LaneCall& call = calls_[lane];
      const int source = call.call == Call::shfl       ? call.argument & (kWarpLanes - 1)
                         : call.call == Call::shfl_xor ? (lane ^ call.argument) & (kWarpLanes - 1)
                                                       : lane;
      results_[lane] = call.call == Call::ballot ? votes & call.mask : calls_[source].value;
    }
  }

#ifdef FRIENDLY_TSAN_FIBERS
  // ThreadSanitizer follows the switches between the lanes' fibers, each one ordered after the
  // last.
  void fiber_setup() {
    scheduler_fiber_ = __tsan_get_current_fiber();
    for (void*& fiber : fibers_)
      fiber = __tsan_create_fiber(0);
  }
  void fiber_switch(int lane) {
    __tsan_switch_to_fiber(lane < 0 ? scheduler_fiber_ : fibers_[lane], 0);
  }
  void fiber_teardown() {
    for (void* fiber : fibers_)
      __tsan_destroy_fiber(fiber);
  }
  void* scheduler_fiber_ = nullptr;
  void* fibers_[kWarpLanes] = {};
#else
  void fiber_setup() {}
  void fiber_switch(int /*lane*/) {}
  void fiber_teardown() {}
#endif

  ucontext_t scheduler_{};
  ucontext_t lanes_[kWarpLanes]{};
  std::vector<std::byte> stacks_;
  void* body_ = nullptr;
  void (*call_body_)(void*, int) = nullptr;
  LaneCall calls_[kWarpLanes];
  std::uint64_t results_[kWarpLanes] = {};
  std::string error_;
};

// A lane of a host warp, as the kernels' bodies use it.
class HostLane {
 public:
  HostLane(HostWarpGroup& group, int lane) : group_(group), lane_(lane) {}

  [[nodiscard]] int lane() const { return lane_; }
  [[nodiscard]] unsigned ballot(unsigned mask, bool predicate) const {
    return static_cast<unsigned>(
        group_.meet(lane_, HostWarpGroup::Call::ballot, mask, predicate ? 1 : 0, 0));
  }
  template <typename T>
  [[nodiscard]] T shfl(unsigned mask, T value, int source) const {
    return static_cast<T>(group_.meet(lane_, HostWarpGroup::Call::shfl, mask,
                                      static_cast<std::uint64_t>(value), source));
  }
  template <typename T>
  [[nodiscard]] T shfl_xor(unsigned mask, T value, int offset) const {
    return static_cast<T>(group_.meet(lane_, HostWarpGroup::Call::shfl_xor, mask,
                                      static_cast<std::uint64_t>(value), offset));
  }
  static Count atomic_add(Count* counter, Count value) { return host_atomic_add(counter, value); }

 private:
  HostWarpGroup& group_;
  int lane_;
};

// The barrier of one host block: counts each thread's passes, so that a thread that passes it
// less often than the others shows in error().
class HostBlockGroup {
 public:
  HostBlockGroup() : barrier_(kPairThreads), passes_(kPairThreads, 0) {}

  void sync(int thread) {
    ++passes_[static_cast<std::size_t>(thread)];
    barrier_.arrive_and_wait();
  }
  void leave() { barrier_.arrive_and_drop(); }

  // Empty when every thread passed the barrier as often; else which ones did not.
  [[nodiscard]] std::string error() const {
    for (int thread = 1; thread < kPairThreads; ++thread) {
      if (passes_[static_cast<std::size_t>(thread)] != passes_[0]) {
        return "thread " + std::to_string(thread) + " of a block passed its barrier " +
               std::to_string(passes_[static_cast<std::size_t>(thread)]) + " times, thread 0 " +
               std::to_string(passes_[0]) + " times";
      }
    }
    return "";
  }

 private:
  std::barrier<> barrier_;
  std::vector<int> passes_;
};

// A thread of a host block, as the kernels' bodies use it.
class HostThread {
 public:
  HostThread(HostBlockGroup& group, int thread) : group_(group), thread_(thread) {}

  [[nodiscard]] int thread() const { return thread_; }
  void sync() const { group_.sync(thread_); }
  static Count atomic_add(Count* counter, Count value) { return host_atomic_add(counter, value); }

 private:
  HostBlockGroup& group_;
  int thread_;
};

// Runs the ratio kernel on `warps` host warps at once; returns the first mismatch of collective
// calls that a warp saw, or an empty string.
template <typename Ratio>
std::string run_ratio_kernel(int warps, std::int32_t low, std::int64_t length, Ratio* numerators,
                             Ratio* denominators, Count* counters, Count* counts) {
  std::vector<std::unique_ptr<HostWarpGroup>> groups;
  {
    std::vector<std::jthread> warp_threads;
    warp_threads.reserve(static_cast<std::size_t>(warps));
    for (int warp = 0; warp < warps; ++warp) {
      groups.push_back(std::make_unique<HostWarpGroup>());
      warp_threads.emplace_back([&, group = groups.back().get()] {
        auto lane_body = [&](int lane) {
          ratio_kernel_body(HostLane(*group, lane), low, length, numerators, denominators, counters,
                            counts);
        };
        group->run(lane_body);
      });
    }
  }
  for (const auto& group : groups)
    if (!group->error().empty()) return group->error();
  return "";
}

// Runs the pair kernel on `blocks` host blocks, one after the other, each with its shared tile
// filled with a poison pattern first; returns the first barrier mismatch, or an empty string.
template <typename Ratio>
std::string run_pair_kernel(std::int64_t blocks, std::int64_t length, const Ratio* numerators,
                            const Ratio* denominators, std::int64_t tiles, std::uint64_t* keys,
                            Count capacity, Count* counters, Count* counts) {
  std::vector<SharedTile<Ratio>> tile(1);
  for (std::int64_t block = 0; block < blocks; ++block) {
    std::memset(static_cast<void*>(tile.data()), 0xA5, sizeof(SharedTile<Ratio>));
    HostBlockGroup group;
    {
      std::vector<std::jthread> threads;
      threads.reserve(kPairThreads);
      for (int thread = 0; thread < kPairThreads; ++thread) {
        threads.emplace_back([&, thread] {
          pair_kernel_body(HostThread(group, thread), tile[0], length, numerators, denominators,
                           tiles, keys, capacity, counters, counts);
          group.leave();
        });
      }
    }
    std::string error = group.error();
    if (!error.empty()) return error;
  }
  return "";
}

}  // namespace friendly

namespace friendly {

// The device interface of search_on_device (gpu_loop.hpp) on host memory and the host executor,
// with a failure injected at one call: calls counts every call, and the call numbered fail_at
// (from 1; 0 for none) throws DeviceFailure instead of doing its work.
class HostDevice {
 public:
  int fail_at = 0;
  int calls = 0;
  std::int64_t live_allocations = 0;

  void* allocate(std::size_t bytes, const char* step) {
    enter(step);
    ++live_allocations;
    return ::operator new(bytes);
  }
  void release(void* data) {
    --live_allocations;
    ::operator delete(data);
  }
  void clear(void* data, std::size_t bytes, const char* step) {
    enter(step);
    std::memset(data, 0, bytes);
  }
  void copy_to_host(void* host, const void* data, std::size_t bytes, const char* step) {
    enter(step);
    std::memcpy(host, data, bytes);
  }
  template <typename Ratio>
  unsigned ratio_blocks(const char* step) {
    enter(step);
    return 1;
  }
  template <typename Ratio>
  unsigned pair_blocks(const char* step) {
    enter(step);
    return 3;
  }
  template <typename Ratio>
  void ratio_phase(unsigned /*blocks*/, std::int32_t low, std::int64_t length, Ratio* numerators,
                   Ratio* denominators, Count* counters, Count* counts, const char* step) {
    enter(step);
    fail_on(run_ratio_kernel(kHostWarps, low, length, numerators, denominators, counters, counts),
            step);
  }
  template <typename Ratio>
  void pair_phase(unsigned blocks, std::int64_t length, const Ratio* numerators,
                  const Ratio* denominators, std::int64_t tiles, std::uint64_t* keys,
                  Count capacity, Count* counters, Count* counts, const char* step) {
    enter(step);
    fail_on(run_pair_kernel(blocks, length, numerators, denominators, tiles, keys, capacity,
                            counters, counts),
            step);
  }
  [[nodiscard]] static double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

 private:
  // Host warps of the ratio phase.
  static constexpr int kHostWarps = 3;

  // A search makes a dozen calls and a few more per rerun of its pair phase: a loop that never
  // ends shows as a failure.
  static constexpr int kMostCalls = 1000;

  void enter(const char* step) {
    if (++calls == fail_at)
      throw DeviceFailure{std::string("CUDA error: injected failure (") + step + ")"};
    if (calls > kMostCalls)
      throw DeviceFailure{std::string("more device calls than a search makes (") + step + ")"};
  }
  static void fail_on(const std::string& error, const char* step) {
    if (!error.empty()) throw DeviceFailure{"host executor: " + error + " (" + step + ")"};
  }
};

}  // namespace friendly

#undef FRIENDLY_TSAN_FIBERS
