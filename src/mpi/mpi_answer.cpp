#include "mpi/mpi_answer.hpp"

#include <omp.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

#include "search/friendly.hpp"
#include "search/progress.hpp"

namespace friendly {

namespace {

// Entries that one rank keeps in one pass, at most: MPI's int counts and offsets stay in range.
constexpr std::int64_t kMostRankEntries = std::int64_t{1} << 29;

// The first bin of each rank's part of pass, and the pass's end: parts of about equal entries by
// the totals of every rank.
std::vector<std::int64_t> split_pass(SievePass pass, const std::int64_t* totals, int ranks) {
  const std::int64_t all =
      std::accumulate(totals + pass.first_bin, totals + pass.end_bin, std::int64_t{0});
  std::vector<std::int64_t> firsts(static_cast<std::size_t>(ranks) + 1, pass.end_bin);
  std::int64_t bin = pass.first_bin;
  std::int64_t held = 0;
  for (int r = 0; r < ranks; ++r) {
    firsts[static_cast<std::size_t>(r)] = bin;
    const std::int64_t goal = all * (r + 1) / ranks;
    while (bin < pass.end_bin && held + totals[bin] <= goal)
      held += totals[bin++];
  }
  return firsts;
}

// One pass over the ranks: this rank's entries of the pass's bins (counts from count_bins, own
// the rank's totals per bin) to the ranks that own them, and the pairs of this rank's own bins
// into pairs. False on every rank when some rank lacks memory.
bool exchange_and_match(const SieveLayout& layout, SievePass pass, const std::uint32_t* counts,
                        const std::int64_t* own, const std::int64_t* totals, int rank, int ranks,
                        MPI_Comm comm, MPI_Datatype entry_type, std::vector<std::uint64_t>& pairs,
                        SieveProgress progress) {
  const auto parts = static_cast<std::size_t>(ranks);
  const std::vector<std::int64_t> firsts = split_pass(pass, totals, ranks);
  const std::int64_t kept = pass.end_bin - pass.first_bin;
  const std::int64_t mine =
      firsts[static_cast<std::size_t>(rank) + 1] - firsts[static_cast<std::size_t>(rank)];
  std::vector<int> send_counts(parts);
  std::vector<int> send_starts(parts);
  std::vector<int> bin_counts(parts);
  std::vector<int> bin_starts(parts);
  for (std::size_t r = 0; r < parts; ++r) {
    send_counts[r] =
        static_cast<int>(std::accumulate(own + firsts[r], own + firsts[r + 1], std::int64_t{0}));
    bin_counts[r] = static_cast<int>(firsts[r + 1] - firsts[r]);
    bin_starts[r] = static_cast<int>(firsts[r] - pass.first_bin);
  }
  std::exclusive_scan(send_counts.begin(), send_counts.end(), send_starts.begin(), 0);
  const std::int64_t local = std::int64_t{send_starts.back()} + send_counts.back();

  // Each rank's sizes of this rank's bins, source by source.
  std::vector<std::int64_t> sizes(parts * static_cast<std::size_t>(mine));
  std::vector<int> size_counts(parts, static_cast<int>(mine));
  std::vector<int> size_starts(parts);
  std::exclusive_scan(size_counts.begin(), size_counts.end(), size_starts.begin(), 0);
  MPI_Alltoallv(own + pass.first_bin, bin_counts.data(), bin_starts.data(), MPI_INT64_T,
                sizes.data(), size_counts.data(), size_starts.data(), MPI_INT64_T, comm);
  std::vector<int> receive_counts(parts);
  std::vector<int> receive_starts(parts);
  std::vector<std::int64_t> starts(sizes.size());
  std::int64_t at = 0;
  for (std::size_t s = 0; s < parts; ++s) {
    receive_starts[s] = static_cast<int>(at);
    for (std::int64_t b = 0; b < mine; ++b) {
      const std::size_t piece = s * static_cast<std::size_t>(mine) + static_cast<std::size_t>(b);
      starts[piece] = at;
      at += sizes[piece];
    }
    receive_counts[s] = static_cast<int>(at - receive_starts[s]);
  }

  // The pass's entries, sent by bin and received source by source.
  std::unique_ptr<std::int64_t[]> offsets = allocate_array<std::int64_t>(layout.workers * kept);
  std::unique_ptr<SieveEntry[]> entries = allocate_array<SieveEntry>(local);
  std::unique_ptr<SieveEntry[]> received = allocate_array<SieveEntry>(at);
  int failed = offsets && entries && received ? 0 : 1;
  if (failed == 0 &&
      !fill_pass(layout, rank, ranks, pass, counts, offsets.get(), entries.get(), progress)) {
    failed = 1;
  }
  MPI_Allreduce(MPI_IN_PLACE, &failed, 1, MPI_INT, MPI_MAX, comm);
  if (failed != 0) return false;
  offsets.reset();
  MPI_Alltoallv(entries.get(), send_counts.data(), send_starts.data(), entry_type, received.get(),
                receive_counts.data(), receive_starts.data(), entry_type, comm);
  entries.reset();
  failed =
      match_bins(received.get(), starts.data(), sizes.data(), ranks, mine, pairs, progress) ? 0 : 1;
  MPI_Allreduce(MPI_IN_PLACE, &failed, 1, MPI_INT, MPI_MAX, comm);
  return failed == 0;
}

}  // namespace

RankSearch answer_ranks(std::int32_t low, std::int32_t high, std::int64_t budget, MPI_Comm comm,
                        std::FILE* out, SieveReport* report) noexcept {
  int rank = 0;
  int ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  const double start = omp_get_wtime();
  const SieveLayout layout = sieve_layout(low, high, omp_get_max_threads());
  const std::int64_t bins = layout.bins();
  std::FILE* const terminal = rank == 0 && progress_wanted(out) ? stderr : nullptr;
  ProgressMeter meter = start_progress(terminal, start);
  ProgressMeter* const shown = terminal != nullptr ? &meter : nullptr;

  // This rank's entries counted by bin, every rank's totals, and the passes from them, the same
  // on every rank.
  const std::unique_ptr<std::uint32_t[]> counts =
      allocate_array<std::uint32_t>(layout.workers * bins);
  const std::unique_ptr<std::int64_t[]> own = allocate_array<std::int64_t>(bins);
  const std::unique_ptr<std::int64_t[]> totals = allocate_array<std::int64_t>(bins);
  int failed = counts && own && totals ? 0 : 1;
  if (failed == 0 && !count_bins(layout, rank, ranks, counts.get(), {shown, "sieve: counting"}))
    failed = 1;
  MPI_Allreduce(MPI_IN_PLACE, &failed, 1, MPI_INT, MPI_MAX, comm);
  if (failed != 0) return RankSearch::out_of_memory;
  std::int64_t* const own_total = own.get();
  std::fill(own_total, own_total + bins, 0);
  for (int worker = 0; worker < layout.workers; ++worker) {
    for (std::int64_t b = 0; b < bins; ++b)
      own_total[b] += counts.get()[worker * bins + b];
  }
  MPI_Allreduce(own_total, totals.get(), static_cast<int>(bins), MPI_INT64_T, MPI_SUM, comm);
  // Each rank keeps its share of a pass twice over: the entries it sends and those it receives.
  std::int64_t capacity = std::min(pass_capacity(layout, budget, 2), kMostRankEntries) * ranks;
  MPI_Allreduce(MPI_IN_PLACE, &capacity, 1, MPI_INT64_T, MPI_MIN, comm);

  MPI_Datatype entry_type = MPI_DATATYPE_NULL;
  MPI_Type_contiguous(3, MPI_UINT32_T, &entry_type);
  MPI_Type_commit(&entry_type);
  std::vector<std::uint64_t> pairs;
  std::vector<SievePass> passes;
  bool answered = true;
  try {
    passes = plan_passes(totals.get(), bins, capacity);
    char phase[64];
    for (std::size_t p = 0; answered && p < passes.size(); ++p) {
      std::snprintf(phase, sizeof phase, "pass %zu of %zu", p + 1, passes.size());
      answered = exchange_and_match(layout, passes[p], counts.get(), own_total, totals.get(), rank,
                                    ranks, comm, entry_type, pairs, {shown, phase});
    }
  } catch (const std::bad_alloc&) {
    // The plan's vectors are small: a rank that cannot allocate them ends here, and the job with
    // it at the next collective call.
    answered = false;
  }
  MPI_Type_free(&entry_type);
  if (shown != nullptr) end_progress(meter);
  if (!answered) return RankSearch::out_of_memory;

  // Every rank's pairs to rank 0, which prints them in order.
  int count = static_cast<int>(pairs.size());
  std::vector<int> pair_counts(rank == 0 ? static_cast<std::size_t>(ranks) : 0);
  MPI_Gather(&count, 1, MPI_INT, pair_counts.data(), 1, MPI_INT, 0, comm);
  std::vector<int> pair_starts(pair_counts.size());
  std::exclusive_scan(pair_counts.begin(), pair_counts.end(), pair_starts.begin(), 0);
  std::vector<std::uint64_t> all;
  int lost = 0;
  try {
    if (rank == 0)
      all.resize(static_cast<std::size_t>(pair_starts.back()) +
                 static_cast<std::size_t>(pair_counts.back()));
  } catch (const std::bad_alloc&) {
    lost = 1;
  }
  MPI_Bcast(&lost, 1, MPI_INT, 0, comm);
  if (lost != 0) return RankSearch::lines_lost;
  MPI_Gatherv(pairs.data(), count, MPI_UINT64_T, all.data(), pair_counts.data(), pair_starts.data(),
              MPI_UINT64_T, 0, comm);
  SieveReport done;
  done.threads = omp_get_max_threads();
  done.passes = static_cast<int>(passes.size());
  int written = 1;
  if (rank == 0) {
    const double printing = omp_get_wtime();
    written = print_pairs_in_order(out, all, done.answer) ? 1 : 0;
    done.sieve_seconds = printing - start;
    done.match_seconds = omp_get_wtime() - printing;
  }
  MPI_Bcast(&written, 1, MPI_INT, 0, comm);
  if (report != nullptr) *report = done;
  return written != 0 ? RankSearch::done : RankSearch::write_failed;
}

}  // namespace friendly
