// search_ranks on rank 0's stream that refuses every write, through mpiexec with two ranks or
// more: every rank must end with write_failed, and rank 0's stream must see no write after its
// first failed one, so rank 0's own error flag has to stop every rank. Exit status 0 on success.
#include <mpi.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "mpi/mpi_search.hpp"

namespace {

// A write that fails, counted in *cookie.
ssize_t refuse_write(void* cookie, const char* /*data*/, std::size_t /*size*/) {
  ++*static_cast<int*>(cookie);
  return 0;  // fopencookie: 0 reports an error
}

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  int ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);

  // Unbuffered, so that each round of lines is one write. 1..30000 has more lines than one round.
  int writes = 0;
  std::FILE* out = nullptr;
  if (rank == 0) {
    out = fopencookie(&writes, "w", {nullptr, refuse_write, nullptr, nullptr});
    if (out != nullptr) std::setvbuf(out, nullptr, _IONBF, 0);
  }
  int failed = rank == 0 && out == nullptr ? 1 : 0;
  if (failed == 0) {
    const friendly::RankSearch end =
        friendly::search_ranks(1, 30'000, friendly::fastest_path(), MPI_COMM_WORLD, out);
    if (end != friendly::RankSearch::write_failed) {
      std::fprintf(stderr, "rank %d: the search ended as %d, not write_failed\n", rank,
                   static_cast<int>(end));
      failed = 1;
    }
    if (rank == 0 && writes != 1) {
      std::fprintf(stderr, "rank 0: %d writes to a stream whose first write failed\n", writes);
      failed = 1;
    }
  }
  if (ranks < 2 && rank == 0) {
    std::fprintf(stderr, "needs two ranks or more\n");
    failed = 1;
  }
  if (out != nullptr) std::fclose(out);
  MPI_Allreduce(MPI_IN_PLACE, &failed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (rank == 0 && failed == 0) std::printf("ok: every rank stopped at rank 0's failed write\n");
  MPI_Finalize();
  return failed;
}
