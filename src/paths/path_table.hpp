// The CPU paths as one table: each path's name, the processor features it needs and its
// priority; availability, the default path, names and the switch from a path chosen at run time
// to code all derive from it. Declarations and constants only: a path's source includes it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "paths/processor.hpp"

namespace friendly {

// The CPU paths, one row each: PATH(name, priority, needs). The name is the KernelPath value and
// the FRIENDLY_KERNELS setting; a path runs where the processor has every feature of needs, and
// the available path of the highest priority is the default. Each path is one source,
// src/paths/kernels_NAME.cpp, compiled with the flags of its features (CMakeLists.txt).
#define FRIENDLY_CPU_PATHS(PATH)                                                              \
  PATH(literal, 0, features())                                                                \
  PATH(portable, 10, features())                                                              \
  PATH(avx2, 20, features(CpuFeature::avx, CpuFeature::avx2))                                 \
  PATH(avx512, 30,                                                                            \
       features(CpuFeature::avx, CpuFeature::avx2, CpuFeature::avx512f, CpuFeature::avx512dq, \
                CpuFeature::avx512bw, CpuFeature::avx512vl))

// A CPU path: a set of kernels (kernels.hpp). literal runs the literal loops themselves (the
// reference and the speed baseline); the vector paths hand short ranges to portable.
enum class KernelPath {
#define FRIENDLY_PATH_VALUE(name, priority, needs) name,
  FRIENDLY_CPU_PATHS(FRIENDLY_PATH_VALUE)
#undef FRIENDLY_PATH_VALUE
};

// One row of the table.
struct PathRow {
  KernelPath path;
  const char* name;
  int priority;
  FeatureSet needs;
};

// The table, in the order of the KernelPath values.
inline constexpr PathRow kPathTable[] = {
#define FRIENDLY_PATH_ROW(name, priority, needs) {KernelPath::name, #name, priority, needs},
    FRIENDLY_CPU_PATHS(FRIENDLY_PATH_ROW)
#undef FRIENDLY_PATH_ROW
};

inline constexpr std::size_t kPathCount = std::size(kPathTable);

// Every CPU path, from the lowest priority to the highest (the order of every list of paths).
inline constexpr std::array<KernelPath, kPathCount> kAllPaths = [] {
  std::array<KernelPath, kPathCount> paths{};
  for (std::size_t k = 0; k < kPathCount; ++k)
    paths[k] = kPathTable[k].path;
  std::sort(paths.begin(), paths.end(), [](KernelPath a, KernelPath b) {
    return kPathTable[static_cast<std::size_t>(a)].priority <
           kPathTable[static_cast<std::size_t>(b)].priority;
  });
  return paths;
}();

// The table holds every path once, in its values' order, under names and priorities of its own
// (so that one path is the default), and literal, which runs everywhere, has the lowest.
static_assert([] {
  for (std::size_t k = 0; k < kPathCount; ++k) {
    if (kPathTable[k].path != static_cast<KernelPath>(k)) return false;
    for (std::size_t other = 0; other < k; ++other) {
      if (std::string_view(kPathTable[k].name) == kPathTable[other].name) return false;
      if (kPathTable[k].priority == kPathTable[other].priority) return false;
    }
  }
  return kAllPaths[0] == KernelPath::literal && kPathTable[0].needs == 0;
}());

// True when a processor with the features has runs the path: its features are within has.
bool path_available(KernelPath path, FeatureSet has) noexcept;

// The path of the highest priority that a processor with the features has runs.
KernelPath fastest_path(FeatureSet has) noexcept;

// The same for this processor and operating system (processor_features(); chosen once).
bool path_available(KernelPath path) noexcept;
KernelPath fastest_path() noexcept;

// The path's name, as the table spells it.
const char* path_name(KernelPath path) noexcept;

// The path named name (as path_name spells it) into path; false, leaving path alone, when no
// path has that name.
bool path_named(std::string_view name, KernelPath& path) noexcept;

// A path as a type, for code that takes the path as a compile-time constant: a visitor of
// on_path takes one, `[&](auto chosen) { constexpr KernelPath Path = chosen; ... }`.
template <KernelPath Path>
using PathConstant = std::integral_constant<KernelPath, Path>;

// Calls visit(PathConstant<path>{}) with the KernelPath given at run time as a constant, and
// returns what it returns: the one place where a path chosen at run time becomes code.
template <typename Visit>
decltype(auto) on_path(KernelPath path, Visit&& visit) {
  switch (path) {
#define FRIENDLY_PATH_CASE(name, priority, needs) \
  case KernelPath::name:                          \
    return visit(PathConstant<KernelPath::name>{});
    FRIENDLY_CPU_PATHS(FRIENDLY_PATH_CASE)
#undef FRIENDLY_PATH_CASE
  }
  return visit(PathConstant<KernelPath::literal>{});  // no other value exists
}

}  // namespace friendly
