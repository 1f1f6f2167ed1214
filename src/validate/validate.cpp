#include "validate/validate.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <numeric>
#include <utility>
#include <vector>

#include "search/friendly.hpp"

namespace friendly {

namespace {

// Numbers per segment of the sieve: its sums stay in the second-level cache.
constexpr std::int64_t kSegment = std::int64_t{1} << 15;

// Bits of the keys that one pass of the radix sort orders by.
constexpr int kRadixBits = 11;
constexpr std::size_t kRadix = std::size_t{1} << kRadixBits;

// One number's reduced ratio: the denominator n / g < 2^31, the numerator sigma(n) / g.
struct Entry {
  std::uint64_t numerator;
  std::uint32_t denominator;
  std::int32_t n;
};

// Sorts entries[0, count) by key(entry), whose values are below 2^bits, keeping the order of
// entries with equal keys (a least-significant-digit radix sort); scratch holds count entries.
// Returns the array that holds the result: entries or scratch.
template <typename Key>
Entry* radix_sort(Entry* entries, Entry* scratch, std::int64_t count, int bits, Key key) noexcept {
  std::int64_t starts[kRadix];
  for (int shift = 0; shift < bits; shift += kRadixBits) {
    std::fill(starts, starts + kRadix, 0);
    const auto digit = [&](const Entry& entry) {
      return static_cast<std::size_t>(key(entry) >> shift) & (kRadix - 1);
    };
    for (std::int64_t k = 0; k < count; ++k)
      ++starts[digit(entries[k])];
    std::exclusive_scan(starts, starts + kRadix, starts, std::int64_t{0});
    for (std::int64_t k = 0; k < count; ++k)
      scratch[starts[digit(entries[k])]++] = entries[k];
    std::swap(entries, scratch);
  }
  return entries;
}

bool same_ratio(const Entry& a, const Entry& b) noexcept {
  return a.numerator == b.numerator && a.denominator == b.denominator;
}

// First number of the range that can pair, and how many there are from it to high.
std::int64_t first_positive(std::int32_t low) noexcept {
  return std::max<std::int64_t>(low, 1);
}
std::int64_t positive_count(std::int32_t low, std::int32_t high) noexcept {
  return std::max<std::int64_t>(std::int64_t{high} - first_positive(low) + 1, 0);
}

// The divisor sums of first .. first + count - 1 (first >= 1) into sums: every divisor pair
// d <= n / d of each number, d found by stepping through d's multiples.
void sieve_segment(std::int64_t first, std::int64_t count, std::int64_t* sums) noexcept {
  const std::int64_t last = first + count - 1;
  std::fill(sums, sums + count, 0);
  for (std::int64_t d = 1; d * d <= last; ++d) {
    // The first multiple m >= max(first, d * d); its co-divisor q = m / d >= d.
    const std::int64_t start = std::max(d * d, (first + d - 1) / d * d);
    std::int64_t q = start / d;
    for (std::int64_t m = start; m <= last; m += d, ++q)
      sums[m - first] += q == d ? d : d + q;
  }
}

}  // namespace

std::uint32_t ratio_gcd(std::uint64_t sum, std::uint32_t n) noexcept {
  // sum mod n < n < 2^31: one 64-bit remainder, then Euclid's method in 32 bits.
  std::uint32_t a = n;
  auto b = static_cast<std::uint32_t>(sum % n);
  while (b != 0) {
    const std::uint32_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

std::int64_t validation_bytes(std::int32_t low, std::int32_t high) noexcept {
  return 2 * positive_count(low, high) * static_cast<std::int64_t>(sizeof(Entry)) +
         kSegment * static_cast<std::int64_t>(sizeof(std::int64_t));
}

bool validate_range(std::int32_t low, std::int32_t high, Answer& answer) noexcept {
  const std::int64_t first = first_positive(low);
  const std::int64_t count = positive_count(low, high);
  std::unique_ptr<Entry[]> entries = allocate_array<Entry>(count);
  std::unique_ptr<Entry[]> scratch = allocate_array<Entry>(count);
  std::unique_ptr<std::int64_t[]> sums = allocate_array<std::int64_t>(kSegment);
  if (!entries || !scratch || !sums) return false;

  // Every ratio, segment by segment.
  Entry* entry = entries.get();
  for (std::int64_t from = 0; from < count; from += kSegment) {
    const std::int64_t size = std::min(kSegment, count - from);
    const std::int64_t* sum_of = sums.get();
    sieve_segment(first + from, size, sums.get());
    for (std::int64_t n = first + from; n < first + from + size; ++n, ++sum_of, ++entry) {
      const auto sum = static_cast<std::uint64_t>(n == 1 ? 2 : *sum_of);
      const auto number = static_cast<std::uint32_t>(n);
      const std::uint32_t g = ratio_gcd(sum, number);
      *entry = {sum / g, number / g, static_cast<std::int32_t>(n)};
    }
  }

  // Equal ratios side by side, by denominator and then by numerator; the sort keeps each run in
  // increasing n. Every two of a run are a pair.
  std::uint64_t largest_numerator = 0;
  std::uint32_t largest_denominator = 0;
  for (const Entry* each = entries.get(); each != entry; ++each) {
    largest_numerator = std::max(largest_numerator, each->numerator);
    largest_denominator = std::max(largest_denominator, each->denominator);
  }
  Entry* begin = radix_sort(entries.get(), scratch.get(), count,
                            static_cast<int>(std::bit_width(largest_denominator)),
                            [](const Entry& e) { return std::uint64_t{e.denominator}; });
  begin = radix_sort(begin, begin == entries.get() ? scratch.get() : entries.get(), count,
                     static_cast<int>(std::bit_width(largest_numerator)),
                     [](const Entry& e) { return e.numerator; });
  Entry* const end = begin + count;
  Answer found;
  for (const Entry* run = begin; run != end;) {
    const Entry* run_end = run + 1;
    while (run_end != end && same_ratio(*run_end, *run))
      ++run_end;
    for (const Entry* a = run; a != run_end; ++a) {
      for (const Entry* b = a + 1; b != run_end; ++b) {
        ++found.pairs;
        found.checksum += pair_mix(a->n, b->n);
      }
    }
    run = run_end;
  }
  answer = found;
  return true;
}

}  // namespace friendly
