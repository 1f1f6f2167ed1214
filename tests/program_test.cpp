// End-to-end runs of the built program: its lines, its refusals and its exit statuses.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "gpu.hpp"
#include "kernels.hpp"
#include "reference.hpp"
#include "text_files.hpp"

namespace {

using friendly_test::pair_line;
using friendly_test::read_file;
using friendly_test::reference_lines;
using friendly_test::split_lines;

struct ProgramRun {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs the program through the shell with the given argument text (already quoted) and
// environment prefix; stdout_redirect replaces the capture of standard output when given.
ProgramRun run_program(const std::string& args, const std::string& env = "",
                       const std::string& stdout_redirect = "") {
  const std::string dir = ::testing::TempDir();
  const std::string out_path = dir + "friendly_out_" + std::to_string(getpid());
  const std::string err_path = dir + "friendly_err_" + std::to_string(getpid());
  const std::string command = env + " '" FRIENDLY_PROGRAM "' " + args + " " +
                              (stdout_redirect.empty() ? "> '" + out_path + "'" : stdout_redirect) +
                              " 2> '" + err_path + "'";
  std::ofstream(out_path).close();
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test process runs one thread.
  const int raw = std::system(command.c_str());
  ProgramRun run;
  run.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  return run;
}

const std::regex kTimeLine(R"(Tempo total \d+\.\d{6} seconds)");

// The pair lines of a successful run, after checking that the time line is last and only once.
std::vector<std::string> pair_lines(const ProgramRun& run) {
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::vector<std::string> lines = split_lines(run.out);
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return lines;
  EXPECT_TRUE(std::regex_match(lines.back(), kTimeLine)) << lines.back();
  EXPECT_TRUE(!run.out.empty() && run.out.back() == '\n');
  lines.pop_back();
  for (const std::string& line : lines)
    EXPECT_EQ(line.find("Tempo"), std::string::npos);
  return lines;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(Program, KnownRangesPrintTheirPairsThenTheTime) {
  EXPECT_EQ(sorted(pair_lines(run_program("1 30"))),
            sorted({pair_line(1, 6), pair_line(1, 28), pair_line(6, 28)}));
  EXPECT_EQ(pair_lines(run_program("2 30")), std::vector<std::string>{pair_line(6, 28)});
  EXPECT_EQ(sorted(pair_lines(run_program("1 200"))),
            sorted({pair_line(1, 6), pair_line(1, 28), pair_line(6, 28), pair_line(30, 140),
                    pair_line(80, 200)}));
}

TEST(Program, EmptyOneNumberAndPairlessRangesPrintOnlyTheTime) {
  for (const char* args : {"5 5", "10 9", "-50 0", "2 5", "2147483647 2147483646"}) {
    EXPECT_TRUE(pair_lines(run_program(args)).empty()) << args;
  }
}

TEST(Program, NumbersBelowOneNeverPair) {
  EXPECT_EQ(sorted(pair_lines(run_program("-1000 30"))),
            sorted({pair_line(1, 6), pair_line(1, 28), pair_line(6, 28)}));
}

TEST(Program, TeamSizesGiveTheSameLinesAndOneThreadKeepsRowOrder) {
  const std::vector<std::string> expected = reference_lines(1, 3000);
  ASSERT_GT(expected.size(), 40u);
  EXPECT_EQ(pair_lines(run_program("1 3000", "OMP_NUM_THREADS=1")), expected);
  for (const char* threads : {"2", "3", "8"}) {
    EXPECT_EQ(sorted(pair_lines(run_program("1 3000", std::string("OMP_NUM_THREADS=") + threads))),
              sorted(expected))
        << threads << " threads";
  }
}

TEST(Program, MidSizeRangeMatchesIndependentReference) {
  EXPECT_EQ(sorted(pair_lines(run_program("1 20000"))), sorted(reference_lines(1, 20000)));
}

TEST(Program, EdgesOfThe32BitDomain) {
  // The largest number is a prime whose divisor sum is 2^31; the smallest has denominator 2^31.
  EXPECT_TRUE(pair_lines(run_program("2147483640 2147483647")).empty());
  EXPECT_TRUE(pair_lines(run_program("-2147483648 -2147483600")).empty());
}

TEST(Program, RefusedCommandLinesPrintOneErrorLineAndNothingElse) {
  for (const char* args :
       {"", "5", "abc 10", "'' 10", "12x 20", "1e3 2000", "1 4294967297", "-2147483649 5",
        "1 99999999999999999999", "10 8", "2147483647 -2147483648"}) {
    const ProgramRun run = run_program(args);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_EQ(run.out, "") << args;
    EXPECT_EQ(split_lines(run.err).size(), 1u) << args << ": " << run.err;
    EXPECT_EQ(run.err.rfind("friendlyNumbers: ", 0), 0u) << run.err;
  }
}

TEST(Program, GpuWhereNoneRunsIsRefusedBeforeAnyWork) {
  if (friendly::path_available(friendly::KernelPath::gpu))
    GTEST_SKIP() << "this machine has a GPU: the gpu tests run the program on it";
  const ProgramRun run = run_program("1 30", "FRIENDLY_KERNELS=gpu");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "friendlyNumbers: FRIENDLY_KERNELS 'gpu' is a path this machine cannot run (" +
                         friendly::gpu_unavailable_reason() + "); it offers " +
                         friendly::available_path_names() + "\n");
}

TEST(Program, BlanksAndSignsAreAcceptedAndExtraArgumentsIgnored) {
  EXPECT_EQ(pair_lines(run_program("' +2' ' 30' extra")),
            std::vector<std::string>{pair_line(6, 28)});
  EXPECT_TRUE(pair_lines(run_program("' -3' 0")).empty());
}

TEST(Program, HelpAndVersion) {
  for (const char* args : {"-h", "--help"}) {
    const ProgramRun help = run_program(args);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: friendlyNumbers [--report[=json]] [--validate] LOW HIGH"),
              std::string::npos);
    EXPECT_NE(help.out.find("FRIENDLY_KERNELS"), std::string::npos);
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    EXPECT_EQ(help.err, "");
  }
  const ProgramRun version = run_program("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("friendlyNumbers \\d+\\.\\d+\\.\\d+\n")))
      << version.out;
}

TEST(Program, UnwritableOutputFailsWithStatusOne) {
  for (const char* range : {"1 200", "1 3", "1 20000"}) {
    const ProgramRun full = run_program(range, "", "> /dev/full");
    EXPECT_EQ(full.status, 1) << range;
    EXPECT_EQ(split_lines(full.err).size(), 1u) << full.err;
    EXPECT_NE(full.err.find("cannot write standard output"), std::string::npos) << full.err;
  }
  const ProgramRun closed = run_program("1 200", "", ">&-");
  EXPECT_EQ(closed.status, 1);
  EXPECT_NE(closed.err.find("cannot write standard output"), std::string::npos) << closed.err;
}

// True in builds with sanitizers, whose runtimes reserve more address space than the memory
// limits of these tests allow.
bool sanitized() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test process runs one thread.
  return std::getenv("FRIENDLY_SANITIZED") != nullptr;
}

TEST(Program, RangesTooLargeForALimitAreRefusedBeforeAnyWork) {
  if (sanitized()) GTEST_SKIP() << "sanitizers reserve memory";
  // Limits of 102,400,000 bytes, below what any machine that runs these tests has.
  const struct {
    const char* limit;
    const char* name;
  } limits[] = {{"ulimit -v 100000;", "the address-space limit (ulimit -v)"},
                {"ulimit -d 100000;", "the data-segment limit (ulimit -d)"}};
  const struct {
    const char* range;
    const char* size;
  } ranges[] = {{"1 10000000", "10000000 numbers need 120000000 bytes"},
                {"-2147483648 2147483647", "4294967296 numbers need 85899345920 bytes"}};
  for (const auto& [limit, name] : limits) {
    for (const auto& [range, size] : ranges) {
      const ProgramRun run = run_program(range, limit);
      EXPECT_EQ(run.status, 1) << limit << range;
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, "friendlyNumbers: range too large: " + std::string(size) +
                             ", more than the 102400000 bytes that " + name + " allows\n");
    }
  }
}

