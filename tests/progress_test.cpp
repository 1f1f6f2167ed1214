// The progress meter: its estimate of the ratio phase's work, its time text and its line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "oracles.hpp"
#include "search/progress.hpp"
#include "search/ratio_phase.hpp"

namespace {

// The estimated share of the ratio phase's work below each of a few numbers of low..high agrees
// with the share of the candidate tests that the trial division really makes there.
void expect_ratio_shares_hold(std::int32_t low, std::int32_t high) {
  std::vector<double> below(static_cast<std::size_t>(high - low + 2), 0);
  for (std::int32_t n = low; n <= high; ++n) {
    const auto k = static_cast<std::size_t>(n - low);
    below[k + 1] = below[k] + static_cast<double>(friendly::candidate_tests(n));
  }
  friendly::ProgressMeter meter;
  friendly::begin_ratio_progress(meter, low, std::int64_t{high} - low + 1, 1, 0);
  for (int tenth = 1; tenth < 10; ++tenth) {
    const std::int32_t n = low + (high - low) / 10 * tenth;
    const double real = below[static_cast<std::size_t>(n - low)] / below.back();
    EXPECT_NEAR(friendly::ratio_share(meter, n), real, 0.01) << low << ".." << high << " at " << n;
  }
}

TEST(Progress, RatioPhaseSharesFollowTheCandidateTests) {
  expect_ratio_shares_hold(1, 200'000);
  expect_ratio_shares_hold(150'000, 200'000);
  expect_ratio_shares_hold(1'000'000, 1'050'000);
  // Numbers below 3 make no tests: their share is that of the numbers.
  friendly::ProgressMeter meter;
  friendly::begin_ratio_progress(meter, -100, 100, 1, 0);
  EXPECT_DOUBLE_EQ(friendly::ratio_share(meter, -50), 0.5);
}

TEST(Progress, TimeLeftReadsAsSecondsMinutesOrHours) {
  char text[48];
  const std::pair<double, std::string> cases[] = {
      {0, "0.0 s"},          {4.54, "4.5 s"},      {9.94, "9.9 s"},
      {9.96, "10 s"},        {59.4, "59 s"},       {185, "3 min 05 s"},
      {3599, "59 min 59 s"}, {7620, "2 h 07 min"}, {360000, "100 h 00 min"}};
  for (const auto& [seconds, expected] : cases) {
    friendly::format_time_left(seconds, text, sizeof text);
    EXPECT_EQ(std::string(text), expected) << seconds;
  }
}

TEST(Progress, LineStaysOneColumnNarrowerThanTheTerminal) {
  // Not a terminal: the width known to the meter is kept; each draw returns to the row's start.
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  friendly::ProgressMeter meter = friendly::start_progress(file, 0);
  friendly::begin_pair_progress(meter, 1e12, 2e12, 0);
  for (const int columns : {0, 24, 12}) {
    meter.columns = columns;
    friendly::draw_progress(meter, 0.25, 5e11, 10);
  }
  std::rewind(file);
  char text[512] = "";
  const std::size_t size = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  const std::string drawn(text, size);
  const std::string full = "pairs (phase 2 of 2): 25.0 %, 50 G comparisons/s, 30 s left";
  EXPECT_EQ(drawn, "\r" + full + "\033[K\r" + full.substr(0, 23) + "\033[K\r" + full.substr(0, 11) +
                       "\033[K");
}

}  // namespace
