#include "search/friendly.hpp"

#include <omp.h>

#include <memory>
#include <string>

#include "gpu/gpu.hpp"
#include "gpu/gpu_work.hpp"

#include "paths/cache_sizes.hpp"
#include "search/progress.hpp"
#include "support/contract.hpp"

namespace friendly {

namespace {

// search on the path Path.
template <KernelPath Path, typename Ratio>
bool search_on(std::int32_t low, std::int32_t high, std::FILE* out, SearchReport* report,
               std::FILE* progress) {
  const std::int64_t length = range_length(low, high);
  FRIENDLY_ASSERT(length >= 0 && path_available(Path));

  std::unique_ptr<std::int32_t[]> values = allocate_array<std::int32_t>(length);
  std::unique_ptr<Ratio[]> numerators = allocate_array<Ratio>(length);
  std::unique_ptr<Ratio[]> denominators = allocate_array<Ratio>(length);
  if (!values || !numerators || !denominators) return false;

  std::int32_t* const value = values.get();
  Ratio* const numerator = numerators.get();
  Ratio* const denominator = denominators.get();

  // One region, two phases; the ratio phase's barrier keeps every ratio stored before any
  // thread compares. A failed write shows in out's error flag, which the caller reads. Each
  // thread's counts are summed at the region's end; thread 0 reads the clock as it leaves the
  // barrier, which adds no synchronisation, and alone draws the progress meter, if any.
  const PairTiling tiling = pair_tiling(core_caches());
  std::int64_t tests = 0;
  std::int64_t pairs = 0;
  std::uint64_t checksum = 0;
  int threads = 0;
  const double start = omp_get_wtime();
  double barrier = start;
  ProgressMeter meter = start_progress(progress, start);
  ProgressMeter* const shown = progress != nullptr ? &meter : nullptr;
#pragma omp parallel default(none) shared(low, length, value, numerator, denominator, out, \
                                              threads, barrier, tiling, shown)                \
    reduction(+ : tests, pairs, checksum)
  {
    tests += ratio_phase<Path>(low, length, value, numerator, denominator, 0, 1, shown);
    if (omp_get_thread_num() == 0) {
      barrier = omp_get_wtime();
      threads = omp_get_num_threads();
    }
    PairTally tally;
    static_cast<void>(
        pair_phase<Path>(length, value, numerator, denominator, 0, 1, out, tally, tiling, shown));
    pairs += tally.pairs;
    checksum += tally.checksum;
  }
  const double stop = omp_get_wtime();
  if (shown != nullptr) end_progress(meter);

  values.reset();
  numerators.reset();
  denominators.reset();
  if (report != nullptr) {
    *report = {threads, barrier - start, stop - barrier, tests, pairs, checksum};
  }
  return true;
}

// search on the GPU: the whole search on the device, then its pairs sorted and printed.
template <typename Ratio>
bool search_on_gpu(std::int32_t low, std::int32_t high, std::FILE* out, SearchReport* report,
                   std::string* error) {
  GpuRun run;
  std::string failure;
  if (!gpu_search<Ratio>(low, high, run, failure)) {
    if (error != nullptr) *error = failure;
    return false;
  }
  const double printing = omp_get_wtime();
  PairTally tally;
  static_cast<void>(print_pairs(run.pairs, low, out, tally));
  const double stop = omp_get_wtime();
  if (report != nullptr) {
    *report = {
        0,           run.ratio_seconds, run.pair_seconds + (stop - printing), run.candidate_tests,
        tally.pairs, tally.checksum};
  }
  return true;
}

}  // namespace

template <typename Ratio>
bool search(std::int32_t low, std::int32_t high, Placement placement, std::FILE* out,
            SearchReport* report, std::FILE* progress, std::string* error) {
  if (placement.device == Device::gpu) return search_on_gpu<Ratio>(low, high, out, report, error);
  return on_path(placement.path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return search_on<Path, Ratio>(low, high, out, report, progress);
  });
}

template bool search<std::int32_t>(std::int32_t, std::int32_t, Placement, std::FILE*, SearchReport*,
                                   std::FILE*, std::string*);
template bool search<std::int64_t>(std::int32_t, std::int32_t, Placement, std::FILE*, SearchReport*,
                                   std::FILE*, std::string*);

bool FriendlyNumbers(std::int32_t low, std::int32_t high, Placement placement, SearchReport* report,
                     std::string* error) {
  std::FILE* const progress = progress_wanted(stdout) ? stderr : nullptr;
  return needs_wide_ratios(low, high)
             ? search<std::int64_t>(low, high, placement, stdout, report, progress, error)
             : search<std::int32_t>(low, high, placement, stdout, report, progress, error);
}

}  // namespace friendly
