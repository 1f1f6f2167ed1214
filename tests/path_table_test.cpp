// The processor's features, the table of CPU paths, and where a search runs: the default, the
// fall-back from a GPU that cannot be set up, and FRIENDLY_KERNELS; the tunings, and the tests'
// instances of the tuned kernels derived from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/environment.hpp"
#include "gpu/gpu.hpp"
#include "kernel_paths.hpp"
#include "paths/path_table.hpp"
#include "paths/processor.hpp"
#include "paths/tuning.hpp"
#include "run/placement.hpp"

namespace {

using friendly::CpuFeature;
using friendly::Device;
using friendly::features;
using friendly::FeatureSet;
using friendly::KernelPath;
using friendly::Placement;

TEST(CpuFeatures, DecodedFromCpuidAndTheRegistersThatTheSystemSaves) {
  constexpr std::uint32_t kOsxsaveAvx = 1U << 27 | 1U << 28;
  constexpr std::uint32_t kLeaf7 = 1U << 5 | 1U << 16 | 1U << 17 | 1U << 30 | 1U << 31;
  const FeatureSet all = features(CpuFeature::avx, CpuFeature::avx2, CpuFeature::avx512f,
                                  CpuFeature::avx512dq, CpuFeature::avx512bw, CpuFeature::avx512vl);
  EXPECT_EQ(friendly::decode_features(kOsxsaveAvx, kLeaf7, 0xE7), all);
  // Without the mask and upper ZMM states no AVX-512 feature; without the YMM state or OSXSAVE,
  // no feature at all; a missing bit takes its own feature only.
  EXPECT_EQ(friendly::decode_features(kOsxsaveAvx, kLeaf7, 0x67),
            features(CpuFeature::avx, CpuFeature::avx2));
  EXPECT_EQ(friendly::decode_features(kOsxsaveAvx, kLeaf7, 0xE3), 0U);
  EXPECT_EQ(friendly::decode_features(1U << 28, kLeaf7, 0xE7), 0U);
  EXPECT_EQ(friendly::decode_features(kOsxsaveAvx, kLeaf7 & ~(1U << 17), 0xE7),
            all & ~features(CpuFeature::avx512dq));
  EXPECT_EQ(friendly::decode_features(kOsxsaveAvx, 0, 0xE7), features(CpuFeature::avx));
}

TEST(CpuFeatures, DetectedAsTheCompilerDetectsThem) {
  // The compiler's own detection (an int from g++, a bool from clang), which also asks the
  // operating system.
  const std::pair<CpuFeature, bool> compiler[] = {
      {CpuFeature::avx, static_cast<bool>(__builtin_cpu_supports("avx"))},
      {CpuFeature::avx2, static_cast<bool>(__builtin_cpu_supports("avx2"))},
      {CpuFeature::avx512f, static_cast<bool>(__builtin_cpu_supports("avx512f"))},
      {CpuFeature::avx512dq, static_cast<bool>(__builtin_cpu_supports("avx512dq"))},
      {CpuFeature::avx512bw, static_cast<bool>(__builtin_cpu_supports("avx512bw"))},
      {CpuFeature::avx512vl, static_cast<bool>(__builtin_cpu_supports("avx512vl"))}};
  for (const auto& [feature, has] : compiler) {
    EXPECT_EQ(friendly::features_within(features(feature), friendly::processor_features()), has)
        << static_cast<int>(feature);
  }
}

TEST(PathTable, APathRunsWhereTheProcessorHasItsFeaturesAndTheHighestPriorityIsTheDefault) {
  // Processors with fewer features than this one: each path runs exactly where all of its
  // features are there, and the default is the available path of the highest priority.
  const FeatureSet mine = friendly::processor_features();
  std::vector<FeatureSet> processors = {mine, 0};
  for (const friendly::PathRow& row : friendly::kPathTable) {
    processors.push_back(row.needs);
    processors.push_back(mine & ~row.needs);
  }
  for (const FeatureSet has : processors) {
    const KernelPath fastest = friendly::fastest_path(has);
    EXPECT_TRUE(friendly::path_available(fastest, has));
    for (const friendly::PathRow& row : friendly::kPathTable) {
      const bool available = friendly::path_available(row.path, has);
      EXPECT_EQ(available, (row.needs & ~has) == 0) << row.name << " on " << has;
      if (available) {
        EXPECT_LE(row.priority, friendly::kPathTable[static_cast<int>(fastest)].priority);
      }
    }
  }
  EXPECT_EQ(friendly::fastest_path(0), KernelPath::portable);
  EXPECT_EQ(friendly::fastest_path(), friendly::fastest_path(mine));
  // Names: each path's own, found again by it; no other.
  for (const KernelPath path : friendly::kAllPaths) {
    KernelPath named = KernelPath::literal;
    EXPECT_TRUE(friendly::path_named(friendly::path_name(path), named));
    EXPECT_EQ(named, path);
  }
  KernelPath unchanged = KernelPath::portable;
  EXPECT_FALSE(friendly::path_named(friendly::kGpuName, unchanged));
  EXPECT_FALSE(friendly::path_named("", unchanged));
  EXPECT_EQ(unchanged, KernelPath::portable);
}

TEST(Placement, TheGpuByDefaultWhereOneRunsAndTheWidestPathWhereItCannotBeSetUp) {
  const KernelPath widest = friendly::fastest_path();
  const Placement gpu = friendly::default_placement(true);
  EXPECT_EQ(gpu, Placement(Device::gpu, widest, false));
  EXPECT_EQ(friendly::default_placement(false), Placement(widest));
  EXPECT_EQ(friendly::default_placement(), friendly::default_placement(friendly::gpu_available()));
  // A GPU that was not asked for and cannot be set up gives way to the widest path; one asked
  // for is refused; a device set up, or the CPU, stays as placed.
  EXPECT_EQ(friendly::placement_after_setup(gpu, false), std::optional(Placement(widest)));
  EXPECT_EQ(friendly::placement_after_setup(gpu, true), std::optional(gpu));
  const Placement asked(Device::gpu, widest, true);
  EXPECT_EQ(friendly::placement_after_setup(asked, false), std::nullopt);
  EXPECT_EQ(friendly::placement_after_setup(Placement(KernelPath::literal), false),
            std::optional(Placement(KernelPath::literal)));
  EXPECT_EQ(friendly::fallback_note("no CUDA-capable device is detected", KernelPath::portable),
            "the GPU cannot be set up (no CUDA-capable device is detected); searching on the "
            "portable path instead");
  EXPECT_EQ(std::string(friendly::placement_name(gpu)), friendly::kGpuName);
  EXPECT_EQ(std::string(friendly::placement_name(widest)), friendly::path_name(widest));
}

TEST(PathChoice, NamesEveryPathAndRefusesWhatThisMachineOrProgramCannotRun) {
  Placement placement;
  std::string error;
  // No choice: the default (the GPU where there is one, else the widest CPU path).
  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_TRUE(friendly::read_path_choice(unset, placement, error));
    EXPECT_EQ(placement, friendly::default_placement());
    EXPECT_TRUE(friendly::read_path_choice(unset, placement, error, "friendlyNumbers_mpi"));
    EXPECT_EQ(placement, friendly::default_placement(false));
  }
  // Every path by its name, asked for, where this processor runs it.
  for (const KernelPath path : friendly::kAllPaths) {
    const char* name = friendly::path_name(path);
    const bool chosen = friendly::read_path_choice(name, placement, error);
    EXPECT_EQ(chosen, friendly::path_available(path)) << name;
    if (chosen) {
      EXPECT_EQ(placement, Placement(Device::cpu, path, true)) << name;
    } else {
      EXPECT_EQ(error, "FRIENDLY_KERNELS '" + std::string(name) +
                           "' is a path this processor cannot run; it offers " +
                           friendly::available_path_names());
    }
  }
  // The GPU, where one runs and the program searches on it.
  const bool gpu = friendly::read_path_choice(friendly::kGpuName, placement, error);
  EXPECT_EQ(gpu, friendly::gpu_available());
  const std::string offers = std::string("; it offers ") + friendly::available_path_names();
  if (gpu) {
    EXPECT_EQ(placement, Placement(Device::gpu, friendly::fastest_path(), true));
    EXPECT_FALSE(
        friendly::read_path_choice(friendly::kGpuName, placement, error, "friendlyNumbers_mpi"));
    EXPECT_EQ(error,
              "FRIENDLY_KERNELS 'gpu': friendlyNumbers_mpi runs on the processors' paths only");
  } else {
    EXPECT_EQ(error, "FRIENDLY_KERNELS 'gpu' is a path this machine cannot run (" +
                         friendly::gpu_unavailable_reason() + ")" + offers);
  }
  EXPECT_FALSE(friendly::read_path_choice("AVX2\n", placement, error));
  EXPECT_EQ(error, std::string("FRIENDLY_KERNELS 'AVX2\\x0a' names no kernel path; this "
                               "processor offers ") +
                       friendly::available_path_names());
}

}  // namespace

