// The progress meter of the built program in a real pseudo-terminal (script(1) from util-linux):
// drawn on a long run whose output goes to a file, gone from the final screen, and never where
// it would tear the output or is turned off.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "reference.hpp"
#include "text_files.hpp"

namespace {

using friendly_test::split_lines;

struct TerminalRun {
  int status = -1;       // the program's exit status (script -e passes it on)
  std::string terminal;  // every byte that reached the terminal
  std::string out;       // standard output, where it went to a file
  std::string err;       // standard error, where it went to a file
};

// True when script(1) can run a command on a pseudo-terminal here.
bool have_script() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test process runs one thread.
  return std::system("script -qec true /dev/null < /dev/null > /dev/null 2>&1") == 0;
}

// Runs the program with the given environment prefix and arguments on a pseudo-terminal, its
// standard output and error on the terminal or, where asked, in files.
TerminalRun run_in_terminal(const std::string& env, const std::string& args, bool out_to_file,
                            bool err_to_file) {
  const friendly_test::TempFile out("terminal_out");
  const friendly_test::TempFile err("terminal_err");
  std::string inner = env + " '" FRIENDLY_PROGRAM "' " + args;
  if (out_to_file) inner += " > '" + out.path() + "'";
  if (err_to_file) inner += " 2> '" + err.path() + "'";
  const friendly_test::ShellRun shell =
      friendly_test::run_shell("script -qec \"" + inner + "\" /dev/null < /dev/null 2>&1");
  return {shell.status, shell.out, out.text(), err.text()};
}

// The lines of the screen after a terminal has shown text: a carriage return goes back to the
// line's start, ESC [ K clears the line from the cursor on, a newline starts the next line.
std::vector<std::string> final_screen(const std::string& text) {
  std::vector<std::string> screen(1);
  std::size_t column = 0;
  for (std::size_t k = 0; k < text.size(); ++k) {
    std::string& line = screen.back();
    if (text[k] == '\r') {
      column = 0;
    } else if (text[k] == '\n') {
      screen.emplace_back();
      column = 0;
    } else if (text.compare(k, 3, "\033[K") == 0) {
      line.resize(std::min(line.size(), column));
      k += 2;
    } else {
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = text[k];
    }
  }
  return screen;
}

const std::regex kTimeLine(R"(Tempo total (\d+\.\d{6}) seconds)");
const std::regex kDraw(
    R"(\r(ratios \(phase 1 of 2\)|pairs \(phase 2 of 2\)): (\d+\.\d) %, [0-9.e+]+ [kMGT]? ?)"
    R"((tests|comparisons)/s(, (\d+\.\d s|\d+ s|\d+ min \d\d s|\d+ h \d\d min) left)?\x1b\[K)");

// The seconds on the time line that ends out, or -1.
double search_seconds(const std::string& out) {
  const std::vector<std::string> lines = split_lines(out);
  std::smatch time;
  if (lines.empty() || !std::regex_match(lines.back(), time, kTimeLine)) return -1;
  return std::stod(time[1].str());
}

// The literal loops on one thread over 1..high, so that the run is long on any processor.
const char* const kSlowRun = "FRIENDLY_KERNELS=literal OMP_NUM_THREADS=1";
constexpr double kLongRun = 1.8;

// A range whose run, with standard output to a file and the meter turned off, takes kLongRun
// seconds or more (found once, growing the range by the square root of the time still missing,
// as the pair phase's time grows with the square of the range), and that run.
struct LongRange {
  std::int32_t high = 0;
  TerminalRun off;
};

const LongRange& long_range() {
  static LongRange range;
  if (range.high != 0) return range;
  for (range.high = 20'000; range.high < 2'000'000;) {
    range.off = run_in_terminal(std::string(kSlowRun) + " FRIENDLY_PROGRESS=0",
                                "1 " + std::to_string(range.high), true, false);
    const double seconds = search_seconds(range.off.out);
    if (seconds >= kLongRun || seconds < 0) break;
    const double growth = std::sqrt(4.0 / 3 * kLongRun / std::max(seconds, 0.01));
    range.high = static_cast<std::int32_t>(range.high * std::clamp(growth, 1.2, 4.0));
  }
  return range;
}

class Terminal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_script()) {
      GTEST_SKIP() << "no script(1) (util-linux, Debian package bsdutils) that can open a "
                      "pseudo-terminal here";
    }
  }
};

