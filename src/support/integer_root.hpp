// The integer square root: one function for the host and the device, and for constant evaluation.
#pragma once

#include <cstdint>
#include <type_traits>

#include "support/host_device.hpp"

namespace friendly {

// Largest r with r * r <= n, for n >= 0, by a binary search: the root on the device and in
// constant evaluation.
FRIENDLY_HOST_DEVICE constexpr std::int32_t integer_root_search(std::int32_t n) noexcept {
  std::int32_t below = 0;      // below * below <= n
  std::int32_t above = 46341;  // above * above > INT32_MAX >= n
  while (above - below > 1) {
    const std::int32_t middle = below + (above - below) / 2;
    if (std::int64_t{middle} * middle <= n) {
      below = middle;
    } else {
      above = middle;
    }
  }
  return below;
}

// Largest r with r * r <= n, for n >= 0.
FRIENDLY_HOST_DEVICE constexpr std::int32_t integer_root(std::int32_t n) noexcept {
#ifndef __CUDA_ARCH__
  // At run time on the host, from the double square root: a double holds n exactly and its square
  // root is correctly rounded, so it truncates to the root. (It could only round up to an integer
  // m + 1 from below for n = (m + 1)^2 - 1, whose root lies 1 / (2 m + 2) > 1e-5 below m + 1, far
  // more than half a unit in the last place of a double near 46341.) The ratio phase takes one
  // root per number, where the search would be a chain of sixteen multiplications.
  if (!std::is_constant_evaluated()) return static_cast<std::int32_t>(__builtin_sqrt(n));
#endif
  return integer_root_search(n);
}

}  // namespace friendly
