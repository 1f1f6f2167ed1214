// MPI initialised once for both MPI programs, the search's and the phase benchmark's.
#include "mpi/mpi_job.hpp"

#include <mpi.h>

namespace friendly {

MpiJob start_mpi_job(int& argc, char**& argv) {
  int provided = MPI_THREAD_SINGLE;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  MpiJob job;
  MPI_Comm_rank(MPI_COMM_WORLD, &job.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &job.ranks);
  job.funneled = provided >= MPI_THREAD_FUNNELED;
  return job;
}

}  // namespace friendly
