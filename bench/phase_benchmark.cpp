// The validation (--validate) of 1..100000 and 1..10000000 on one thread, beside the phases.
// Each phase over the numbers 1 to 100000 on one thread on every path, the literal loops (the
// literal path) against the fast kernels, in candidate tests and pair comparisons per second; and
// the pair phase on a sample of the rows of 1..2000000 against the same phase on 1..100000, on one
// thread and on every thread, to show whether its rate holds once the ratios no longer fit in
// cache. Every figure is under one tuning: the one that FRIENDLY_TUNING names, else this
// processor's (bench/tune.sh runs it under each).
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/environment.hpp"
#include "oracles.hpp"
#include "paths/tuning.hpp"
#include "search/friendly.hpp"
#include "search/pair_tiling.hpp"
#include "search/work_share.hpp"
#include "validate/validate.hpp"

namespace {

using friendly::KernelPath;

constexpr std::int32_t kLow = 1;
constexpr std::int32_t kHigh = 100'000;
constexpr std::int32_t kLargeHigh = 2'000'000;

// Candidate tests that the trial division of low..high makes.
std::int64_t total_candidate_tests(std::int32_t low, std::int32_t high) {
  std::int64_t total = 0;
  for (std::int32_t n = low; n <= high; ++n)
    total += friendly::candidate_tests(n);
  return total;
}

// Skips the benchmark when the processor lacks the path; true when it may run.
bool runnable(benchmark::State& state, KernelPath path) {
  if (friendly::path_available(path)) return true;
  state.SkipWithError((std::string("this processor lacks the ") + friendly::path_name(path) +
                       " path's instructions")
                          .c_str());
  return false;
}

// The ratio phase of low..high on one thread, on a path (the literal loop on the literal path).
template <typename Ratio>
void ratio_phase(benchmark::State& state, KernelPath path) {
  if (!runnable(state, path)) return;
  const auto length = static_cast<std::size_t>(friendly::range_length(kLow, kHigh));
  std::vector<Ratio> numerators(length);
  std::vector<Ratio> denominators(length);
  for (auto _ : state) {
    for (std::int32_t n = kLow; n <= kHigh; ++n) {
      const std::int64_t sum = friendly::divisor_sum(n, path);
      const auto k = static_cast<std::size_t>(n - kLow);
      friendly::store_ratio(n, sum, numerators[k], denominators[k]);
    }
    benchmark::DoNotOptimize(numerators.data());
    benchmark::DoNotOptimize(denominators.data());
    benchmark::ClobberMemory();
  }
  static const std::int64_t tests = total_candidate_tests(kLow, kHigh);
  state.counters["tests/s"] =
      benchmark::Counter(static_cast<double>(tests), benchmark::Counter::kIsIterationInvariantRate);
}

// Values, numerators and denominators of 1..high, computed once per element type and range.
// The divisor sums come from a sieve: this is the input of the pair phase, not what is timed.
template <typename Ratio>
struct Ratios {
  std::vector<std::int32_t> values;
  std::vector<Ratio> numerators;
  std::vector<Ratio> denominators;
};

template <typename Ratio>
const Ratios<Ratio>& ratios(std::int32_t high) {
  static std::map<std::int32_t, Ratios<Ratio>> cache;
  auto [entry, added] = cache.try_emplace(high);
  Ratios<Ratio>& arrays = entry->second;
  if (!added) return arrays;
  const auto length = static_cast<std::size_t>(high);
  std::vector<std::int64_t> sigma(length + 1, 0);
  for (std::size_t d = 1; d <= length; ++d) {
    for (std::size_t m = d; m <= length; m += d)
      sigma[m] += static_cast<std::int64_t>(d);
  }
  arrays.values.resize(length);
  arrays.numerators.resize(length);
  arrays.denominators.resize(length);
  for (std::int32_t n = 1; n <= high; ++n) {
    const auto k = static_cast<std::size_t>(n - 1);
    const std::int64_t sum = n <= 2 ? n + 1 : sigma[static_cast<std::size_t>(n)];
    arrays.values[k] = n;
    friendly::store_ratio(n, sum, arrays.numerators[k], arrays.denominators[k]);
  }
  return arrays;
}

// The search's own pair phase of share `share` of `shares` of the ratios r on a path, in a team
// of `threads` threads with the given tiling, its lines on out.
template <typename Ratio>
void run_pair_phase(KernelPath path, std::int64_t length, const Ratios<Ratio>& r, int share,
                    int shares, int threads, std::FILE* out, const friendly::PairTiling& tiling) {
  friendly::on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
#pragma omp parallel num_threads(threads) default(none) \
    shared(length, r, share, shares, out, tiling)
    {
      friendly::Answer answer;
      static_cast<void>(friendly::pair_phase<Path>(length, r.values.data(), r.numerators.data(),
                                                   r.denominators.data(), share, shares, out,
                                                   answer, tiling));
    }
  });
}

// The search's own pair phase of 1..kHigh on one thread on a path, its lines discarded.
template <typename Ratio>
void pair_phase(benchmark::State& state, KernelPath path) {
  if (!runnable(state, path)) return;
  const Ratios<Ratio>& r = ratios<Ratio>(kHigh);
  const auto length = static_cast<std::int64_t>(r.values.size());
  std::FILE* out = std::fopen("/dev/null", "w");
  const friendly::PairTiling tiling = friendly::pair_tiling(friendly::core_caches());
  for (auto _ : state)
    run_pair_phase(path, length, r, 0, 1, 1, out, tiling);
  std::fclose(out);
  const std::int64_t comparisons = length * (length - 1) / 2;
  state.counters["comparisons/s"] = benchmark::Counter(
      static_cast<double>(comparisons), benchmark::Counter::kIsIterationInvariantRate);
}

