// The report after a run: what ran (program, build, runtime, processor, path, team), on what
// range, how fast, and the answer to compare across machines; as text or as one line of JSON.
#pragma once

#include <cstdint>
#include <string>

#include "app/command_line.hpp"
#include "gpu/gpu.hpp"
#include "paths/kernels.hpp"
#include "search/friendly.hpp"
#include "search/placement.hpp"

namespace friendly {

// Whether the answer was validated (--validate), and how it came out.
enum class Validation { not_asked, passed, failed };

// Everything a report says about one run.
struct RunReport {
  const char* program = kProgramName;
  const char* version = "";
  Placement placement;  // where the search ran
  Method method = Method::search;
  int ranks = 0;  // MPI ranks; 0 for the program without MPI, which reports none
  std::int32_t low = 0;
  std::int32_t high = 0;
  double seconds = 0;   // the time line's
  SearchReport search;  // the search's own counts and phase times
  GpuDevice device;     // the GPU's, reported where the search ran on it
  Validation validation = Validation::not_asked;
};

// The report of a run of program (its version this build's) at placement over low..high with the
// given number of MPI ranks (0 for the program without MPI), before the search fills it in.
RunReport run_report(const char* program, Placement placement, int ranks, std::int32_t low,
                     std::int32_t high);

// The report of run in the given format (not ReportFormat::none), ending in a newline: "key:
// value" lines under a heading, or one JSON object on one line, with the same keys.
std::string format_report(const RunReport& run, ReportFormat format);

// Ends a completed search that run describes, seconds included: prints the time line and
// flushes standard output, then, outside the timed search, validates the answer (run.validation)
// and writes the report on standard error where options ask. Complains as program of any
// failure; size, when not empty, says what the range needs where memory for the validation
// lacks. Returns the run's exit status.
int finish_run(const char* program, RunReport& run, const SearchOptions& options,
               const std::string& size);

}  // namespace friendly
