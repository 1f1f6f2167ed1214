// End-to-end runs of the built program: its lines, its refusals and its exit statuses.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "child_process.hpp"
#include "gpu/gpu.hpp"
#include "paths/path_table.hpp"
#include "paths/tuning.hpp"
#include "reference.hpp"
#include "run/placement.hpp"
#include "sanitizers.hpp"
#include "text_files.hpp"

// Present in LLVM's libomp only: the runtime that this test and the program are built with.
extern "C" std::size_t kmp_get_stacksize_s() __attribute__((weak));

namespace {

using friendly_test::pair_line;
using friendly_test::read_file;
using friendly_test::reference_lines;
using friendly_test::sorted;
using friendly_test::split_lines;

using ProgramRun = friendly_test::ShellRun;

// Runs the program through the shell with the given argument text (already quoted) and
// environment prefix; stdout_redirect replaces the capture of standard output when given.
ProgramRun run_program(const std::string& args, const std::string& env = "",
                       const std::string& stdout_redirect = "") {
  return friendly_test::run_shell(env + " '" FRIENDLY_PROGRAM "' " + args + " " + stdout_redirect);
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
  if (friendly::gpu_available())
    GTEST_SKIP() << "this machine has a GPU: the gpu tests run the program on it";
  const ProgramRun run = run_program("1 30", std::string("FRIENDLY_KERNELS=") + friendly::kGpuName);
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
    EXPECT_NE(help.out.find("usage: friendlyNumbers [--report[=FORMAT[:FILE]]] [--validate] "
                            "[--method=sieve] LOW HIGH"),
              std::string::npos);
    EXPECT_NE(help.out.find("FRIENDLY_KERNELS"), std::string::npos);
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    EXPECT_EQ(help.err, "");
  }
  // The paths this machine runs, as the program itself lists them, the default last.
  const ProgramRun listed = run_program("--list-paths");
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.out, friendly::choice_names(true, "\n") + "\n");
  EXPECT_EQ(split_lines(listed.out).back(),
            friendly::placement_name(friendly::default_placement()));
  EXPECT_EQ(listed.err, "");
  EXPECT_NE(run_program("--help").out.find("--list-paths"), std::string::npos);
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

// The value of key in a report: the text after "key: " on its line, or after "key": in JSON
// (a string's quotes removed); empty when the key is missing.
std::string report_value(const std::string& report, const std::string& key) {
  std::smatch match;
  if (std::regex_search(report, match, std::regex("\"" + key + R"(":("[^"]*"|[^,}]*))"))) {
    std::string value = match[1];
    return value.front() == '"' ? value.substr(1, value.size() - 2) : value;
  }
  if (std::regex_search(report, match, std::regex("\n  " + key + ": ([^\n]*)\n"))) return match[1];
  return "";
}

// The FRIENDLY_KERNELS setting of every CPU path that this processor runs (--list-paths).
std::vector<std::string> available_paths() {
  std::vector<std::string> paths = split_lines(run_program("--list-paths").out);
  std::erase(paths, friendly::kGpuName);  // the GPU's own tests run it
  EXPECT_GE(paths.size(), 2u);
  return paths;
}

// The literal path's FRIENDLY_KERNELS setting.
const std::string kLiteral = friendly::path_name(friendly::KernelPath::literal);

TEST(Paths, EveryPathPrintsTheReferencePairsWithOneChecksum) {
  // One thread prints in row, then column order, three threads in any; every path and team has
  // the same checksum.
  const std::vector<std::string> expected = reference_lines(1, 30000);
  std::string checksum;
  for (const std::string& path : available_paths()) {
    for (const char* threads : {"1", "3"}) {
      const std::string env = "FRIENDLY_KERNELS=" + path + " OMP_NUM_THREADS=" + threads;
      const ProgramRun run = run_program("--report=json 1 30000", env);
      const std::vector<std::string> lines = split_lines(run.out);
      ASSERT_EQ(run.status, 0) << env << ": " << run.err;
      const std::vector<std::string> pairs(lines.begin(), lines.end() - 1);
      EXPECT_EQ(std::string(threads) == "1" ? pairs : sorted(pairs),
                std::string(threads) == "1" ? expected : sorted(expected))
          << env;
      EXPECT_EQ(report_value(run.err, "path"), path);
      EXPECT_EQ(report_value(run.err, "threads"), threads);
      EXPECT_EQ(report_value(run.err, "pairs"), std::to_string(expected.size()));
      if (checksum.empty()) checksum = report_value(run.err, "checksum");
      EXPECT_EQ(report_value(run.err, "checksum"), checksum) << env;
    }
  }
  EXPECT_TRUE(std::regex_match(checksum, std::regex("[0-9a-f]{16}"))) << checksum;
}

