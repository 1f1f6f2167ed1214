// The GPU side of a build with CUDA: the device, and the whole search on it. The ratio phase
// gives one number at a time to each warp, largest numbers first; the pair phase gives each
// block tiles of the upper triangle of rows x columns, the tile's columns in shared memory and
// each thread's rows in registers. Every pair found is written to a buffer (grown and the pair
// phase run again when it is short); the host sorts and prints them (friendly.cpp). The kernels'
// bodies are in gpu_kernels.hpp, which the tests run on the host.
#include <cuda_runtime.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "gpu/gpu.hpp"
#include "gpu/gpu_kernels.hpp"
#include "gpu/gpu_loop.hpp"
#include "gpu/gpu_work.hpp"

namespace friendly {

namespace {

// The one line for a failed CUDA call: "CUDA error: <name>: <text> (<step>)".
std::string failure_text(cudaError_t error, const char* step) {
  return std::string("CUDA error: ") + cudaGetErrorName(error) + ": " + cudaGetErrorString(error) +
         " (" + step + ")";
}

// Throws DeviceFailure when error is not cudaSuccess.
void check(cudaError_t error, const char* step) {
  if (error != cudaSuccess) throw DeviceFailure{failure_text(error, step)};
}

// Checks the launch just made and waits for it, so that its errors show here.
void check_kernel(const char* step) {
  check(cudaGetLastError(), step);
  check(cudaDeviceSynchronize(), step);
}

// Seconds on a steady clock.
double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A lane of a warp on the device, as the kernels' bodies use it.
struct DeviceLane {
  [[nodiscard]] __device__ int lane() const { return static_cast<int>(threadIdx.x) % kWarpLanes; }
  [[nodiscard]] __device__ unsigned ballot(unsigned mask, bool predicate) const {
    return __ballot_sync(mask, predicate);
  }
  template <typename T>
  [[nodiscard]] __device__ T shfl(unsigned mask, T value, int source) const {
    return __shfl_sync(mask, value, source);
  }
  template <typename T>
  [[nodiscard]] __device__ T shfl_xor(unsigned mask, T value, int offset) const {
    return __shfl_xor_sync(mask, value, offset);
  }
  __device__ Count atomic_add(Count* counter, Count value) const {
    return atomicAdd(counter, value);
  }
};

// A thread of a block on the device, as the kernels' bodies use it.
struct DeviceThread {
  [[nodiscard]] __device__ int thread() const { return static_cast<int>(threadIdx.x); }
  __device__ void sync() const { __syncthreads(); }
  __device__ Count atomic_add(Count* counter, Count value) const {
    return atomicAdd(counter, value);
  }
};

// Ratio phase (ratio_kernel_body, gpu_kernels.hpp).
template <typename Ratio>
__global__ void __launch_bounds__(kRatioThreads)
    ratio_kernel(std::int32_t low, std::int64_t length, Ratio* numerators, Ratio* denominators,
                 Count* counters, Count* counts) {
  ratio_kernel_body(DeviceLane{}, low, length, numerators, denominators, counters, counts);
}

// Pair phase (pair_kernel_body, gpu_kernels.hpp), the block's tile in shared memory.
template <typename Ratio>
__global__ void __launch_bounds__(kPairThreads)
    pair_kernel(std::int64_t length, const Ratio* numerators, const Ratio* denominators,
                std::int64_t tiles, std::uint64_t* keys, Count capacity, Count* counters,
                Count* counts) {
  __shared__ SharedTile<Ratio> tile;
  pair_kernel_body(DeviceThread{}, tile, length, numerators, denominators, tiles, keys, capacity,
                   counters, counts);
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

// The device interface of search_on_device (gpu_loop.hpp) on the CUDA runtime's current device.
struct CudaDevice {
  void* allocate(std::size_t bytes, const char* step) {
    void* data = nullptr;
    check(cudaMalloc(&data, bytes), step);
    return data;
  }
  // A failed release leaves the device in error, which the search's next call reports; at the
  // end of a search nothing that it found depends on it.
  void release(void* data) { static_cast<void>(cudaFree(data)); }
  void clear(void* data, std::size_t bytes, const char* step) {
    check(cudaMemset(data, 0, bytes), step);
  }
  void copy_to_host(void* host, const void* data, std::size_t bytes, const char* step) {
    check(cudaMemcpy(host, data, bytes, cudaMemcpyDeviceToHost), step);
  }
  template <typename Ratio>
  unsigned ratio_blocks(const char* step) {
    return resident_blocks(ratio_kernel<Ratio>, kRatioThreads, step);
  }
  template <typename Ratio>
  unsigned pair_blocks(const char* step) {
    return resident_blocks(pair_kernel<Ratio>, kPairThreads, step);
  }
  template <typename Ratio>
  void ratio_phase(unsigned blocks, std::int32_t low, std::int64_t length, Ratio* numerators,
                   Ratio* denominators, Count* counters, Count* counts, const char* step) {
    ratio_kernel<Ratio>
        <<<blocks, kRatioThreads>>>(low, length, numerators, denominators, counters, counts);
    check_kernel(step);
  }
  template <typename Ratio>
  void pair_phase(unsigned blocks, std::int64_t length, const Ratio* numerators,
                  const Ratio* denominators, std::int64_t tiles, std::uint64_t* keys,
                  Count capacity, Count* counters, Count* counts, const char* step) {
    pair_kernel<Ratio><<<blocks, kPairThreads>>>(length, numerators, denominators, tiles, keys,
                                                 capacity, counters, counts);
    check_kernel(step);
  }
  double now() const { return friendly::now(); }
};

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

std::string gpu_versions() {
  int driver = 0;
  int runtime = 0;
  const bool has_driver = cudaDriverGetVersion(&driver) == cudaSuccess && driver > 0;
  const bool has_runtime = cudaRuntimeGetVersion(&runtime) == cudaSuccess;
  // CUDA writes version X.Y as 1000 X + 10 Y.
  const auto version = [](int code) {
    return std::to_string(code / 1000) + "." + std::to_string(code % 1000 / 10);
  };
  const std::string runtime_text = has_runtime ? version(runtime) : "unknown";
  if (!has_driver) return "no CUDA driver is installed; CUDA runtime " + runtime_text;
  return "CUDA driver " + version(driver) + ", runtime " + runtime_text;
}

std::string gpu_unavailable_reason() {
  int count = 0;
  const cudaError_t error = device_count(count);
  if (error == cudaSuccess) return "";
  int driver = 0;
  if (cudaDriverGetVersion(&driver) != cudaSuccess || driver == 0) return gpu_versions();
  return std::string("no CUDA device: ") + cudaGetErrorString(error) + "; " + gpu_versions();
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
    const auto free_memory = static_cast<std::int64_t>(free_bytes);
    const auto total_memory = static_cast<std::int64_t>(total_bytes);
    if (!gpu_memory_fits(bytes, free_memory, total_memory)) {
      error = "range too large: " + std::to_string(range_length(low, high)) + " numbers need " +
              std::to_string(bytes) + " bytes on the GPU, more than the " +
              std::to_string(free_bytes) + " bytes free on " + device.name + " leave beside " +
              std::to_string(gpu_memory_margin(total_memory)) + " bytes kept free";
      return false;
    }
    return true;
  } catch (const DeviceFailure& failure) {
    error = failure.line;
    return false;
  }
}

template <typename Ratio>
bool gpu_search(std::int32_t low, std::int32_t high, GpuRun& run, std::string& error, GpuWork* work,
                std::int64_t first_capacity) {
  CudaDevice device;
  return search_with<Ratio>(device, low, high, run, error, work, first_capacity);
}

template bool gpu_search<std::int32_t>(std::int32_t, std::int32_t, GpuRun&, std::string&, GpuWork*,
                                       std::int64_t);
template bool gpu_search<std::int64_t>(std::int32_t, std::int32_t, GpuRun&, std::string&, GpuWork*,
                                       std::int64_t);

}  // namespace friendly
