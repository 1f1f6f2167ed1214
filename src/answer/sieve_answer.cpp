#include "answer/sieve_answer.hpp"

#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <numeric>
#include <tuple>

#include "search/friendly.hpp"
#include "sieve/divisor_sums.hpp"
#include "validate/validate.hpp"

namespace friendly {

namespace {

// Entries per bin that the layout aims at: a bin and its copy stay in a core's caches.
constexpr int kBinEntriesBits = 12;
constexpr int kMostBinBits = 16;

// The odd multiplier of the bins' hash (2^64 over the golden ratio).
constexpr std::uint64_t kBinMix = 0x9E3779B97F4A7C15U;

// Positive numbers per byte kept for the pairs: about one pair per fifty numbers, 8 bytes each,
// twice over as the pairs' vectors grow and are joined.
constexpr std::int64_t kNumbersPerPairByte = 2;

std::uint64_t entry_key(const SieveEntry& entry) noexcept {
  return std::uint64_t{entry.key_high} << 32 | entry.key_low;
}

// Segments of the range, and how many of them share `share` of `shares` holds.
std::int64_t segment_count(const SieveLayout& layout) noexcept {
  return (layout.count + kSieveSegment - 1) / kSieveSegment;
}
std::int64_t share_segments(const SieveLayout& layout, int share, int shares) noexcept {
  const std::int64_t segments = segment_count(layout);
  return share < segments ? (segments - share + shares - 1) / shares : 0;
}

// Draws progress, when it has a meter, on thread 0 at done of all work.
void sieve_progress(SieveProgress progress, double done, double all) noexcept {
  if (progress.meter == nullptr || omp_get_thread_num() != 0) return;
  const double now = omp_get_wtime();
  if (now < progress.meter->next_draw) return;
  const double share = all > 0 ? done / all : 1;
  draw_progress(*progress.meter, share, done, now);
}

// Calls visit(worker, n, key) for every number n of share `share` of `shares`, each worker's
// segments in increasing order, the workers spread over the team. False when a thread's segment
// cannot be allocated.
template <typename Visit>
bool sieve_keys(const SieveLayout& layout, int share, int shares, SieveProgress progress,
                Visit visit) noexcept {
  const std::int64_t own = share_segments(layout, share, shares);
  const int workers = layout.workers;
  if (progress.meter != nullptr)
    begin_progress(*progress.meter, progress.phase, "numbers", omp_get_wtime());
  bool failed = false;
#pragma omp parallel reduction(|| : failed)
  {
    const std::unique_ptr<std::uint64_t[]> owned_sums =
        allocate_array<std::uint64_t>(kSieveSegment);
    std::uint64_t* const sums = owned_sums.get();
    failed = sums == nullptr;
    const int threads = omp_get_num_threads();
    for (int worker = omp_get_thread_num(); sums && worker < workers; worker += threads) {
      for (std::int64_t k = worker; k < own; k += workers) {
        sieve_progress(progress, static_cast<double>(k * kSieveSegment),
                       static_cast<double>(own * kSieveSegment));
        const std::int64_t from = layout.first + (share + k * shares) * kSieveSegment;
        const std::int64_t size = std::min(kSieveSegment, layout.first + layout.count - from);
        sieve_divisor_sums(from, size, sums);
        // 1 counts its one divisor twice, as the search does.
        if (from == 1) sums[0] = 2;
        for (std::int64_t i = 0; i < size; ++i)
          visit(worker, from + i, ratio_key(sums[i], from + i));
      }
    }
  }
  return !failed;
}

// A number of a run of equal keys with its ratio in lowest terms.
struct Reduced {
  std::uint64_t numerator;
  std::uint32_t denominator;
  std::uint32_t number;
};

// Adds to pairs every two numbers of run (equal keys) whose ratios are equal in lowest terms;
// members is scratch.
void match_run(const SieveEntry* run, const SieveEntry* run_end, std::vector<Reduced>& members,
               std::vector<std::uint64_t>& pairs) {
  members.clear();
  for (const SieveEntry* entry = run; entry != run_end; ++entry) {
    const std::uint64_t sum = key_sum(entry_key(*entry), entry->number);
    const std::uint32_t g = ratio_gcd(sum, entry->number);
    members.push_back({sum / g, entry->number / g, entry->number});
  }
  const auto order = [](const Reduced& a, const Reduced& b) {
    return std::tie(a.numerator, a.denominator, a.number) <
           std::tie(b.numerator, b.denominator, b.number);
  };
  std::sort(members.begin(), members.end(), order);
  for (auto group = members.begin(); group != members.end();) {
    auto group_end = group + 1;
    while (group_end != members.end() && group_end->numerator == group->numerator &&
           group_end->denominator == group->denominator)
      ++group_end;
    for (auto a = group; a != group_end; ++a) {
      for (auto b = a + 1; b != group_end; ++b)
        pairs.push_back(std::uint64_t{a->number} << 32 | b->number);
    }
    group = group_end;
  }
}

// Bits of the slots of a hash table for size entries: at least twice as many slots.
int table_bits(std::int64_t size) noexcept {
  return std::max(4, static_cast<int>(std::bit_width(static_cast<std::uint64_t>(2 * size))));
}

// The odd multiplier of the tables' hash, another than the bins'.
constexpr std::uint64_t kSlotMix = 0xD6E8FEB86659FD93U;

// A slot's mark that its entry's key repeats.
constexpr std::uint32_t kRepeats = std::uint32_t{1} << 31;

// Copies into repeated every entry of bin[0, size) (size < 2^31) whose key another entry of the
// bin shares, through an open-addressing table (table_bits(size) bits of slots, each 0 or an
// entry's index + 1, marked once its key repeats).
void collect_repeated(const SieveEntry* bin, std::int64_t size, std::uint32_t* table,
                      std::vector<SieveEntry>& repeated) {
  const int bits = table_bits(size);
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  std::fill(table, table + mask + 1, 0U);
  repeated.clear();
  for (std::int64_t i = 0; i < size; ++i) {
    const std::uint64_t key = entry_key(bin[i]);
    for (std::uint64_t slot = (key * kSlotMix) >> (64 - bits);; slot = (slot + 1) & mask) {
      const std::uint32_t held = table[slot];
      if (held == 0) {
        table[slot] = static_cast<std::uint32_t>(i + 1);
        break;
      }
      const SieveEntry& first = bin[(held & ~kRepeats) - 1];
      if (entry_key(first) != key) continue;
      if ((held & kRepeats) == 0) {
        repeated.push_back(first);
        table[slot] = held | kRepeats;
      }
      repeated.push_back(bin[i]);
      break;
    }
  }
}

// The largest bin of `bins` bins given as pieces from sources (match_bins).
std::int64_t largest_bin(const std::int64_t* sizes, int sources, std::int64_t bins) noexcept {
  std::int64_t largest = 0;
  for (std::int64_t b = 0; b < bins; ++b) {
    std::int64_t size = 0;
    for (int s = 0; s < sources; ++s)
      size += sizes[s * bins + b];
    largest = std::max(largest, size);
  }
  return largest;
}

}  // namespace

std::uint64_t ratio_key(std::uint64_t sum, std::int64_t n) noexcept {
  return std::bit_cast<std::uint64_t>(static_cast<double>(sum) / static_cast<double>(n));
}

std::uint64_t key_sum(std::uint64_t key, std::uint32_t n) noexcept {
  return static_cast<std::uint64_t>(std::llround(std::bit_cast<double>(key) * n));
}

SieveLayout sieve_layout(std::int32_t low, std::int32_t high, int workers) noexcept {
  SieveLayout layout;
  layout.first = std::max<std::int64_t>(low, 1);
  layout.count = std::max<std::int64_t>(std::int64_t{high} - layout.first + 1, 0);
  layout.workers = std::max(workers, 1);
  const int wanted =
      static_cast<int>(std::bit_width(static_cast<std::uint64_t>(layout.count))) - kBinEntriesBits;
  layout.bin_bits = std::clamp(wanted, 1, kMostBinBits);
  return layout;
}

std::int64_t key_bin(std::uint64_t key, int bin_bits) noexcept {
  return static_cast<std::int64_t>((key * kBinMix) >> (64 - bin_bits));
}

bool count_bins(const SieveLayout& layout, int share, int shares, std::uint32_t* counts,
                SieveProgress progress) noexcept {
  const std::int64_t bins = layout.bins();
  std::fill(counts, counts + layout.workers * bins, 0U);
  return sieve_keys(layout, share, shares, progress,
                    [&](int worker, std::int64_t, std::uint64_t key) {
                      ++counts[worker * bins + key_bin(key, layout.bin_bits)];
                    });
}

std::vector<SievePass> plan_passes(const std::int64_t* totals, std::int64_t bins,
                                   std::int64_t capacity) {
  std::vector<SievePass> passes;
  for (std::int64_t bin = 0; bin < bins;) {
    SievePass pass{bin, bin + 1};
    std::int64_t held = totals[bin];
    while (pass.end_bin < bins && held + totals[pass.end_bin] <= capacity)
      held += totals[pass.end_bin++];
    passes.push_back(pass);
    bin = pass.end_bin;
  }
  return passes;
}

bool fill_pass(const SieveLayout& layout, int share, int shares, SievePass pass,
               const std::uint32_t* counts, std::int64_t* offsets, SieveEntry* entries,
               SieveProgress progress) noexcept {
  // Each bin's entries together, each worker's within them at its own offset.
  const std::int64_t bins = layout.bins();
  const std::int64_t kept = pass.end_bin - pass.first_bin;
  std::int64_t at = 0;
  for (std::int64_t b = 0; b < kept; ++b) {
    for (int worker = 0; worker < layout.workers; ++worker) {
      offsets[worker * kept + b] = at;
      at += counts[worker * bins + pass.first_bin + b];
    }
  }
  return sieve_keys(
      layout, share, shares, progress, [&](int worker, std::int64_t n, std::uint64_t key) {
        const std::int64_t b = key_bin(key, layout.bin_bits) - pass.first_bin;
        if (b < 0 || b >= kept) return;
        entries[offsets[worker * kept + b]++] = {static_cast<std::uint32_t>(key >> 32),
                                                 static_cast<std::uint32_t>(key),
                                                 static_cast<std::uint32_t>(n)};
      });
}

bool match_bins(const SieveEntry* entries, const std::int64_t* starts, const std::int64_t* sizes,
                int sources, std::int64_t bins, std::vector<std::uint64_t>& pairs,
                SieveProgress progress) noexcept {
  const std::int64_t largest = largest_bin(sizes, sources, bins);
  std::vector<std::vector<std::uint64_t>> found;
  try {
    found.resize(static_cast<std::size_t>(omp_get_max_threads()));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (progress.meter != nullptr)
    begin_progress(*progress.meter, progress.phase, "bins", omp_get_wtime());
  bool failed = false;
#pragma omp parallel reduction(|| : failed)
  {
    // Each bin copied together; the entries whose key repeats, found by hashing, sorted by key;
    // their runs of equal keys matched exactly.
    const std::unique_ptr<SieveEntry[]> bin = allocate_array<SieveEntry>(largest);
    const std::unique_ptr<std::uint32_t[]> table =
        allocate_array<std::uint32_t>(std::int64_t{1} << table_bits(largest));
    failed = !bin || !table || static_cast<std::size_t>(omp_get_thread_num()) >= found.size();
    std::vector<SieveEntry> repeated;
    std::vector<Reduced> members;
#pragma omp for schedule(dynamic, 16)
    for (std::int64_t b = 0; b < bins; ++b) {
      if (failed) continue;
      sieve_progress(progress, static_cast<double>(b), static_cast<double>(bins));
      SieveEntry* end = bin.get();
      for (int s = 0; s < sources; ++s) {
        const SieveEntry* piece = entries + starts[s * bins + b];
        end = std::copy(piece, piece + sizes[s * bins + b], end);
      }
      try {
        collect_repeated(bin.get(), end - bin.get(), table.get(), repeated);
        std::sort(repeated.begin(), repeated.end(), [](const SieveEntry& x, const SieveEntry& y) {
          return entry_key(x) < entry_key(y);
        });
        for (auto run = repeated.begin(); run != repeated.end();) {
          auto run_end = run + 1;
          while (run_end != repeated.end() && entry_key(*run_end) == entry_key(*run))
            ++run_end;
          match_run(&*run, &*run + (run_end - run), members,
                    found[static_cast<std::size_t>(omp_get_thread_num())]);
          run = run_end;
        }
      } catch (const std::bad_alloc&) {
        failed = true;
      }
    }
  }
  if (failed) return false;
  try {
    for (const std::vector<std::uint64_t>& own : found)
      pairs.insert(pairs.end(), own.begin(), own.end());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool print_pairs_in_order(std::FILE* out, std::vector<std::uint64_t>& pairs, Answer& answer) {
  std::sort(pairs.begin(), pairs.end());
  for (const std::uint64_t pair : pairs) {
    if (!print_pair(out, static_cast<std::int32_t>(pair >> 32),
                    static_cast<std::int32_t>(pair & 0xFFFFFFFFU), answer))
      return false;
  }
  return true;
}

std::int64_t sieve_least_bytes(const SieveLayout& layout) noexcept {
  const std::int64_t workers = layout.workers;
  const std::int64_t bins = layout.bins();
  const std::int64_t bin_entries = 2 * (layout.count / bins) + 1024;
  // Each thread's copy of a bin and its hash table of up to 4 slots an entry.
  return workers * kSieveSegment * 8 + workers * bins * (4 + 8) + bins * (8 + 16) +
         (workers + 1) * bin_entries * static_cast<std::int64_t>(sizeof(SieveEntry)) +
         workers * bin_entries * 16 + layout.count / kNumbersPerPairByte;
}

std::int64_t pass_capacity(const SieveLayout& layout, std::int64_t budget, int copies) noexcept {
  if (budget < 0) return layout.count;
  const std::int64_t room = budget - sieve_least_bytes(layout);
  return std::max<std::int64_t>(room / (copies * static_cast<std::int64_t>(sizeof(SieveEntry))), 0);
}

bool sieve_answer(std::int32_t low, std::int32_t high, std::int64_t budget, std::FILE* out,
                  std::FILE* progress, SieveReport* report) noexcept {
  const double start = omp_get_wtime();
  const SieveLayout layout = sieve_layout(low, high, omp_get_max_threads());
  const std::int64_t bins = layout.bins();
  ProgressMeter meter = start_progress(progress, start);
  ProgressMeter* const shown = progress != nullptr ? &meter : nullptr;
  SieveReport done;
  done.threads = omp_get_max_threads();

  // Every entry counted by bin, the passes planned from the counts.
  const std::unique_ptr<std::uint32_t[]> counts =
      allocate_array<std::uint32_t>(layout.workers * bins);
  const std::unique_ptr<std::int64_t[]> totals = allocate_array<std::int64_t>(bins);
  const std::unique_ptr<std::int64_t[]> offsets =
      allocate_array<std::int64_t>(layout.workers * bins);
  const std::unique_ptr<std::int64_t[]> starts = allocate_array<std::int64_t>(bins);
  if (!counts || !totals || !offsets || !starts) return false;
  if (!count_bins(layout, 0, 1, counts.get(), {shown, "sieve: counting"})) return false;
  std::int64_t* const total = totals.get();
  std::fill(total, total + bins, 0);
  for (int worker = 0; worker < layout.workers; ++worker) {
    for (std::int64_t b = 0; b < bins; ++b)
      total[b] += counts.get()[worker * bins + b];
  }
  std::vector<SievePass> passes;
  std::vector<std::uint64_t> pairs;
  // The limits' room is measured before the team's stacks and the allocator's own maps exist:
  // where the largest pass cannot be allocated, passes of half the size, down to one bin each.
  std::unique_ptr<SieveEntry[]> entries;
  for (std::int64_t capacity = pass_capacity(layout, budget, 1);; capacity /= 2) {
    try {
      passes = plan_passes(total, bins, capacity);
    } catch (const std::bad_alloc&) {
      return false;
    }
    std::int64_t largest = 0;
    for (const SievePass& pass : passes) {
      largest = std::max(
          largest, std::accumulate(total + pass.first_bin, total + pass.end_bin, std::int64_t{0}));
    }
    entries = allocate_array<SieveEntry>(largest);
    if (entries) break;
    if (capacity == 0) return false;
  }

  // Each pass: its bins' entries, then their pairs.
  double matching = 0;
  char phase[64];
  for (std::size_t p = 0; p < passes.size(); ++p) {
    const SievePass pass = passes[p];
    std::snprintf(phase, sizeof phase, "sieve: pass %zu of %zu", p + 1, passes.size());
    if (!fill_pass(layout, 0, 1, pass, counts.get(), offsets.get(), entries.get(),
                   {shown, phase})) {
      return false;
    }
    const double filled = omp_get_wtime();
    std::exclusive_scan(totals.get() + pass.first_bin, totals.get() + pass.end_bin, starts.get(),
                        std::int64_t{0});
    std::snprintf(phase, sizeof phase, "matching: pass %zu of %zu", p + 1, passes.size());
    if (!match_bins(entries.get(), starts.get(), totals.get() + pass.first_bin, 1,
                    pass.end_bin - pass.first_bin, pairs, {shown, phase})) {
      return false;
    }
    matching += omp_get_wtime() - filled;
  }
  entries.reset();
  if (shown != nullptr) end_progress(meter);

  const double printing = omp_get_wtime();
  static_cast<void>(print_pairs_in_order(out, pairs, done.answer));
  const double stop = omp_get_wtime();
  done.passes = static_cast<int>(passes.size());
  done.match_seconds = matching + (stop - printing);
  done.sieve_seconds = (printing - start) - matching;
  if (report != nullptr) *report = done;
  return true;
}

}  // namespace friendly