TEST_F(Terminal, LongRunDrawsProgressThatTheFinalScreenNoLongerShows) {
  const std::int32_t high = long_range().high;
  const TerminalRun run = run_in_terminal(kSlowRun, "1 " + std::to_string(high), true, false);
  ASSERT_EQ(run.status, 0) << run.terminal;

  // Standard output: exactly the pair lines, then the time line.
  std::vector<std::string> lines = split_lines(run.out);
  const double seconds = search_seconds(run.out);
  // Long enough for the first draw after one second, even if the machine got faster.
  ASSERT_GE(seconds, 1.2) << run.out.substr(run.out.size() > 200 ? run.out.size() - 200 : 0);
  lines.pop_back();
  std::sort(lines.begin(), lines.end());
  std::vector<std::string> expected = friendly_test::reference_lines(1, high);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);

  // The terminal: only draws of the meter, at most four a second after the first second, each
  // phase's share never going back, then one erasure.
  int draws = 0;
  std::string phase;
  double share = 0;
  std::string rest = run.terminal;
  for (std::smatch draw; std::regex_search(rest, draw, kDraw); rest = draw.suffix()) {
    EXPECT_EQ(draw.prefix().str(), "") << "between draws";
    if (draw[1].str() != phase) share = 0;
    phase = draw[1].str();
    EXPECT_GE(std::stod(draw[2].str()), share) << draw.str();
    share = std::stod(draw[2].str());
    ++draws;
  }
  EXPECT_EQ(rest, "\r\033[K");
  EXPECT_GE(draws, 1) << run.terminal;
  EXPECT_LE(draws, 4 * (seconds - 1) + 1) << seconds << " s";
  for (const std::string& line : final_screen(run.terminal))
    EXPECT_EQ(line, "");
}

TEST_F(Terminal, TheSieveMethodDrawsItsStepsThenErasesThem) {
  // A range long enough for a draw after one second, doubled until its run is.
  TerminalRun run;
  double seconds = 0;
  for (std::int32_t high = 1 << 23; high <= 1 << 28 && seconds < 1.2; high *= 2) {
    run = run_in_terminal("", "--method=sieve 1 " + std::to_string(high), true, false);
    ASSERT_EQ(run.status, 0) << run.terminal;
    seconds = search_seconds(run.out);
  }
  ASSERT_GE(seconds, 1.2);
  const std::regex draw(
      R"(\r(sieve: counting|sieve: pass \d+ of \d+|matching: pass \d+ of \d+): \d+\.\d %, )"
      R"([^\r]*(numbers|bins)/s[^\r]*\x1b\[K)");
  std::string rest = run.terminal;
  int draws = 0;
  for (std::smatch found; std::regex_search(rest, found, draw); rest = found.suffix()) {
    EXPECT_EQ(found.prefix().str(), "") << "between draws";
    ++draws;
  }
  EXPECT_GE(draws, 1) << run.terminal;
  EXPECT_EQ(rest, "\r\033[K");
}

TEST_F(Terminal, NoProgressWhereItWouldTearTheOutputOrIsTurnedOff) {
  const std::string range = "1 " + std::to_string(long_range().high);
  // Turned off: nothing reaches the terminal.
  const TerminalRun& off = long_range().off;
  EXPECT_EQ(off.status, 0);
  EXPECT_GE(search_seconds(off.out), 1.2);
  EXPECT_EQ(off.terminal, "");

  // Standard output on the terminal too: the lines alone.
  const TerminalRun shared = run_in_terminal(kSlowRun, range, false, false);
  EXPECT_EQ(shared.status, 0);
  EXPECT_EQ(shared.terminal.find('\033'), std::string::npos);
  EXPECT_EQ(shared.terminal.find("phase"), std::string::npos);
  EXPECT_NE(shared.terminal.find("Tempo total"), std::string::npos);

  // Standard error in a file: nothing in it, nothing on the terminal.
  const TerminalRun filed = run_in_terminal(kSlowRun, range, true, true);
  EXPECT_EQ(filed.status, 0);
  EXPECT_GE(search_seconds(filed.out), 1.2);
  EXPECT_EQ(filed.err, "");
  EXPECT_EQ(filed.terminal, "");
}

}  // namespace
