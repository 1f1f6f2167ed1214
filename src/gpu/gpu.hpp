// The GPU's side of the search: whether there is one, setting it up before the clock starts, and
// the whole search of a range on it. A build with FRIENDLY_CUDA links the CUDA implementation
// (gpu_search.cu); every other build links gpu_none.cpp, which has no GPU.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace friendly {

// True when this build has the GPU search and a CUDA device is present (checked once).
bool gpu_available() noexcept;

// Why gpu_available() is false, in one line (empty when it is true): the CUDA error with the
// driver and runtime versions, or that no driver is installed.
std::string gpu_unavailable_reason();

// The CUDA driver and runtime versions ("CUDA driver 13.0, runtime 13.0"), or that no driver is
// installed, or that this build has no CUDA.
std::string gpu_versions();

// The device that a GPU search runs on, as the report names it.
struct GpuDevice {
  std::string name;          // the device's own name
  double setup_seconds = 0;  // selecting it, creating its context and loading the kernels
};

// Pairs that the first buffer of a GPU search holds; a search that finds more grows it and runs
// its pair phase again.
inline constexpr std::int64_t kFirstPairCapacity = std::int64_t{1} << 20;

// Sets up the device for the search of low..high (high >= low - 1): selects it, creates its
// context, loads the kernels, and checks that its free memory holds gpu_search_bytes
// (gpu_work.hpp). False,
// with the one-line reason in error, when there is no device, a CUDA call fails or the memory
// does not suffice.
bool gpu_prepare(std::int32_t low, std::int32_t high, GpuDevice& device, std::string& error);

// Work that the GPU's kernels counted from their own trip counts: candidate tests (retests
// among them) and comparisons of a row's ratio with a column's (retests not among them).
struct GpuWork {
  std::int64_t tests = 0;
  std::int64_t retests = 0;
  std::int64_t comparisons = 0;
  std::int64_t comparison_retests = 0;
};

// What a GPU search found, before anything is printed.
struct GpuRun {
  std::vector<std::uint64_t> pairs;  // pair_key(i, j) of every pair of equal ratios, in no order
  std::int64_t candidate_tests = 0;  // the literal trial division's tests over the range
  double ratio_seconds = 0;          // the ratio phase, from its launch to its end
  double pair_seconds = 0;           // the pair phase, its passes and the copy of the pairs
  int pair_passes = 0;               // pair phases run: 1, or 2 when the first buffer was short
};

// The whole search of low..high (high >= low - 1) on the GPU, with ratio elements of type Ratio
// (int32_t where needs_wide_ratios is false, else int64_t), into run; prints nothing. work, when
// not null, receives the kernels' counts of the work. first_capacity: the pairs that the first
// buffer holds. False, with the one-line reason in error, when a CUDA call or the memory fails.
template <typename Ratio>
bool gpu_search(std::int32_t low, std::int32_t high, GpuRun& run, std::string& error,
                GpuWork* work = nullptr, std::int64_t first_capacity = kFirstPairCapacity);

}  // namespace friendly
