// The search on the GPU (label gpu): the driver and runtime versions, its pairs against the CPU
// path's, in row then column order, the work its kernels counted against the literal loops, a
// pair buffer that is too short, and the program on the GPU path. Every test skips, saying why,
// where no GPU runs, and fails instead where FRIENDLY_REQUIRE_GPU=1 asks for one.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "child_process.hpp"
#include "gpu/gpu.hpp"
#include "memory_stream.hpp"
#include "oracles.hpp"
#include "paths/kernels.hpp"
#include "reference.hpp"
#include "run/friendly_numbers.hpp"
#include "search/friendly.hpp"
#include "text_files.hpp"

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

// True when FRIENDLY_REQUIRE_GPU is 1 (a GPU must run the tests), false when it is 0 or unset; a
// test that reads another value fails.
bool gpu_required() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test process reads it before any thread starts.
  const char* value = std::getenv("FRIENDLY_REQUIRE_GPU");
  const std::string setting = value != nullptr ? value : "";
  EXPECT_TRUE(setting.empty() || setting == "0" || setting == "1")
      << "FRIENDLY_REQUIRE_GPU is '" << setting << "': it takes 0 or 1";
  return setting == "1";
}

class Gpu : public ::testing::Test {
 protected:
  void SetUp() override {
    if (friendly::gpu_available()) return;
    if (gpu_required()) {
      FAIL() << "no GPU runs here, and FRIENDLY_REQUIRE_GPU=1 asks for one: "
             << friendly::gpu_unavailable_reason();
    }
    GTEST_SKIP() << "no GPU runs here: " << friendly::gpu_unavailable_reason();
  }
};

TEST(GpuSetup, NamesTheDriverAndRuntimeVersions) {
  const std::string versions = friendly::gpu_versions();
  std::printf("GPU versions: %s\n", versions.c_str());
  EXPECT_FALSE(versions.empty());
  if (gpu_required()) {
    EXPECT_EQ(versions.rfind("CUDA driver ", 0), 0U) << versions;
    EXPECT_TRUE(friendly::gpu_available()) << friendly::gpu_unavailable_reason();
  }
}

// The lines that search<Ratio> prints for low..high at placement, in the order printed, and its
// report.
template <typename Ratio>
std::string search_text(std::int32_t low, std::int32_t high, friendly::Placement placement,
                        friendly::SearchReport& report) {
  friendly_test::MemoryStream out;
  EXPECT_NE(out.get(), nullptr);
  if (out.get() == nullptr) return "";
  std::string error;
  EXPECT_TRUE(friendly::search<Ratio>(low, high, placement, out.get(), &report, nullptr, &error))
      << error;
  return out.text();
}

