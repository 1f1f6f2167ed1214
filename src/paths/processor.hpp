// What this processor is, read once and only here: the instruction-set features that the paths
// need (CPUID and XCR0), its vendor, family, model and brand string (CPUID), and its core's caches
// (sysfs, sysconf). This header declares functions and constexpr helpers only (a path's source
// includes it).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace friendly {

// The features that some path needs; each is one bit of a FeatureSet.
enum class CpuFeature : std::uint32_t { avx, avx2, avx512f, avx512dq, avx512bw, avx512vl };

// A set of features: bit k for the CpuFeature of value k.
using FeatureSet = std::uint32_t;

// The set of the given features (the empty set for none).
template <typename... Feature>
constexpr FeatureSet features(Feature... feature) noexcept {
  return (FeatureSet{0} | ... | (FeatureSet{1} << static_cast<std::uint32_t>(feature)));
}

// True when every feature of needs is in has.
constexpr bool features_within(FeatureSet needs, FeatureSet has) noexcept {
  return (needs & ~has) == 0;
}

// The features that a processor has and its operating system saves the registers of, from
// CPUID leaf 1's ECX, leaf 7 (subleaf 0)'s EBX (0 where the processor lacks that leaf) and XCR0
// (0 where leaf 1 lacks OSXSAVE).
FeatureSet decode_features(std::uint32_t leaf1_ecx, std::uint32_t leaf7_ebx,
                           std::uint64_t xcr0) noexcept;

// This processor's features (decode_features of its own registers, read once).
FeatureSet processor_features() noexcept;

// Bytes of each level of cache that serves one core's data; 0 where none is reported.
struct CacheSizes {
  std::int64_t level1_data = 0;
  std::int64_t level2 = 0;
};

// The size in a sysfs cache size file ("48K", "2048K", "1M", a plain number of bytes), or 0
// when text is none of these.
std::int64_t cache_size_bytes(const std::string& text) noexcept;

// The data caches that a sysfs cache folder (/sys/devices/system/cpu/cpuN/cache) describes in
// its entries index0, index1, ... up to the first one missing; sizes it lacks are 0.
CacheSizes sysfs_caches(const std::string& folder);

// The caches of the core that the calling thread runs on (sysfs, the first processor's when the
// thread's cannot be read), else sysconf's; sizes not reported by either are 0.
CacheSizes core_caches() noexcept;

// The processor makers that the tunings tell apart.
enum class Vendor { intel, amd, other };

// A processor as the tunings read it: its vendor, family and model as CPUID leaf 1 reports them
// (the extended fields added), and its first-level data cache in bytes.
struct ProcessorId {
  Vendor vendor = Vendor::other;
  int family = 0;
  int model = 0;
  std::int64_t level1_data = 0;
};

// The processor that CPUID leaf 0's vendor string (EBX, EDX, ECX: twelve characters) and leaf
// 1's EAX describe, with level1_data bytes of first-level data cache.
ProcessorId decode_processor(std::string_view vendor, std::uint32_t leaf1_eax,
                             std::int64_t level1_data) noexcept;

// This processor (decode_processor of its CPUID and core_caches(), read once).
ProcessorId this_processor() noexcept;

// This processor's model name as it reports itself (CPUID's brand string, trimmed), or
// "unknown"; read once.
const std::string& processor_brand();

}  // namespace friendly
