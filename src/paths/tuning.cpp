// The tuning of this processor from the table, the names of the tunings, and the one chosen.
// Compiled for plain x86-64.
#include "paths/tuning.hpp"

#include <atomic>
#include <string>
#include <string_view>

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
      return row.tuning;
    }
  }
  return 0;
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
