// mpirun -n RANKS friendlyNumbers_mpi LOW HIGH: the search of friendlyNumbers shared out over MPI
// ranks, each with its own OpenMP threads. Rank 0 checks, reports and writes every line.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "friendly.hpp"
#include "limits.hpp"
#include "mpi_search.hpp"
#include "report.hpp"
#include "validate.hpp"

namespace {

constexpr const char* kMpiProgramName = "friendlyNumbers_mpi";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Writes "friendlyNumbers_mpi: message" as one line on standard error.
void complain(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kMpiProgramName, message.c_str());
}

// Flushes standard output; on any write error of the run, reports it and returns false.
bool finish_output() {
  const std::string error = friendly::write_error(stdout, "standard output");
  if (error.empty()) return true;
  complain(error);
  return false;
}

// The usage text, ending in a newline.
std::string usage_text() {
  return std::string("usage: [mpirun -n RANKS] ") + kMpiProgramName +
         " [--report[=json]] [--validate] LOW HIGH\n"
         "Prints every pair of numbers from LOW to HIGH (inclusive, 32-bit integers) whose\n"
         "divisor sum over the number is the same fraction, then the search's wall-clock time,\n"
         "sharing the work among the MPI ranks. Threads per rank: OMP_NUM_THREADS.\n"
         "Options: --report[=json], --validate (as friendlyNumbers, on rank 0); -h, --help\n"
         "(this text); --version. Kernels: FRIENDLY_KERNELS, read by each rank.\n";
}

// A refusal of read_command_line as this program words it: a missing bound's message shows the
// default program's usage, and this program names itself there instead.
std::string refusal(std::string error) {
  const std::string theirs = std::string("usage: ") + friendly::kProgramName + " ";
  const std::size_t at = error.find(theirs);
  if (at != std::string::npos) {
    error.replace(at, theirs.size(), std::string("usage: ") + kMpiProgramName + " ");
  }
  return error;
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

// The path that this rank's FRIENDLY_KERNELS chooses into path, where every rank can run its
// own choice; otherwise rank 0 reports the refusal. Collective over every rank.
bool paths_chosen_everywhere(friendly::KernelPath& path, int rank) {
  std::string error;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  const char* value = std::getenv(friendly::kPathVariable);
  int refused = friendly::read_path_choice(value, path, error) ? 0 : 1;
  const int own = refused;
  MPI_Allreduce(MPI_IN_PLACE, &refused, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  if (refused == 0) return true;
  if (rank == 0) {
    complain(own != 0 ? error
                      : std::string(friendly::kPathVariable) +
                            " names a path that another rank's processor cannot run");
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
  const std::int64_t search_bytes = friendly::rank_search_bytes(low, high);
  const std::int64_t bytes =
      validate ? std::max(search_bytes, friendly::validation_bytes(low, high)) : search_bytes;
  if (bytes <= per_rank) return true;
  if (rank == 0) {
    complain("range too large: " + std::to_string(friendly::range_length(low, high)) +
             " numbers need " + std::to_string(bytes) + " bytes on each rank, more than the " +
             std::to_string(per_rank) + " bytes per rank that " + limit + " allows");
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
    complain("cannot start a team of " + std::to_string(team) + " threads" +
             (own != 0
                  ? ": more than the " + std::to_string(most) + " threads that " + limit + " allows"
                  : " on every rank: another rank's limits do not allow it"));
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
  switch (friendly::read_command_line(static_cast<int>(words.size()), words.data(), low, high,
                                      options, error)) {
    case friendly::Command::help:
      if (rank != 0) return 0;
      std::fputs(usage_text().c_str(), stdout);
      return finish_output() ? 0 : kExitFailure;
    case friendly::Command::version:
      if (rank != 0) return 0;
      std::printf("%s %s\n", kMpiProgramName, FRIENDLY_VERSION);
      return finish_output() ? 0 : kExitFailure;
    case friendly::Command::refused:
      if (rank == 0) complain(refusal(error));
      return kExitUsage;
    case friendly::Command::search:
      break;
  }
  friendly::KernelPath path = friendly::KernelPath::literal;
  if (!paths_chosen_everywhere(path, rank)) return kExitUsage;
  if (!range_fits_nodes(low, high, options.validate, rank) ||
      !teams_start_everywhere(low, high, rank))
    return kExitFailure;

  // The time runs from all ranks' start to the end of rank 0's output.
  friendly::RunReport run;
  run.program = kMpiProgramName;
  run.version = FRIENDLY_VERSION;
  run.path = path;
  run.ranks = ranks;
  run.low = low;
  run.high = high;
  MPI_Barrier(MPI_COMM_WORLD);
  const double start = omp_get_wtime();
  const friendly::RankSearch end =
      friendly::search_ranks(low, high, path, MPI_COMM_WORLD, stdout, nullptr, &run.search);
  const double stop = omp_get_wtime();
  if (rank != 0) return end == friendly::RankSearch::done ? 0 : kExitFailure;

  switch (end) {
    case friendly::RankSearch::out_of_memory:
      complain("out of memory: " + std::to_string(friendly::range_length(low, high)) +
               " numbers need " + std::to_string(friendly::rank_search_bytes(low, high)) +
               " bytes on each rank");
      return kExitFailure;
    case friendly::RankSearch::lines_lost:
      complain("out of memory for the pair lines of a rank");
      return kExitFailure;
    case friendly::RankSearch::write_failed:
    case friendly::RankSearch::done:
      break;
  }
  run.seconds = stop - start;
  std::printf(friendly::kTimeFormat, run.seconds);
  if (!finish_output()) return kExitFailure;

  // The independent check, on rank 0, outside the timed search.
  if (options.validate) {
    friendly::Answer expected;
    if (!friendly::validate_range(low, high, expected)) {
      complain("out of memory for the validation");
      return kExitFailure;
    }
    const std::string mismatch =
        friendly::answer_mismatch({run.search.pairs, run.search.checksum}, expected);
    run.validation = mismatch.empty() ? friendly::Validation::passed : friendly::Validation::failed;
    if (!mismatch.empty()) complain(mismatch);
  }
  if (options.report != friendly::ReportFormat::none) {
    std::fputs(friendly::format_report(run, options.report).c_str(), stderr);
  }
  return run.validation == friendly::Validation::failed ? kExitFailure : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A write past the file-size limit (ulimit -f) fails and is reported instead of killing the
  // process in the middle of a line.
  std::signal(SIGXFSZ, SIG_IGN);

  // MPI's default error handler ends the whole job on any failed call, so no call's result is
  // looked at.
  int provided = MPI_THREAD_SINGLE;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  int rank = 0;
  int ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);

  // The threads of a rank never call MPI, but its main thread calls it between their regions.
  int status = kExitFailure;
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
