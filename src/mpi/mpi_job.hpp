// The start of an MPI job for a program whose ranks each run OpenMP threads: the one call that
// initialises MPI, and this process's place in the job.
#pragma once

namespace friendly {

// This process in the job: its rank, the job's ranks, and whether the library lets the main
// thread call MPI from inside an OpenMP region (MPI_THREAD_FUNNELED), as the search does between
// its phases.
struct MpiJob {
  int rank = 0;
  int ranks = 1;
  bool funneled = false;
};

// Initialises MPI with the program's arguments (which it may change) for funneled calls and
// returns this process's place in the job. MPI's default error handler ends the whole job on any
// failed call, so no call's result is looked at; the caller ends with MPI_Finalize.
MpiJob start_mpi_job(int& argc, char**& argv);

}  // namespace friendly
