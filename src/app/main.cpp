// friendlyNumbers LOW HIGH: prints every friendly pair of the range, then the search's time.
#include <omp.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "answer/sieve_answer.hpp"
#include "app/command_line.hpp"
#include "app/environment.hpp"
#include "app/messages.hpp"
#include "app/preflight.hpp"
#include "app/report.hpp"
#include "gpu/gpu.hpp"
#include "run/friendly_numbers.hpp"
#include "run/placement.hpp"
#include "search/friendly.hpp"
#include "search/progress.hpp"

int main(int argc, char** argv) {
  using friendly::kProgramName;
  // A write past the file-size limit (ulimit -f) fails and is reported instead of killing the
  // process in the middle of a line.
  std::signal(SIGXFSZ, SIG_IGN);

  std::int32_t low = 0;
  std::int32_t high = 0;
  friendly::SearchOptions options;
  std::string error;
  const friendly::Command command =
      friendly::read_command_line(argc, argv, low, high, options, error);
  if (const std::optional<int> status = friendly::answer_command(kProgramName, command, error))
    return *status;
  friendly::Placement placement;
  if (!friendly::read_environment(placement, error)) {
    friendly::complain(kProgramName, error);
    return friendly::kExitUsage;
  }

  // What the run needs, checked against every limit before any work: the sieve method at least
  // its fixed part, its entries in as many passes as the room left needs.
  const bool sieve = options.method == friendly::Method::sieve;
  const std::int64_t bytes =
      sieve ? friendly::sieve_least_bytes(friendly::sieve_layout(low, high, omp_get_max_threads()))
            : friendly::search_bytes(low, high);
  const std::string refusal =
      friendly::preflight({low, high, bytes, options.validate, 1, false, placement.path});
  if (!refusal.empty()) {
    friendly::complain(kProgramName, refusal);
    return friendly::kExitFailure;
  }
  if (const std::string lost = friendly::prepare_report_file(options); !lost.empty()) {
    friendly::complain(kProgramName, lost);
    return friendly::kExitFailure;
  }

  friendly::RunReport run = friendly::run_report(kProgramName, placement, 0, low, high);
  run.method = options.method;
  if (sieve) {
    const std::int64_t budget = friendly::memory_room();
    friendly::SieveReport sieved;
    const double start = omp_get_wtime();
    const bool answered = friendly::sieve_answer(
        low, high, budget, stdout, friendly::progress_wanted(stdout) ? stderr : nullptr, &sieved);
    const double stop = omp_get_wtime();
    if (!answered) {
      friendly::complain(kProgramName, "out of memory: the sieve method over " +
                                           std::to_string(friendly::range_length(low, high)) +
                                           " numbers needs at least " + std::to_string(bytes) +
                                           " bytes");
      return friendly::kExitFailure;
    }
    run.search.threads = sieved.threads;
    run.search.answer = sieved.answer;
    run.seconds = stop - start;
    return friendly::finish_run(kProgramName, run, options, "");
  }
  const std::string size = friendly::size_text(
      friendly::range_length(low, high), friendly::run_bytes(bytes, low, high, options.validate));
  // The device and its context are set up, and its free memory checked, before the clock starts;
  // a GPU that was not asked for and cannot be set up gives way to the CPU, saying why.
  if (placement.device == friendly::Device::gpu) {
    const bool prepared = friendly::gpu_prepare(low, high, run.device, error);
    const std::optional<friendly::Placement> settled =
        friendly::placement_after_setup(placement, prepared);
    if (!settled) {
      friendly::complain(kProgramName, error);
      return friendly::kExitFailure;
    }
    if (!prepared) friendly::complain(kProgramName, friendly::fallback_note(error, settled->path));
    placement = run.placement = *settled;
  }
  std::string failure;
  const double start = omp_get_wtime();
  const bool searched = friendly::FriendlyNumbers(low, high, placement, &run.search, &failure);
  const double stop = omp_get_wtime();
  if (!searched) {
    friendly::complain(kProgramName, failure.empty() ? "out of memory: " + size : failure);
    return friendly::kExitFailure;
  }
  run.seconds = stop - start;
  return friendly::finish_run(kProgramName, run, options, size);
}