TEST(Paths, FastPathsFindEveryPairUpToOneHundredThousand) {
  // Pairs such as 28880 and 72200 share numerators whose low halves have their top bits set,
  // which a fault in a vector filter's masks would lose.
  const std::vector<std::string> expected = reference_lines(1, 100000);
  for (const std::string& path : available_paths()) {
    if (path == kLiteral) continue;  // the reference loops themselves, far slower
    EXPECT_EQ(sorted(pair_lines(run_program("1 100000", "FRIENDLY_KERNELS=" + path))),
              sorted(expected))
        << path;
  }
}

TEST(Paths, AProgressSettingOtherThanZeroOrOneIsRefusedBeforeAnyWork) {
  for (const char* value : {"0", "1", ""})
    EXPECT_EQ(pair_lines(run_program("1 30", std::string("FRIENDLY_PROGRESS=") + value)).size(),
              3u);
  const ProgramRun run = run_program("1 30", "FRIENDLY_PROGRESS=yes");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "friendlyNumbers: FRIENDLY_PROGRESS 'yes' is neither 0 (no progress line) nor "
            "1 (the default)\n");
}

TEST(Paths, AnUnknownOrUnrunnablePathIsRefusedBeforeAnyWork) {
  // Names of no path (a path's name in capitals, or with a blank), then every path of the table
  // that this processor lacks.
  std::string capitals = friendly::path_name(friendly::fastest_path());
  std::transform(capitals.begin(), capitals.end(), capitals.begin(),
                 [](char c) { return static_cast<char>(std::toupper(c)); });
  std::vector<std::pair<std::string, std::string>> refusals;
  for (const std::string& value : {std::string("avx1024"), capitals, std::string("gpu ")})
    refusals.emplace_back(value, "names no kernel path; this processor offers ");
  for (const friendly::KernelPath path : friendly::kAllPaths) {
    if (!friendly::path_available(path))
      refusals.emplace_back(friendly::path_name(path),
                            "is a path this processor cannot run; it offers ");
  }
  for (const auto& [value, reason] : refusals) {
    const ProgramRun run = run_program("1 30", "FRIENDLY_KERNELS='" + value + "'");
    EXPECT_EQ(run.status, 2) << value;
    EXPECT_EQ(run.out, "") << value;
    const std::string expected = "friendlyNumbers: FRIENDLY_KERNELS '" + value + "' ";
    EXPECT_EQ(run.err, expected + reason + friendly::available_path_names() + "\n");
  }
}

TEST(Tunings, EveryTuningPrintsTheSameLinesInTheSameOrderAndAnUnknownOneIsRefused) {
  // One thread prints in row, then column order, whatever the tuning; the report names it, and
  // the default is this processor's.
  const std::vector<std::string> expected = reference_lines(1, 30000);
  for (const friendly::Tuning& tuning : friendly::kTunings) {
    const std::string env = std::string("OMP_NUM_THREADS=1 FRIENDLY_TUNING=") + tuning.name;
    const ProgramRun run = run_program("--report 1 30000", env);
    ASSERT_EQ(run.status, 0) << env << ": " << run.err;
    const std::vector<std::string> lines = split_lines(run.out);
    ASSERT_FALSE(lines.empty()) << env;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end() - 1), expected) << env;
    EXPECT_EQ(report_value(run.err, "tuning"), tuning.name);
  }
  const std::string chosen =
      friendly::kTunings[friendly::tuning_for(friendly::this_processor())].name;
  EXPECT_EQ(report_value(run_program("--report 1 30").err, "tuning"), chosen);
  const ProgramRun run = run_program("1 30", "FRIENDLY_TUNING=fastest");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, std::string("friendlyNumbers: FRIENDLY_TUNING 'fastest' names no tuning; "
                                 "the tunings are ") +
                         friendly::tuning_names() + "\n");
}

