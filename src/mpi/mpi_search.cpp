#include "mpi/mpi_search.hpp"

#include <omp.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <numeric>
#include <string_view>
#include <type_traits>
#include <vector>

#include "paths/cache_sizes.hpp"
#include "search/friendly.hpp"
#include "search/progress.hpp"
#include "support/contract.hpp"

namespace friendly {

namespace {

// Bytes of pair lines that each rank hands to rank 0 in one round, at most: small, so that rank
// 0's buffer for a round stays small however many ranks there are.
constexpr int kPieceBytes = 4096;

// Number of chunks of the ratio phase that cover length numbers, the last one possibly short.
constexpr std::int64_t whole_chunks(std::int64_t length) noexcept {
  return (length + kRatioChunk - 1) / kRatioChunk;
}

// MPI's type of one array element.
template <typename T>
MPI_Datatype element_type() noexcept {
  static_assert(std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>);
  return std::is_same_v<T, std::int32_t> ? MPI_INT32_T : MPI_INT64_T;
}

// Stores the seconds since `since` in *into (when into is not null) and restarts `since`.
void lap(double& since, double* into) noexcept {
  const double now = omp_get_wtime();
  if (into != nullptr) *into = now - since;
  since = now;
}

// Gives every rank of comm the chunks of array that the other ranks computed. The array holds
// `chunks` whole chunks of kRatioChunk elements, and chunk c is in place on rank c mod ranks.
// Each rank's chunks are received straight into place as one element of a strided type, so
// that MPI's int counts stay 1 however long the range is.
template <typename T>
void exchange_chunks(T* array, std::int64_t chunks, int ranks, MPI_Comm comm) {
  const auto count = static_cast<std::size_t>(ranks);
  std::vector<int> counts(count, 1);
  std::vector<int> firsts(count);  // each rank's first chunk, in the types' extent of one chunk
  std::iota(firsts.begin(), firsts.end(), 0);
  const MPI_Datatype element = element_type<T>();
  const auto chunk_bytes = static_cast<MPI_Aint>(kRatioChunk * sizeof(T));

  // Every full round of one chunk per rank: rank r's chunks r, r + ranks, ... at once.
  const std::int64_t rounds = chunks / ranks;
  if (rounds > 0) {
    MPI_Datatype strided = MPI_DATATYPE_NULL;
    MPI_Datatype own_chunks = MPI_DATATYPE_NULL;
    // A 32-bit range has at most 2^28 chunks, so rounds fits an int.
    MPI_Type_vector(static_cast<int>(rounds), kRatioChunk, kRatioChunk * ranks, element, &strided);
    MPI_Type_create_resized(strided, 0, chunk_bytes, &own_chunks);
    MPI_Type_commit(&own_chunks);
    MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, array, counts.data(), firsts.data(),
                   own_chunks, comm);
    MPI_Type_free(&own_chunks);
    MPI_Type_free(&strided);
  }

  // The last, partial round: one chunk from each of the first `rest` ranks.
  const auto rest = static_cast<std::size_t>(chunks % ranks);
  if (rest > 0) {
    MPI_Datatype chunk = MPI_DATATYPE_NULL;
    MPI_Type_contiguous(kRatioChunk, element, &chunk);
    MPI_Type_commit(&chunk);
    for (std::size_t r = 0; r < count; ++r)
      counts[r] = r < rest ? 1 : 0;
    MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, array + rounds * ranks * kRatioChunk,
                   counts.data(), firsts.data(), chunk, comm);
    MPI_Type_free(&chunk);
  }
}

// Length of the next piece of text (size bytes of whole lines) to hand over: at most limit
// bytes, ending after the last line that fits, so that no piece splits a line.
int piece_length(const char* text, std::size_t size, int limit) noexcept {
  const auto most = static_cast<std::size_t>(limit);
  if (size <= most) return static_cast<int>(size);
  const std::size_t last_newline = std::string_view(text, most).rfind('\n');
  return last_newline == std::string_view::npos ? limit : static_cast<int>(last_newline + 1);
}

