// The integer square root, written once for the host and the device.
#pragma once

#include <cstdint>

#include "support/host_device.hpp"

namespace friendly {

// Largest r with r * r <= n, for n >= 0, without floating point.
FRIENDLY_HOST_DEVICE constexpr std::int32_t integer_root(std::int32_t n) noexcept {
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

}  // namespace friendly
