// The report's text: what a report says about one run, as "key: value" lines or one line of JSON.
#pragma once

#include <cstdint>
#include <string>

#include "app/command_line.hpp"
#include "gpu/gpu.hpp"
#include "run/placement.hpp"
#include "search/friendly.hpp"

namespace friendly {

// Whether the answer was validated (--validate), and how it came out.
enum class Validation { not_asked, passed, failed };

// Everything a report says about one run.
struct RunReport {
  const char* program = kProgramName;
  const char* version = "";
  std::string date;                // the run's start, UTC, ISO 8601
  std::string compiler;            // name and version
  std::string build_type;          // CMAKE_BUILD_TYPE
  std::string build_flags;         // the compiler flags of the build type
  std::string openmp;              // the runtime library and the OpenMP version
  std::string omp_proc_bind;       // OMP_PROC_BIND as set; empty when unset
  std::string omp_places;          // OMP_PLACES as set; empty when unset
  std::string processor;           // the processor's brand string
  std::string tuning;              // the kernels' tuning
  Placement placement;             // where the search ran
  Method method = Method::search;  // how the pairs were found
  int ranks = 0;                   // MPI ranks; 0 for the program without MPI, which reports none
  std::int32_t low = 0;
  std::int32_t high = 0;
  double seconds = 0;   // the time line's
  SearchReport search;  // the search's own counts and phase times
  GpuDevice device;     // the GPU's, reported where the search ran on it
  Validation validation = Validation::not_asked;
};

// The report of run in the given format (not ReportFormat::none), ending in a newline: "key:
// value" lines under a heading, or one JSON object on one line, with the same keys.
std::string format_report(const RunReport& run, ReportFormat format);

}  // namespace friendly
