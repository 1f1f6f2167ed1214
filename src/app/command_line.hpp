// Command line of the program: two bounds, or a request for help or the version.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "answer/method.hpp"
#include "app/messages.hpp"

namespace friendly {

// Why a bound was refused.
enum class BoundError { none, not_a_number, out_of_range };

// Reads a whole base-10 integer: optional leading white space, an optional sign, at least one
// digit and nothing after them, within the 32-bit signed range. value is set only on success.
BoundError parse_bound(const char* text, std::int32_t& value) noexcept;

// What the command line asks for.
enum class Command { search, help, version, list_paths, refused };

// How the report after a search is written, if at all.
enum class ReportFormat { none, text, json };

// The options of a search, given before its bounds.
struct SearchOptions {
  ReportFormat report = ReportFormat::none;  // --report, --report=FORMAT
  std::string report_file;                   // --report=FORMAT:FILE; empty for standard error
  bool validate = false;                     // --validate
  Method method = Method::search;            // --method=search, --method=sieve
};

// Reads the arguments: help (-h, --help), version (--version) or the paths this machine runs
// (--list-paths) as the first one, or the search
// options (--report[=FORMAT[:FILE]] with FORMAT text or json, --validate, --method=NAME, in any
// order) and then the two bounds into low and high (further arguments are ignored). Any other
// argument before the bounds that begins with a dash and no digit is an unknown option. On
// refusal, error holds the one-line reason, without the program name, in printable ASCII; a usage
// it quotes names program. On a search, error holds a warning to show (an option after the
// bounds), or nothing.
Command read_command_line(int argc, const char* const* argv, std::int32_t& low, std::int32_t& high,
                          SearchOptions& options, std::string& error,
                          const char* program = kProgramName);

// text quoted as a refusal shows it: in single quotes, every byte that is not printable ASCII as
// \xNN, cut after 64 bytes with its length.
std::string shown(const char* text);

// The usage text of program (kProgramName or kMpiProgramName), ending in a newline.
std::string usage_text(const char* program = kProgramName);

// Answers a command that is no search: the usage text, the version or the FRIENDLY_KERNELS
// settings that program can run here, one per line, on standard output, or the
// refusal (error) on standard error, written only where speaks is true. Returns program's exit
// status for it, or nothing for Command::search, after writing its warning (error) if any.
std::optional<int> answer_command(const char* program, Command command, const std::string& error,
                                  bool speaks = true);

}  // namespace friendly
