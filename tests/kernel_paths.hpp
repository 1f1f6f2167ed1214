// The kernel paths that the tests can run here.
#pragma once

#include <vector>

#include "friendly.hpp"

namespace friendly_test {

// The portable path always, the AVX2 path where the processor supports it.
inline std::vector<friendly::KernelPath> runnable_paths() {
  std::vector<friendly::KernelPath> paths = {friendly::KernelPath::portable};
  if (friendly::path_available(friendly::KernelPath::avx2))
    paths.push_back(friendly::KernelPath::avx2);
  return paths;
}

inline const char* path_name(friendly::KernelPath path) {
  return path == friendly::KernelPath::avx2 ? "avx2" : "portable";
}

}  // namespace friendly_test
