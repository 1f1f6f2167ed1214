// The sieve method over the ranks of an MPI communicator: each rank sieves its segments, the
// entries go by key to the rank that matches that part of the key space, and rank 0 prints every
// pair in order.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <cstdio>

#include "answer/sieve_answer.hpp"
#include "mpi/mpi_search.hpp"

namespace friendly {

// The pair lines of low..high (high >= low - 1) by the sieve method over every rank of comm:
// segment s of the sieve to rank s mod ranks, each pass's bins split into one consecutive part
// per rank, each entry sent to the rank of its bin (MPI_Alltoallv), every rank's pairs gathered
// on rank 0, which prints them in increasing order on out (ignored on the other ranks). Each
// rank's entries fit budget bytes (negative: no limit; the least budget of any rank counts).
// Call it from the main thread of every rank, outside any parallel region. report, when not
// null, receives on rank 0 the answer, rank 0's team and the passes.
RankSearch answer_ranks(std::int32_t low, std::int32_t high, std::int64_t budget, MPI_Comm comm,
                        std::FILE* out, SieveReport* report = nullptr) noexcept;

}  // namespace friendly
