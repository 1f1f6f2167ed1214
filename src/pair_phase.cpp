#include "pair_phase.hpp"

#include <omp.h>

#include "work_share.hpp"

namespace friendly {

template <typename Ratio>
bool pair_phase(std::int64_t length, const std::int32_t* values, const Ratio* numerators,
                const Ratio* denominators, KernelPath path, int share, int shares,
                std::FILE* out) noexcept {
  const std::int64_t own = share_length(length, kRowBlock, share, shares);
  const std::int64_t own_blocks = (own + kRowBlock - 1) / kRowBlock;
  const int threads = omp_get_num_threads();
  const auto print = [&](std::int64_t i, std::int64_t j) {
    return std::fprintf(out, kPairFormat, values[i], values[j]) >= 0;
  };
  // A failed write (this thread's, or another's, seen in the stream's error flag at each block)
  // ends the scan: the run has failed, and what is left would only be lost.
  bool stopped = false;
  std::int64_t group[kGroupBlocks];
  int grouped = 0;

  // Blocks dealt out cyclically, so every thread gets long and short rows.
#pragma omp for schedule(static, kRowBlock)
  for (std::int64_t m = 0; m < own; ++m) {
    if (stopped) continue;
    const std::int64_t i = share_item(m, kRowBlock, share, shares);
    if (m % kRowBlock == 0 && std::ferror(out) != 0) {
      stopped = true;
      continue;
    }
    if constexpr (kLiteralKernels) {
      scan_row_literal(i, length, numerators, denominators,
                       [&](std::int64_t row, std::int64_t col) {
                         if (!print(row, col)) stopped = true;
                       });
    } else {
      // The static schedule hands a thread its blocks whole and in increasing order (blocks t,
      // t + T, ... of its share), so each block's first row stands for the block, and a group
      // of kGroupBlocks of them (or what is left at the thread's last block) is scanned at once.
      if (m % kRowBlock != 0) continue;
      group[grouped++] = i;
      const bool last_block = m / kRowBlock + threads >= own_blocks;
      if (grouped < kGroupBlocks && !last_block) continue;
      stopped = !scan_blocks(path, group, grouped, length, numerators, denominators, print);
      grouped = 0;
    }
  }
  return !stopped;
}

template bool pair_phase<std::int32_t>(std::int64_t, const std::int32_t*, const std::int32_t*,
                                       const std::int32_t*, KernelPath, int, int,
                                       std::FILE*) noexcept;
template bool pair_phase<std::int64_t>(std::int64_t, const std::int32_t*, const std::int64_t*,
                                       const std::int64_t*, KernelPath, int, int,
                                       std::FILE*) noexcept;

}  // namespace friendly
