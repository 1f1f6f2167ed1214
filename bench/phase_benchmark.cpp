// Each phase on one thread over the numbers 1 to 100000: the literal loops against the fast
// kernels on each path, counted in candidate tests and pair comparisons per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "friendly.hpp"

namespace {

using friendly::KernelPath;

constexpr std::int32_t kLow = 1;
constexpr std::int32_t kHigh = 100'000;

// Candidate tests that the trial division of low..high makes.
std::int64_t total_candidate_tests(std::int32_t low, std::int32_t high) {
  std::int64_t total = 0;
  for (std::int32_t n = low; n <= high; ++n)
    total += friendly::candidate_tests(n);
  return total;
}

// The ratio phase of low..high on one thread, with the literal loop or a fast path.
template <typename Ratio>
void ratio_phase(benchmark::State& state, bool literal, KernelPath path) {
  if (!friendly::path_available(path)) {
    state.SkipWithError("this processor lacks the path's instructions");
    return;
  }
  const auto length = static_cast<std::size_t>(friendly::range_length(kLow, kHigh));
  std::vector<Ratio> numerators(length);
  std::vector<Ratio> denominators(length);
  for (auto _ : state) {
    for (std::int32_t n = kLow; n <= kHigh; ++n) {
      const std::int64_t sum =
          literal ? friendly::divisor_sum_literal(n) : friendly::divisor_sum(n, path);
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

// Numerators and denominators of low..high, computed once per element type.
template <typename Ratio>
const std::pair<std::vector<Ratio>, std::vector<Ratio>>& ratios() {
  static const auto both = [] {
    const auto length = static_cast<std::size_t>(friendly::range_length(kLow, kHigh));
    std::pair<std::vector<Ratio>, std::vector<Ratio>> arrays(length, length);
    for (std::int32_t n = kLow; n <= kHigh; ++n) {
      const auto k = static_cast<std::size_t>(n - kLow);
      friendly::store_ratio(n, friendly::divisor_sum(n), arrays.first[k], arrays.second[k]);
    }
    return arrays;
  }();
  return both;
}

// The pair phase of low..high on one thread, counting the matches instead of printing them.
template <typename Ratio>
void pair_phase(benchmark::State& state, bool literal, KernelPath path) {
  if (!friendly::path_available(path)) {
    state.SkipWithError("this processor lacks the path's instructions");
    return;
  }
  const auto& [numerators, denominators] = ratios<Ratio>();
  const auto length = static_cast<std::int64_t>(numerators.size());
  std::int64_t matches = 0;
  for (auto _ : state) {
    matches = 0;
    if (literal) {
      for (std::int64_t i = 0; i < length; ++i) {
        friendly::scan_row_literal(i, length, numerators.data(), denominators.data(),
                                   [&](std::int64_t, std::int64_t) { ++matches; });
      }
    } else {
      for (std::int64_t i = 0; i < length; i += friendly::kRowBlock) {
        friendly::scan_block(path, i, length, numerators.data(), denominators.data(),
                             [&](std::int64_t, std::int64_t) { return ++matches > 0; });
      }
    }
    benchmark::DoNotOptimize(matches);
  }
  state.counters["pairs"] = static_cast<double>(matches);
  const std::int64_t comparisons = length * (length - 1) / 2;
  state.counters["comparisons/s"] = benchmark::Counter(
      static_cast<double>(comparisons), benchmark::Counter::kIsIterationInvariantRate);
}

// One benchmark per phase, element width and kernel: "Phase/width/kernel".
void register_all() {
  using Runner = void (*)(benchmark::State&, bool, KernelPath);
  struct Phase {
    const char* name;
    Runner run;
  };
  struct Kernel {
    const char* name;
    bool literal;
    KernelPath path;
  };
  const Phase phases[] = {{"RatioPhase/int32", ratio_phase<std::int32_t>},
                          {"PairPhase/int32", pair_phase<std::int32_t>},
                          {"PairPhase/int64", pair_phase<std::int64_t>}};
  const Kernel kernels[] = {{"literal", true, KernelPath::portable},
                            {"portable", false, KernelPath::portable},
                            {"avx2", false, KernelPath::avx2},
                            {"avx512", false, KernelPath::avx512}};
  for (const Phase& phase : phases) {
    for (const Kernel& kernel : kernels) {
      const std::string name = std::string(phase.name) + "/" + kernel.name;
      benchmark::RegisterBenchmark(name.c_str(), [phase, kernel](benchmark::State& state) {
        phase.run(state, kernel.literal, kernel.path);
      })->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
