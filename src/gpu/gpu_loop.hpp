// The GPU search's loop on the host side, written once over a device interface: allocations,
// clears, the two phases' launches, the pair buffer's growth and the copies back. The CUDA build
// runs it on CudaDevice (gpu_search.cu), the tests on HostDevice (tests/support/gpu_host.hpp).
//
// A Device has: void* allocate(std::size_t bytes, const char* step); void release(void*);
// void clear(void* data, std::size_t bytes, const char* step); void copy_to_host(void* host,
// const void* data, std::size_t bytes, const char* step); template <typename Ratio> unsigned
// ratio_blocks(const char* step) and pair_blocks(...); template <typename Ratio> void
// ratio_phase(unsigned blocks, <ratio_kernel_body's arguments>, const char* step) and
// pair_phase(unsigned blocks, <pair_kernel_body's arguments>, const char* step), each waiting
// for its kernel; double now(). A failed call throws DeviceFailure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "gpu/gpu.hpp"
#include "gpu/gpu_kernels.hpp"
#include "search/friendly.hpp"

namespace friendly {

// A device call that failed: its one line.
struct DeviceFailure {
  std::string line;
};

// count elements of device memory, released with the object.
template <typename T, typename Device>
class DeviceArray {
 public:
  DeviceArray(Device& device, std::int64_t count, const char* step) : device_(device) {
    const std::int64_t elements = count > 0 ? count : 1;
    data_ = static_cast<T*>(device.allocate(static_cast<std::size_t>(elements) * sizeof(T), step));
  }
  ~DeviceArray() { device_.release(data_); }
  DeviceArray(const DeviceArray&) = delete;
  DeviceArray& operator=(const DeviceArray&) = delete;
  [[nodiscard]] T* get() const { return data_; }

 private:
  Device& device_;
  T* data_ = nullptr;
};

// The search of gpu_search on device, throwing DeviceFailure on a failed call and std::bad_alloc
// when the host cannot hold the pairs.
template <typename Ratio, typename Device>
void search_on_device(Device& device, std::int32_t low, std::int32_t high, GpuRun& run,
                      GpuWork* work, std::int64_t capacity) {
  const std::int64_t length = range_length(low, high);
  run = GpuRun{};
  if (length <= 0) return;

  const DeviceArray<Ratio, Device> numerators(device, length, "allocating the ratios");
  const DeviceArray<Ratio, Device> denominators(device, length, "allocating the ratios");
  const DeviceArray<Count, Device> counters(device, kGpuCounters, "allocating the counters");
  device.clear(counters.get(), kGpuCounters * sizeof(Count), "clearing the counters");
  Count* const counts = work != nullptr ? counters.get() : nullptr;

  // Ratio phase.
  const double ratio_start = device.now();
  device.template ratio_phase<Ratio>(device.template ratio_blocks<Ratio>("the ratio phase"), low,
                                     length, numerators.get(), denominators.get(), counters.get(),
                                     counts, "the ratio phase");
  const double pair_start = device.now();
  run.ratio_seconds = pair_start - ratio_start;

  // Pair phase, run again with a buffer of the right size when the first one was short: only
  // the last pass's pairs and counts are kept.
  const std::int64_t tiles = (length + kTile - 1) / kTile;
  const std::int64_t triangle = tiles * (tiles + 1) / 2;
  const unsigned most_blocks = device.template pair_blocks<Ratio>("the pair phase");
  const unsigned blocks = triangle < most_blocks ? static_cast<unsigned>(triangle) : most_blocks;
  Count found = 0;
  for (;;) {
    const DeviceArray<std::uint64_t, Device> keys(device, capacity, "allocating the pair buffer");
    static_assert(kNextTile == kPairsFound + 1, "one clear restarts both");
    device.clear(counters.get() + kPairsFound, 2 * sizeof(Count), "clearing the counters");
    device.clear(counters.get() + kComparisons, 2 * sizeof(Count), "clearing the counters");
    ++run.pair_passes;
    device.template pair_phase<Ratio>(blocks, length, numerators.get(), denominators.get(), tiles,
                                      keys.get(), static_cast<Count>(capacity), counters.get(),
                                      counts, "the pair phase");
    device.copy_to_host(&found, counters.get() + kPairsFound, sizeof found,
                        "copying the pair count");
    if (found <= static_cast<Count>(capacity)) {
      run.pairs.resize(found);
      if (found > 0) {
        device.copy_to_host(run.pairs.data(), keys.get(), found * sizeof(std::uint64_t),
                            "copying the pairs");
      }
      break;
    }
    capacity = static_cast<std::int64_t>(found);
  }
  run.pair_seconds = device.now() - pair_start;

  Count totals[kGpuCounters] = {};
  device.copy_to_host(totals, counters.get(), sizeof totals, "copying the counters");
  run.candidate_tests = static_cast<std::int64_t>(totals[kCandidateTests]);
  if (work != nullptr) {
    *work = {static_cast<std::int64_t>(totals[kTests]), static_cast<std::int64_t>(totals[kRetests]),
             static_cast<std::int64_t>(totals[kComparisons]),
             static_cast<std::int64_t>(totals[kComparisonRetests])};
  }
}

// gpu_search on device: false, with the one-line reason in error and no pairs in run, when a
// device call or the host's memory fails.
template <typename Ratio, typename Device>
bool search_with(Device& device, std::int32_t low, std::int32_t high, GpuRun& run,
                 std::string& error, GpuWork* work, std::int64_t first_capacity) {
  try {
    search_on_device<Ratio>(device, low, high, run, work, first_capacity > 0 ? first_capacity : 1);
    return true;
  } catch (const DeviceFailure& failure) {
    error = failure.line;
  } catch (const std::bad_alloc&) {
    error = "out of memory for the pairs that the GPU found";
  }
  run.pairs.clear();
  return false;
}

}  // namespace friendly
