// The programs' environment settings: FRIENDLY_KERNELS (where the search runs and on which
// kernels), FRIENDLY_TUNING (the kernels' tuning) and FRIENDLY_PROGRESS.
#pragma once

#include <cstddef>
#include <string>

#include "run/placement.hpp"

namespace friendly {

// The environment variable that chooses the kernel path.
inline constexpr const char* kPathVariable = "FRIENDLY_KERNELS";

// The placement that the value of kPathVariable chooses into placement: the default (see
// default_placement) when value is null or empty. cpu_only_program, when not null, names a
// program that never searches on the GPU: its default is the CPU, and a GPU asked for is refused.
// False, with the one-line reason in error (printable ASCII), when value names nothing, or
// something that this machine (or that program) cannot run.
bool read_path_choice(const char* value, Placement& placement, std::string& error,
                      const char* cpu_only_program = nullptr);

// The environment variable that forces a tuning (tuning.hpp).
inline constexpr const char* kTuningVariable = "FRIENDLY_TUNING";

// The tuning (an index in kTunings) that the value of kTuningVariable chooses into tuning: this
// processor's (tuning_for(this_processor())) when value is null or empty. False, with the
// one-line reason in error, when value names no tuning. Every tuning runs on every processor:
// it sets the kernels' constants only.
bool read_tuning_choice(const char* value, std::size_t& tuning, std::string& error);

// The program's own environment: the placement that FRIENDLY_KERNELS chooses (read_path_choice,
// cpu_only_program as there), the tuning that FRIENDLY_TUNING chooses, made the one that the
// searches run (choose_tuning), and a FRIENDLY_PROGRESS that is unset, empty, 0 (no progress line)
// or 1 (the line where standard error is a terminal and standard output is not). False, with
// the one-line reason in error, when either is refused.
bool read_environment(Placement& placement, std::string& error,
                      const char* cpu_only_program = nullptr);

}  // namespace friendly