TEST(Report, BothFormatsGoToStandardErrorWithTheSameKeys) {
  const char* keys[] = {"version",
                        "date",
                        "compiler",
                        "build_type",
                        "build_flags",
                        "openmp",
                        "omp_proc_bind",
                        "omp_places",
                        "processor",
                        "path",
                        "tuning",
                        "method",
                        "threads",
                        "low",
                        "high",
                        "pairs",
                        "checksum",
                        "seconds",
                        "ratio_seconds",
                        "pair_seconds",
                        "candidate_tests",
                        "comparisons",
                        "tests_per_second",
                        "comparisons_per_second",
                        "validated"};
  const ProgramRun text = run_program("--report 1 200", "OMP_NUM_THREADS=2");
  const ProgramRun json = run_program("--report=json 1 200", "OMP_NUM_THREADS=2");
  for (const ProgramRun* run : {&text, &json}) {
    ASSERT_EQ(run->status, 0) << run->err;
    // Standard output as without the option: the five pair lines and the time line.
    EXPECT_EQ(split_lines(run->out).size(), 6u);
    EXPECT_EQ(report_value(run->err, "pairs"), "5");
    EXPECT_EQ(report_value(run->err, "low"), "1");
    EXPECT_EQ(report_value(run->err, "high"), "200");
    EXPECT_EQ(report_value(run->err, "threads"), "2");
    EXPECT_EQ(report_value(run->err, "comparisons"), "19900");
    EXPECT_EQ(report_value(run->err, "validated"), "null");
    // The candidate tests of the literal loop over 1..200, counted number by number.
    std::int64_t tests = 0;
    for (std::int64_t n = 3; n <= 200; ++n) {
      std::int64_t largest = 1;
      for (std::int64_t f = 2; f * f <= n; ++f)
        if (n % f == 0) largest = f;
      tests += n / largest - 2 + (n / largest == largest ? 1 : 0);
    }
    EXPECT_EQ(report_value(run->err, "candidate_tests"), std::to_string(tests));
    // The printed time, as the time line has it.
    EXPECT_NE(run->out.find("Tempo total " + report_value(run->err, "seconds") + " seconds"),
              std::string::npos);
    for (const char* key : keys)
      EXPECT_FALSE(report_value(run->err, key).empty()) << key << " in " << run->err;
  }
  EXPECT_EQ(split_lines(json.err).size(), 1u);
  EXPECT_TRUE(std::regex_match(json.err, std::regex("\\{\"program\":\"friendlyNumbers\",.*\\}\n")))
      << json.err;
  EXPECT_EQ(text.err.rfind("friendlyNumbers report\n", 0), 0u) << text.err;
}

TEST(Method, TheSievePrintsTheOneThreadSearchsLinesAndChecksumValidatedByFactors) {
  const std::vector<std::string> expected =
      pair_lines(run_program("-1000 3000", "OMP_NUM_THREADS=1"));
  ASSERT_GT(expected.size(), 40u);
  for (const char* threads : {"OMP_NUM_THREADS=1", "OMP_NUM_THREADS=3"})
    EXPECT_EQ(pair_lines(run_program("--method=sieve -1000 3000", threads)), expected) << threads;
  const ProgramRun search = run_program("--report=json -1000 3000");
  const ProgramRun sieve = run_program("--method=sieve --validate --report -1000 3000");
  ASSERT_EQ(sieve.status, 0) << sieve.err;
  EXPECT_EQ(report_value(search.err, "method"), "search");
  EXPECT_EQ(report_value(sieve.err, "method"), "sieve");
  EXPECT_EQ(report_value(sieve.err, "checksum"), report_value(search.err, "checksum"));
  EXPECT_EQ(report_value(sieve.err, "validated"), "true");
  EXPECT_EQ(report_value(sieve.err, "comparisons"), "null");

  const ProgramRun unknown = run_program("--method=fast 1 30");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err, "friendlyNumbers: unknown method 'fast'; methods: search, sieve\n");
}

