#include "app/command_line.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "paths/tuning.hpp"
#include "run/placement.hpp"
#include "search/friendly.hpp"

namespace friendly {

BoundError parse_bound(const char* text, std::int32_t& value) noexcept {
  // strtol alone accepts trailing junk and an empty number; both are refused here, and so is
  // anything that would not survive narrowing to 32 bits.
  const char* digits = text;
  while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r'))
    ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  if (*digits < '0' || *digits > '9') return BoundError::not_a_number;

  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (*end != '\0') return BoundError::not_a_number;
  if (errno == ERANGE || parsed < std::numeric_limits<std::int32_t>::min() ||
      parsed > std::numeric_limits<std::int32_t>::max()) {
    return BoundError::out_of_range;
  }
  value = static_cast<std::int32_t>(parsed);
  return BoundError::none;
}

namespace {

// Bytes of an argument that a refusal shows; a longer argument is cut there.
constexpr std::size_t kShownBytes = 64;

}  // namespace

// Every byte that is not printable ASCII becomes \xNN, so that no newline, terminal control
// sequence or bidirectional override reaches the terminal.
std::string shown(const char* text) {
  const std::size_t length = std::strlen(text);
  std::string shown_text = "'";
  for (std::size_t i = 0; i < length && i < kShownBytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte > 0x7e) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(byte));
      shown_text += escape;
    } else {
      shown_text += static_cast<char>(byte);
    }
  }
  shown_text += "'";
  if (length > kShownBytes) shown_text += "... (" + std::to_string(length) + " bytes)";
  return shown_text;
}

namespace {

// Parses one bound named name, or describes why it is refused.
bool read_bound(const char* name, const char* text, std::int32_t& value, std::string& error) {
  switch (parse_bound(text, value)) {
    case BoundError::none:
      return true;
    case BoundError::not_a_number:
      error = std::string(name) + " " + shown(text) + " is not a whole base-10 number";
      return false;
    case BoundError::out_of_range:
      error = std::string(name) + " " + shown(text) +
              " is outside the 32-bit range -2147483648 to 2147483647";
      return false;
  }
  return false;
}

// The one-line usage that a refusal ends with.
std::string short_usage(const char* program) {
  return std::string("usage: ") + program +
         " [--report[=FORMAT[:FILE]]] [--validate] [--method=sieve] LOW HIGH; " + program +
         " --help says more";
}

// Whether argument can only be an option: a dash before anything but a digit cannot start a bound.
bool looks_like_option(const char* argument) {
  return argument[0] == '-' && argument[1] != '\0' && (argument[1] < '0' || argument[1] > '9');
}

// Reads one --report option into options; false when argument is none.
bool read_report_option(const char* argument, SearchOptions& options) {
  if (std::strcmp(argument, "--report") == 0) {
    options.report = ReportFormat::text;
    options.report_file.clear();
    return true;
  }
  constexpr std::string_view prefix = "--report=";
  const std::string_view value(argument);
  if (!value.starts_with(prefix)) return false;
  const std::string_view rest = value.substr(prefix.size());
  const std::size_t colon = rest.find(':');
  const std::string_view format = rest.substr(0, colon);
  const std::string_view file = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
  if ((format != "text" && format != "json") || (colon != std::string_view::npos && file.empty()))
    return false;
  options.report = format == "json" ? ReportFormat::json : ReportFormat::text;
  options.report_file = file;
  return true;
}

// What a refused LOW suggests where it is a report's format given as an argument of its own
// ("--report json"), or "".
std::string report_format_hint(const char* const* argv, int first) {
  const std::string_view format(argv[first]);
  if (first > 1 && std::strcmp(argv[first - 1], "--report") == 0 &&
      (format == "json" || format == "text")) {
    return "; did you mean --report=" + std::string(format) + "?";
  }
  return "";
}

// The warning for the first argument from first on that looks like an option, or "".
std::string option_after_bounds(int argc, const char* const* argv, int first) {
  for (int later = first; later < argc; ++later) {
    if (looks_like_option(argv[later]))
      return "ignored " + shown(argv[later]) + " after the bounds: options come before LOW HIGH";
  }
  return "";
}

// Reads a method's name, or describes why it is refused.
bool read_method(const char* name, Method& method, std::string& error) {
  for (const Method each : {Method::search, Method::sieve}) {
    if (std::strcmp(name, method_name(each)) == 0) {
      method = each;
      return true;
    }
  }
  error = "unknown method " + shown(name) + "; methods: search, sieve";
  return false;
}

}  // namespace

