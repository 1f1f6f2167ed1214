// The bytes that the memory check counts for the search and the validation, against what they
// really allocate: this test program replaces the global operator new to measure it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "run/friendly_numbers.hpp"
#include "search/friendly.hpp"
#include "validate/validate.hpp"

namespace {

// Bytes live through operator new, and the most at once since the last reset_peak().
std::atomic<std::int64_t> live{0};
std::atomic<std::int64_t> peak{0};

// Each block keeps its size in a header of one maximal alignment.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* counted_new(std::size_t size) noexcept {
  void* block = std::malloc(size + kHeader);  // NOLINT(cppcoreguidelines-no-malloc)
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = size;
  const std::int64_t now = live += static_cast<std::int64_t>(size);
  for (std::int64_t most = peak.load(); now > most && !peak.compare_exchange_weak(most, now);) {
  }
  return static_cast<char*>(block) + kHeader;
}

void counted_delete(void* pointer) noexcept {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - kHeader;
  live -= static_cast<std::int64_t>(*static_cast<std::size_t*>(block));
  std::free(block);  // NOLINT(cppcoreguidelines-no-malloc)
}

// The most bytes live at once while run() runs, beyond those live before it.
template <typename Run>
std::int64_t peak_of(Run&& run) {
  const std::int64_t before = live.load();
  peak = before;
  run();
  return peak.load() - before;
}

TEST(Memory, TheValidationAllocatesWhatTheMemoryCheckCounts) {
  const std::int32_t ranges[][2] = {{1, 100'000}, {-50, 70'000}, {2'000'000'000, 2'000'001'000}};
  // Plain copies of the bounds: clang 14 cannot capture structured bindings in a lambda.
  for (const auto& range : ranges) {
    const std::int32_t low = range[0];
    const std::int32_t high = range[1];
    friendly::Answer answer;
    const std::int64_t used =
        peak_of([&] { ASSERT_TRUE(friendly::validate_range(low, high, answer)); });
    EXPECT_EQ(used, friendly::validation_bytes(low, high)) << low << ".." << high;
  }
}

TEST(Memory, TheSearchAllocatesWhatTheMemoryCheckCounts) {
  std::FILE* out = std::fopen("/dev/null", "w");
  ASSERT_NE(out, nullptr);
  const std::int32_t ranges[][2] = {{1, 50'000}, {-10, 30'000}};
  for (const auto& range : ranges) {
    const std::int32_t low = range[0];
    const std::int32_t high = range[1];
    const std::int64_t used = peak_of([&] {
      ASSERT_TRUE(friendly::search<std::int32_t>(low, high, friendly::fastest_path(), out));
    });
    // The arrays, and beside them at most a few small buffers (the cache files read by stream).
    EXPECT_GE(used, friendly::search_bytes(low, high)) << low << ".." << high;
    EXPECT_LE(used, friendly::search_bytes(low, high) + 65536) << low << ".." << high;
  }
  std::fclose(out);
}

}  // namespace

// The replaced allocation functions: every form of operator new and delete of this program.
void* operator new(std::size_t size) {
  void* block = counted_new(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
  return counted_new(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
  return counted_new(size);
}
void operator delete(void* pointer) noexcept {
  counted_delete(pointer);
}
void operator delete[](void* pointer) noexcept {
  counted_delete(pointer);
}
void operator delete(void* pointer, std::size_t /*size*/) noexcept {
  counted_delete(pointer);
}
void operator delete[](void* pointer, std::size_t /*size*/) noexcept {
  counted_delete(pointer);
}
