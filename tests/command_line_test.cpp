// Parsing of the bounds and of the whole command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/command_line.hpp"
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
  EXPECT_EQ(read({"1", "200", "extra", "--help", "-5"}, low, high, error), Command::search);
  EXPECT_EQ(low, 1);
  EXPECT_EQ(high, 200);
  // The first option after the bounds is a warning; the run goes on.
  EXPECT_EQ(error, "ignored '--help' after the bounds: options come before LOW HIGH");
  EXPECT_EQ(read({"10", "9", "-5"}, low, high, error), Command::search);  // the empty range
  EXPECT_EQ(error, "");
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
  const std::string usage =
      "usage: friendlyNumbers_mpi [--report[=FORMAT[:FILE]]] [--validate] "
      "[--method=sieve] LOW HIGH; friendlyNumbers_mpi --help says more";
  EXPECT_EQ(error, "unknown option '-xusage: friendlyNumbers '; " + usage);
  EXPECT_EQ(friendly::read_command_line(2, args + 1, low, high, options, error,
                                        friendly::kMpiProgramName),
            Command::refused);
  EXPECT_EQ(error, "missing HIGH; " + usage);
  EXPECT_EQ(
      friendly::usage_text(friendly::kMpiProgramName)
          .rfind("usage: [mpirun -n RANKS] friendlyNumbers_mpi [--report[=FORMAT[:FILE]]]", 0),
      0u);
  EXPECT_EQ(friendly::usage_text().rfind("usage: friendlyNumbers [--report[=FORMAT[:FILE]]]", 0),
            0u);
}

TEST(CommandLine, SearchOptionsComeBeforeTheBoundsInAnyOrder) {
  std::int32_t low = 0;
  std::int32_t high = 0;
  std::string error;
  friendly::SearchOptions options;
  EXPECT_EQ(
      read({"--validate", "--method=sieve", "--report=json", "-5", "7"}, low, high, error, options),
      Command::search);
  EXPECT_EQ(low, -5);
  EXPECT_EQ(high, 7);
  EXPECT_TRUE(options.validate);
  EXPECT_EQ(options.report, friendly::ReportFormat::json);
  EXPECT_EQ(options.method, friendly::Method::sieve);
  friendly::SearchOptions text;
  EXPECT_EQ(read({"--report", "1", "2", "--validate"}, low, high, error, text), Command::search);
  EXPECT_EQ(text.report, friendly::ReportFormat::text);
  EXPECT_EQ(text.method, friendly::Method::search);
  EXPECT_FALSE(text.validate);  // after the bounds, an argument is ignored
  // The report's format and file; the last --report counts.
  friendly::SearchOptions filed;
  EXPECT_EQ(read({"--report=json:a:b.json", "1", "2"}, low, high, error, filed), Command::search);
  EXPECT_EQ(filed.report, friendly::ReportFormat::json);
  EXPECT_EQ(filed.report_file, "a:b.json");
  EXPECT_EQ(read({"--report=text:r", "--report", "1", "2"}, low, high, error, filed),
            Command::search);
  EXPECT_EQ(filed.report, friendly::ReportFormat::text);
  EXPECT_EQ(filed.report_file, "");
  EXPECT_EQ(read({"--report=text", "1", "2"}, low, high, error, filed), Command::search);
  EXPECT_EQ(filed.report, friendly::ReportFormat::text);
  // A misspelt option, a report without its file, and an option without bounds, are refused.
  for (const char* option : {"--report=xml", "--report=json:", "--report=:x", "--reportjson"}) {
    EXPECT_EQ(read({option, "1", "2"}, low, high, error), Command::refused);
    EXPECT_NE(error.find("unknown option '" + std::string(option) + "'"), std::string::npos)
        << error;
  }
  EXPECT_EQ(read({"--validate", "1"}, low, high, error), Command::refused);
  EXPECT_NE(error.find("missing HIGH"), std::string::npos) << error;
  // A format given as an argument of its own is read as LOW: the refusal says how to write it.
  EXPECT_EQ(read({"--report", "json", "1", "200"}, low, high, error), Command::refused);
  EXPECT_EQ(error, "LOW 'json' is not a whole base-10 number; did you mean --report=json?");
  EXPECT_EQ(read({"--validate", "json", "1", "200"}, low, high, error), Command::refused);
  EXPECT_EQ(error.find("did you mean"), std::string::npos) << error;
}

}  // namespace
