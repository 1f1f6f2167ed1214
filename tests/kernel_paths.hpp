// The kernel paths that the tests can run here.
#pragma once

#include <vector>

#include "kernels.hpp"

namespace friendly_test {

// Every path, from the plainest to the widest.
inline constexpr friendly::KernelPath kAllPaths[] = {
    friendly::KernelPath::portable, friendly::KernelPath::avx2, friendly::KernelPath::avx512};

// The paths this processor runs: the portable path always, the others where it has them.
inline std::vector<friendly::KernelPath> runnable_paths() {
  std::vector<friendly::KernelPath> paths;
  for (const friendly::KernelPath path : kAllPaths) {
    if (friendly::path_available(path)) paths.push_back(path);
  }
  return paths;
}

using friendly::path_name;

}  // namespace friendly_test
