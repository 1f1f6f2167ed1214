// mpirun -n RANKS mpi_phase_times LOW HIGH [RUNS]: times each step of the search over the ranks
// on every rank, RUNS times (default 5), and prints the median of each rank's steps as a Markdown
// table, with the busiest rank's excess over the average in each phase. Lines go to /dev/null.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.hpp"
#include "mpi/mpi_job.hpp"
#include "mpi/mpi_search.hpp"
#include "search/friendly.hpp"

namespace {

constexpr int kSteps = 4;

// Median of the values (their count must be positive).
double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Percent by which the largest of the values exceeds their mean.
double excess_percent(const std::vector<double>& values) {
  double sum = 0;
  for (const double value : values)
    sum += value;
  const double mean = sum / static_cast<double>(values.size());
  return mean > 0 ? (*std::max_element(values.begin(), values.end()) / mean - 1) * 100 : 0;
}

// Prints the table of the medians of times[run][rank][step] on standard output.
void print_table(const std::vector<std::vector<std::vector<double>>>& times, int ranks) {
  std::printf("| rank | ratio phase | exchange | pair phase | lines to rank 0 | total |\n");
  std::printf("|---|---|---|---|---|---|\n");
  std::vector<std::vector<double>> medians(kSteps);
  for (int r = 0; r < ranks; ++r) {
    const auto rank = static_cast<std::size_t>(r);
    std::printf("| %d |", r);
    double total = 0;
    for (std::size_t step = 0; step < kSteps; ++step) {
      std::vector<double> runs;
      runs.reserve(times.size());
      for (const auto& run : times)
        runs.push_back(run[rank][step]);
      medians[step].push_back(median(runs));
      total += medians[step].back();
      std::printf(" %.4f s |", medians[step].back());
    }
    std::printf(" %.4f s |\n", total);
  }
  std::printf("| busiest over average | %.1f %% | | %.1f %% | | |\n", excess_percent(medians[0]),
              excess_percent(medians[2]));
}

}  // namespace

int main(int argc, char** argv) {
  const friendly::MpiJob job = friendly::start_mpi_job(argc, argv);
  const int rank = job.rank;
  const int ranks = job.ranks;

  std::int32_t low = 0;
  std::int32_t high = 0;
  std::int32_t runs = 5;
  const bool valid =
      job.funneled && (argc == 3 || argc == 4) &&
      friendly::parse_bound(argv[1], low) == friendly::BoundError::none &&
      friendly::parse_bound(argv[2], high) == friendly::BoundError::none &&
      friendly::range_length(low, high) >= 0 &&
      (argc == 3 || friendly::parse_bound(argv[3], runs) == friendly::BoundError::none) && runs > 0;
  if (!valid) {
    if (rank == 0) std::fprintf(stderr, "usage: mpirun -n RANKS mpi_phase_times LOW HIGH [RUNS]\n");
    MPI_Finalize();
    return 2;
  }

  // Each run from a common start; every rank's times to rank 0.
  std::FILE* sink = rank == 0 ? std::fopen("/dev/null", "w") : nullptr;
  std::vector<std::vector<std::vector<double>>> times;
  int failed = 0;
  for (std::int32_t run = 0; run < runs; ++run) {
    friendly::RankTimes own;
    MPI_Barrier(MPI_COMM_WORLD);
    if (friendly::search_ranks(low, high, friendly::fastest_path(), MPI_COMM_WORLD, sink, &own) !=
        friendly::RankSearch::done) {
      failed = 1;
      break;
    }
    const double steps[kSteps] = {own.ratio, own.exchange, own.pairs, own.output};
    std::vector<double> all(static_cast<std::size_t>(ranks) * kSteps);
    MPI_Gather(steps, kSteps, MPI_DOUBLE, all.data(), kSteps, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    auto& per_rank = times.emplace_back();
    for (std::size_t r = 0; r < static_cast<std::size_t>(ranks); ++r)
      per_rank.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(r * kSteps),
                            all.begin() + static_cast<std::ptrdiff_t>((r + 1) * kSteps));
  }
  if (sink != nullptr) std::fclose(sink);

  if (rank == 0) {
    if (failed != 0) {
      std::fprintf(stderr, "mpi_phase_times: the search failed\n");
    } else {
      std::printf("%d..%d, ranks x threads: %d x %d, median of %d runs\n\n", low, high, ranks,
                  omp_get_max_threads(), runs);
      print_table(times, ranks);
    }
  }
  MPI_Finalize();
  return failed;
}