// The pair phase of 1..high on the fastest path with a team of the given size and tiling, over
// share 0 of `shares`: every shares-th block of rows, a sample spread over the whole triangle.
void pair_phase_sample(benchmark::State& state, std::int32_t high, int shares, int threads,
                       const friendly::PairTiling& tiling) {
  const Ratios<std::int32_t>& r = ratios<std::int32_t>(high);
  const auto length = static_cast<std::int64_t>(r.values.size());
  const KernelPath path = friendly::fastest_path();
  std::FILE* out = std::fopen("/dev/null", "w");
  for (auto _ : state)
    run_pair_phase(path, length, r, 0, shares, threads, out, tiling);
  std::fclose(out);
  std::int64_t comparisons = 0;
  const std::int64_t rows = friendly::share_length(length, friendly::kRowBlock, 0, shares);
  for (std::int64_t m = 0; m < rows; ++m)
    comparisons += length - 1 - friendly::share_item(m, friendly::kRowBlock, 0, shares);
  state.counters["comparisons/s"] = benchmark::Counter(
      static_cast<double>(comparisons), benchmark::Counter::kIsIterationInvariantRate);
}

// The validation of 1..high (--validate) on the calling thread, in numbers per second.
void validation(benchmark::State& state, std::int32_t high) {
  friendly::Answer answer;
  for (auto _ : state) {
    if (!friendly::validate_range(1, high, answer)) {
      state.SkipWithError("out of memory");
      return;
    }
    benchmark::DoNotOptimize(answer);
  }
  state.counters["numbers/s"] =
      benchmark::Counter(high, benchmark::Counter::kIsIterationInvariantRate);
}

// One benchmark per phase, element width and kernel ("Phase/width/kernel"), then the samples.
void register_all() {
  using Runner = void (*)(benchmark::State&, KernelPath);
  const std::pair<const char*, Runner> phases[] = {{"RatioPhase/int32", ratio_phase<std::int32_t>},
                                                   {"PairPhase/int32", pair_phase<std::int32_t>},
                                                   {"PairPhase/int64", pair_phase<std::int64_t>}};
  for (const auto& [phase, run] : phases) {
    for (const KernelPath path : friendly::kAllPaths) {
      benchmark::RegisterBenchmark((std::string(phase) + "/" + friendly::path_name(path)).c_str(),
                                   [run = run, path](benchmark::State& state) { run(state, path); })
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (const std::int32_t high : {kHigh, 10'000'000}) {
    benchmark::RegisterBenchmark(("Validation/1.." + std::to_string(high)).c_str(),
                                 [high](benchmark::State& state) { validation(state, high); })
        ->Unit(benchmark::kMillisecond);
  }
  // The same phase on both ranges, sampled to about 5e9 comparisons, in wall-clock time, with
  // the tiling that the search chooses on this processor.
  const friendly::PairTiling tiling = friendly::pair_tiling(friendly::core_caches());
  std::vector<int> team_sizes = {1};
  if (omp_get_num_procs() > 1) team_sizes.push_back(omp_get_num_procs());
  for (const int threads : team_sizes) {
    for (const auto& [high, shares] : {std::pair{kHigh, 1}, std::pair{kLargeHigh, 400}}) {
      const std::string name = "PairPhaseSample/1.." + std::to_string(high) + "/every" +
                               std::to_string(shares) +
                               "th_block/threads:" + std::to_string(threads);
      benchmark::RegisterBenchmark(
          name.c_str(),
          [high = high, shares = shares, threads, tiling](benchmark::State& s) {
            pair_phase_sample(s, high, shares, threads, tiling);
          })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }
  // The large sample on one thread with other tilings around the chosen one: quarter, half and
  // the whole first-level cache, groups of 64 to the most blocks.
  const friendly::CacheSizes caches = friendly::core_caches();
  const std::int64_t level1 = caches.level1_data > 0 ? caches.level1_data : std::int64_t{32} * 1024;
  for (const std::int64_t tile_bytes : {level1 / 4, level1 / 2, level1}) {
    for (const int group_blocks : {64, 256, friendly::kMaxGroupBlocks}) {
      const friendly::PairTiling other{tile_bytes / 64 * 64, group_blocks};
      const std::string name = "PairPhaseTiling/1.." + std::to_string(kLargeHigh) +
                               "/tile:" + std::to_string(other.tile_bytes / 1024) +
                               "KiB/group:" + std::to_string(group_blocks);
      benchmark::RegisterBenchmark(
          name.c_str(),
          [other](benchmark::State& s) { pair_phase_sample(s, kLargeHigh, 400, 1, other); })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t tuning = 0;
  std::string error;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  if (!friendly::read_tuning_choice(std::getenv(friendly::kTuningVariable), tuning, error)) {
    std::fprintf(stderr, "phase_benchmarks: %s\n", error.c_str());
    return 2;
  }
  friendly::choose_tuning(tuning);
  benchmark::AddCustomContext("tuning", friendly::kTunings[friendly::chosen_tuning()].name);
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