TEST(Tunings, ChosenByVendorFamilyModelAndCacheAndForcedByName) {
  using friendly::ProcessorId;
  using friendly::Vendor;
  constexpr std::int64_t kKiB = 1024;
  const std::size_t zen5 = friendly::tuning_named("zen5");
  const std::size_t standard = friendly::tuning_named("standard");
  const std::size_t zen4 = friendly::tuning_named("zen4");
  ASSERT_LT(zen5, friendly::kTuningCount);
  ASSERT_LT(zen4, friendly::kTuningCount);
  EXPECT_EQ(standard, 0U);
  EXPECT_EQ(friendly::tuning_named("Zen5"), friendly::kTuningCount);
  // Zen 5 with its 48 KiB cache; the Zen 4 server models 0x10 to 0x1f; smaller caches, the Ice
  // Lake, the Zen 3 and processors that the table does not know get the default.
  EXPECT_EQ(friendly::tuning_for(ProcessorId{Vendor::amd, 26, 2, 48 * kKiB}), zen5);
  EXPECT_EQ(friendly::tuning_for(ProcessorId{Vendor::amd, 26, 2, 32 * kKiB}), standard);
  EXPECT_EQ(friendly::tuning_for(ProcessorId{Vendor::intel, 6, 106, 48 * kKiB}), standard);
  EXPECT_EQ(friendly::tuning_for(ProcessorId{Vendor::amd, 25, 1, 32 * kKiB}), standard);
  EXPECT_EQ(friendly::tuning_for(ProcessorId{Vendor::amd, 25, 0x10, 32 * kKiB}), zen4);
  EXPECT_EQ(friendly::tuning_for(ProcessorId{Vendor::amd, 25, 0x1f, 32 * kKiB}), zen4);
  EXPECT_EQ(friendly::tuning_for(ProcessorId{Vendor::amd, 25, 0x21, 32 * kKiB}), standard);
  EXPECT_EQ(friendly::tuning_for(ProcessorId{Vendor::intel, 26, 2, 48 * kKiB}), standard);
  EXPECT_EQ(friendly::tuning_for(ProcessorId{}), standard);
  // CPUID's leaf 1 EAX of a Zen 5, a Zen 4 server, an Ice Lake server and a Zen 3 (stepping 1,
  // 1, 6 and 1).
  EXPECT_EQ(friendly::tuning_for(friendly::decode_processor("AuthenticAMD", 0x00B00F21, 48 * kKiB)),
            zen5);
  EXPECT_EQ(friendly::tuning_for(friendly::decode_processor("AuthenticAMD", 0x00A10F11, 32 * kKiB)),
            zen4);
  const ProcessorId ice_lake = friendly::decode_processor("GenuineIntel", 0x000606A6, 48 * kKiB);
  EXPECT_EQ(ice_lake.vendor, Vendor::intel);
  EXPECT_EQ(ice_lake.family, 6);
  EXPECT_EQ(ice_lake.model, 106);
  const ProcessorId zen3 = friendly::decode_processor("AuthenticAMD", 0x00A00F11, 32 * kKiB);
  EXPECT_EQ(zen3.family, 25);
  EXPECT_EQ(zen3.model, 1);
  EXPECT_EQ(friendly::decode_processor("HygonGenuine", 0x00B00F21, 0).vendor, Vendor::other);

  std::size_t tuning = friendly::kTuningCount;
  std::string error;
  EXPECT_TRUE(friendly::read_tuning_choice("", tuning, error));
  EXPECT_EQ(tuning, friendly::tuning_for(friendly::this_processor()));
  EXPECT_TRUE(friendly::read_tuning_choice("zen5", tuning, error));
  EXPECT_EQ(tuning, zen5);
  EXPECT_FALSE(friendly::read_tuning_choice("fast", tuning, error));
  EXPECT_EQ(tuning, zen5);
  EXPECT_EQ(error, std::string("FRIENDLY_TUNING 'fast' names no tuning; the tunings are ") +
                       friendly::tuning_names());
}

