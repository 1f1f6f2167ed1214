// The pair lines that a search must print, from an independent computation of the ratios.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace friendly_test {

// One pair line as the program prints it, without its newline.
inline std::string pair_line(std::int64_t a, std::int64_t b) {
  return std::to_string(a) + " and " + std::to_string(b) + " are FRIENDLY ";
}

// Expected pair lines of [low, high] (low >= 1), from divisor sums of a sieve, in row order.
inline std::vector<std::string> reference_lines(std::int64_t low, std::int64_t high) {
  std::vector<std::int64_t> sigma(static_cast<std::size_t>(high + 1), 0);
  for (std::int64_t d = 1; d <= high; ++d) {
    for (std::int64_t m = d; m <= high; m += d)
      sigma[static_cast<std::size_t>(m)] += d;
  }
  std::map<std::pair<std::int64_t, std::int64_t>, std::vector<std::int64_t>> groups;
  for (std::int64_t n = low; n <= high; ++n) {
    // The search counts 1's single divisor twice, giving it the ratio of the perfect numbers.
    const std::int64_t sum = n == 1 ? 2 : sigma[static_cast<std::size_t>(n)];
    const std::int64_t g = std::gcd(sum, n);
    groups[{sum / g, n / g}].push_back(n);
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
  for (const auto& [ratio, members] : groups) {
    for (std::size_t a = 0; a < members.size(); ++a) {
      for (std::size_t b = a + 1; b < members.size(); ++b)
        pairs.emplace_back(members[a], members[b]);
    }
  }
  std::sort(pairs.begin(), pairs.end());
  std::vector<std::string> lines;
  lines.reserve(pairs.size());
  for (const auto& [a, b] : pairs)
    lines.push_back(pair_line(a, b));
  return lines;
}

}  // namespace friendly_test
