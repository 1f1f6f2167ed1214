// The GPU side of a build with CUDA: the device, and the whole search on it. The ratio phase
// gives one number at a time to each warp, largest numbers first; the pair phase gives each
// block tiles of the upper triangle of rows x columns, the tile's columns in shared memory and
// each thread's rows in registers. Every pair found is written to a buffer (grown and the pair
// phase run again when it is short); the host sorts and prints them (friendly.cpp). What each
// thread does is in gpu_work.hpp, which the tests run on the host.
#include <cuda_runtime.h>

#include <chrono>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "gpu/gpu.hpp"
#include "gpu/gpu_work.hpp"

namespace friendly {

namespace {

constexpr unsigned kFullWarp = 0xFFFFFFFFU;
constexpr int kRatioThreads = 256;

// Indices of the counters in device memory (kGpuCounters of them).
enum Counter : int {
  kNextNumber,
  kCandidateTests,
  kPairsFound,
  kTests,
  kRetests,
  kComparisons,
  kComparisonRetests,
};

using Count = unsigned long long;  // the type of CUDA's 64-bit atomicAdd

// A CUDA call that failed: its error, and what the search was doing.
struct CudaFailure {
  cudaError_t error;
  const char* step;
};

// Throws CudaFailure when error is not cudaSuccess.
void check(cudaError_t error, const char* step) {
  if (error != cudaSuccess) throw CudaFailure{error, step};
}

// Checks the launch just made and waits for it, so that its errors show here.
void check_kernel(const char* step) {
  check(cudaGetLastError(), step);
  check(cudaDeviceSynchronize(), step);
}

// The one line for a failure: "CUDA error: <name>: <text> (<step>)".
std::string failure_text(const CudaFailure& failure) {
  return std::string("CUDA error: ") + cudaGetErrorName(failure.error) + ": " +
         cudaGetErrorString(failure.error) + " (" + failure.step + ")";
}

// Seconds on a steady clock.
double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// count elements of device memory, released with the object.
template <typename T>
class DeviceArray {
 public:
  DeviceArray(std::int64_t count, const char* step) {
    const std::int64_t elements = count > 0 ? count : 1;
    check(cudaMalloc(reinterpret_cast<void**>(&data_),
                     static_cast<std::size_t>(elements) * sizeof(T)),
          step);
  }
  // A failed release leaves the device in error, which the search's next call reports; at the
  // end of a search nothing that it found depends on it.
  ~DeviceArray() { static_cast<void>(cudaFree(data_)); }
  DeviceArray(const DeviceArray&) = delete;
  DeviceArray& operator=(const DeviceArray&) = delete;
  [[nodiscard]] T* get() const { return data_; }

 private:
  T* data_ = nullptr;
};

// Sum of value over the lanes of the warp, on every lane.
__device__ std::int64_t warp_sum(std::int64_t value) {
  for (int offset = kWarpLanes / 2; offset > 0; offset /= 2)
    value += __shfl_xor_sync(kFullWarp, value, offset);
  return value;
}

// The warp of gpu_work.hpp on the device: the lanes' finds met by a ballot, counted into counts
// (when not null) by lane 0.
struct DeviceWarp {
  int lane;
  Count* counts;

  template <typename Find>
  __device__ FirstFind first(Find&& find) const {
    const LaneFind mine = find(lane);
    const unsigned hits = __ballot_sync(kFullWarp, mine.found);
    FirstFind result;
    if (hits != 0) {
      result.lane = __ffs(static_cast<int>(hits)) - 1;
      result.divisor = __shfl_sync(kFullWarp, mine.divisor, result.lane);
    }
    if (counts != nullptr) {
      tally(warp_sum(mine.tests), warp_sum(lane > result.lane ? mine.tests : 0));
    }
    return result;
  }

