// The work tallies of the counting build. Compiled for plain x86-64.
#include "paths/kernels.hpp"

#include <atomic>

namespace friendly {

namespace {

// Process-wide work tallies of the counting build.
std::atomic<std::int64_t> tests_run{0};
std::atomic<std::int64_t> retests_run{0};
std::atomic<std::int64_t> comparisons_run{0};

}  // namespace

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
