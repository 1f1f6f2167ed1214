// FRIENDLY_KERNELS, FRIENDLY_TUNING and FRIENDLY_PROGRESS, read before any work.
#include "app/environment.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/command_line.hpp"
#include "gpu/gpu.hpp"
#include "paths/tuning.hpp"
#include "search/progress.hpp"

namespace friendly {

bool read_path_choice(const char* value, Placement& placement, std::string& error,
                      const char* cpu_only_program) {
  if (value == nullptr || *value == '\0') {
    placement = cpu_only_program == nullptr ? default_placement() : default_placement(false);
    return true;
  }
  Placement named;
  if (!placement_named(value, named)) {
    error = std::string(kPathVariable) + " " + shown(value) +
            " names no kernel path; this processor offers " + available_path_names();
    return false;
  }
  const bool gpu = named.device == Device::gpu;
  if (!placement_available(named)) {
    error = std::string(kPathVariable) + " " + shown(value) + " is a path this " +
            (gpu ? "machine cannot run (" + gpu_unavailable_reason() + ")"
                 : std::string("processor cannot run")) +
            "; it offers " + available_path_names();
    return false;
  }
  if (gpu && cpu_only_program != nullptr) {
    error = std::string(kPathVariable) + " " + shown(value) + ": " + cpu_only_program +
            " runs on the processors' paths only";
    return false;
  }
  placement = named;
  return true;
}

bool read_tuning_choice(const char* value, std::size_t& tuning, std::string& error) {
  if (value == nullptr || *value == '\0') {
    tuning = tuning_for(this_processor());
    return true;
  }
  const std::size_t named = tuning_named(value);
  if (named == kTuningCount) {
    error = std::string(kTuningVariable) + " " + shown(value) +
            " names no tuning; the tunings are " + tuning_names();
    return false;
  }
  tuning = named;
  return true;
}

bool read_environment(Placement& placement, std::string& error, const char* cpu_only_program) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  if (!read_path_choice(std::getenv(kPathVariable), placement, error, cpu_only_program))
    return false;
  std::size_t tuning = 0;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  if (!read_tuning_choice(std::getenv(kTuningVariable), tuning, error)) return false;
  choose_tuning(tuning);
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  const char* progress = std::getenv(kProgressVariable);
  if (progress == nullptr || *progress == '\0' || std::strcmp(progress, "0") == 0 ||
      std::strcmp(progress, "1") == 0) {
    return true;
  }
  error = std::string(kProgressVariable) + " " + shown(progress) +
          " is neither 0 (no progress line) nor 1 (the default)";
  return false;
}

}  // namespace friendly
