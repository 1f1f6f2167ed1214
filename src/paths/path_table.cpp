// Availability, the default and the names of the CPU paths, from the table and the processor's
// features. Compiled for plain x86-64.
#include "paths/path_table.hpp"

#include <cstddef>
#include <string_view>

#include "paths/processor.hpp"

namespace friendly {

namespace {

const PathRow& row_of(KernelPath path) noexcept {
  return kPathTable[static_cast<std::size_t>(path)];
}

}  // namespace

bool path_available(KernelPath path, FeatureSet has) noexcept {
  return features_within(row_of(path).needs, has);
}

KernelPath fastest_path(FeatureSet has) noexcept {
  KernelPath best = KernelPath::literal;
  for (const KernelPath path : kAllPaths) {
    if (path_available(path, has)) best = path;
  }
  return best;
}

bool path_available(KernelPath path) noexcept {
  return path_available(path, processor_features());
}

KernelPath fastest_path() noexcept {
  static const KernelPath fastest = fastest_path(processor_features());
  return fastest;
}

const char* path_name(KernelPath path) noexcept {
  return row_of(path).name;
}

bool path_named(std::string_view name, KernelPath& path) noexcept {
  for (const PathRow& row : kPathTable) {
    if (name == row.name) {
      path = row.path;
      return true;
    }
  }
  return false;
}

}  // namespace friendly
