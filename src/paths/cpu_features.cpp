// Detection of the processor's features from CPUID and XCR0, apart from any choice of a path.
// Compiled for plain x86-64.
#include "paths/cpu_features.hpp"

#include <cpuid.h>

#include <cstdint>

namespace friendly {

namespace {

// Bits of CPUID leaf 1 ECX, leaf 7 EBX and XCR0 that the features need.
constexpr std::uint32_t kOsxsave = 1U << 27;
constexpr std::uint32_t kAvx = 1U << 28;
constexpr std::uint32_t kAvx2 = 1U << 5;
constexpr std::uint32_t kAvx512f = 1U << 16;
constexpr std::uint32_t kAvx512dq = 1U << 17;
constexpr std::uint32_t kAvx512bw = 1U << 30;
constexpr std::uint32_t kAvx512vl = 1U << 31;
constexpr std::uint64_t kXmmYmmState = 0x6;    // SSE and AVX registers saved
constexpr std::uint64_t kZmmMaskState = 0xE0;  // AVX-512 mask and upper ZMM registers saved

// XCR0, the register states that the operating system saves; requires OSXSAVE.
std::uint64_t saved_states() noexcept {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return std::uint64_t{high} << 32 | low;
}

}  // namespace

FeatureSet decode_features(std::uint32_t leaf1_ecx, std::uint32_t leaf7_ebx,
                           std::uint64_t xcr0) noexcept {
  // Every feature here uses the YMM registers, the AVX-512 ones also the ZMM and mask registers:
  // without OSXSAVE, or where the system saves no such state, none may run.
  if ((leaf1_ecx & kOsxsave) == 0 || (xcr0 & kXmmYmmState) != kXmmYmmState) return 0;
  FeatureSet set = 0;
  if ((leaf1_ecx & kAvx) != 0) set |= features(CpuFeature::avx);
  if ((leaf7_ebx & kAvx2) != 0) set |= features(CpuFeature::avx2);
  if ((xcr0 & kZmmMaskState) != kZmmMaskState) return set;
  if ((leaf7_ebx & kAvx512f) != 0) set |= features(CpuFeature::avx512f);
  if ((leaf7_ebx & kAvx512dq) != 0) set |= features(CpuFeature::avx512dq);
  if ((leaf7_ebx & kAvx512bw) != 0) set |= features(CpuFeature::avx512bw);
  if ((leaf7_ebx & kAvx512vl) != 0) set |= features(CpuFeature::avx512vl);
  return set;
}

FeatureSet processor_features() noexcept {
  static const FeatureSet detected = [] {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return FeatureSet{0};
    const std::uint32_t leaf1_ecx = ecx;
    const std::uint64_t xcr0 = (leaf1_ecx & kOsxsave) != 0 ? saved_states() : 0;
    std::uint32_t leaf7_ebx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) leaf7_ebx = ebx;
    return decode_features(leaf1_ecx, leaf7_ebx, xcr0);
  }();
  return detected;
}

}  // namespace friendly