  __device__ void tally(std::int64_t tests, std::int64_t retests) const {
    if (counts == nullptr || lane != 0) return;
    atomicAdd(&counts[kTests], static_cast<Count>(tests));
    atomicAdd(&counts[kRetests], static_cast<Count>(retests));
  }
};

// Ratio phase: each warp takes the numbers low + k one at a time, k from length - 1 down (the
// costly numbers of a range are mostly its largest), and stores their reduced ratios; the
// literal loop's candidate tests go to counters[kCandidateTests]. counts: the work counts, or
// null.
template <typename Ratio>
__global__ void __launch_bounds__(kRatioThreads)
    ratio_kernel(std::int32_t low, std::int64_t length, Ratio* numerators, Ratio* denominators,
                 Count* counters, Count* counts) {
  const int lane = static_cast<int>(threadIdx.x) % kWarpLanes;
  const DeviceWarp warp{lane, counts};
  Count tests = 0;
  for (;;) {
    Count taken = 0;
    if (lane == 0) taken = atomicAdd(&counters[kNextNumber], Count{1});
    taken = __shfl_sync(kFullWarp, taken, 0);
    if (taken >= static_cast<Count>(length)) break;
    const std::int64_t k = length - 1 - static_cast<std::int64_t>(taken);
    const auto n = static_cast<std::int32_t>(low + k);
    std::int32_t limit = n;
    const std::int64_t sum = divisor_sum_on_warp(n, warp, limit);
    if (lane == 0) {
      Ratio numerator = 0;
      Ratio denominator = 0;
      store_ratio(n, sum, numerator, denominator);
      numerators[k] = numerator;
      denominators[k] = denominator;
      tests += static_cast<Count>(tests_below_limit(n, limit));
    }
  }
  if (lane == 0) atomicAdd(&counters[kCandidateTests], tests);
}

// Pair phase: each block takes tiles t = blockIdx.x, + gridDim.x, ... of the upper triangle of
// tiles x tiles (tiles of kTile rows and as many columns), and writes pair_key(i, j) of each pair
// of equal ratios to keys[slot] for a slot below capacity, counting every pair in
// counters[kPairsFound]. counts: the work counts, or null.
template <typename Ratio>
__global__ void __launch_bounds__(kPairThreads)
    pair_kernel(std::int64_t length, const Ratio* numerators, const Ratio* denominators,
                std::int64_t tiles, std::uint64_t* keys, Count capacity, Count* counters,
                Count* counts) {
  __shared__ Ratio tile_numerators[kTile];
  __shared__ Ratio tile_denominators[kTile];
  const int thread = static_cast<int>(threadIdx.x);
  const auto emit = [&](std::int64_t i, std::int64_t j) {
    const Count slot = atomicAdd(&counters[kPairsFound], Count{1});
    if (slot < capacity) keys[slot] = pair_key(i, j);
  };
  const std::int64_t triangle = tiles * (tiles + 1) / 2;
  for (std::int64_t t = blockIdx.x; t < triangle; t += gridDim.x) {
    std::int64_t row_tile = 0;
    std::int64_t column_tile = 0;
    triangle_tile(t, tiles, row_tile, column_tile);
    const std::int64_t first_column = column_tile * kTile;
    const int columns =
        length - first_column < kTile ? static_cast<int>(length - first_column) : kTile;
    __syncthreads();  // every thread is done with the last tile
    for (int c = thread; c < columns; c += kPairThreads) {
      tile_numerators[c] = numerators[first_column + c];
      tile_denominators[c] = denominators[first_column + c];
    }
    __syncthreads();
    const ThreadRows<Ratio> rows = thread_rows(row_tile, thread, length, numerators, denominators);
    const TileWork work = thread_tile(rows, row_tile == column_tile, first_column, columns,
                                      tile_numerators, tile_denominators, emit);
    if (counts != nullptr) {
      atomicAdd(&counts[kComparisons], static_cast<Count>(work.comparisons));
      atomicAdd(&counts[kComparisonRetests], static_cast<Count>(work.retests));
    }
  }
}

// Blocks of threads_per_block threads that fill every multiprocessor of the device with kernel.
template <typename Kernel>
unsigned resident_blocks(Kernel kernel, int threads_per_block, const char* step) {
  int device = 0;
  check(cudaGetDevice(&device), step);
  int processors = 0;
  check(cudaDeviceGetAttribute(&processors, cudaDevAttrMultiProcessorCount, device), step);
  int per_processor = 0;
  check(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&per_processor, kernel, threads_per_block, 0),
        step);
  return static_cast<unsigned>(processors) *
         static_cast<unsigned>(per_processor > 0 ? per_processor : 1);
}

// Loads every kernel of the search onto the device, so that no launch of the timed search does.
void load_kernels() {
  cudaFuncAttributes attributes{};
  check(cudaFuncGetAttributes(&attributes, ratio_kernel<std::int32_t>), "loading the kernels");
  check(cudaFuncGetAttributes(&attributes, ratio_kernel<std::int64_t>), "loading the kernels");
  check(cudaFuncGetAttributes(&attributes, pair_kernel<std::int32_t>), "loading the kernels");
  check(cudaFuncGetAttributes(&attributes, pair_kernel<std::int64_t>), "loading the kernels");
}

// The search of gpu_search, throwing CudaFailure on a failed CUDA call and std::bad_alloc when
// the host cannot hold the pairs.
template <typename Ratio>
void search_on_device(std::int32_t low, std::int32_t high, GpuRun& run, GpuWork* work,
                      std::int64_t capacity) {
  const std::int64_t length = range_length(low, high);
  run = GpuRun{};
  if (length <= 0) return;

  const DeviceArray<Ratio> numerators(length, "allocating the ratios");
  const DeviceArray<Ratio> denominators(length, "allocating the ratios");
  const DeviceArray<Count> counters(kGpuCounters, "allocating the counters");
  check(cudaMemset(counters.get(), 0, kGpuCounters * sizeof(Count)), "clearing the counters");
  Count* const counts = work != nullptr ? counters.get() : nullptr;

  // Ratio phase.
  const double ratio_start = now();
  ratio_kernel<Ratio>
      <<<resident_blocks(ratio_kernel<Ratio>, kRatioThreads, "the ratio phase"), kRatioThreads>>>(
          low, length, numerators.get(), denominators.get(), counters.get(), counts);
  check_kernel("the ratio phase");
  const double pair_start = now();
  run.ratio_seconds = pair_start - ratio_start;

  // Pair phase, run again with a buffer of the right size when the first one was short: only
  // the last pass's pairs and counts are kept.
  const std::int64_t tiles = (length + kTile - 1) / kTile;
  const std::int64_t triangle = tiles * (tiles + 1) / 2;
  const unsigned most_blocks = resident_blocks(pair_kernel<Ratio>, kPairThreads, "the pair phase");
  const unsigned blocks = triangle < most_blocks ? static_cast<unsigned>(triangle) : most_blocks;
  Count found = 0;
  for (;;) {
    const DeviceArray<std::uint64_t> keys(capacity, "allocating the pair buffer");
    check(cudaMemset(counters.get() + kPairsFound, 0, sizeof(Count)), "clearing the counters");
    check(cudaMemset(counters.get() + kComparisons, 0, 2 * sizeof(Count)), "clearing the counters");
    ++run.pair_passes;
    pair_kernel<Ratio><<<blocks, kPairThreads>>>(length, numerators.get(), denominators.get(),
                                                 tiles, keys.get(), static_cast<Count>(capacity),
                                                 counters.get(), counts);
    check_kernel("the pair phase");
    check(cudaMemcpy(&found, counters.get() + kPairsFound, sizeof found, cudaMemcpyDeviceToHost),
          "copying the pair count");
    if (found <= static_cast<Count>(capacity)) {
      run.pairs.resize(found);
      if (found > 0) {
        check(cudaMemcpy(run.pairs.data(), keys.get(), found * sizeof(std::uint64_t),
                         cudaMemcpyDeviceToHost),
              "copying the pairs");
      }
      break;
    }
    capacity = static_cast<std::int64_t>(found);
  }
  run.pair_seconds = now() - pair_start;

  Count totals[kGpuCounters] = {};
  check(cudaMemcpy(totals, counters.get(), sizeof totals, cudaMemcpyDeviceToHost),
        "copying the counters");
  run.candidate_tests = static_cast<std::int64_t>(totals[kCandidateTests]);
  if (work != nullptr) {
    *work = {static_cast<std::int64_t>(totals[kTests]), static_cast<std::int64_t>(totals[kRetests]),
             static_cast<std::int64_t>(totals[kComparisons]),
             static_cast<std::int64_t>(totals[kComparisonRetests])};
  }
}

// The number of CUDA devices, or the error that says why there is none.
cudaError_t device_count(int& count) {
  count = 0;
  const cudaError_t error = cudaGetDeviceCount(&count);
  if (error == cudaSuccess && count == 0) return cudaErrorNoDevice;
  return error;
}

}  // namespace

