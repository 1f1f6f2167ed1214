// friendlyNumbers LOW HIGH: prints every friendly pair of the range, then the search's time.
#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command_line.hpp"
#include "friendly.hpp"
#include "gpu.hpp"
#include "limits.hpp"
#include "report.hpp"
#include "validate.hpp"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Writes "friendlyNumbers: message" as one line on standard error.
void complain(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", friendly::kProgramName, message.c_str());
}

// Flushes standard output; on any write error of the run, reports it and returns false.
bool finish_output() {
  const std::string error = friendly::write_error(stdout, "standard output");
  if (error.empty()) return true;
  complain(error);
  return false;
}

// Sets up the GPU, where the path is the GPU's, and checks its free memory, before the clock
// starts; on failure, reports it and returns false.
bool prepare_device(friendly::KernelPath path, std::int32_t low, std::int32_t high,
                    friendly::GpuDevice& device) {
  if (path != friendly::KernelPath::gpu) return true;
  std::string error;
  if (friendly::gpu_prepare(low, high, device, error)) return true;
  complain(error);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::int32_t low = 0;
  std::int32_t high = 0;
  friendly::SearchOptions options;
  std::string error;
  switch (friendly::read_command_line(argc, argv, low, high, options, error)) {
    case friendly::Command::help:
      std::fputs(friendly::usage_text().c_str(), stdout);
      return finish_output() ? 0 : kExitFailure;
    case friendly::Command::version:
      std::printf("%s %s\n", friendly::kProgramName, FRIENDLY_VERSION);
      return finish_output() ? 0 : kExitFailure;
    case friendly::Command::refused:
      complain(error);
      return kExitUsage;
    case friendly::Command::search:
      break;
  }
  friendly::KernelPath path = friendly::KernelPath::literal;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  if (!friendly::read_path_choice(std::getenv(friendly::kPathVariable), path, error)) {
    complain(error);
    return kExitUsage;
  }

  // Linux overcommits memory: an allocation larger than the machine or the control group allows
  // "succeeds" and the process is killed once the pages are touched, so the size is checked
  // against every limit before any work.
  const std::int64_t length = friendly::range_length(low, high);
  // The validation runs after the search has released its arrays.
  const std::int64_t search_bytes = friendly::search_bytes(low, high);
  const std::int64_t bytes = options.validate
                                 ? std::max(search_bytes, friendly::validation_bytes(low, high))
                                 : search_bytes;
  const std::string size =
      std::to_string(length) + " numbers need " + std::to_string(bytes) + " bytes";
  std::string memory_limit_name;
  const std::int64_t memory = friendly::memory_limit(memory_limit_name);
  if (memory > 0 && bytes > memory) {
    complain("range too large: " + size + ", more than the " + std::to_string(memory) +
             " bytes that " + memory_limit_name + " allows");
    return kExitFailure;
  }

  // The runtime cannot start a team softly: GNU libgomp overflows the stack or ends the process
  // with its own message, and LLVM's libomp aborts. A team beyond a limit is refused here.
  const std::int64_t team = friendly::team_size();
  std::string team_limit_name;
  const std::int64_t most_threads = friendly::team_limit(team, bytes, team_limit_name);
  if (team > most_threads) {
    complain("cannot start a team of " + std::to_string(team) + " threads: more than the " +
             std::to_string(most_threads) + " threads that " + team_limit_name + " allows");
    return kExitFailure;
  }

  friendly::RunReport run;
  run.version = FRIENDLY_VERSION;
  run.path = path;
  run.low = low;
  run.high = high;
  if (!prepare_device(path, low, high, run.device)) return kExitFailure;
  std::string failure;
  const double start = omp_get_wtime();
  const bool searched = friendly::FriendlyNumbers(low, high, path, &run.search, &failure);
  const double stop = omp_get_wtime();
  if (!searched) {
    complain(failure.empty() ? "out of memory: " + size : failure);
    return kExitFailure;
  }
  run.seconds = stop - start;
  std::printf(friendly::kTimeFormat, run.seconds);
  if (!finish_output()) return kExitFailure;

  // The independent check, outside the timed search.
  if (options.validate) {
    friendly::Answer expected;
    if (!friendly::validate_range(low, high, expected)) {
      complain("out of memory for the validation: " + size);
      return kExitFailure;
    }
    const bool agrees =
        expected.pairs == run.search.pairs && expected.checksum == run.search.checksum;
    run.validation = agrees ? friendly::Validation::passed : friendly::Validation::failed;
    if (!agrees) {
      complain("validation failed: the search printed " + std::to_string(run.search.pairs) +
               " pairs with checksum " + friendly::checksum_text(run.search.checksum) +
               ", the sieve finds " + std::to_string(expected.pairs) + " with checksum " +
               friendly::checksum_text(expected.checksum));
    }
  }
  if (options.report != friendly::ReportFormat::none) {
    std::fputs(friendly::format_report(run, options.report).c_str(), stderr);
  }
  return run.validation == friendly::Validation::failed ? kExitFailure : 0;
}
