// The choice between the instruction-set paths: what the processor and the operating system
// support, and the one switch per kernel that maps a path to its code. Compiled for plain x86-64.
#include "kernels.hpp"

#include <cpuid.h>

#include <atomic>

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
  return static_cast<int>(path) <= static_cast<int>(fastest_path());
}

const char* path_name(KernelPath path) noexcept {
  switch (path) {
    case KernelPath::avx512:
      return "avx512";
    case KernelPath::avx2:
      return "avx2";
    case KernelPath::portable:
      break;
  }
  return "portable";
}

std::int32_t next_divisor_dividing(KernelPath path, std::int32_t n, std::int32_t from,
                                   std::int32_t to) noexcept {
  switch (path) {
    case KernelPath::avx512:
      return avx512::next_divisor_dividing(n, from, to);
    case KernelPath::avx2:
      return avx2::next_divisor_dividing(n, from, to);
    case KernelPath::portable:
      break;
  }
  return portable::next_divisor_dividing(n, from, to);
}

std::int32_t next_divisor_stepping(KernelPath path, std::int32_t n, std::int32_t from,
                                   std::int32_t to) noexcept {
  switch (path) {
    case KernelPath::avx512:
      return avx512::next_divisor_stepping(n, from, to);
    case KernelPath::avx2:
      return avx2::next_divisor_stepping(n, from, to);
    case KernelPath::portable:
      break;
  }
  return portable::next_divisor_stepping(n, from, to);
}

namespace {

// matching_rows and find_equal for either element width.
template <typename Ratio>
std::uint32_t matching_rows_on(KernelPath path, const Ratio* numerators, const Ratio* denominators,
                               std::int64_t first_row, std::int64_t rows, std::int64_t from,
                               std::int64_t to) noexcept {
  switch (path) {
    case KernelPath::avx512:
      return avx512::matching_rows(numerators, denominators, first_row, rows, from, to);
    case KernelPath::avx2:
      return avx2::matching_rows(numerators, denominators, first_row, rows, from, to);
    case KernelPath::portable:
      break;
  }
  return portable::matching_rows(numerators, denominators, first_row, rows, from, to);
}

template <typename Ratio>
std::int64_t find_equal_on(KernelPath path, Ratio x, const Ratio* values, std::int64_t from,
                           std::int64_t to) noexcept {
  switch (path) {
    case KernelPath::avx512:
      return avx512::find_equal(x, values, from, to);
    case KernelPath::avx2:
      return avx2::find_equal(x, values, from, to);
    case KernelPath::portable:
      break;
  }
  return portable::find_equal(x, values, from, to);
}

}  // namespace

std::uint32_t matching_rows(KernelPath path, const std::int32_t* numerators,
                            const std::int32_t* denominators, std::int64_t first_row,
                            std::int64_t rows, std::int64_t from, std::int64_t to) noexcept {
  return matching_rows_on(path, numerators, denominators, first_row, rows, from, to);
}

std::uint32_t matching_rows(KernelPath path, const std::int64_t* numerators,
                            const std::int64_t* denominators, std::int64_t first_row,
                            std::int64_t rows, std::int64_t from, std::int64_t to) noexcept {
  return matching_rows_on(path, numerators, denominators, first_row, rows, from, to);
}

std::int64_t find_equal(KernelPath path, std::int32_t x, const std::int32_t* values,
                        std::int64_t from, std::int64_t to) noexcept {
  return find_equal_on(path, x, values, from, to);
}

std::int64_t find_equal(KernelPath path, std::int64_t x, const std::int64_t* values,
                        std::int64_t from, std::int64_t to) noexcept {
  return find_equal_on(path, x, values, from, to);
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