TEST(Report, AReportThatCannotBeWrittenFailsTheRun) {
  if (friendly_test::kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer faults under ulimit -f";
  // Standard error on a full device, and in a file that may grow to 2048 bytes and already holds
  // 1900 (the report is some 400): the lines are printed, the report is lost.
  const std::string path = ::testing::TempDir() + "friendly_report_" + std::to_string(getpid());
  std::ofstream(path) << std::string(1900, 'x');
  for (const std::string& err : {std::string("2>/dev/full"), "2>>'" + path + "'"}) {
    SCOPED_TRACE(err);
    const ProgramRun run =
        run_program("--report=json 1 30", "ulimit -f 4; lost() { \"$@\" " + err + "; }; lost");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(split_lines(run.out).size(), 4u);
  }
  EXPECT_EQ(read_file(path).size(), 2048u);
  std::remove(path.c_str());
}

TEST(Report, GoesToItsFileWhichIsCheckedBeforeAnyWork) {
  const friendly_test::TempFile file("report_file");
  const ProgramRun run = run_program("--report=json:'" + file.path() + "' 1 200",
                                     "OMP_PROC_BIND=close OMP_NUM_THREADS=2");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(split_lines(run.out).size(), 6u);
  const std::string report = file.text();
  EXPECT_EQ(split_lines(report).size(), 1u) << report;
  EXPECT_EQ(report_value(report, "pairs"), "5");
  EXPECT_EQ(report_value(report, "omp_proc_bind"), "close");
  EXPECT_EQ(report_value(report, "omp_places"), "null");
  // A file that cannot be written is refused before the search, which prints nothing.
  const ProgramRun lost = run_program("--report=text:/nonexistent/report.txt 1 200");
  EXPECT_EQ(lost.status, 1);
  EXPECT_EQ(lost.out, "");
  EXPECT_EQ(
      lost.err,
      "friendlyNumbers: cannot write the report to '/nonexistent/report.txt': No such file or "
      "directory\n");
}

TEST(Program, AnOptionAfterTheBoundsIsIgnoredWithAWarning) {
  const ProgramRun run = run_program("1 200 --report");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(split_lines(run.out).size(), 6u);
  EXPECT_EQ(run.err,
            "friendlyNumbers: ignored '--report' after the bounds: options come before LOW HIGH\n");
}

TEST(Validate, TheSieveAgreesOnEveryPathAndSaysSoOnlyInTheReport) {
  for (const std::string& path : available_paths()) {
    const std::string range = path == kLiteral ? "-40 3000" : "-40 40000";
    const ProgramRun quiet = run_program("--validate " + range, "FRIENDLY_KERNELS=" + path);
    EXPECT_EQ(quiet.status, 0) << path << ": " << quiet.err;
    EXPECT_EQ(quiet.err, "") << path;
    const ProgramRun reported =
        run_program("--validate --report=json " + range, "FRIENDLY_KERNELS=" + path);
    EXPECT_EQ(reported.status, 0) << reported.err;
    EXPECT_EQ(report_value(reported.err, "validated"), "true") << path;
    EXPECT_EQ(report_value(reported.err, "pairs"),
              std::to_string(split_lines(reported.out).size() - 1))
        << path;
  }
}

// True in builds with sanitizers, whose runtimes reserve more address space than the memory
// limits of these tests allow.
bool sanitized() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test process runs one thread.
  return std::getenv("FRIENDLY_SANITIZED") != nullptr;
}

