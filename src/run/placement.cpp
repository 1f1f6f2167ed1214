// The default placement of a search, its fall-back to the CPU, and the FRIENDLY_KERNELS names.
#include "run/placement.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "gpu/gpu.hpp"

namespace friendly {

Placement default_placement(bool gpu) noexcept {
  return {gpu ? Device::gpu : Device::cpu, fastest_path(), false};
}

Placement default_placement() noexcept {
  return default_placement(gpu_available());
}

std::optional<Placement> placement_after_setup(Placement placed, bool prepared) noexcept {
  if (prepared || placed.device == Device::cpu) return placed;
  if (placed.asked) return std::nullopt;
  return Placement{Device::cpu, placed.path, false};
}

std::string fallback_note(const std::string& reason, KernelPath path) {
  return "the GPU cannot be set up (" + reason + "); searching on the " + path_name(path) +
         " path instead";
}

const char* placement_name(Placement placement) noexcept {
  return placement.device == Device::gpu ? kGpuName : path_name(placement.path);
}

bool placement_named(std::string_view name, Placement& placement) noexcept {
  if (name == kGpuName) {
    placement = {Device::gpu, fastest_path(), true};
    return true;
  }
  KernelPath path = KernelPath::literal;
  if (!path_named(name, path)) return false;
  placement = {Device::cpu, path, true};
  return true;
}

bool placement_available(Placement placement) noexcept {
  return placement.device == Device::gpu ? gpu_available() : path_available(placement.path);
}

std::string choice_names(bool available_only, const char* separator, bool gpu) {
  std::string names;
  const auto add = [&](const char* name) {
    names += (names.empty() ? "" : separator) + std::string(name);
  };
  for (const KernelPath path : kAllPaths) {
    if (!available_only || path_available(path)) add(path_name(path));
  }
  if (gpu && (!available_only || gpu_available())) add(kGpuName);
  return names;
}

const char* available_path_names() noexcept {
  static const std::string names = choice_names(true, ", ");
  return names.c_str();
}

}  // namespace friendly
