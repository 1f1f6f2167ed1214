// Command line of the program: two bounds, or a request for help or the version.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "paths/kernels.hpp"

namespace friendly {

// The two programs of this front end: the search on one machine, and over MPI ranks.
inline constexpr const char* kProgramName = "friendlyNumbers";
inline constexpr const char* kMpiProgramName = "friendlyNumbers_mpi";

// Exit statuses besides 0: a run that failed, and a bad command line or environment setting.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Why a bound was refused.
enum class BoundError { none, not_a_number, out_of_range };

// Reads a whole base-10 integer: optional leading white space, an optional sign, at least one
// digit and nothing after them, within the 32-bit signed range. value is set only on success.
BoundError parse_bound(const char* text, std::int32_t& value) noexcept;

// What the command line asks for.
enum class Command { search, help, version, refused };

// How the report after a search is written, if at all.
enum class ReportFormat { none, text, json };

// The options of a search, given before its bounds.
struct SearchOptions {
  ReportFormat report = ReportFormat::none;  // --report, --report=json
  bool validate = false;                     // --validate
};

// Reads the arguments: help (-h, --help) or version (--version) as the first one, or the search
// options (--report, --report=json, --validate, in any order) and then the two bounds into low
// and high (further arguments are ignored). Any other argument before the bounds that begins
// with a dash and no digit is an unknown option. On refusal, error holds the one-line reason,
// without the program name, in printable ASCII; a usage it quotes names program.
Command read_command_line(int argc, const char* const* argv, std::int32_t& low, std::int32_t& high,
                          SearchOptions& options, std::string& error,
                          const char* program = kProgramName);

// The environment variable that chooses the kernel path.
inline constexpr const char* kPathVariable = "FRIENDLY_KERNELS";

// The path that the value of kPathVariable chooses into path: default_path() when value is null
// or empty. False, with the one-line reason in error (printable ASCII), when value names no path
// or one that this machine cannot run.
bool read_path_choice(const char* value, KernelPath& path, std::string& error);

// The program's own environment: the path that FRIENDLY_KERNELS chooses (read_path_choice), and
// a FRIENDLY_PROGRESS that is unset, empty, 0 (no progress line) or 1 (the line where standard
// error is a terminal and standard output is not). False, with the one-line reason in error,
// when either is refused.
bool read_environment(KernelPath& path, std::string& error);

// The usage text of program (kProgramName or kMpiProgramName), ending in a newline.
std::string usage_text(const char* program = kProgramName);

// Answers a command that is no search: the usage text or the version on standard output, or the
// refusal (error) on standard error, written only where speaks is true. Returns program's exit
// status for it, or nothing for Command::search.
std::optional<int> answer_command(const char* program, Command command, const std::string& error,
                                  bool speaks = true);

// What a range of length numbers needs: "LENGTH numbers need BYTES bytes", with " on each rank"
// where per_rank.
std::string size_text(std::int64_t length, std::int64_t bytes, bool per_rank = false);

// Bytes that a run of low..high needs at once: its search's arrays (search_bytes), or the
// validation's when it validates and they are more, as the validation runs after the search has
// released its arrays.
std::int64_t run_bytes(std::int64_t search_bytes, std::int32_t low, std::int32_t high,
                       bool validate) noexcept;

// The refusal of a range of length numbers that needs bytes, more than the limit bytes that
// `what` allows (each of them per rank where per_rank).
std::string range_too_large(std::int64_t length, std::int64_t bytes, std::int64_t limit,
                            const std::string& what, bool per_rank = false);

// The refusal of a team of team threads, more than the most threads that `what` allows.
std::string team_too_large(std::int64_t team, std::int64_t most, const std::string& what);

}  // namespace friendly