TEST(Tunings, TheTestsRunEveryPathUnderEachOfItsDistinctKernelsAndTilings) {
  // Every path has a kernel under every tuning, and each distinct one is among those tested.
  const std::vector<friendly_test::TunedPath> stepping =
      friendly_test::stepping_tunings(friendly::kAllPaths);
  const std::vector<friendly_test::TunedPath> tiling =
      friendly_test::tiling_tunings(friendly::kAllPaths);
  for (const friendly::KernelPath path : friendly::kAllPaths) {
    for (std::size_t t = 0; t < friendly::kTuningCount; ++t) {
      const friendly::StepKernel kernel = friendly_test::stepping_kernel(path, t);
      ASSERT_NE(kernel, nullptr) << friendly::path_name(path) << " under " << t;
      EXPECT_EQ(std::count_if(stepping.begin(), stepping.end(),
                              [&](const friendly_test::TunedPath& tested) {
                                return tested.path == path && friendly_test::stepping_kernel(
                                                                  path, tested.tuning) == kernel;
                              }),
                1)
          << friendly::path_name(path) << " under " << friendly::kTunings[t].name;
    }
    EXPECT_GE(
        std::count_if(tiling.begin(), tiling.end(),
                      [&](const friendly_test::TunedPath& tested) { return tested.path == path; }),
        1);
  }
  // The AVX-512 path compiles one kernel per distinct set of its constants, the others one
  // kernel for all (AVX2's vectors are the same in every row); the tilings follow the rows'
  // tile shares and groups.
  std::set<std::tuple<int, int, int>> avx512;
  std::set<int> avx2;
  std::set<std::pair<int, int>> tilings;
  for (const friendly::Tuning& t : friendly::kTunings) {
    avx512.insert({t.avx512_vectors, t.avx512_stretch, t.avx512_split});
    avx2.insert(t.avx2_vectors);
    tilings.insert({t.tile_percent, t.group_blocks});
  }
  const auto kernels_of = [&](friendly::KernelPath path) {
    return std::count_if(
        stepping.begin(), stepping.end(),
        [&](const friendly_test::TunedPath& tested) { return tested.path == path; });
  };
  EXPECT_EQ(kernels_of(friendly::KernelPath::avx512), static_cast<std::ptrdiff_t>(avx512.size()));
  EXPECT_EQ(kernels_of(friendly::KernelPath::avx2), static_cast<std::ptrdiff_t>(avx2.size()));
  EXPECT_EQ(kernels_of(friendly::KernelPath::portable), 1);
  EXPECT_EQ(std::count_if(tiling.begin(), tiling.end(),
                          [&](const friendly_test::TunedPath& tested) {
                            return tested.path == friendly::KernelPath::portable;
                          }),
            static_cast<std::ptrdiff_t>(tilings.size()));
}

TEST(Names, PathsAndTuningsAreTakenOnlyByTheirWholeNames) {
  // Near misses of every name: a blank or a character after it or before it, its start alone.
  const auto near_misses = [](const std::string& name) {
    return std::vector<std::string>{name + " ", name + "x", " " + name, name + "\n",
                                    name.substr(0, name.size() - 1)};
  };
  for (const friendly::Tuning& tuning : friendly::kTunings) {
    for (const std::string& miss : near_misses(tuning.name))
      EXPECT_EQ(friendly::tuning_named(miss), friendly::kTuningCount) << "'" << miss << "'";
  }
  std::vector<std::string> paths = {friendly::kGpuName};
  for (const KernelPath path : friendly::kAllPaths)
    paths.emplace_back(friendly::path_name(path));
  for (const std::string& name : paths) {
    for (const std::string& miss : near_misses(name)) {
      Placement placement;
      EXPECT_FALSE(friendly::placement_named(miss, placement)) << "'" << miss << "'";
    }
  }
}
