// The sieve method (--method=sieve): the pairs of a range from divisor sums of a segmented sieve,
// equal ratios found by hashing their keys into bins and sorting each bin, in passes over
// partitions of the bins that fit a memory budget, and every line printed in order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "search/output.hpp"
#include "search/progress.hpp"

namespace friendly {

// Numbers per segment of the sieve: one thread's sums stay in its second-level cache.
inline constexpr std::int64_t kSieveSegment = std::int64_t{1} << 16;

// One positive number and its ratio's key, the bits of the double nearest to its divisor sum
// over the number: the quotient is correctly rounded, so equal ratios have equal keys.
struct SieveEntry {
  std::uint32_t key_high;
  std::uint32_t key_low;
  std::uint32_t number;
};

// The key of the ratio sum / n (sum < 2^35, 1 <= n < 2^31).
std::uint64_t ratio_key(std::uint64_t sum, std::int64_t n) noexcept;

// The divisor sum sum whose key ratio_key(sum, n) is: key * n rounded, as the key is within a
// factor 1 +- 2^-53 of sum / n and sum < 2^35, so that key * n is within 2^-17 of sum.
std::uint64_t key_sum(std::uint64_t key, std::uint32_t n) noexcept;

// The positive numbers of a range, their segments dealt in turn to shares (MPI ranks) and within
// a share to workers, and their keys hashed into 2^bin_bits bins.
struct SieveLayout {
  std::int64_t first = 1;  // the range's first positive number
  std::int64_t count = 0;  // positive numbers from first to the range's last
  int workers = 1;         // workers of each share, each with its own counts
  int bin_bits = 1;

  [[nodiscard]] std::int64_t bins() const noexcept { return std::int64_t{1} << bin_bits; }
};

// The layout of low..high (high >= low - 1) on workers workers (>= 1): bins of about 4096
// entries, at most 2^16 bins.
SieveLayout sieve_layout(std::int32_t low, std::int32_t high, int workers) noexcept;

// The bin of key among 2^bin_bits: the top bits of a multiplicative hash.
std::int64_t key_bin(std::uint64_t key, int bin_bits) noexcept;

// A step of the method as the progress meter shows it: its name, and the meter or null.
struct SieveProgress {
  ProgressMeter* meter = nullptr;
  const char* phase = "";
};

// Sieves the segments of share `share` of `shares` and counts each worker's entries per bin into
// counts[worker * bins + bin] (zeroed first). False when a thread's segment cannot be allocated.
bool count_bins(const SieveLayout& layout, int share, int shares, std::uint32_t* counts,
                SieveProgress progress) noexcept;

// Bins first_bin to end_bin - 1, the partition of the key space that one pass keeps.
struct SievePass {
  std::int64_t first_bin = 0;
  std::int64_t end_bin = 0;
};

// Consecutive passes over all bins (totals[bin] entries each), each holding at most capacity
// entries or one bin.
std::vector<SievePass> plan_passes(const std::int64_t* totals, std::int64_t bins,
                                   std::int64_t capacity);

// Sieves share `share` of `shares` again and stores the entries of the pass's bins into entries,
// bin by bin, each bin's entries worker by worker, as count_bins counted them; offsets holds
// workers * (bins of the pass) positions. False when a thread's segment cannot be allocated.
bool fill_pass(const SieveLayout& layout, int share, int shares, SievePass pass,
               const std::uint32_t* counts, std::int64_t* offsets, SieveEntry* entries,
               SieveProgress progress) noexcept;

// Matches the entries of `bins` bins: bin b is the pieces entries[starts[s * bins + b]] with
// sizes[s * bins + b] entries for every source s < sources. Every two numbers of a bin with equal
// keys and equal ratios in lowest terms add the pair a << 32 | b (a < b) to pairs. False when
// memory lacks.
bool match_bins(const SieveEntry* entries, const std::int64_t* starts, const std::int64_t* sizes,
                int sources, std::int64_t bins, std::vector<std::uint64_t>& pairs,
                SieveProgress progress) noexcept;

// Sorts pairs and prints their lines on out in that order, adding each to answer. False when a
// write failed.
bool print_pairs_in_order(std::FILE* out, std::vector<std::uint64_t>& pairs, Answer& answer);

// Bytes that the method needs at least for layout, whatever its budget: each thread's segment,
// the counts, one bin's entries and its copy on every thread, and room for the pairs.
std::int64_t sieve_least_bytes(const SieveLayout& layout) noexcept;

// Entries that one pass may keep in budget bytes (negative: no limit) beside the least bytes,
// copies entries of each kept at once.
std::int64_t pass_capacity(const SieveLayout& layout, std::int64_t budget, int copies) noexcept;

// What one run of the method did and found.
struct SieveReport {
  int threads = 0;
  int passes = 0;
  double sieve_seconds = 0;  // counting and filling the entries
  double match_seconds = 0;  // matching the bins, sorting and printing the pairs
  Answer answer;
};

// The pair lines of low..high (high >= low - 1), the same set as the search's, printed on out in
// increasing order of the smaller, then the larger number; the entries of each pass fit budget
// bytes (negative: no limit), in as many passes as they need. progress, when not null, is the
// terminal of the meter. report, when not null, receives what the run did. False, with nothing
// printed, when memory lacks; true once every line was handed to out (its error flag tells).
bool sieve_answer(std::int32_t low, std::int32_t high, std::int64_t budget, std::FILE* out,
                  std::FILE* progress, SieveReport* report) noexcept;

}  // namespace friendly
