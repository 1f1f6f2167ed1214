#include "validate/validate.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <numeric>
#include <tuple>
#include <utility>
#include <vector>

#include "search/friendly.hpp"
#include "sieve/divisor_sums.hpp"
#include "support/integer_root.hpp"

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

// The pairs of the runs of equal ratios in begin..end: every two numbers of a run.
Answer run_pairs(const Entry* begin, const Entry* end) noexcept {
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
  return found;
}

// First number of the range that can pair, and how many there are from it to high.
std::int64_t first_positive(std::int32_t low) noexcept {
  return std::max<std::int64_t>(low, 1);
}
std::int64_t positive_count(std::int32_t low, std::int32_t high) noexcept {
  return std::max<std::int64_t>(std::int64_t{high} - first_positive(low) + 1, 0);
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
         kSegment * static_cast<std::int64_t>(sizeof(std::uint64_t));
}

bool validate_range(std::int32_t low, std::int32_t high, Answer& answer) noexcept {
  const std::int64_t first = first_positive(low);
  const std::int64_t count = positive_count(low, high);
  std::unique_ptr<Entry[]> entries = allocate_array<Entry>(count);
  std::unique_ptr<Entry[]> scratch = allocate_array<Entry>(count);
  std::unique_ptr<std::uint64_t[]> sums = allocate_array<std::uint64_t>(kSegment);
  if (!entries || !scratch || !sums) return false;

  // Every ratio, segment by segment.
  Entry* entry = entries.get();
  for (std::int64_t from = 0; from < count; from += kSegment) {
    const std::int64_t size = std::min(kSegment, count - from);
    const std::uint64_t* sum_of = sums.get();
    sieve_divisor_sums(first + from, size, sums.get());
    for (std::int64_t n = first + from; n < first + from + size; ++n, ++sum_of, ++entry) {
      const std::uint64_t sum = n == 1 ? 2 : *sum_of;
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
  answer = run_pairs(begin, begin + count);
  return true;
}

namespace {

// Marks composite[m] for every composite m up to root (the others left false).
void mark_composites(bool* composite, std::int64_t root) noexcept {
  std::fill(composite, composite + root + 1, false);
  for (std::int64_t p = 2; p * p <= root; ++p) {
    for (std::int64_t m = p * p; !composite[p] && m <= root; m += p)
      composite[m] = true;
  }
}

// Divides every power of prime out of rests[i], the part left of start + i (i < size), and
// multiplies sums[i] by 1 + prime + ... + prime^k for the power prime^k it divided out.
void divide_out(std::uint32_t prime, std::int64_t start, std::int64_t size, std::uint32_t* rests,
                std::uint64_t* sums) noexcept {
  for (std::int64_t i = (prime - start % prime) % prime; i < size; i += prime) {
    std::uint64_t power_sum = 1;
    std::uint64_t power = 1;
    while (rests[i] % prime == 0) {
      rests[i] /= prime;
      power *= prime;
      power_sum += power;
    }
    sums[i] *= power_sum;
  }
}

}  // namespace

bool validate_by_factors(std::int32_t low, std::int32_t high, Answer& answer) noexcept {
  const std::int64_t first = first_positive(low);
  const std::int64_t count = positive_count(low, high);
  const std::int64_t root = std::max<std::int64_t>(integer_root(std::max(high, 0)), 1);
  const std::unique_ptr<Entry[]> owned_entries = allocate_array<Entry>(count);
  const std::unique_ptr<std::uint32_t[]> owned_rests = allocate_array<std::uint32_t>(kSegment);
  const std::unique_ptr<std::uint64_t[]> owned_sums = allocate_array<std::uint64_t>(kSegment);
  const std::unique_ptr<bool[]> owned_composite = allocate_array<bool>(root + 1);
  Entry* const entries = owned_entries.get();
  std::uint32_t* const rests = owned_rests.get();
  std::uint64_t* const sums = owned_sums.get();
  bool* const composite = owned_composite.get();
  if (entries == nullptr || rests == nullptr || sums == nullptr || composite == nullptr)
    return false;
  mark_composites(composite, root);

  // Each number's divisor sum as the product of (1 + p + ... + p^k) over its prime powers p^k:
  // every prime up to the root divided out, the rest, when above 1, a prime of its own.
  for (std::int64_t from = 0; from < count; from += kSegment) {
    const std::int64_t size = std::min(kSegment, count - from);
    const std::int64_t start = first + from;
    for (std::int64_t i = 0; i < size; ++i) {
      rests[i] = static_cast<std::uint32_t>(start + i);
      sums[i] = 1;
    }
    for (std::int64_t p = 2; p <= root; ++p) {
      if (!composite[p]) divide_out(static_cast<std::uint32_t>(p), start, size, rests, sums);
    }
    for (std::int64_t i = 0; i < size; ++i) {
      const std::int64_t n = start + i;
      const std::uint64_t sum = n == 1 ? 2 : rests[i] > 1 ? sums[i] * (rests[i] + 1ULL) : sums[i];
      const std::uint64_t g = std::gcd(sum, static_cast<std::uint64_t>(n));
      entries[from + i] = {sum / g, static_cast<std::uint32_t>(static_cast<std::uint64_t>(n) / g),
                           static_cast<std::int32_t>(n)};
    }
  }

  // Equal ratios side by side by a comparison sort, each run in increasing n.
  std::sort(entries, entries + count, [](const Entry& a, const Entry& b) {
    return std::tie(a.numerator, a.denominator, a.n) < std::tie(b.numerator, b.denominator, b.n);
  });
  answer = run_pairs(entries, entries + count);
  return true;
}

}  // namespace friendly
