// Where a search runs, chosen above the CPU's search and the GPU's: search on a placement, and
// FriendlyNumbers, the programs' one call of the whole search.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "run/placement.hpp"
#include "search/friendly.hpp"

namespace friendly {

// The search of low..high (high >= low - 1) with ratio elements of type Ratio (int32_t where
// needs_wide_ratios is false, else int64_t) at the given (available) placement, printing the
// pair lines on out: on the CPU, search_on_cpu, with report and progress as there. On the GPU the
// whole range is searched on the device first, and then its pairs are printed in row, then column
// order. Returns false, having printed nothing, when the arrays cannot be allocated or the device
// fails; error, when not null, then receives the device's one-line reason (left alone for the
// host's memory).
template <typename Ratio>
[[nodiscard]] bool search(std::int32_t low, std::int32_t high, Placement placement, std::FILE* out,
                          SearchReport* report = nullptr, std::FILE* progress = nullptr,
                          std::string* error = nullptr);

// Prints one pair line on standard output for every pair of numbers from low to high
// (high >= low - 1) with equal ratios, in one OpenMP parallel region of the runtime's default
// team size, or on the GPU, at the given (available) placement, by default the programs' own;
// report and error as search's. Draws
// the progress meter on standard error where progress_wanted(stdout). Returns false, having
// printed nothing, when the arrays cannot be allocated or the device fails.
[[nodiscard]] bool FriendlyNumbers(std::int32_t low, std::int32_t high,
                                   Placement placement = default_placement(),
                                   SearchReport* report = nullptr, std::string* error = nullptr);

}  // namespace friendly