TEST(Program, TeamsBeyondALimitAreRefusedBeforeAnyWork) {
  if (sanitized()) GTEST_SKIP() << "sanitizer runtimes have thread and stack limits of their own";
  // Teams that this machine may or may not start: each one runs with the right lines, or is
  // refused in one line that names its size and the limit. 256 KiB of stack is less than GNU
  // libgomp's team start needs for 2500 threads.
  const std::vector<std::string> expected = {pair_line(1, 6), pair_line(1, 28), pair_line(6, 28)};
  const std::pair<const char*, const char*> teams[] = {{"ulimit -s 256;", "2500"},
                                                       {"ulimit -s 8192;", "40000"},
                                                       {"ulimit -s 8192;", "70000"},
                                                       {"ulimit -s 8192;", "100000"}};
  for (const auto& [limit, threads] : teams) {
    const ProgramRun run = run_program("1 30", std::string(limit) + " OMP_NUM_THREADS=" + threads);
    if (run.status == 0) {
      EXPECT_EQ(sorted(pair_lines(run)), sorted(expected)) << threads;
      continue;
    }
    EXPECT_EQ(run.status, 1) << limit << " " << threads << ": " << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(std::regex_match(
        run.err, std::regex("friendlyNumbers: cannot start a team of " + std::string(threads) +
                            " threads: more than the \\d+ threads "
                            "that [^\n]+ allows\n")))
        << run.err;
  }
  // Thread stacks share the address space with the arrays: 200 stacks of 8 MiB do not fit in
  // 400 MB, which a team of 2 leaves room for.
  const ProgramRun capped =
      run_program("1 30", "ulimit -s 8192; ulimit -v 400000; OMP_NUM_THREADS=200");
  EXPECT_EQ(capped.status, 1) << capped.err;
  EXPECT_NE(capped.err.find("cannot start a team of 200 threads"), std::string::npos) << capped.err;
  EXPECT_NE(capped.err.find("the address-space limit (ulimit -v)"), std::string::npos)
      << capped.err;
  EXPECT_EQ(sorted(pair_lines(run_program("1 30", "ulimit -v 400000; OMP_NUM_THREADS=2"))),
            sorted(expected));
}

TEST(Program, FailedAllocationIsReportedNotCrashed) {
  if (sanitized()) GTEST_SKIP() << "sanitizers reserve memory";
  // 20,000,000 numbers need 240,000,000 bytes: below the address-space limit of 241,664,000
  // bytes, but not with the program's own few megabytes of code and libraries. One thread, the
  // team that always passes the team check, which counts the arrays against the same limit.
  const ProgramRun capped = run_program("1 20000000", "ulimit -v 236000; OMP_NUM_THREADS=1");
  EXPECT_EQ(capped.status, 1);
  EXPECT_EQ(capped.out, "");
  EXPECT_EQ(capped.err, "friendlyNumbers: out of memory: 20000000 numbers need 240000000 bytes\n");
}

}  // namespace