bool gpu_available() noexcept {
  static const bool available = [] {
    int count = 0;
    return device_count(count) == cudaSuccess;
  }();
  return available;
}

std::string gpu_unavailable_reason() {
  int count = 0;
  const cudaError_t error = device_count(count);
  if (error == cudaSuccess) return "";
  return std::string("no CUDA device: ") + cudaGetErrorString(error);
}

bool gpu_prepare(std::int32_t low, std::int32_t high, GpuDevice& device, std::string& error) {
  try {
    const double start = now();
    int count = 0;
    check(device_count(count), "looking for a device");
    int id = 0;
    check(cudaGetDevice(&id), "selecting the device");
    check(cudaSetDevice(id), "selecting the device");
    check(cudaFree(nullptr), "creating the device's context");
    load_kernels();
    cudaDeviceProp properties{};
    check(cudaGetDeviceProperties(&properties, id), "reading the device's properties");
    device.name = properties.name;
    std::size_t free_bytes = 0;
    std::size_t total_bytes = 0;
    check(cudaMemGetInfo(&free_bytes, &total_bytes), "reading the device's free memory");
    device.setup_seconds = now() - start;

    const std::int64_t bytes = gpu_search_bytes(low, high);
    if (static_cast<std::uint64_t>(bytes) > free_bytes) {
      error = "range too large: " + std::to_string(range_length(low, high)) + " numbers need " +
              std::to_string(bytes) + " bytes on the GPU, more than the " +
              std::to_string(free_bytes) + " bytes free on " + device.name;
      return false;
    }
    return true;
  } catch (const CudaFailure& failure) {
    error = failure_text(failure);
    return false;
  }
}

template <typename Ratio>
bool gpu_search(std::int32_t low, std::int32_t high, GpuRun& run, std::string& error, GpuWork* work,
                std::int64_t first_capacity) {
  try {
    search_on_device<Ratio>(low, high, run, work, first_capacity > 0 ? first_capacity : 1);
    return true;
  } catch (const CudaFailure& failure) {
    error = failure_text(failure);
  } catch (const std::bad_alloc&) {
    error = "out of memory for the pairs that the GPU found";
  }
  run.pairs.clear();
  return false;
}

template bool gpu_search<std::int32_t>(std::int32_t, std::int32_t, GpuRun&, std::string&, GpuWork*,
                                       std::int64_t);
template bool gpu_search<std::int64_t>(std::int32_t, std::int32_t, GpuRun&, std::string&, GpuWork*,
                                       std::int64_t);

}  // namespace friendly