TEST(Method, TheSieveUnderALimitBelowItsEntriesTakesPassesRatherThanRefuse) {
  if (sanitized()) GTEST_SKIP() << "sanitizers reserve memory";
  // 10,000,000 numbers keep 120 MB of entries in one pass, more than the limit allows.
  const std::string args = "--method=sieve --report=json 1 10000000";
  const ProgramRun whole = run_program(args, "", "> /dev/null");
  const ProgramRun parts = run_program(args, "ulimit -v 100000;", "> /dev/null");
  ASSERT_EQ(whole.status, 0) << whole.err;
  ASSERT_EQ(parts.status, 0) << parts.err;
  EXPECT_EQ(report_value(parts.err, "pairs"), report_value(whole.err, "pairs"));
  EXPECT_EQ(report_value(parts.err, "checksum"), report_value(whole.err, "checksum"));
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

// Expects run to be the refusal of a team of team threads, naming limit.
void expect_team_refused(const ProgramRun& run, const std::string& team, const std::string& limit) {
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(std::regex_match(
      run.err, std::regex("friendlyNumbers: cannot start a team of " + team +
                          " threads: more than the \\d+ threads that " + limit + " allows\n")))
      << run.err;
}

TEST(Program, TeamsBeyondALimitAreRefusedBeforeAnyWork) {
  if (sanitized()) GTEST_SKIP() << "sanitizer runtimes have thread and stack limits of their own";
  const std::vector<std::string> expected = {pair_line(1, 6), pair_line(1, 28), pair_line(6, 28)};
  // GNU libgomp's team start keeps some 128 bytes per thread on the stack: 2500 overflow 256 KiB.
  expect_team_refused(run_program("1 30", "ulimit -s 256; OMP_NUM_THREADS=2500"), "2500",
                      R"(the stack limit \(ulimit -s\))");
  // 256 KiB, less a quarter for the arguments and 32 KiB of frames, hold 1024 such threads; a
  // runtime that may shrink its teams to the processors (OMP_DYNAMIC) is not refused for more.
  if (kmp_get_stacksize_s == nullptr) {
    const ProgramRun run = run_program("1 30", "ulimit -s 256; OMP_NUM_THREADS=1025");
    EXPECT_EQ(run.err,
              "friendlyNumbers: cannot start a team of 1025 threads: more than the 1024 threads "
              "that the stack limit (ulimit -s) allows\n");
    EXPECT_EQ(sorted(pair_lines(run_program("1 30", "ulimit -s 256; OMP_NUM_THREADS=1024"))),
              sorted(expected));
  }
  EXPECT_EQ(sorted(pair_lines(
                run_program("1 30", "ulimit -s 256; OMP_DYNAMIC=true OMP_NUM_THREADS=2500"))),
            sorted(expected));
  // Team sizes of 2^31 and more, which omp_get_max_threads returns as negative ints: GNU libgomp
  // would start them, LLVM's libomp takes one thread instead (KMP_WARNINGS=0: without a warning).
  for (const char* threads : {"3000000000", "4294967295"}) {
    const ProgramRun run = run_program(
        "1 30", std::string("ulimit -s 8192; KMP_WARNINGS=0 OMP_NUM_THREADS=") + threads);
    if (kmp_get_stacksize_s != nullptr) {
      EXPECT_EQ(sorted(pair_lines(run)), sorted(expected)) << threads;
    } else {
      expect_team_refused(run, threads, R"(the stack limit \(ulimit -s\))");
    }
  }
  // Thread stacks count against the data-segment limit: one of 16 MiB exceeds 8,192,000 bytes.
  expect_team_refused(run_program("1 30", "ulimit -d 8000; OMP_NUM_THREADS=2 OMP_STACKSIZE=16M"),
                      "2", R"(the data-segment limit \(ulimit -d\))");
  EXPECT_EQ(sorted(pair_lines(
                run_program("1 30", "ulimit -d 40000; OMP_NUM_THREADS=2 OMP_STACKSIZE=16M"))),
            sorted(expected));
  // Stack sizes read as the runtime reads them: seven stacks of 64 MiB do not fit in 400 MB of
  // address space, where one does; a thread limit of 2 leaves a team of 2 (which LLVM's libomp
  // would warn of).
  for (const char* size : {"OMP_STACKSIZE='64 M'", "OMP_STACKSIZE='64M '", "GOMP_STACKSIZE=64m"}) {
    SCOPED_TRACE(size);
    expect_team_refused(
        run_program("1 30", std::string("ulimit -v 400000; OMP_NUM_THREADS=8 ") + size), "8",
        R"(the address-space limit \(ulimit -v\))");
    EXPECT_EQ(sorted(pair_lines(
                  run_program("1 30", std::string("ulimit -v 400000; OMP_NUM_THREADS=2 ") + size))),
              sorted(expected));
  }
  EXPECT_EQ(sorted(pair_lines(run_program(
                "1 30",
                "ulimit -v 400000; KMP_WARNINGS=0 OMP_THREAD_LIMIT=2 OMP_NUM_THREADS=200 "
                "OMP_STACKSIZE=64M"))),
            sorted(expected));
}

TEST(Program, TeamCountsThatTheRuntimeCannotKeepAreRefused) {
  // GNU libgomp keeps the low 32 bits of a team count, 0 for a multiple of 2^32, and crashes;
  // LLVM's libomp takes one thread instead (KMP_WARNINGS=0: without a warning).
  for (const char* threads : {"4294967296", "4294967296,2", "8589934592"}) {
    const ProgramRun run =
        run_program("1 30", std::string("KMP_WARNINGS=0 OMP_NUM_THREADS=") + threads);
    if (kmp_get_stacksize_s != nullptr) {
      EXPECT_EQ(pair_lines(run).size(), 3u) << threads;
      continue;
    }
    EXPECT_EQ(run.status, 1) << threads;
    EXPECT_EQ(run.out, "");
    const std::string count = std::string(threads).substr(0, std::string(threads).find(','));
    EXPECT_EQ(run.err, "friendlyNumbers: cannot start a team of " + count +
                           " threads: the OpenMP runtime keeps the low 32 bits of the count "
                           "(OMP_NUM_THREADS), 0\n");
  }
}

TEST(Program, StacksTooSmallForThePairPhaseAreRefusedBeforeAnyWork) {
  if (sanitized()) GTEST_SKIP() << "sanitizer runtimes have thread and stack limits of their own";
  // The block scan keeps 116 KiB (118,784 bytes) per thread on its stack (groups of up to
  // kMaxGroupBlocks blocks and the filter keys of a tile); a stack of 16 KiB to 40 KiB overflowed
  // in it when that was 34 KiB. A thread's own data (its thread-local storage and descriptor) takes
  // the top of its stack first, so a stack of exactly the need is too small. The main thread runs
  // the search alone with one thread, its room under ulimit -s less what the program has taken
  // already: a limit of exactly 116 KiB leaves too little.
  const std::string threads = R"(that the threads' stack size \(OMP_STACKSIZE\) leaves beside )"
                              R"(each thread's own (\d+) bytes \(its thread-local storage and )"
                              R"(descriptor\))";
  const std::string main_thread = R"(that the stack limit \(ulimit -s\) of the main thread allows)";
  const char* const cases[][2] = {
      {"OMP_NUM_THREADS=2 OMP_STACKSIZE=16K", "threads"},
      {"OMP_NUM_THREADS=3 OMP_STACKSIZE=40K", "threads"},
      {"OMP_NUM_THREADS=2 OMP_STACKSIZE=118784B", "threads"},
      {"OMP_NUM_THREADS=2 OMP_STACKSIZE=20", "threads"},  // KiB without a unit
      {"ulimit -s 40; OMP_NUM_THREADS=2", "main"},
      {"ulimit -s 116; OMP_NUM_THREADS=1", "main"}};
  std::int64_t own = 0;  // what a thread's own data takes, from the refusal of 118784 bytes
  for (const auto& [setting, limit] : cases) {
    const ProgramRun run = run_program("1 300", setting);
    EXPECT_EQ(run.status, 1) << setting;
    EXPECT_EQ(run.out, "") << setting;
    const std::string need = "118784";
    std::smatch match;
    EXPECT_TRUE(std::regex_match(
        run.err, match,
        std::regex("friendlyNumbers: stack too small: the search needs " + need +
                   " bytes of stack on each thread \\([a-z0-9]+ path\\), more than the \\d+ "
                   "bytes " +
                   (std::string(limit) == "main" ? main_thread : threads) + "\n")))
        << setting << ": " << run.err;
    if (std::string(setting).ends_with("118784B") && match.size() > 1) own = std::stoll(match[1]);
  }
  // Less than the need beside the thread's own data is refused; the need beside it (and the
  // rounding of the stack to its alignment) holds the search; stacks of 136 KiB hold it, and
  // 32 KiB the literal loops, which keep no block scan.
  ASSERT_GT(own, 0);
  EXPECT_EQ(run_program("1 300",
                        "OMP_NUM_THREADS=2 OMP_STACKSIZE=" + std::to_string(118784 + own - 1) + "B")
                .status,
            1);
  for (const std::string& setting :
       {"OMP_NUM_THREADS=2 OMP_STACKSIZE=" + std::to_string(118784 + own + 4096) + "B",
        std::string("OMP_NUM_THREADS=3 OMP_STACKSIZE=136K"),
        std::string("ulimit -s 160; OMP_NUM_THREADS=1"),
        std::string("OMP_NUM_THREADS=3 OMP_STACKSIZE=32K FRIENDLY_KERNELS=literal"),
        std::string("ulimit -s 40; OMP_NUM_THREADS=1 FRIENDLY_KERNELS=literal")}) {
    EXPECT_EQ(pair_lines(run_program("1 300", setting)).size(), 8u) << setting;
  }
}

TEST(Program, TeamsBeyondTheMachinesMemoryAreRefused) {
  if (sanitized()) GTEST_SKIP() << "sanitizer runtimes have thread and stack limits of their own";
  // A stack of 10,000 GiB fits the address space but no machine's memory, unless the kernel
  // overcommits without any check.
  if (read_file("/proc/sys/vm/overcommit_memory") == "1\n")
    GTEST_SKIP() << "vm.overcommit_memory is 1: every stack fits";
  expect_team_refused(run_program("1 30", "OMP_NUM_THREADS=2 OMP_STACKSIZE=10000G"), "2",
                      "this machine's memory");
}

TEST(Program, TeamsBeyondTheProcessLimitAreRefused) {
  if (sanitized()) GTEST_SKIP() << "sanitizer runtimes have thread and stack limits of their own";
  if (getuid() == 0) GTEST_SKIP() << "the process limit does not bind root";
  // This user has this test's process at least, so a limit of 1 allows no other thread.
  expect_team_refused(run_program("1 30", "ulimit -u 1; OMP_NUM_THREADS=2 exec"), "2",
                      R"(the task limits \(ulimit -u, [^\n]+\))");
}

TEST(Program, OutputBeyondTheFileSizeLimitFailsWithStatusOne) {
  if (friendly_test::kThreadSanitizer)
    GTEST_SKIP() << "ThreadSanitizer's runtime faults (SIGBUS) under a file-size limit";
  // 1..100000 prints some 46 KB; the file may grow to 2048 bytes (LLVM's libomp needs 1024 for a
  // file of its own at start).
  const std::string path = ::testing::TempDir() + "friendly_fsize_" + std::to_string(getpid());
  const ProgramRun run = run_program("1 100000", "ulimit -f 4;", "> '" + path + "'");
  std::remove(path.c_str());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("friendlyNumbers: cannot write standard output", 0), 0u) << run.err;
  EXPECT_EQ(split_lines(run.err).size(), 1u) << run.err;
}

