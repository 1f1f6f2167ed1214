// The search over the ranks of an MPI communicator: each rank runs its share of the search on
// the driver, every rank gets every ratio between the phases, and rank 0 writes every rank's
// pair lines, where it can on the job's standard output itself.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <cstdio>

#include "paths/kernels.hpp"
#include "search/friendly.hpp"

namespace friendly {

// Seconds that one rank spent in each step of a search, as the benchmarks report them.
struct RankTimes {
  double ratio = 0;     // its share of the ratio phase
  double exchange = 0;  // the exchange of the ratios, waiting for the slowest rank included
  double pairs = 0;     // its share of the pair phase, into its buffer of lines
  double output = 0;    // its lines to rank 0 (on rank 0: gathering and writing every rank's)
};

// How a search over the ranks ended: the same on every rank.
enum class RankSearch {
  done,           // every line was handed to rank 0's stream
  out_of_memory,  // some rank could not allocate its arrays; nothing was searched
  lines_lost,     // some rank could not buffer its pair lines; nothing was written
  write_failed,   // rank 0's stream had an error; the lines after it were not written
};

// Bytes that one rank's arrays take for the range: the three arrays of search_bytes
// (friendly.hpp), padded to whole chunks of the ratio phase.
std::int64_t rank_search_bytes(std::int32_t low, std::int32_t high) noexcept;

// The search of low..high (high >= low - 1) over every rank of comm, each one holding the whole
// arrays, with the ratio elements that the range needs (needs_wide_ratios). Chunk c of the ratio
// phase and block b of the pair phase go to rank c mod ranks and b mod ranks, each rank's share
// to its threads as in search(), every rank's ratios to every rank between the phases; then
// rank 0 writes every rank's pair lines, whole, on out (ignored on the other ranks). Call it
// from the main thread of every rank, outside any parallel region, on a path available on this
// rank. times, when not null, receives this rank's time in each step; report, when not null,
// receives on rank 0 the work and the pairs of every rank summed, with rank 0's team and phase
// times.
RankSearch search_ranks(std::int32_t low, std::int32_t high, KernelPath path, MPI_Comm comm,
                        std::FILE* out, RankTimes* times = nullptr,
                        SearchReport* report = nullptr) noexcept;

// Makes this process's standard output the job's own where mpirun started it on mpirun's machine
// and that is a pipe or a device other than a terminal: mpirun drops unseen a line that it cannot
// write, here the write fails. One that is closed, or a pipe that no one reads, becomes one that
// fails every write in the same way. Call it on rank 0 before any output.
void take_job_output() noexcept;

}  // namespace friendly
