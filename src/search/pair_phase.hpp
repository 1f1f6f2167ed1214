// Pair phase: every pair of numbers of the range compared on their reduced ratios, each match
// printed as one line.
#pragma once

#include <omp.h>

#include <cstdint>
#include <cstdio>

#include "paths/kernels.hpp"
#include "search/output.hpp"
#include "search/pair_tiling.hpp"
#include "search/progress.hpp"
#include "search/work_share.hpp"
#include "support/contract.hpp"

namespace friendly {

// Calls report(i, j) for every column j of row i (i < j < length) whose ratio equals row i's,
// in increasing j, comparing numerators first and denominators only when those are equal.
template <typename Ratio, typename Report>
void scan_row_literal(std::int64_t i, std::int64_t length, const Ratio* numerators,
                      const Ratio* denominators, Report&& report) {
  for (std::int64_t j = i + 1; j < length; ++j) {
    if (numerators[i] == numerators[j] && denominators[i] == denominators[j]) report(i, j);
  }
  if constexpr (kCountWork) count_work(0, 0, i + 1 < length ? length - i - 1 : 0);
}

// Most columns of a tile of the block scan: the bound of its keys on the stack.
inline constexpr std::int64_t kMaxTileColumns = 16384;

// The 16-bit key of a ratio, mixed from both halves, so that equal ratios have equal keys and
// the ratios of a range's numbers, most of them small and even, rarely share one otherwise.
template <typename Ratio>
constexpr std::uint16_t filter_key(Ratio numerator, Ratio denominator) noexcept {
  const auto fold = [](Ratio x) {
    const auto bits = static_cast<std::uint64_t>(x);
    return static_cast<std::uint32_t>(bits ^ bits >> 32);
  };
  const std::uint32_t mixed = fold(numerator) * 0x9E3779B1U + fold(denominator) * 0x85EBCA77U;
  return static_cast<std::uint16_t>(mixed >> 16);
}

// The rows, and their keys, of up to kMatchRows / kRowBlock blocks from block b of first_rows
// (blocks of them) whose columns start before tile_end; only the range's last block is cut, so
// row r is row r % kRowBlock of block b + r / kRowBlock. rows receives their count; returns the
// blocks taken.
template <typename Ratio>
int tile_rows(const std::int64_t* first_rows, int b, int blocks, std::int64_t length,
              std::int64_t tile_end, const Ratio* numerators, const Ratio* denominators,
              std::int64_t (&row_indices)[kMatchRows], std::uint16_t (&row_keys)[kMatchRows],
              std::int64_t& rows) noexcept {
  constexpr int kCallBlocks = kMatchRows / kRowBlock;
  rows = 0;
  int taken = 0;
  for (; taken < kCallBlocks && b + taken < blocks; ++taken) {
    const std::int64_t first = first_rows[b + taken];
    if (tile_end <= first + 1) break;
    const std::int64_t end = length - first < kRowBlock ? length : first + kRowBlock;
    for (std::int64_t i = first; i < end; ++i) {
      row_indices[rows] = i;
      row_keys[rows++] = filter_key(numerators[i], denominators[i]);
    }
  }
  return taken;
}

// The first pass of scan_blocks: for row r of block b, match_to[b][r] is 0 when it met no equal
// ratio, else [match_from[b][r], match_to[b][r]) runs from the first to the end of the last
// tile of columns where it met one. Each tile's keys are computed once, and kMatchRows rows (two
// blocks) are compared against them at a time.
template <KernelPath Path, typename Ratio>
void find_match_tiles(const std::int64_t* first_rows, int blocks, std::int64_t length,
                      const Ratio* numerators, const Ratio* denominators, std::int64_t tile_bytes,
                      std::int64_t (&match_from)[kMaxGroupBlocks][kRowBlock],
                      std::int64_t (&match_to)[kMaxGroupBlocks][kRowBlock]) noexcept {
  constexpr int kCallBlocks = kMatchRows / kRowBlock;
  const std::int64_t columns = tile_bytes / static_cast<std::int64_t>(sizeof(Ratio));
  const std::int64_t tile_columns = columns < kMaxTileColumns ? columns : kMaxTileColumns;
  std::uint16_t keys[kMaxTileColumns];
  for (std::int64_t tile = first_rows[0] + 1; tile < length; tile += tile_columns) {
    const std::int64_t tile_end = length - tile < tile_columns ? length : tile + tile_columns;
    for (std::int64_t j = tile; j < tile_end; ++j)
      keys[j - tile] = filter_key(numerators[j], denominators[j]);
    for (int b = 0; b < blocks; b += kCallBlocks) {
      std::int64_t row_indices[kMatchRows];
      std::uint16_t row_keys[kMatchRows];
      std::int64_t rows = 0;
      const int taken = tile_rows(first_rows, b, blocks, length, tile_end, numerators, denominators,
                                  row_indices, row_keys, rows);
      if (taken == 0) break;
      for (std::uint32_t found = matching_rows<Path>(numerators, denominators, row_indices,
                                                     row_keys, rows, keys, tile, tile_end);
           found != 0; found &= found - 1) {
        const int bit = __builtin_ctz(found);
        const int block = b + bit / kRowBlock;
        const int r = bit % kRowBlock;
        if (match_to[block][r] == 0) match_from[block][r] = tile;
        match_to[block][r] = tile_end;
      }
      if (taken < kCallBlocks) break;
    }
  }
}

// Calls report(i, j) for every pair of equal ratios with i in one of the blocks of kRowBlock
// rows that start at first_rows[0] < first_rows[1] < ... (blocks <= kMaxGroupBlocks, each block
// cut at length) and i < j < length, in the order of scan_row_literal over these rows, until
// report returns false; returns false if it did. A first pass compares every block's rows
// against each tile of tile_bytes of columns while the tile is in cache, to find where each row
// has a match; only those rows, between their first and last such tile, are then scanned and
// reported.
template <KernelPath Path, typename Ratio, typename Report>
bool scan_blocks(const std::int64_t* first_rows, int blocks, std::int64_t length,
                 const Ratio* numerators, const Ratio* denominators, std::int64_t tile_bytes,
                 Report&& report) {
  FRIENDLY_ASSERT(0 < blocks && blocks <= kMaxGroupBlocks && 0 <= first_rows[0]);
  // Where each row met its ratio: the second pass finds the matches there instead of streaming
  // the rest of the row again.
  std::int64_t match_from[kMaxGroupBlocks][kRowBlock];
  std::int64_t match_to[kMaxGroupBlocks][kRowBlock];
  for (int b = 0; b < blocks; ++b) {
    for (std::int64_t& to : match_to[b])
      to = 0;
  }
  find_match_tiles<Path>(first_rows, blocks, length, numerators, denominators, tile_bytes,
                         match_from, match_to);

  // Second pass: the rows with a match, in order, each match at its column.
  for (int b = 0; b < blocks; ++b) {
    for (int r = 0; r < kRowBlock; ++r) {
      const std::int64_t to = match_to[b][r];
      if (to == 0) continue;
      const std::int64_t i = first_rows[b] + r;
      const std::int64_t from = match_from[b][r] > i + 1 ? match_from[b][r] : i + 1;
      for (std::int64_t j = find_equal<Path>(numerators[i], numerators, from, to); j < to;
           j = find_equal<Path>(numerators[i], numerators, j + 1, to)) {
        if (denominators[i] == denominators[j] && !report(i, j)) return false;
      }
    }
  }
  return true;
}

// Comparisons of the block of kRowBlock rows (cut at length) that starts at first_row.
constexpr double block_comparisons(std::int64_t first_row, std::int64_t length) noexcept {
  const std::int64_t rows = length - first_row < kRowBlock ? length - first_row : kRowBlock;
  const std::int64_t comparisons = rows * (length - 1 - first_row) - rows * (rows - 1) / 2;
  return static_cast<double>(comparisons);
}

// The meter that this thread draws the pair phase on: progress, started with this thread's and
// the phase's comparisons, on thread 0; null on the others or where progress is null. Thread 0's
// blocks are blocks 0, T, 2T, ... of the share's own_blocks: the static schedule deals them
// round-robin in the order of the threads.
inline ProgressMeter* start_pair_meter(ProgressMeter* progress, std::int64_t length,
                                       std::int64_t own_blocks, int share, int shares,
                                       int threads) noexcept {
  if (progress == nullptr || omp_get_thread_num() != 0) return nullptr;
  double own_work = 0;
  double phase_work = 0;
  for (std::int64_t b = 0; b < own_blocks; ++b) {
    const double work =
        block_comparisons(share_item(b * kRowBlock, kRowBlock, share, shares), length);
    phase_work += work;
    if (b % threads == 0) own_work += work;
  }
  begin_pair_progress(*progress, own_work, phase_work, omp_get_wtime());
  return progress;
}

// Adds the comparisons of the blocks that start at first_rows[0 .. blocks) to own_done, this
// thread's comparisons so far, and lets the meter draw, where there is one.
inline void pair_blocks_done(ProgressMeter* meter, double& own_done, const std::int64_t* first_rows,
                             int blocks, std::int64_t length) noexcept {
  if (meter == nullptr) return;
  for (int b = 0; b < blocks; ++b)
    own_done += block_comparisons(first_rows[b], length);
  pair_progress(*meter, own_done);
}

// The pair phase of rows i of share `share` of `shares` in blocks of kRowBlock rows
// (work_share.hpp), each against every column j > i, on Path's kernels with the given tiling:
// prints the pair line of values[i] and values[j] on out where the ratios are equal, and adds
// each printed pair to answer. Every thread of the enclosing parallel region must call it: its
// loop deals the share's blocks out statically, so a thread's lines come in row, then column
// order. Thread 0 draws progress, when not null, between its groups of blocks. A thread stops
// scanning once out has an error; returns false if it did.
template <KernelPath Path, typename Ratio>
bool pair_phase(std::int64_t length, const std::int32_t* values, const Ratio* numerators,
                const Ratio* denominators, int share, int shares, std::FILE* out, Answer& answer,
                const PairTiling& tiling = PairTiling{},
                ProgressMeter* progress = nullptr) noexcept {
  const std::int64_t own = share_length(length, kRowBlock, share, shares);
  const std::int64_t own_blocks = (own + kRowBlock - 1) / kRowBlock;
  const int threads = omp_get_num_threads();
  const auto print = [&](std::int64_t i, std::int64_t j) {
    return print_pair(out, values[i], values[j], answer);
  };
  // A failed write (this thread's, or another's, seen in the stream's error flag at each block)
  // ends the scan: the run has failed, and what is left would only be lost.
  bool stopped = false;
  std::int64_t group[kMaxGroupBlocks];
  int grouped = 0;
  const int group_blocks = tiling.group_blocks;

  // Only thread 0 sees the meter; its share of its own comparisons stands for the phase's.
  ProgressMeter* const meter =
      start_pair_meter(progress, length, own_blocks, share, shares, threads);
  double own_done = 0;

  // Blocks dealt out cyclically, so every thread gets long and short rows.
#pragma omp for schedule(static, kRowBlock)
  for (std::int64_t m = 0; m < own; ++m) {
    if (stopped) continue;
    const std::int64_t i = share_item(m, kRowBlock, share, shares);
    if (m % kRowBlock == 0 && std::ferror(out) != 0) {
      stopped = true;
      continue;
    }
    if constexpr (Path == KernelPath::literal) {
      // The literal rows count as done as their block starts, as the ratio phase's chunks do.
      if (m % kRowBlock == 0) pair_blocks_done(meter, own_done, &i, 1, length);
      scan_row_literal(i, length, numerators, denominators,
                       [&](std::int64_t row, std::int64_t col) {
                         if (!print(row, col)) stopped = true;
                       });
    } else {
      // The static schedule hands a thread its blocks whole and in increasing order (blocks t,
      // t + T, ... of its share), so each block's first row stands for the block, and a group
      // of group_blocks of them (or what is left at the thread's last block) is scanned at once.
      if (m % kRowBlock != 0) continue;
      group[grouped++] = i;
      const bool last_block = m / kRowBlock + threads >= own_blocks;
      if (grouped < group_blocks && !last_block) continue;
      stopped = !scan_blocks<Path>(group, grouped, length, numerators, denominators,
                                   tiling.tile_bytes, print);
      pair_blocks_done(meter, own_done, group, grouped, length);
      grouped = 0;
    }
  }
  return !stopped;
}

}  // namespace friendly
