// Ratios for the pair phase's tests: many equal ones, equal numerators over other denominators,
// and (for 64 bits) numerators equal in their low 32 bits only.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace friendly_test {

// Ratios of length numbers: about 4 % equal to 3 / 1 or 3 / 2, the rest unique; for 64 bits,
// some with the numerator 3 + 2^32. The first row and the last column always pair.
template <typename Ratio>
inline void clustered_ratios(std::int64_t length, std::vector<Ratio>& numerators,
                             std::vector<Ratio>& denominators) {
  std::mt19937 random(static_cast<std::uint32_t>(length));
  std::uniform_int_distribution<int> kind(0, 99);
  numerators.assign(static_cast<std::size_t>(length), 0);
  denominators.assign(numerators.size(), 1);
  for (std::size_t k = 0; k < numerators.size(); ++k) {
    const int pick = kind(random);
    const auto unique = static_cast<Ratio>(100 + 2 * k);
    numerators[k] = pick < 4 ? Ratio{3} : unique;
    denominators[k] = pick < 4 ? static_cast<Ratio>(1 + pick % 2) : Ratio{1};
    if constexpr (sizeof(Ratio) == 8) {
      if (pick == 4) numerators[k] = static_cast<Ratio>(3 + (std::int64_t{1} << 32));
    }
  }
  // The first row and the last column always pair.
  numerators.back() = numerators.front();
  denominators.back() = denominators.front();
}

}  // namespace friendly_test
