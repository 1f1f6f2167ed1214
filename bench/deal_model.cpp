// deal_model [LOW HIGH]: how evenly the work of LOW..HIGH (1 <= LOW, default 1..10000000) is
// shared out over 1 to 1024 ranks, from each number's exact cost, not from a timed run. Prints a
// Markdown table of the busiest rank's excess over the average in each phase, for the deal of
// friendlyNumbers_mpi (chunk c, block b to rank c, b mod R) and for a split into consecutive
// parts, and the bytes that each rank receives between the phases.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "app/command_line.hpp"
#include "oracles.hpp"
#include "search/friendly.hpp"

namespace {

constexpr int kRanks[] = {1, 2, 3, 4, 8, 16, 32, 64, 100, 128, 256, 512, 1000, 1024};

// Candidate tests of the trial division of every number of low..high (1 <= low): m - 2 for
// m = n / d, with d the largest divisor of n not above its square root, one more for a perfect
// square. The divisors come from one pass over the multiples of each d, which is exact and
// quick; costs_match_sample checks the result against candidate_tests.
std::vector<std::int64_t> number_costs(std::int32_t low, std::int32_t high) {
  const auto count = static_cast<std::size_t>(friendly::range_length(low, high));
  std::vector<std::int32_t> largest(count, 1);
  for (std::int64_t d = 2; d * d <= high; ++d) {
    const std::int64_t first = std::max<std::int64_t>(d * d, (low + d - 1) / d * d);
    for (std::int64_t m = first; m <= high; m += d)
      largest[static_cast<std::size_t>(m - low)] = static_cast<std::int32_t>(d);
  }
  std::vector<std::int64_t> costs(count, 0);
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t n = low + static_cast<std::int64_t>(k);
    if (n <= 2) continue;
    const std::int64_t limit = n / largest[k];
    costs[k] = limit - 2 + (limit == largest[k] ? 1 : 0);
  }
  return costs;
}

// True when the costs of the first 10000 numbers from low, and of every 997th after them, are
// those that candidate_tests counts by trial division; otherwise reports the first that is not.
bool costs_match_sample(std::int32_t low, const std::vector<std::int64_t>& costs) {
  for (std::size_t k = 0; k < costs.size(); k += k < 10'000 ? 1 : 997) {
    const auto n = static_cast<std::int32_t>(low + static_cast<std::int64_t>(k));
    if (costs[k] != friendly::candidate_tests(n)) {
      std::fprintf(stderr, "deal_model: cost of %d is %lld, not %lld\n", n,
                   static_cast<long long>(costs[k]),
                   static_cast<long long>(friendly::candidate_tests(n)));
      return false;
    }
  }
  return true;
}

// Percent by which the busiest of `ranks` ranks exceeds the average, when piece p of the
// pieces (with the given costs) goes to rank p mod ranks (cyclic) or the pieces are split into
// consecutive parts of nearly equal counts.
double excess_percent(const std::vector<std::int64_t>& pieces, int ranks, bool cyclic) {
  std::vector<double> load(static_cast<std::size_t>(ranks), 0);
  const auto count = static_cast<std::int64_t>(pieces.size());
  for (std::int64_t p = 0; p < count; ++p) {
    const std::int64_t rank = cyclic ? p % ranks : p * ranks / count;
    load[static_cast<std::size_t>(rank)] +=
        static_cast<double>(pieces[static_cast<std::size_t>(p)]);
  }
  double total = 0;
  for (const double rank_load : load)
    total += rank_load;
  const double mean = total / ranks;
  return mean > 0 ? (*std::max_element(load.begin(), load.end()) / mean - 1) * 100 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::int32_t low = 1;
  std::int32_t high = 10'000'000;
  if (argc != 1 &&
      (argc != 3 || friendly::parse_bound(argv[1], low) != friendly::BoundError::none ||
       friendly::parse_bound(argv[2], high) != friendly::BoundError::none || low < 1 ||
       high < low)) {
    std::fprintf(stderr, "usage: deal_model [LOW HIGH], 1 <= LOW <= HIGH\n");
    return 2;
  }

  // The pieces that the ranks are dealt: chunks of numbers, blocks of rows (row i compares
  // against every later column).
  const std::vector<std::int64_t> costs = number_costs(low, high);
  if (!costs_match_sample(low, costs)) return 1;
  const auto length = static_cast<std::int64_t>(costs.size());
  std::vector<std::int64_t> chunks;
  for (std::size_t k = 0; k < costs.size(); ++k) {
    if (k % friendly::kRatioChunk == 0) chunks.push_back(0);
    chunks.back() += costs[k];
  }
  std::vector<std::int64_t> blocks;
  for (std::int64_t i = 0; i < length; ++i) {
    if (i % friendly::kRowBlock == 0) blocks.push_back(0);
    blocks.back() += length - 1 - i;
  }
  std::int64_t tests = 0;
  for (const std::int64_t cost : costs)
    tests += cost;

  std::printf("%d..%d: %lld candidate tests in %zu chunks, %lld comparisons in %zu blocks\n\n", low,
              high, static_cast<long long>(tests), chunks.size(),
              static_cast<long long>(length * (length - 1) / 2), blocks.size());
  std::printf(
      "| ranks | ratio phase, c mod R | ratio phase, consecutive | pair phase, b mod R | pair "
      "phase, consecutive | received per rank |\n");
  std::printf("|---|---|---|---|---|---|\n");
  const std::int64_t bytes = friendly::search_bytes(low, high);
  for (const int ranks : kRanks) {
    if (ranks > static_cast<int>(chunks.size())) break;
    std::printf("| %d | %.2f %% | %.1f %% | %.2f %% | %.1f %% | %.1f MB |\n", ranks,
                excess_percent(chunks, ranks, true), excess_percent(chunks, ranks, false),
                excess_percent(blocks, ranks, true), excess_percent(blocks, ranks, false),
                static_cast<double>(bytes) * (ranks - 1) / ranks / 1e6);
  }
  return 0;
}
