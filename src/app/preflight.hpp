// The checks before any work: what a run needs (bytes, threads, stack) against what this machine
// and process allow, and the refusal texts of both programs.
#pragma once

#include <cstdint>
#include <string>

#include "paths/path_table.hpp"

namespace friendly {

// What a run of low..high asks of the machine before it starts.
struct RunNeeds {
  std::int32_t low = 0;
  std::int32_t high = 0;
  std::int64_t search_bytes = 0;  // the search's arrays in this process
  bool validate = false;          // --validate: the validation's arrays after the search's
  int sharing = 1;                // processes of this machine that share its memory (MPI ranks)
  bool per_rank = false;          // the texts say "on each rank"
  KernelPath path = KernelPath::portable;  // the CPU path that searches, or a GPU falls back to
};

// The refusal of a run that needs, or an empty string when it fits: memory (the larger of the
// search's and the validation's arrays beside what this process already takes, under every
// limit), then the team (a count the runtime cannot start, each thread's stack, the main
// thread's stack, and the threads that the limits allow). One line, without the program name.
std::string preflight(const RunNeeds& needs);

// Bytes that a run may still allocate under the memory limit that leaves the least room (what
// the preflight checks against), shared by sharing processes of this machine; -1 when none is
// known.
std::int64_t memory_room(int sharing = 1);

// Bytes of stack that the search on path takes on each thread of its team, the main thread
// included; no tuning changes it.
std::int64_t search_stack_bytes(KernelPath path) noexcept;

// True when a stack with room bytes left (-1: unlimited) holds the search on path.
bool stack_fits(KernelPath path, std::int64_t room) noexcept;

// What a range of length numbers needs: "LENGTH numbers need BYTES bytes", with " on each rank"
// where per_rank.
std::string size_text(std::int64_t length, std::int64_t bytes, bool per_rank = false);

// Bytes that a run of low..high needs at once: its search's arrays (search_bytes), or the
// validation's when it validates and they are more, as the validation runs after the search has
// released its arrays.
std::int64_t run_bytes(std::int64_t search_bytes, std::int32_t low, std::int32_t high,
                       bool validate) noexcept;

}  // namespace friendly