TEST(Program, RangesThatFitOnlyWithoutTheProcessItselfAreRefusedBeforeAnyWork) {
  if (sanitized()) GTEST_SKIP() << "sanitizers reserve memory";
  // 20,000,000 numbers need 240,000,000 bytes: below the address-space limit of 241,664,000
  // bytes, but not beside the program's own few megabytes of code and libraries.
  const ProgramRun search = run_program("1 20000000", "ulimit -v 236000; OMP_NUM_THREADS=1");
  EXPECT_EQ(search.status, 1);
  EXPECT_EQ(search.out, "");
  const std::string leaves =
      ", more than the \\d+ bytes that the address-space limit \\(ulimit -v\\) leaves beside the "
      "\\d+ bytes that the process takes already\n";
  EXPECT_TRUE(std::regex_match(
      search.err, std::regex("friendlyNumbers: range too large: 20000000 numbers need 240000000 "
                             "bytes" +
                             leaves)))
      << search.err;
  // The search's 4,800,000 bytes fit in some 15 MB beside the program, the validation's
  // 13,062,144 that replace them do not: the allocation that would fail is named, before the
  // search rather than after it.
  const ProgramRun validation =
      run_program("--validate 1 400000", "ulimit -v 15000; OMP_NUM_THREADS=1");
  EXPECT_EQ(validation.status, 1);
  EXPECT_EQ(validation.out, "");
  EXPECT_TRUE(std::regex_match(
      validation.err,
      std::regex("friendlyNumbers: range too large: the validation of 400000 numbers needs "
                 "13062144 bytes" +
                 leaves)))
      << validation.err;
}

}  // namespace