// Hands every rank's text (size bytes of whole lines) to rank 0, which writes it on out, in
// rounds of at most piece_limit bytes from each rank, the round's pieces one after the other in
// `round` (rank 0's, of piece_limit * ranks bytes). Returns false on every rank once out has an
// error: the lines not yet written are dropped.
bool gather_lines(const char* text, std::size_t size, char* round, int piece_limit, int rank,
                  int ranks, MPI_Comm comm, std::FILE* out) {
  std::vector<int> sizes(static_cast<std::size_t>(ranks));
  std::vector<int> starts(sizes.size());
  std::size_t sent = 0;
  for (;;) {
    // Another round while some rank has lines left and rank 0's stream has no error.
    int state[2] = {sent < size ? 1 : 0, rank == 0 && std::ferror(out) != 0 ? 1 : 0};
    MPI_Allreduce(MPI_IN_PLACE, state, 2, MPI_INT, MPI_MAX, comm);
    if (state[1] != 0) return false;
    if (state[0] == 0) return true;

    const int piece = piece_length(text + sent, size - sent, piece_limit);
    MPI_Gather(&piece, 1, MPI_INT, sizes.data(), 1, MPI_INT, 0, comm);
    std::exclusive_scan(sizes.begin(), sizes.end(), starts.begin(), 0);
    MPI_Gatherv(text + sent, piece, MPI_CHAR, round, sizes.data(), starts.data(), MPI_CHAR, 0,
                comm);
    if (rank == 0) {
      const auto bytes =
          static_cast<std::size_t>(starts.back()) + static_cast<std::size_t>(sizes.back());
      std::fwrite(round, 1, bytes, out);
    }
    sent += static_cast<std::size_t>(piece);
  }
}

}  // namespace

std::int64_t rank_search_bytes(std::int32_t low, std::int32_t high) noexcept {
  const std::int64_t length = range_length(low, high);
  if (length <= 0) return 0;
  return search_bytes(low, high) / length * whole_chunks(length) * kRatioChunk;
}

namespace {

// search_ranks on the path Path.
template <KernelPath Path, typename Ratio>
RankSearch search_ranks_on(std::int32_t low, std::int32_t high, MPI_Comm comm, std::FILE* out,
                           RankTimes* times, SearchReport* report) noexcept {
  int rank = 0;
  int ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  const std::int64_t length = range_length(low, high);
  FRIENDLY_ASSERT(length >= 0 && path_available(Path));
  const std::int64_t chunks = whole_chunks(length);
  const std::int64_t padded = chunks * kRatioChunk;

  // The whole arrays on every rank, padded to whole chunks for the exchange, and on rank 0 the
  // buffer of one round of lines; the search goes on only where every rank has them all.
  std::unique_ptr<std::int32_t[]> values = allocate_array<std::int32_t>(padded);
  std::unique_ptr<Ratio[]> numerators = allocate_array<Ratio>(padded);
  std::unique_ptr<Ratio[]> denominators = allocate_array<Ratio>(padded);
  const int piece_limit = std::min(kPieceBytes, INT_MAX / ranks);
  std::unique_ptr<char[]> round;
  if (rank == 0) round = allocate_array<char>(std::int64_t{piece_limit} * ranks);
  int allocated = values && numerators && denominators && (rank != 0 || round) ? 1 : 0;
  MPI_Allreduce(MPI_IN_PLACE, &allocated, 1, MPI_INT, MPI_MIN, comm);
  if (allocated == 0) return RankSearch::out_of_memory;

  std::int32_t* const value = values.get();
  Ratio* const numerator = numerators.get();
  Ratio* const denominator = denominators.get();
  // The padding past the range is exchanged with the last chunk: give it defined contents.
  std::fill(value + length, value + padded, 0);
  std::fill(numerator + length, numerator + padded, 0);
  std::fill(denominator + length, denominator + padded, 0);

  // Ratio phase: this rank's chunks on its threads. MPI is called only outside the parallel
  // regions, from the main thread, so each phase has a region of its own. Rank 0's thread 0
  // draws the progress meter from rank 0's share, when it is wanted.
  const PairTiling tiling = pair_tiling(core_caches());
  double since = omp_get_wtime();
  const double start = since;
  ProgressMeter meter = start_progress(stderr, start);
  ProgressMeter* const shown = rank == 0 && progress_wanted(out) ? &meter : nullptr;
  std::int64_t tests = 0;
  int threads = 0;
#pragma omp parallel default(none) shared(low, length, value, numerator, denominator, rank, \
                                              ranks, threads, shown) reduction(+ : tests)
  {
    tests += ratio_phase<Path>(low, length, value, numerator, denominator, rank, ranks, shown);
    if (omp_get_thread_num() == 0) threads = omp_get_num_threads();
  }
  const double ratio_end = omp_get_wtime();
  lap(since, times != nullptr ? &times->ratio : nullptr);

