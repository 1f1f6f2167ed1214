// The search driver's one run on the CPU: the arrays allocated, the path chosen at run time made
// code, and the region run over the whole range.
#include "search/friendly.hpp"

namespace friendly {

template <typename Ratio>
bool search_on_cpu(std::int32_t low, std::int32_t high, KernelPath path, std::FILE* out,
                   SearchReport* report, std::FILE* progress) {
  const std::int64_t length = range_length(low, high);
  const SearchArrays<Ratio> arrays = allocate_search_arrays<Ratio>(length, length);
  if (!arrays) return false;
  const SearchReport done = on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return search_share<Path>(low, length, arrays, 0, 1, out, progress);
  });
  if (report != nullptr) *report = done;
  return true;
}

template bool search_on_cpu<std::int32_t>(std::int32_t, std::int32_t, KernelPath, std::FILE*,
                                          SearchReport*, std::FILE*);
template bool search_on_cpu<std::int64_t>(std::int32_t, std::int32_t, KernelPath, std::FILE*,
                                          SearchReport*, std::FILE*);

}  // namespace friendly
