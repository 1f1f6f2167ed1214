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

// Every pair of indices a < b with equal keys, in row order, then column order.
template <typename Key>
std::vector<std::pair<std::int64_t, std::int64_t>> equal_key_pairs(const std::vector<Key>& keys) {
  std::map<Key, std::vector<std::int64_t>> groups;
  for (std::size_t k = 0; k < keys.size(); ++k)
    groups[keys[k]].push_back(static_cast<std::int64_t>(k));
  std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
  for (const auto& [key, members] : groups) {
    for (std::size_t a = 0; a < members.size(); ++a) {
      for (std::size_t b = a + 1; b < members.size(); ++b)
        pairs.emplace_back(members[a], members[b]);
    }
  }
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

// Expected pair lines of [low, high] (low >= 1), from divisor sums of a sieve, in row order.
inline std::vector<std::string> reference_lines(std::int64_t low, std::int64_t high) {
  std::vector<std::int64_t> sigma(static_cast<std::size_t>(high + 1), 0);
  for (std::int64_t d = 1; d <= high; ++d) {
    for (std::int64_t m = d; m <= high; m += d)
      sigma[static_cast<std::size_t>(m)] += d;
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> ratios;
  for (std::int64_t n = low; n <= high; ++n) {
    // The search counts 1's single divisor twice, giving it the ratio of the perfect numbers.
    const std::int64_t sum = n == 1 ? 2 : sigma[static_cast<std::size_t>(n)];
    const std::int64_t g = std::gcd(sum, n);
    ratios.emplace_back(sum / g, n / g);
  }
  std::vector<std::string> lines;
  for (const auto& [a, b] : equal_key_pairs(ratios))
    lines.push_back(pair_line(low + a, low + b));
  return lines;
}

// The lines in increasing order, to compare lines that come in no fixed order.
inline std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace friendly_test
