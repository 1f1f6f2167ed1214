// The GPU side of a build without CUDA: there is no GPU, and a search on it is refused.
#include <cstdint>
#include <string>

#include "gpu/gpu.hpp"

namespace friendly {

namespace {

constexpr const char* kNoCuda = "this build has no CUDA support";

}  // namespace

bool gpu_available() noexcept {
  return false;
}

std::string gpu_unavailable_reason() {
  return kNoCuda;
}

std::string gpu_versions() {
  return kNoCuda;
}

bool gpu_prepare(std::int32_t /*low*/, std::int32_t /*high*/, GpuDevice& /*device*/,
                 std::string& error) {
  error = kNoCuda;
  return false;
}

template <typename Ratio>
bool gpu_search(std::int32_t /*low*/, std::int32_t /*high*/, GpuRun& /*run*/, std::string& error,
                GpuWork* /*work*/, std::int64_t /*first_capacity*/) {
  error = kNoCuda;
  return false;
}

template bool gpu_search<std::int32_t>(std::int32_t, std::int32_t, GpuRun&, std::string&, GpuWork*,
                                       std::int64_t);
template bool gpu_search<std::int64_t>(std::int32_t, std::int32_t, GpuRun&, std::string&, GpuWork*,
                                       std::int64_t);

}  // namespace friendly
