// The tuning of this processor from the table, the names of the tunings, and the one chosen.
// Compiled for plain x86-64.
#include "paths/tuning.hpp"

#include <cpuid.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "paths/cache_sizes.hpp"

namespace friendly {

std::size_t tuning_named(std::string_view name) noexcept {
  for (std::size_t k = 0; k < kTuningCount; ++k) {
    if (name == kTunings[k].name) return k;
  }
  return kTuningCount;
}

std::size_t tuning_for(const ProcessorId& processor) noexcept {
  for (const ProcessorTuning& row : kProcessorTunings) {
    if (row.vendor == processor.vendor && row.family == processor.family &&
        row.model_low <= processor.model && processor.model <= row.model_high &&
        row.least_level1 <= processor.level1_data) {
      return tuning_named(row.tuning);
    }
  }
  return 0;
}

ProcessorId decode_processor(std::string_view vendor, std::uint32_t leaf1_eax,
                             std::int64_t level1_data) noexcept {
  ProcessorId id;
  if (vendor == "GenuineIntel") id.vendor = Vendor::intel;
  if (vendor == "AuthenticAMD") id.vendor = Vendor::amd;
  // The extended family counts only past family 15, the extended model only there and in 6.
  const auto base_family = static_cast<int>(leaf1_eax >> 8 & 0xF);
  const auto base_model = static_cast<int>(leaf1_eax >> 4 & 0xF);
  const bool extended = base_family == 6 || base_family == 15;
  id.family = base_family + (base_family == 15 ? static_cast<int>(leaf1_eax >> 20 & 0xFF) : 0);
  id.model = base_model + (extended ? static_cast<int>(leaf1_eax >> 16 & 0xF) << 4 : 0);
  id.level1_data = level1_data;
  return id;
}

ProcessorId this_processor() noexcept {
  static const ProcessorId processor = [] {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return ProcessorId{};
    char vendor[12] = {};
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) eax = 0;
    return decode_processor(std::string_view(vendor, sizeof vendor), eax,
                            core_caches().level1_data);
  }();
  return processor;
}

namespace {

// The tuning chosen; kTuningCount until the first read or choice.
std::atomic<std::size_t> chosen{kTuningCount};

}  // namespace

std::size_t chosen_tuning() noexcept {
  std::size_t tuning = chosen.load(std::memory_order_relaxed);
  if (tuning == kTuningCount) {
    tuning = tuning_for(this_processor());
    chosen.store(tuning, std::memory_order_relaxed);
  }
  return tuning;
}

void choose_tuning(std::size_t tuning) noexcept {
  chosen.store(tuning < kTuningCount ? tuning : 0, std::memory_order_relaxed);
}

const char* tuning_names() noexcept {
  static const std::string names = [] {
    std::string list;
    for (const Tuning& tuning : kTunings)
      list += (list.empty() ? "" : ", ") + std::string(tuning.name);
    return list;
  }();
  return names.c_str();
}

}  // namespace friendly
