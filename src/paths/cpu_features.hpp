// The processor's instruction-set features that the paths need, detected once from CPUID and
// XCR0. This header declares functions and constexpr helpers only (a path's source includes it).
#pragma once

#include <cstdint>

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

}  // namespace friendly
