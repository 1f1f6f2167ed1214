// The search on the CPU or the GPU, as its placement says, and FriendlyNumbers.
#include "run/friendly_numbers.hpp"

#include <omp.h>

#include <string>

#include "gpu/gpu.hpp"
#include "gpu/gpu_work.hpp"
#include "search/progress.hpp"

namespace friendly {

namespace {

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
  Answer answer;
  static_cast<void>(print_pairs(run.pairs, low, out, answer));
  const double stop = omp_get_wtime();
  if (report != nullptr) {
    *report = {0, run.ratio_seconds, run.pair_seconds + (stop - printing), run.candidate_tests,
               answer};
  }
  return true;
}

}  // namespace

template <typename Ratio>
bool search(std::int32_t low, std::int32_t high, Placement placement, std::FILE* out,
            SearchReport* report, std::FILE* progress, std::string* error) {
  if (placement.device == Device::gpu) return search_on_gpu<Ratio>(low, high, out, report, error);
  return search_on_cpu<Ratio>(low, high, placement.path, out, report, progress);
}

template bool search<std::int32_t>(std::int32_t, std::int32_t, Placement, std::FILE*, SearchReport*,
                                   std::FILE*, std::string*);
template bool search<std::int64_t>(std::int32_t, std::int32_t, Placement, std::FILE*, SearchReport*,
                                   std::FILE*, std::string*);

bool FriendlyNumbers(std::int32_t low, std::int32_t high, Placement placement, SearchReport* report,
                     std::string* error) {
  std::FILE* const progress = progress_wanted(stdout) ? stderr : nullptr;
  return on_ratio_width(low, high, [&](auto element) {
    using Ratio = decltype(element);
    return search<Ratio>(low, high, placement, stdout, report, progress, error);
  });
}

}  // namespace friendly