// The pair lines of text in row, then column order: by their first number, then their second.
std::vector<std::string> in_row_order(const std::string& text) {
  std::vector<std::pair<std::pair<long long, long long>, std::string>> keyed;
  for (const std::string& line : friendly_test::split_lines(text)) {
    long long a = 0;
    long long b = 0;
    EXPECT_EQ(std::sscanf(line.c_str(), "%lld and %lld", &a, &b), 2) << line;
    keyed.push_back({{a, b}, line});
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> lines;
  lines.reserve(keyed.size());
  for (const auto& [key, line] : keyed)
    lines.push_back(line);
  return lines;
}

// Checks that the GPU prints the lines of the CPU path, in row then column order, with the same
// count and checksum and the literal loop's candidate tests.
template <typename Ratio>
void expect_gpu_prints_the_cpu_lines(std::int32_t low, std::int32_t high) {
  friendly::SearchReport cpu;
  friendly::SearchReport gpu;
  const std::string expected = search_text<Ratio>(low, high, friendly::fastest_path(), cpu);
  EXPECT_EQ(friendly_test::split_lines(
                search_text<Ratio>(low, high, friendly::default_placement(true), gpu)),
            in_row_order(expected))
      << low << ".." << high << ", " << sizeof(Ratio) << "-byte ratios";
  EXPECT_EQ(gpu.answer.pairs, cpu.answer.pairs);
  EXPECT_EQ(gpu.answer.checksum, cpu.answer.checksum);
  EXPECT_EQ(gpu.candidate_tests, cpu.candidate_tests);
}

TEST_F(Gpu, PrintsTheCpuPathsLinesInRowThenColumnOrder) {
  // Lengths around one tile (2048 rows and columns) and several, both widths of ratio.
  const std::int32_t ranges[][2] = {
      {1, 30},    {1, 200},    {-37, 3'000},
      {5, 5},     {5, 4},      {1, 2'048},
      {1, 8'200}, {1, 20'000}, {(1 << 24) - 1'000, (1 << 24) + 1'000}};
  for (const auto& [low, high] : ranges) {
    expect_gpu_prints_the_cpu_lines<std::int32_t>(low, high);
    expect_gpu_prints_the_cpu_lines<std::int64_t>(low, high);
  }
  // Ranges that need 64-bit ratios: across the last 32-bit bound, and at both ends of the range.
  expect_gpu_prints_the_cpu_lines<std::int64_t>(190'000'000 - 500, 190'000'000 + 500);
  expect_gpu_prints_the_cpu_lines<std::int64_t>(kMax - 30, kMax);
  expect_gpu_prints_the_cpu_lines<std::int64_t>(kMin, kMin + 200);
}

// Checks the work that the kernels counted for low..high against the literal loops.
template <typename Ratio>
void expect_literal_work(std::int32_t low, std::int32_t high) {
  std::int64_t candidates = 0;
  for (std::int32_t n = low;; ++n) {
    candidates += friendly::candidate_tests(n);
    if (n == high) break;
  }
  const std::int64_t length = friendly::range_length(low, high);
  friendly::GpuRun run;
  friendly::GpuWork work;
  std::string error;
  ASSERT_TRUE(friendly::gpu_search<Ratio>(low, high, run, error, &work)) << error;
  EXPECT_GE(work.retests, 0);
  EXPECT_EQ(work.tests - work.retests, candidates) << low << ".." << high;
  EXPECT_EQ(run.candidate_tests, candidates) << low << ".." << high;
  EXPECT_EQ(work.comparisons, length * (length - 1) / 2) << low << ".." << high;
}

TEST_F(Gpu, KernelsTestEveryCandidateAndCompareEveryPairOnce) {
  expect_literal_work<std::int32_t>(1, 20'000);
  expect_literal_work<std::int32_t>((1 << 24) - 48, (1 << 24) + 48);
  expect_literal_work<std::int64_t>(kMax - 3, kMax);
}

TEST_F(Gpu, ShortPairBufferGrowsAndThePairPhaseRunsAgain) {
  friendly::GpuRun first;
  friendly::GpuRun again;
  std::string error;
  ASSERT_TRUE(friendly::gpu_search<std::int32_t>(1, 5'000, first, error)) << error;
  EXPECT_EQ(first.pair_passes, 1);
  ASSERT_GT(first.pairs.size(), 2U);
  ASSERT_TRUE(friendly::gpu_search<std::int32_t>(1, 5'000, again, error, nullptr, 2)) << error;
  EXPECT_EQ(again.pair_passes, 2);
  std::sort(first.pairs.begin(), first.pairs.end());
  std::sort(again.pairs.begin(), again.pairs.end());
  EXPECT_EQ(again.pairs, first.pairs);
}

TEST_F(Gpu, ProgramRunsOnTheGpuAndReportsTheDevice) {
  // The program of this build, or the one FRIENDLY_PROGRAM names (a build tree copied elsewhere).
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test process runs one thread.
  const char* named = std::getenv("FRIENDLY_PROGRAM");
  const std::string program = named != nullptr && *named != '\0' ? named : FRIENDLY_PROGRAM;
  const friendly_test::ShellRun run =
      friendly_test::run_shell("FRIENDLY_KERNELS=gpu '" + program + "' --report --validate 1 2000");
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines = friendly_test::split_lines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("Tempo total ", 0), 0U);
  lines.pop_back();
  EXPECT_EQ(lines, friendly_test::reference_lines(1, 2'000));
  const std::string& report = run.err;
  EXPECT_NE(report.find("  path: gpu\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  device: "), std::string::npos) << report;
  EXPECT_NE(report.find("  validated: true\n"), std::string::npos) << report;
}

}  // namespace
