// mpirun -n RANKS friendlyNumbers_mpi LOW HIGH: the search of friendlyNumbers shared out over MPI
// ranks, each with its own OpenMP threads. Rank 0 checks, reports and writes every line.
#include <mpi.h>
#include <omp.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "answer/sieve_answer.hpp"
#include "app/command_line.hpp"
#include "app/environment.hpp"
#include "app/messages.hpp"
#include "app/preflight.hpp"
#include "app/report.hpp"
#include "mpi/mpi_answer.hpp"
#include "mpi/mpi_job.hpp"
#include "mpi/mpi_search.hpp"
#include "search/friendly.hpp"
#include "search/progress.hpp"

namespace {

using friendly::kMpiProgramName;

// Writes "friendlyNumbers_mpi: message" as one line on standard error.
void complain(const std::string& message) {
  friendly::complain(kMpiProgramName, message);
}

// Rank 0's arguments, the same on every rank: what mpiexec gave each rank may differ (a launch
// of several programs), and every rank must read one command line to take the same steps.
// Collective over every rank.
std::vector<std::string> rank0_arguments(int argc, char** argv, int rank) {
  std::string joined;
  if (rank == 0) {
    for (int k = 0; k < argc; ++k)
      joined.append(argv[k]).push_back('\0');
  }
  std::int64_t size = static_cast<std::int64_t>(joined.size());
  MPI_Bcast(&size, 1, MPI_INT64_T, 0, MPI_COMM_WORLD);
  joined.resize(static_cast<std::size_t>(size));
  // Arguments fit in an int: the kernel limits a command line to far less.
  MPI_Bcast(joined.data(), static_cast<int>(size), MPI_CHAR, 0, MPI_COMM_WORLD);
  std::vector<std::string> arguments;
  for (std::size_t at = 0; at < joined.size(); at = joined.find('\0', at) + 1)
    arguments.emplace_back(joined.c_str() + at);
  return arguments;
}

// The placement that this rank's FRIENDLY_KERNELS chooses into placement, where every rank
// accepts its own environment (read_environment, on the processors' paths only); otherwise rank
// 0 reports the refusal. Collective over every rank.
bool paths_chosen_everywhere(friendly::Placement& placement, int rank) {
  std::string error;
  int refused = friendly::read_environment(placement, error, kMpiProgramName) ? 0 : 1;
  const int own = refused;
  MPI_Allreduce(MPI_IN_PLACE, &refused, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (refused == 0) return true;
  if (rank == 0) {
    complain(own != 0 ? error
                      : std::string("another rank refuses its environment: ") +
                            friendly::kPathVariable + " names a path that it cannot run, " +
                            friendly::kTuningVariable + " names no tuning, or " +
                            friendly::kProgressVariable + " is neither 0 nor 1");
  }
  return false;
}

// True when no rank refuses its run (refusal empty on every rank); otherwise rank 0 writes the
// refusal of the lowest rank that refuses, naming that rank where it is another. Collective over
// every rank.
bool accepted_everywhere(const std::string& refusal, int rank) {
  int first = refusal.empty() ? INT_MAX : rank;
  MPI_Allreduce(MPI_IN_PLACE, &first, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (first == INT_MAX) return true;
  if (first == 0) {
    if (rank == 0) complain(refusal);
  } else if (rank == first) {
    // A refusal is one line, far shorter than an int counts.
    MPI_Send(refusal.data(), static_cast<int>(refusal.size()), MPI_CHAR, 0, 0, MPI_COMM_WORLD);
  } else if (rank == 0) {
    MPI_Status status;
    MPI_Probe(first, 0, MPI_COMM_WORLD, &status);
    int size = 0;
    MPI_Get_count(&status, MPI_CHAR, &size);
    std::string text(static_cast<std::size_t>(size), '\0');
    MPI_Recv(text.data(), size, MPI_CHAR, first, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    complain("rank " + std::to_string(first) + ": " + text);
  }
  return false;
}

// The ranks on this rank's node, which share its memory and control group. Collective over
// every rank.
int node_ranks() {
  MPI_Comm node = MPI_COMM_NULL;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node);
  int ranks = 1;
  MPI_Comm_size(node, &ranks);
  MPI_Comm_free(&node);
  return ranks;
}

// Runs the sieve method over low..high on every rank, each rank's entries within budget bytes,
// and returns this rank's exit status; the report names placement. Only rank 0 prints.
int answer(std::int32_t low, std::int32_t high, const friendly::SearchOptions& options,
           friendly::Placement placement, std::int64_t budget, int rank, int ranks) {
  friendly::RunReport run = friendly::run_report(kMpiProgramName, placement, ranks, low, high);
  run.method = friendly::Method::sieve;
  friendly::SieveReport sieved;
  MPI_Barrier(MPI_COMM_WORLD);
  const double start = omp_get_wtime();
  const friendly::RankSearch end =
      friendly::answer_ranks(low, high, budget, MPI_COMM_WORLD, stdout, &sieved);
  const double stop = omp_get_wtime();
  if (rank != 0) return end == friendly::RankSearch::done ? 0 : friendly::kExitFailure;
  if (end == friendly::RankSearch::out_of_memory || end == friendly::RankSearch::lines_lost) {
    complain(std::string("out of memory: the sieve method over ") +
             std::to_string(friendly::range_length(low, high)) + " numbers on " +
             std::to_string(ranks) + " ranks");
    return friendly::kExitFailure;
  }
  run.search.threads = sieved.threads;
  run.search.answer = sieved.answer;
  run.seconds = stop - start;
  return friendly::finish_run(kMpiProgramName, run, options, "");
}

// Runs rank 0's command line on every rank and returns this rank's exit status. Only rank 0
// prints.
int run(int argc, char** argv, int rank, int ranks) {
  const std::vector<std::string> arguments = rank0_arguments(argc, argv, rank);
  std::vector<const char*> words;
  words.reserve(arguments.size());
  for (const std::string& argument : arguments)
    words.push_back(argument.c_str());
  std::int32_t low = 0;
  std::int32_t high = 0;
  friendly::SearchOptions options;
  std::string error;
  const friendly::Command command = friendly::read_command_line(
      static_cast<int>(words.size()), words.data(), low, high, options, error, kMpiProgramName);
  if (const std::optional<int> status =
          friendly::answer_command(kMpiProgramName, command, error, rank == 0))
    return *status;
  friendly::Placement placement;
  if (!paths_chosen_everywhere(placement, rank)) return friendly::kExitUsage;
  // What each rank needs, each rank holding the whole range, checked against its own limits
  // before any work.
  const bool sieve = options.method == friendly::Method::sieve;
  const int sharing = node_ranks();
  const std::int64_t bytes =
      sieve ? friendly::sieve_least_bytes(friendly::sieve_layout(low, high, omp_get_max_threads()))
            : friendly::rank_search_bytes(low, high);
  friendly::RunNeeds needs = {low, high, bytes, options.validate, sharing, true};
  needs.path = placement.path;
  if (!accepted_everywhere(friendly::preflight(needs), rank)) return friendly::kExitFailure;
  if (sieve)
    return answer(low, high, options, placement, friendly::memory_room(sharing), rank, ranks);

  // The time runs from all ranks' start to the end of rank 0's output.
  friendly::RunReport run = friendly::run_report(kMpiProgramName, placement, ranks, low, high);
  MPI_Barrier(MPI_COMM_WORLD);
  const double start = omp_get_wtime();
  const friendly::RankSearch end = friendly::search_ranks(low, high, placement.path, MPI_COMM_WORLD,
                                                          stdout, nullptr, &run.search);
  const double stop = omp_get_wtime();
  if (rank != 0) return end == friendly::RankSearch::done ? 0 : friendly::kExitFailure;

  switch (end) {
    case friendly::RankSearch::out_of_memory:
      complain("out of memory: " + friendly::size_text(friendly::range_length(low, high),
                                                       friendly::rank_search_bytes(low, high),
                                                       true));
      return friendly::kExitFailure;
    case friendly::RankSearch::lines_lost:
      complain("out of memory for the pair lines of a rank");
      return friendly::kExitFailure;
    case friendly::RankSearch::write_failed:
    case friendly::RankSearch::done:
      break;
  }
  run.seconds = stop - start;
  return friendly::finish_run(kMpiProgramName, run, options, "");
}

}  // namespace

int main(int argc, char** argv) {
  // A write past the file-size limit (ulimit -f) fails and is reported instead of killing the
  // process in the middle of a line.
  std::signal(SIGXFSZ, SIG_IGN);
  // A pipe whose reader left is a write error that rank 0 reports, not the end of the job.
  std::signal(SIGPIPE, SIG_IGN);

  const friendly::MpiJob job = friendly::start_mpi_job(argc, argv);
  if (job.rank == 0) friendly::take_job_output();

  // Only a rank's main thread calls MPI, also inside the search's region, between the phases.
  int status = friendly::kExitFailure;
  if (job.funneled) {
    status = run(argc, argv, job.rank, job.ranks);
  } else if (job.rank == 0) {
    complain("the MPI library does not support threads (MPI_THREAD_FUNNELED)");
  }

  // Every rank ends with the worst status of any.
  MPI_Allreduce(MPI_IN_PLACE, &status, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  MPI_Finalize();
  return status;
}