  // Every rank's ratios to every rank.
  exchange_chunks(value, chunks, ranks, comm);
  exchange_chunks(numerator, chunks, ranks, comm);
  exchange_chunks(denominator, chunks, ranks, comm);
  lap(since, times != nullptr ? &times->exchange : nullptr);

  // Pair phase: this rank's blocks of rows on its threads, the lines into a buffer. A failed
  // write (out of memory) shows in the buffer's error flag.
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* lines = open_memstream(&text, &size);
  std::int64_t pairs = 0;
  std::uint64_t checksum = 0;
  const double pair_start = omp_get_wtime();
  if (lines != nullptr) {
#pragma omp parallel default(none) shared(length, value, numerator, denominator, rank, ranks, \
                                              lines, tiling, shown) reduction(+ : pairs, checksum)
    {
      PairTally tally;
      static_cast<void>(pair_phase<Path>(length, value, numerator, denominator, rank, ranks, lines,
                                         tally, tiling, shown));
      pairs += tally.pairs;
      checksum += tally.checksum;
    }
  }
  const double pair_end = omp_get_wtime();
  if (shown != nullptr) end_progress(meter);
  int lost = lines == nullptr || std::ferror(lines) != 0 ? 1 : 0;
  if (lines != nullptr && std::fclose(lines) != 0) lost = 1;
  const auto release = [](char* buffer) { std::free(buffer); };
  const std::unique_ptr<char, decltype(release)> owned_text(text, release);
  values.reset();
  numerators.reset();
  denominators.reset();
  lap(since, times != nullptr ? &times->pairs : nullptr);

  // Every rank's lines to rank 0's stream, unless some rank lost some.
  MPI_Allreduce(MPI_IN_PLACE, &lost, 1, MPI_INT, MPI_MAX, comm);
  if (lost != 0) return RankSearch::lines_lost;
  const bool written = gather_lines(text, size, round.get(), piece_limit, rank, ranks, comm, out);
  lap(since, times != nullptr ? &times->output : nullptr);

  // The whole search's work and answer on rank 0: every rank's counts summed; each phase's time
  // is rank 0's own.
  std::int64_t counts[2] = {tests, pairs};
  MPI_Reduce(rank == 0 ? MPI_IN_PLACE : counts, counts, 2, MPI_INT64_T, MPI_SUM, 0, comm);
  MPI_Reduce(rank == 0 ? MPI_IN_PLACE : &checksum, &checksum, 1, MPI_UINT64_T, MPI_SUM, 0, comm);
  if (report != nullptr) {
    *report = {threads, ratio_end - start, pair_end - pair_start, counts[0], counts[1], checksum};
  }
  return written ? RankSearch::done : RankSearch::write_failed;
}

}  // namespace

template <typename Ratio>
RankSearch search_ranks(std::int32_t low, std::int32_t high, KernelPath path, MPI_Comm comm,
                        std::FILE* out, RankTimes* times, SearchReport* report) noexcept {
  return on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return search_ranks_on<Path, Ratio>(low, high, comm, out, times, report);
  });
}

template RankSearch search_ranks<std::int32_t>(std::int32_t, std::int32_t, KernelPath, MPI_Comm,
                                               std::FILE*, RankTimes*, SearchReport*) noexcept;
template RankSearch search_ranks<std::int64_t>(std::int32_t, std::int32_t, KernelPath, MPI_Comm,
                                               std::FILE*, RankTimes*, SearchReport*) noexcept;

RankSearch search_ranks(std::int32_t low, std::int32_t high, KernelPath path, MPI_Comm comm,
                        std::FILE* out, RankTimes* times, SearchReport* report) noexcept {
  return needs_wide_ratios(low, high)
             ? search_ranks<std::int64_t>(low, high, path, comm, out, times, report)
             : search_ranks<std::int32_t>(low, high, path, comm, out, times, report);
}

}  // namespace friendly
