// The report after a run: what ran (program, build, runtime, processor, path, team), gathered
// before the search, and the run's ending, which validates and writes the report where asked.
#pragma once

#include <cstdint>
#include <string>

#include "app/command_line.hpp"
#include "app/report_format.hpp"
#include "run/placement.hpp"

namespace friendly {

// The report of a run of program (its version this build's) at placement over low..high with the
// given number of MPI ranks (0 for the program without MPI), before the search fills it in: the
// build, the runtime and its placement settings, the processor, the tuning and the date.
RunReport run_report(const char* program, Placement placement, int ranks, std::int32_t low,
                     std::int32_t high);

// Where options send the report to a file: creates or empties it, before any work, so that a
// report that cannot be written costs no search. Returns the one-line reason it cannot, or "".
std::string prepare_report_file(const SearchOptions& options);

// Ends a completed search that run describes, seconds included: prints the time line and
// flushes standard output, then, outside the timed search, validates the answer (run.validation)
// and writes the report on standard error, or in its file, where options ask. Complains as program
// of any failure; size, when not empty, says what the range needs where memory for the validation
// lacks. Returns the run's exit status.
int finish_run(const char* program, RunReport& run, const SearchOptions& options,
               const std::string& size);

}  // namespace friendly
