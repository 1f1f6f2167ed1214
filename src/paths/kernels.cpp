// The paths that the processor, the operating system and the build support, their names, and the
// work tallies of the counting build. Compiled for plain x86-64.
#include "paths/kernels.hpp"

#include <cpuid.h>

#include <atomic>
#include <cstring>
#include <string>

#include "gpu/gpu.hpp"

namespace friendly {

namespace {

// Bits of CPUID leaf 1 ECX, leaf 7 EBX and XCR0 that the paths need.
constexpr unsigned kOsxsave = 1U << 27;
constexpr unsigned kAvx = 1U << 28;
constexpr unsigned kAvx2 = 1U << 5;
constexpr unsigned kAvx512 = 1U << 16 | 1U << 17 | 1U << 30 | 1U << 31;  // F, DQ, BW, VL
constexpr unsigned kXmmYmmState = 0x6;    // SSE and AVX registers saved
constexpr unsigned kZmmMaskState = 0xE0;  // AVX-512 mask and upper ZMM registers saved

// XCR0, the register states that the operating system saves; requires OSXSAVE.
unsigned saved_states() noexcept {
  unsigned low = 0;
  unsigned high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return low;
}

// The widest path that the processor has and the operating system saves the registers of.
KernelPath detect_widest_path() noexcept {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return KernelPath::portable;
  if ((ecx & kOsxsave) == 0 || (ecx & kAvx) == 0) return KernelPath::portable;
  const unsigned states = saved_states();
  if ((states & kXmmYmmState) != kXmmYmmState) return KernelPath::portable;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return KernelPath::portable;
  if ((ebx & kAvx2) == 0) return KernelPath::portable;
  if ((ebx & kAvx512) != kAvx512 || (states & kZmmMaskState) != kZmmMaskState)
    return KernelPath::avx2;
  return KernelPath::avx512;
}

// Process-wide work tallies of the counting build.
std::atomic<std::int64_t> tests_run{0};
std::atomic<std::int64_t> retests_run{0};
std::atomic<std::int64_t> comparisons_run{0};

}  // namespace

KernelPath fastest_path() noexcept {
  static const KernelPath widest = detect_widest_path();
  return widest;
}

bool path_available(KernelPath path) noexcept {
  if (path == KernelPath::gpu) return gpu_available();
  return static_cast<int>(path) <= static_cast<int>(fastest_path());
}

KernelPath default_path() noexcept {
  return gpu_available() ? KernelPath::gpu : fastest_path();
}

const char* path_name(KernelPath path) noexcept {
  switch (path) {
    case KernelPath::gpu:
      return "gpu";
    case KernelPath::avx512:
      return "avx512";
    case KernelPath::avx2:
      return "avx2";
    case KernelPath::portable:
      return "portable";
    case KernelPath::literal:
      break;
  }
  return "literal";
}

bool path_named(const char* name, KernelPath& path) noexcept {
  for (const KernelPath candidate : kAllChoices) {
    if (std::strcmp(name, path_name(candidate)) == 0) {
      path = candidate;
      return true;
    }
  }
  return false;
}

const char* available_path_names() noexcept {
  static const std::string names = [] {
    std::string list;
    for (const KernelPath path : kAllChoices) {
      if (!path_available(path)) continue;
      list += list.empty() ? "" : ", ";
      list += path_name(path);
    }
    return list;
  }();
  return names.c_str();
}

void count_work(std::int64_t tests, std::int64_t retests, std::int64_t comparisons) noexcept {
  tests_run.fetch_add(tests, std::memory_order_relaxed);
  retests_run.fetch_add(retests, std::memory_order_relaxed);
  comparisons_run.fetch_add(comparisons, std::memory_order_relaxed);
}

std::int64_t counted_tests() noexcept {
  return tests_run.load(std::memory_order_relaxed);
}

std::int64_t counted_retests() noexcept {
  return retests_run.load(std::memory_order_relaxed);
}

std::int64_t counted_comparisons() noexcept {
  return comparisons_run.load(std::memory_order_relaxed);
}

void reset_work_counts() noexcept {
  tests_run.store(0, std::memory_order_relaxed);
  retests_run.store(0, std::memory_order_relaxed);
  comparisons_run.store(0, std::memory_order_relaxed);
}

}  // namespace friendly
