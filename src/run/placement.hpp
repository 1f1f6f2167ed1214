// Where a search runs: the device (the processor or the GPU) and the CPU path, and the one
// default choice of both for the search and the programs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "paths/path_table.hpp"

namespace friendly {

// Where a search runs.
enum class Device { cpu, gpu };

// The FRIENDLY_KERNELS setting that chooses the GPU.
inline constexpr const char* kGpuName = "gpu";

// Where a search runs and on which CPU kernels: on the CPU, path's; on the GPU, none, and path is
// the one that the run falls back to where the GPU cannot be set up. asked: named by the user
// rather than the default.
struct Placement {
  Device device = Device::cpu;
  KernelPath path = KernelPath::literal;
  bool asked = false;

  constexpr Placement() = default;
  // A search on the CPU path cpu_path (a path names a placement, hence no explicit).
  constexpr Placement(KernelPath cpu_path) noexcept : path(cpu_path) {}
  constexpr Placement(Device where, KernelPath cpu_path, bool named) noexcept
      : device(where), path(cpu_path), asked(named) {}
  friend constexpr bool operator==(const Placement&, const Placement&) = default;
};

// The default placement: the GPU where gpu (a device is present and the program searches on
// one), with the available path of the highest priority to fall back to; else that path.
Placement default_placement(bool gpu) noexcept;

// The default placement on this machine: default_placement(gpu_available()).
Placement default_placement() noexcept;

// Where a run placed at placed searches once its device is set up (prepared; always true on
// the CPU) or has failed: as placed; on the CPU path placed.path where a GPU that the user did
// not ask for failed; nowhere (the run is refused) where the GPU asked for failed.
std::optional<Placement> placement_after_setup(Placement placed, bool prepared) noexcept;

// The line that says why a run searches on path instead of the GPU, which failed for reason.
std::string fallback_note(const std::string& reason, KernelPath path);

// The placement's FRIENDLY_KERNELS name: kGpuName on the GPU, else its path's.
const char* placement_name(Placement placement) noexcept;

// The placement, asked, that name chooses (kGpuName, with the default's path to fall back to,
// or a path's name) into placement; false, leaving it alone, when nothing has that name.
bool placement_named(std::string_view name, Placement& placement) noexcept;

// True when placement runs here: on the GPU where gpu_available(), else where its path does.
bool placement_available(Placement placement) noexcept;

// The FRIENDLY_KERNELS settings, every path's name from the lowest priority to the highest, then
// kGpuName where gpu, separated by separator: all of them, or those this machine runs where
// available_only.
std::string choice_names(bool available_only, const char* separator, bool gpu = true);

// choice_names(true, ", "), listed once.
const char* available_path_names() noexcept;

}  // namespace friendly
