// Command line of the program: two bounds, or a request for help or the version.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "kernels.hpp"

namespace friendly {

inline constexpr const char* kProgramName = "friendlyNumbers";

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
// without the program name, in printable ASCII.
Command read_command_line(int argc, const char* const* argv, std::int32_t& low, std::int32_t& high,
                          SearchOptions& options, std::string& error);

// The environment variable that chooses the kernel path.
inline constexpr const char* kPathVariable = "FRIENDLY_KERNELS";

// The path that the value of kPathVariable chooses into path: default_path() when value is null
// or empty. False, with the one-line reason in error (printable ASCII), when value names no path
// or one that this machine cannot run.
bool read_path_choice(const char* value, KernelPath& path, std::string& error);

// The usage text, ending in a newline.
std::string usage_text();

// Flushes stream. Returns an empty string when this flush and every earlier write to stream
// succeeded, otherwise the one-line reason "cannot write " + name, with the error of the flush
// when the flush itself failed.
std::string write_error(std::FILE* stream, const char* name);

}  // namespace friendly
