// Parsing of the bounds, of the whole command line and of the control-group files; write errors.
#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/command_line.hpp"
#include "app/limits.hpp"
#include "app/messages.hpp"

namespace {

using friendly::BoundError;
using friendly::Command;
using friendly::parse_bound;

TEST(ParseBound, AcceptsWholeNumbersWithBlanksAndSign) {
  const struct {
    const char* text;
    std::int32_t value;
  } accepted[] = {{"0", 0},
                  {"12", 12},
                  {" -3", -3},
                  {"+7", 7},
                  {"\t\n 42", 42},
                  {"\v\f\r-9", -9},
                  {"-0", 0},
                  {"007", 7},
                  {"2147483647", 2147483647},
                  {"-2147483648", -2147483647 - 1},
                  {"000000000000000000000000000001", 1}};
  for (const auto& c : accepted) {
    std::int32_t value = -99;
    EXPECT_EQ(parse_bound(c.text, value), BoundError::none) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(ParseBound, RefusesWhatIsNotAWholeNumber) {
  for (const char* text : {"", " ", "abc", "12x", "1e3", "1.5", "0x10", "+", "-", "+-3", "- 3",
                           "3 ", "12\n", "١٢", "--5"}) {
    std::int32_t value = -99;
    EXPECT_EQ(parse_bound(text, value), BoundError::not_a_number) << '"' << text << '"';
    EXPECT_EQ(value, -99) << text;
  }
}

TEST(ParseBound, RefusesNumbersOutsideThe32BitRange) {
  for (const char* text : {"2147483648", "-2147483649", "4294967297", "9223372036854775807",
                           "9223372036854775808", "-99999999999999999999999"}) {
    std::int32_t value = -99;
    EXPECT_EQ(parse_bound(text, value), BoundError::out_of_range) << text;
    EXPECT_EQ(value, -99) << text;
  }
}

// True when every character of text is printable ASCII.
bool printable_ascii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

Command read(std::vector<const char*> args, std::int32_t& low, std::int32_t& high,
             std::string& error, friendly::SearchOptions& options) {
  args.insert(args.begin(), "friendlyNumbers");
  return friendly::read_command_line(static_cast<int>(args.size()), args.data(), low, high, options,
                                     error);
}

Command read(std::vector<const char*> args, std::int32_t& low, std::int32_t& high,
             std::string& error) {
  friendly::SearchOptions options;
  return read(std::move(args), low, high, error, options);
}

TEST(CommandLine, ReadsBoundsAndIgnoresFurtherArguments) {
  std::int32_t low = 0;
  std::int32_t high = 0;
  std::string error;
  EXPECT_EQ(read({"1", "200", "extra", "--help"}, low, high, error), Command::search);
  EXPECT_EQ(low, 1);
  EXPECT_EQ(high, 200);
  EXPECT_EQ(read({"10", "9"}, low, high, error), Command::search);  // the empty range
  EXPECT_EQ(read({"-2147483648", "2147483647"}, low, high, error), Command::search);
}

TEST(CommandLine, HelpAndVersionRequests) {
  std::int32_t low = 0;
  std::int32_t high = 0;
  std::string error;
  EXPECT_EQ(read({"-h"}, low, high, error), Command::help);
  EXPECT_EQ(read({"--help", "1", "2"}, low, high, error), Command::help);
  EXPECT_EQ(read({"--version"}, low, high, error), Command::version);
}

TEST(CommandLine, RefusalsNameTheProblem) {
  std::int32_t low = 0;
  std::int32_t high = 0;
  const struct {
    std::vector<const char*> args;
    const char* mentions;
  } refused[] = {{{}, "missing LOW and HIGH"},
                 {{"5"}, "missing HIGH"},
                 {{"abc", "10"}, "LOW 'abc'"},
                 {{"1", "12x"}, "HIGH '12x'"},
                 {{"1", "4294967297"}, "32-bit range"},
                 {{"10", "8"}, "below LOW - 1"},
                 {{"2147483647", "-2147483648"}, "reversed"},
                 {{"12\nrm", "5"}, "LOW '12\\x0arm'"},
                 {{"1", "\x1b[31m2"}, "HIGH '\\x1b[31m2'"},
                 {{"1", "2\xc2\x9bm"}, R"(HIGH '2\xc2\x9bm')"},
                 {{"\xe2\x80\xae_1", "9"}, R"(LOW '\xe2\x80\xae_1')"},
                 {{"1", "2\x7f"}, R"(HIGH '2\x7f')"},
                 {{"-help"}, "unknown option '-help'"},
                 {{"--threads", "1", "2"}, "unknown option '--threads'"}};
  for (const auto& c : refused) {
    std::string error;
    EXPECT_EQ(read(c.args, low, high, error), Command::refused) << c.mentions;
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    EXPECT_TRUE(printable_ascii(error)) << error;
  }

  // A long argument is cut, and says how long it was.
  const std::string long_bound(100000, '7');
  std::string error;
  EXPECT_EQ(read({"1", long_bound.c_str()}, low, high, error), Command::refused);
  EXPECT_NE(error.find("HIGH '" + long_bound.substr(0, 64) + "'... (100000 bytes)"),
            std::string::npos)
      << error;
  EXPECT_LT(error.size(), 200u);
}

TEST(CommandLine, RefusalsAndUsageNameTheProgramThatReadsThem) {
  std::int32_t low = 0;
  std::int32_t high = 0;
  friendly::SearchOptions options;
  std::string error;
  // The argument is quoted as given, even where it holds the other program's usage.
  const char* args[] = {friendly::kMpiProgramName, "-xusage: friendlyNumbers ", "5"};
  EXPECT_EQ(
      friendly::read_command_line(3, args, low, high, options, error, friendly::kMpiProgramName),
      Command::refused);
  EXPECT_EQ(error,
            "unknown option '-xusage: friendlyNumbers '; usage: friendlyNumbers_mpi "
            "[--report[=json]] [--validate] LOW HIGH");
  EXPECT_EQ(friendly::read_command_line(2, args + 1, low, high, options, error,
                                        friendly::kMpiProgramName),
            Command::refused);
  EXPECT_EQ(error, "missing HIGH; usage: friendlyNumbers_mpi LOW HIGH");
  EXPECT_EQ(friendly::usage_text(friendly::kMpiProgramName)
                .rfind("usage: [mpirun -n RANKS] friendlyNumbers_mpi [--report[=json]]", 0),
            0u);
  EXPECT_EQ(friendly::usage_text().rfind("usage: friendlyNumbers [--report[=json]]", 0), 0u);
}

TEST(CommandLine, SearchOptionsComeBeforeTheBoundsInAnyOrder) {
  std::int32_t low = 0;
  std::int32_t high = 0;
  std::string error;
  friendly::SearchOptions options;
  EXPECT_EQ(read({"--validate", "--report=json", "-5", "7"}, low, high, error, options),
            Command::search);
  EXPECT_EQ(low, -5);
  EXPECT_EQ(high, 7);
  EXPECT_TRUE(options.validate);
  EXPECT_EQ(options.report, friendly::ReportFormat::json);
  friendly::SearchOptions text;
  EXPECT_EQ(read({"--report", "1", "2", "--validate"}, low, high, error, text), Command::search);
  EXPECT_EQ(text.report, friendly::ReportFormat::text);
  EXPECT_FALSE(text.validate);  // after the bounds, an argument is ignored
  // A misspelt option, and an option without bounds, are refused.
  EXPECT_EQ(read({"--report=xml", "1", "2"}, low, high, error), Command::refused);
  EXPECT_NE(error.find("unknown option '--report=xml'"), std::string::npos) << error;
  EXPECT_EQ(read({"--validate", "1"}, low, high, error), Command::refused);
  EXPECT_NE(error.find("missing HIGH"), std::string::npos) << error;
}

// A stream's sink whose first write fails and whose later writes succeed.
struct FailingOnceSink {
  int writes = 0;
  std::string written;
};

ssize_t write_failing_once(void* cookie, const char* data, std::size_t size) {
  auto& sink = *static_cast<FailingOnceSink*>(cookie);
  if (sink.writes++ == 0) {
    errno = EIO;
    return -1;
  }
  sink.written.append(data, size);
  return static_cast<ssize_t>(size);
}

TEST(WriteError, ReportsAWriteThatFailedBeforeTheLastFlush) {
  FailingOnceSink sink;
  cookie_io_functions_t io{};
  io.write = write_failing_once;
  std::FILE* stream = fopencookie(&sink, "w", io);
  ASSERT_NE(stream, nullptr);
  std::fputs("lost\n", stream);
  EXPECT_NE(std::fflush(stream), 0);
  std::fputs("kept\n", stream);
  EXPECT_EQ(friendly::write_error(stream, "standard output"), "cannot write standard output");
  EXPECT_EQ(sink.written, "kept\n");  // the last flush itself succeeded
  std::fputs("more\n", stream);
  std::clearerr(stream);
  EXPECT_EQ(friendly::write_error(stream, "standard output"), "");
  EXPECT_EQ(sink.written, "kept\nmore\n");
  std::fclose(stream);
}

TEST(Limits, ControlGroupDirectoriesRunFromTheGroupUpToTheMountOfItsHierarchy) {
  const std::string cgroups =
      "12:pids:/user.slice/u1\n"
      "4:cpu,memory:/box/app\n"
      "0::/box/job\n";
  // The memory hierarchy is mounted from /box down, as in a container; /outside is not shown.
  const std::string mounts =
      "30 25 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n"
      "35 31 0:30 /box /mem rw shared:14 - cgroup cgroup rw,cpu,memory\n"
      "36 31 0:31 / /sys/fs/cgroup/pids rw - cgroup cgroup rw,pids\n"
      "37 31 0:32 /outside /elsewhere rw - cgroup cgroup rw,memory\n"
      "38 25 0:5 / /proc rw - proc proc rw\n";
  EXPECT_EQ(friendly::cgroup_directories("memory", cgroups, mounts),
            (std::vector<std::string>{"/mem/app", "/mem", "/sys/fs/cgroup/box/job",
                                      "/sys/fs/cgroup/box", "/sys/fs/cgroup"}));
  EXPECT_EQ(
      friendly::cgroup_directories("pids", cgroups, mounts),
      (std::vector<std::string>{"/sys/fs/cgroup/pids/user.slice/u1",
                                "/sys/fs/cgroup/pids/user.slice", "/sys/fs/cgroup/pids",
                                "/sys/fs/cgroup/box/job", "/sys/fs/cgroup/box", "/sys/fs/cgroup"}));
}

TEST(Limits, ControlGroupMemoryLimitIsTheLeastOfItsGroupsFiles) {
  // A v2 group without a limit ("max"), a v2 parent and a v1 group with one each.
  const std::string base = ::testing::TempDir() + "friendly_cgroup_" + std::to_string(getpid());
  const std::vector<std::string> groups = {base + "/job", base, base + "/v1"};
  for (const std::string& group : groups)
    std::filesystem::create_directories(group);
  std::ofstream(groups[0] + "/memory.max") << "max\n";
  std::ofstream(groups[1] + "/memory.max") << "5000000000\n";
  std::ofstream(groups[2] + "/memory.limit_in_bytes") << "3000000000\n";
  EXPECT_EQ(friendly::cgroup_memory_limit(groups), 3000000000);
  EXPECT_EQ(friendly::cgroup_memory_limit({groups[0], groups[1]}), 5000000000);
  EXPECT_EQ(friendly::cgroup_memory_limit({groups[0]}), -1);
  std::filesystem::remove_all(base);
}

}  // namespace
