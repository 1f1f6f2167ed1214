#include "app/preflight.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "app/limits.hpp"
#include "paths/path_table.hpp"
#include "search/friendly.hpp"
#include "search/pair_phase.hpp"
#include "validate/validate.hpp"

namespace friendly {

namespace {

// The refusal of the memory that needs asks for, or an empty string when it fits.
std::string memory_refusal(const RunNeeds& needs) {
  const MemoryLimit limit = memory_limit(needs.sharing);
  if (limit.what.empty()) return "";
  const std::int64_t room = limit.bytes - limit.taken;
  const std::int64_t length = range_length(needs.low, needs.high);
  // The search's arrays come first; the validation's replace them once they are released.
  const std::int64_t validation = needs.validate ? validation_bytes(needs.low, needs.high) : 0;
  const bool validation_refused = needs.search_bytes <= room && validation > room;
  const std::int64_t bytes = validation_refused ? validation : needs.search_bytes;
  if (bytes == 0 || bytes <= room) return "";
  const std::string what = validation_refused
                               ? "the validation of " + std::to_string(length) + " numbers needs " +
                                     std::to_string(bytes) + " bytes"
                               : size_text(length, bytes, needs.per_rank);
  const std::string per_rank = needs.per_rank ? " per rank" : "";
  if (bytes > limit.bytes) {
    return "range too large: " + what + ", more than the " + std::to_string(limit.bytes) +
           " bytes" + per_rank + " that " + limit.what + " allows";
  }
  return "range too large: " + what + ", more than the " + std::to_string(room) + " bytes" +
         per_rank + " that " + limit.what + " leaves beside the " + std::to_string(limit.taken) +
         " bytes that the process takes already";
}

// The refusal of a team whose count the runtime keeps as 0: a multiple of 2^32 threads, of
// which GNU libgomp keeps the low 32 bits and then crashes.
std::string empty_team_refusal() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  const char* asked = std::getenv("OMP_NUM_THREADS");
  const std::string first =
      asked == nullptr ? "" : std::string(asked).substr(0, std::string(asked).find(','));
  const unsigned long long count = std::strtoull(first.c_str(), nullptr, 10);
  return "cannot start a team of " + std::to_string(count) +
         " threads: the OpenMP runtime keeps the low 32 bits of the count (OMP_NUM_THREADS), 0";
}

// The refusal of a stack of room bytes, below the need of the search on path: "... more than the
// ROOM bytes that " and then limit, which names the limit and what it does.
std::string stack_refusal(KernelPath path, std::int64_t room, const std::string& limit) {
  return "stack too small: the search needs " + std::to_string(search_stack_bytes(path)) +
         " bytes of stack on each thread (" + path_name(path) + " path), more than the " +
         std::to_string(std::max<std::int64_t>(room, 0)) + " bytes that " + limit;
}

// The refusal of the team that the next parallel region starts, searching on path with reserve
// bytes of arrays still to be allocated, or an empty string when it can start and run the search.
std::string team_refusal(KernelPath path, std::int64_t reserve) {
  // The runtime cannot start a team softly: GNU libgomp overflows the stack or ends the process
  // with its own message, and LLVM's libomp aborts; a thread whose stack the pair phase
  // overflows crashes.
  const std::int64_t team = team_size();
  if (team == 0) return empty_team_refusal();
  const std::int64_t main_room = main_stack_room();
  if (!stack_fits(path, main_room))
    return stack_refusal(path, main_room, "the stack limit (ulimit -s) of the main thread allows");
  std::string what;
  if (team > 1) {
    // Each thread's own data takes the top of its stack before the search starts on it.
    const std::int64_t size = thread_stack_size(what);
    const std::int64_t room = thread_stack_room(static_cast<std::size_t>(size));
    const std::int64_t own = size - room;
    if (!stack_fits(path, room)) {
      return stack_refusal(path, room,
                           what + " leaves beside each thread's own " + std::to_string(own) +
                               " bytes (its thread-local storage and descriptor)");
    }
  }
  // A team that team_limit cannot start (it starts the same threads itself).
  const std::int64_t most = team_limit(team, reserve, what);
  if (team <= most) return "";
  return "cannot start a team of " + std::to_string(team) + " threads: more than the " +
         std::to_string(most) + " threads that " + what + " allows";
}

}  // namespace

std::string preflight(const RunNeeds& needs) {
  // Linux overcommits memory: an allocation larger than the machine or the control group allows
  // "succeeds" and the process is killed once the pages are touched, so the size is checked
  // against every limit before any work.
  std::string refusal = memory_refusal(needs);
  if (refusal.empty()) {
    refusal = team_refusal(needs.path,
                           run_bytes(needs.search_bytes, needs.low, needs.high, needs.validate));
  }
  return refusal;
}

std::int64_t memory_room(int sharing) {
  const MemoryLimit limit = memory_limit(sharing);
  return limit.what.empty() ? -1 : std::max<std::int64_t>(limit.bytes - limit.taken, 0);
}

std::int64_t search_stack_bytes(KernelPath path) noexcept {
  // The frames of the driver, the phases, the kernels, the C library's printing and the runtime,
  // and the thread's own data that the threads' library keeps at the top of its stack.
  constexpr std::int64_t frames = std::int64_t{16} * 1024;
  // The pair phase's group of blocks, its block scan's bounds of matching columns per row, sized
  // for the largest group of any tuning, and the filter keys of the largest tile; the literal
  // loops keep none of them.
  constexpr std::int64_t block_scan =
      std::int64_t{kMaxGroupBlocks} * (2 * kRowBlock + 1) * std::int64_t{sizeof(std::int64_t)} +
      kMaxTileColumns * std::int64_t{sizeof(std::uint16_t)};
  return path == KernelPath::literal ? frames : frames + block_scan;
}

bool stack_fits(KernelPath path, std::int64_t room) noexcept {
  return room < 0 || room >= search_stack_bytes(path);
}

std::string size_text(std::int64_t length, std::int64_t bytes, bool per_rank) {
  return std::to_string(length) + " numbers need " + std::to_string(bytes) + " bytes" +
         (per_rank ? " on each rank" : "");
}

std::int64_t run_bytes(std::int64_t search_bytes, std::int32_t low, std::int32_t high,
                       bool validate) noexcept {
  return validate ? std::max(search_bytes, validation_bytes(low, high)) : search_bytes;
}

}  // namespace friendly
