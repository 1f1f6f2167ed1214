#include "friendly.hpp"

#include <memory>

namespace friendly {

template <typename Ratio>
bool search(std::int32_t low, std::int32_t high, KernelPath path, std::FILE* out) {
  const std::int64_t length = range_length(low, high);

  std::unique_ptr<std::int32_t[]> values = allocate_array<std::int32_t>(length);
  std::unique_ptr<Ratio[]> numerators = allocate_array<Ratio>(length);
  std::unique_ptr<Ratio[]> denominators = allocate_array<Ratio>(length);
  if (!values || !numerators || !denominators) return false;

  std::int32_t* const value = values.get();
  Ratio* const numerator = numerators.get();
  Ratio* const denominator = denominators.get();

  // One region, two phases; the ratio phase's barrier keeps every ratio stored before any
  // thread compares. A failed write shows in out's error flag, which the caller reads.
#pragma omp parallel default(none) shared(low, length, value, numerator, denominator, path, out)
  {
    ratio_phase(low, length, value, numerator, denominator, path, 0, 1);
    static_cast<void>(pair_phase(length, value, numerator, denominator, path, 0, 1, out));
  }

  values.reset();
  numerators.reset();
  denominators.reset();
  return true;
}

template bool search<std::int32_t>(std::int32_t, std::int32_t, KernelPath, std::FILE*);
template bool search<std::int64_t>(std::int32_t, std::int32_t, KernelPath, std::FILE*);

bool FriendlyNumbers(std::int32_t low, std::int32_t high) {
  return needs_wide_ratios(low, high) ? search<std::int64_t>(low, high, fastest_path(), stdout)
                                      : search<std::int32_t>(low, high, fastest_path(), stdout);
}

}  // namespace friendly
