// mpirun -n RANKS friendlyNumbers_mpi LOW HIGH: the search of friendlyNumbers shared out over MPI
// ranks, each with its own OpenMP threads. Rank 0 checks, reports and writes every line.
#include <mpi.h>
#include <omp.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "app/limits.hpp"
#include "app/report.hpp"
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

// The path that this rank's FRIENDLY_KERNELS chooses into path, where every rank accepts its own
// environment (read_environment); otherwise rank 0 reports the refusal. Collective over every
// rank.
bool paths_chosen_everywhere(friendly::KernelPath& path, int rank) {
  std::string error;
  int refused = friendly::read_environment(path, error) ? 0 : 1;
  // The ranks search on their processors only: a GPU chosen by default gives way to the widest
  // CPU path, and one asked for is refused.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  const char* asked = std::getenv(friendly::kPathVariable);
  if (refused == 0 && path == friendly::KernelPath::gpu) {
    path = friendly::fastest_path();
    if (asked != nullptr && *asked != '\0') {
      error = std::string(friendly::kPathVariable) + " 'gpu': " + kMpiProgramName +
              " runs on the processors' paths only";
      refused = 1;
    }
  }
  const int own = refused;
  MPI_Allreduce(MPI_IN_PLACE, &refused, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (refused == 0) return true;
  if (rank == 0) {
    complain(own != 0 ? error
                      : std::string("another rank refuses its environment: ") +
                            friendly::kPathVariable + " names a path that it cannot run, or " +
                            friendly::kProgressVariable + " is neither 0 nor 1");
  }
  return false;
}

// True when every node has the memory for the arrays of all its ranks, each of which holds the
// whole range; otherwise rank 0 reports the range as too large. Collective over every rank.
bool range_fits_nodes(std::int32_t low, std::int32_t high, bool validate, int rank) {
  // Linux overcommits memory: an allocation larger than the machine "succeeds" and the process
  // is killed once the pages are touched, so the size is checked before any work.
  MPI_Comm node = MPI_COMM_NULL;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node);
  int node_ranks = 1;
  MPI_Comm_size(node, &node_ranks);
  MPI_Comm_free(&node);
  // The node's memory and control group are shared by its ranks; each rank has its own
  // process limits. The least over every node decides, and rank 0 names it when it is its own.
  std::string limit;
  const std::int64_t memory = friendly::memory_limit(limit, node_ranks);
  const std::int64_t own = memory > 0 ? memory : std::numeric_limits<std::int64_t>::max();
  std::int64_t per_rank = own;
  MPI_Allreduce(MPI_IN_PLACE, &per_rank, 1, MPI_INT64_T, MPI_MIN, MPI_COMM_WORLD);
  if (per_rank != own) limit = "the memory limits of another node";

  // Rank 0's validation runs after the search has released the arrays; every rank is held to
  // the larger of the two.
  const std::int64_t bytes =
      friendly::run_bytes(friendly::rank_search_bytes(low, high), low, high, validate);
  if (bytes <= per_rank) return true;
  if (rank == 0) {
    complain(
        friendly::range_too_large(friendly::range_length(low, high), bytes, per_rank, limit, true));
  }
  return false;
}

// True when every rank can start its thread team (team_limit, with the arrays of the range still
// to be allocated); otherwise rank 0 reports the team, naming its own limit where it is the one
// that lacks it. Collective over every rank.
bool teams_start_everywhere(std::int32_t low, std::int32_t high, int rank) {
  const std::int64_t team = friendly::team_size();
  std::string limit;
  const std::int64_t most =
      friendly::team_limit(team, friendly::rank_search_bytes(low, high), limit);
  int refused = team > most ? 1 : 0;
  const int own = refused;
  MPI_Allreduce(MPI_IN_PLACE, &refused, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (refused == 0) return true;
  if (rank == 0) {
    complain(own != 0 ? friendly::team_too_large(team, most, limit)
                      : "cannot start a team of " + std::to_string(team) +
                            " threads on every rank: another rank's limits do not allow it");
  }
  return false;
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
  friendly::KernelPath path = friendly::KernelPath::literal;
  if (!paths_chosen_everywhere(path, rank)) return friendly::kExitUsage;
  if (!range_fits_nodes(low, high, options.validate, rank) ||
      !teams_start_everywhere(low, high, rank))
    return friendly::kExitFailure;

  // The time runs from all ranks' start to the end of rank 0's output.
  friendly::RunReport run = friendly::run_report(kMpiProgramName, path, ranks, low, high);
  MPI_Barrier(MPI_COMM_WORLD);
  const double start = omp_get_wtime();
  const friendly::RankSearch end =
      friendly::search_ranks(low, high, path, MPI_COMM_WORLD, stdout, nullptr, &run.search);
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

  // MPI's default error handler ends the whole job on any failed call, so no call's result is
  // looked at.
  int provided = MPI_THREAD_SINGLE;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  int rank = 0;
  int ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  if (rank == 0) friendly::take_job_output();

  // Only a rank's main thread calls MPI, also inside the search's region, between the phases.
  int status = friendly::kExitFailure;
  if (provided >= MPI_THREAD_FUNNELED) {
    status = run(argc, argv, rank, ranks);
  } else if (rank == 0) {
    complain("the MPI library does not support threads (MPI_THREAD_FUNNELED)");
  }

  // Every rank ends with the worst status of any.
  MPI_Allreduce(MPI_IN_PLACE, &status, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  MPI_Finalize();
  return status;
}