Command read_command_line(int argc, const char* const* argv, std::int32_t& low, std::int32_t& high,
                          SearchOptions& options, std::string& error, const char* program) {
  error.clear();
  if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    return Command::help;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) return Command::version;
  if (argc >= 2 && std::strcmp(argv[1], "--list-paths") == 0) return Command::list_paths;

  // The options, up to the first argument that is not one; anything else that looks like one is
  // a mistyped option.
  int first = 1;
  for (; first < argc; ++first) {
    const char* argument = argv[first];
    if (read_report_option(argument, options)) continue;
    if (std::strcmp(argument, "--validate") == 0) {
      options.validate = true;
    } else if (std::strncmp(argument, "--method=", 9) == 0) {
      if (!read_method(argument + 9, options.method, error)) return Command::refused;
    } else if (looks_like_option(argument)) {
      error = "unknown option " + shown(argument) + "; " + short_usage(program);
      return Command::refused;
    } else {
      break;
    }
  }
  if (argc - first < 2) {
    error = std::string(argc - first < 1 ? "missing LOW and HIGH" : "missing HIGH") + "; " +
            short_usage(program);
    return Command::refused;
  }
  if (!read_bound("LOW", argv[first], low, error) ||
      !read_bound("HIGH", argv[first + 1], high, error)) {
    error += report_format_hint(argv, first);
    return Command::refused;
  }
  if (range_length(low, high) < 0) {
    error = "HIGH (" + std::to_string(high) + ") is below LOW - 1 (" +
            std::to_string(std::int64_t{low} - 1) + "): the range would be reversed";
    return Command::refused;
  }
  // Arguments after the bounds are ignored, but an option there is surely a slip.
  error = option_after_bounds(argc, argv, first + 2);
  return Command::search;
}

std::string usage_text(const char* program) {
  if (std::strcmp(program, kMpiProgramName) == 0) {
    return std::string("usage: [mpirun -n RANKS] ") + program +
           " [--report[=FORMAT[:FILE]]] [--validate] [--method=sieve] LOW HIGH\n"
           "Prints every pair of numbers from LOW to HIGH (inclusive, 32-bit integers) whose\n"
           "divisor sum over the number is the same fraction, then the search's wall-clock time,\n"
           "sharing the work among the MPI ranks. Threads per rank: OMP_NUM_THREADS.\n"
           "Options: --report[=FORMAT[:FILE]], --validate (as " +
           kProgramName +
           ", on rank 0), --method=sieve; -h, --help\n"
           "(this text); --version; --list-paths (the kernel paths this machine runs, one per\n"
           "line). Kernels: FRIENDLY_KERNELS, read by each rank.\n";
  }
  return std::string("usage: ") + program +
         " [--report[=FORMAT[:FILE]]] [--validate] [--method=sieve] LOW HIGH\n"
         "Prints every pair of numbers from LOW to HIGH (inclusive, 32-bit integers) whose\n"
         "divisor sum over the number is the same fraction, then the search's wall-clock time.\n"
         "  --report        after the run, what ran and how fast, on standard error\n"
         "  --report=json   the same as one line of JSON; --report=text is --report\n"
         "  --report=FORMAT:FILE  the report in FILE instead of on standard error\n"
         "  --validate      check the pairs against an independent sieve after the timed search\n"
         "  --method=sieve  the same lines, in order, by a sieve: for answers, not timings\n"
         "  -h, --help      this text\n"
         "  --version       the program's version\n"
         "  --list-paths    the kernel paths that this machine runs, one per line, the default "
         "last\n"
         "Threads: OMP_NUM_THREADS. Kernels: FRIENDLY_KERNELS=" +
         choice_names(false, "|") +
         "\n"
         "(default: the GPU where this build has CUDA and a device, else the widest CPU path;\n"
         "here " +
         available_path_names() +
         ").\n"
         "Tuning of the kernels: FRIENDLY_TUNING=" +
         std::string(tuning_names()) +
         " (default: this processor's).\n"
         "Progress line on a terminal while the output goes elsewhere: FRIENDLY_PROGRESS=0 turns "
         "it off.\n";
}

std::optional<int> answer_command(const char* program, Command command, const std::string& error,
                                  bool speaks) {
  switch (command) {
    case Command::help:
      if (!speaks) return 0;
      std::fputs(usage_text(program).c_str(), stdout);
      return finish_output(program) ? 0 : kExitFailure;
    case Command::version:
      if (!speaks) return 0;
      std::printf("%s %s\n", program, FRIENDLY_VERSION);
      return finish_output(program) ? 0 : kExitFailure;
    case Command::list_paths:
      if (!speaks) return 0;
      // friendlyNumbers_mpi runs on the processors' paths only.
      std::printf("%s\n",
                  choice_names(true, "\n", std::strcmp(program, kMpiProgramName) != 0).c_str());
      return finish_output(program) ? 0 : kExitFailure;
    case Command::refused:
      if (speaks) complain(program, error);
      return kExitUsage;
    case Command::search:
      if (speaks && !error.empty()) complain(program, error);
      break;
  }
  return std::nullopt;
}

}  // namespace friendly
