#include "mpi/mpi_search.hpp"

#include <fcntl.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "search/friendly.hpp"
#include "search/progress.hpp"

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

// search_ranks with ratio elements of type Ratio.
template <typename Ratio>
RankSearch search_ranks_on(std::int32_t low, std::int32_t high, KernelPath path, MPI_Comm comm,
                           std::FILE* out, RankTimes* times, SearchReport* report) noexcept {
  int rank = 0;
  int ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  const std::int64_t length = range_length(low, high);
  const std::int64_t chunks = whole_chunks(length);

  // The whole arrays on every rank, padded to whole chunks for the exchange, the buffer of its
  // lines (a failed write, out of memory, shows in its error flag), and on rank 0 the buffer of
  // one round of lines; the search goes on only where every rank has them all.
  SearchArrays<Ratio> arrays = allocate_search_arrays<Ratio>(length, chunks * kRatioChunk);
  const int piece_limit = std::min(kPieceBytes, INT_MAX / ranks);
  const std::unique_ptr<char[]> round =
      rank == 0 ? allocate_array<char>(std::int64_t{piece_limit} * ranks) : nullptr;
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* const lines = open_memstream(&text, &size);
  int failed[2] = {arrays && (rank != 0 || round) ? 0 : 1, lines == nullptr ? 1 : 0};
  MPI_Allreduce(MPI_IN_PLACE, failed, 2, MPI_INT, MPI_MAX, comm);
  if (failed[0] != 0 || failed[1] != 0) {
    if (lines != nullptr) std::fclose(lines);
    std::free(text);
    return failed[0] != 0 ? RankSearch::out_of_memory : RankSearch::lines_lost;
  }

  // Every rank's ratios to every rank between the phases, from the main thread, thread 0 of the
  // region; rank 0's thread 0 draws the progress meter from rank 0's share, where wanted.
  RankTimes spent;
  const auto exchange = [&] {
    const double begin = omp_get_wtime();
    exchange_chunks(arrays.values.get(), chunks, ranks, comm);
    exchange_chunks(arrays.numerators.get(), chunks, ranks, comm);
    exchange_chunks(arrays.denominators.get(), chunks, ranks, comm);
    spent.exchange = omp_get_wtime() - begin;
  };
  std::FILE* const progress = rank == 0 && progress_wanted(out) ? stderr : nullptr;
  SearchReport done = on_path(path, [&](auto chosen) {
    constexpr KernelPath Path = chosen;
    return search_share<Path>(low, length, arrays, rank, ranks, lines, progress, exchange);
  });
  int lost = std::ferror(lines) != 0 ? 1 : 0;
  if (std::fclose(lines) != 0) lost = 1;
  const auto release = [](char* buffer) { std::free(buffer); };
  const std::unique_ptr<char, decltype(release)> owned_text(text, release);
  arrays = {};

  // Every rank's lines to rank 0's stream, unless some rank lost some.
  MPI_Allreduce(MPI_IN_PLACE, &lost, 1, MPI_INT, MPI_MAX, comm);
  if (lost != 0) return RankSearch::lines_lost;
  const double gather = omp_get_wtime();
  const bool written = gather_lines(text, size, round.get(), piece_limit, rank, ranks, comm, out);
  spent.output = omp_get_wtime() - gather;
  if (times != nullptr)
    *times = {done.ratio_seconds, spent.exchange, done.pair_seconds, spent.output};

  // The whole search's work and answer on rank 0: every rank's counts summed; each phase's time
  // is rank 0's own.
  std::int64_t counts[2] = {done.candidate_tests, done.answer.pairs};
  std::uint64_t* const checksum = &done.answer.checksum;
  MPI_Reduce(rank == 0 ? MPI_IN_PLACE : counts, counts, 2, MPI_INT64_T, MPI_SUM, 0, comm);
  MPI_Reduce(rank == 0 ? MPI_IN_PLACE : checksum, checksum, 1, MPI_UINT64_T, MPI_SUM, 0, comm);
  done.candidate_tests = counts[0];
  done.answer.pairs = counts[1];
  if (report != nullptr) *report = done;
  return written ? RankSearch::done : RankSearch::write_failed;
}

}  // namespace

void take_job_output() noexcept {
  // A process that mpirun started itself has one address for the job's launcher and its machine's
  // daemon: its parent is mpirun, or a wrapper on mpirun's terminal (left alone, as are files and
  // sockets). Output that mpirun is to tag, time-stamp, mark up or file stays with mpirun.
  // NOLINTBEGIN(concurrency-mt-unsafe): read before any thread starts.
  const char* launcher = std::getenv("OMPI_MCA_orte_hnp_uri");
  const char* daemon = std::getenv("OMPI_MCA_orte_local_daemon_uri");
  if (launcher == nullptr || daemon == nullptr || std::strcmp(launcher, daemon) != 0) return;
  for (const char* option : {"tag_output", "timestamp_output", "xml_output", "output_filename"})
    if (std::getenv(("OMPI_MCA_orte_" + std::string(option)).c_str()) != nullptr) return;
  // NOLINTEND(concurrency-mt-unsafe)
  const std::string job = "/proc/" + std::to_string(getppid()) + "/fd/1";
  struct stat info {};  // of the link to the descriptor (its modes), then of its file
  int fd = -1;
  if (lstat(job.c_str(), &info) != 0 ? errno == ENOENT : (info.st_mode & S_IWUSR) == 0) {
    fd = open("/dev/null", O_RDONLY | O_CLOEXEC);  // closed, or mpirun's own to read: no writes
  } else if (stat(job.c_str(), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode))) {
    // Not blocking, so that a pipe with no reader fails (ENXIO) instead of waiting for one.
    fd = open(job.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int ends[2] = {-1, -1};
    if (fd < 0 && errno == ENXIO && pipe2(ends, O_CLOEXEC) == 0 && close(ends[0]) == 0)
      fd = ends[1];
    if (fd >= 0 && isatty(fd) != 0 && close(fd) == 0) fd = -1;
  }
  if (fd < 0) return;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  dup2(fd, STDOUT_FILENO);
  close(fd);
}

RankSearch search_ranks(std::int32_t low, std::int32_t high, KernelPath path, MPI_Comm comm,
                        std::FILE* out, RankTimes* times, SearchReport* report) noexcept {
  return needs_wide_ratios(low, high)
             ? search_ranks_on<std::int64_t>(low, high, path, comm, out, times, report)
             : search_ranks_on<std::int32_t>(low, high, path, comm, out, times, report);
}

}  // namespace friendly
