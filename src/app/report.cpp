#include "app/report.hpp"

#include "paths/processor.hpp"
#include "paths/tuning.hpp"
#include "validate/validate.hpp"

#include <dlfcn.h>
#include <omp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace friendly {

namespace {

// text without the blanks at either end.
std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The compiler that built this code: its name and version.
std::string compiler_name() {
#if defined(__clang__)
  return trimmed("clang " __clang_version__);
#elif defined(__GNUC__)
  return trimmed("GCC " __VERSION__);
#else
  return "unknown";
#endif
}

// The OpenMP runtime library that this process runs with, and the OpenMP version it was built
// for.
std::string openmp_runtime() {
  // The library that holds the runtime's own functions, by the name its file really has.
  std::string library = "unknown";
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&omp_get_wtime), &info) != 0 && info.dli_fname != nullptr) {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::canonical(info.dli_fname, error);
    library = error ? std::filesystem::path(info.dli_fname).filename().string()
                    : file.filename().string();
  }
  return library + " (OpenMP " + std::to_string(_OPENMP) + ")";
}

// The current time, UTC, as ISO 8601 to the second.
std::string utc_date() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  char text[32] = {};
  if (gmtime_r(&now, &parts) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
    return "";
  return text;
}

// The environment variable name's value, or "" when it is unset.
std::string setting(const char* name) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// Writes report in options' report file, or on standard error; the one-line reason when it
// could not be written, else "".
std::string write_report(const std::string& report, const SearchOptions& options) {
  if (options.report_file.empty()) {
    std::fputs(report.c_str(), stderr);
    return write_error(stderr, "the report on standard error");
  }
  const std::string name = "the report to " + shown(options.report_file.c_str());
  std::FILE* const file = std::fopen(options.report_file.c_str(), "w");
  if (file == nullptr)
    return "cannot write " + name + ": " + std::generic_category().message(errno);
  std::fputs(report.c_str(), file);
  std::string error = write_error(file, name.c_str());
  if (std::fclose(file) != 0 && error.empty())
    error = "cannot write " + name + ": " + std::generic_category().message(errno);
  return error;
}

}  // namespace

RunReport run_report(const char* program, Placement placement, int ranks, std::int32_t low,
                     std::int32_t high) {
  RunReport run;
  run.program = program;
  run.version = FRIENDLY_VERSION;
  run.placement = placement;
  run.ranks = ranks;
  run.low = low;
  run.high = high;
  run.date = utc_date();
  run.compiler = compiler_name();
  run.build_type = FRIENDLY_BUILD_TYPE;
  run.build_flags = FRIENDLY_BUILD_FLAGS;
  run.openmp = openmp_runtime();
  run.omp_proc_bind = setting("OMP_PROC_BIND");
  run.omp_places = setting("OMP_PLACES");
  run.processor = processor_brand();
  run.tuning = kTunings[chosen_tuning()].name;
  return run;
}

std::string prepare_report_file(const SearchOptions& options) {
  if (options.report == ReportFormat::none || options.report_file.empty()) return "";
  std::FILE* const file = std::fopen(options.report_file.c_str(), "w");
  if (file == nullptr || std::fclose(file) != 0) {
    return "cannot write the report to " + shown(options.report_file.c_str()) + ": " +
           std::generic_category().message(errno);
  }
  return "";
}

int finish_run(const char* program, RunReport& run, const SearchOptions& options,
               const std::string& size) {
  std::printf(kTimeFormat, run.seconds);
  if (!finish_output(program)) return kExitFailure;

  // The independent check, outside the timed search.
  if (options.validate) {
    Answer expected;
    const bool sieve = run.method == Method::sieve;
    if (!(sieve ? validate_by_factors : validate_range)(run.low, run.high, expected)) {
      complain(program, "out of memory for the validation" + (size.empty() ? "" : ": " + size));
      return kExitFailure;
    }
    const std::string mismatch =
        sieve ? answer_mismatch(run.search.answer, expected, "the sieve method", "the factors")
              : answer_mismatch(run.search.answer, expected);
    run.validation = mismatch.empty() ? Validation::passed : Validation::failed;
    if (!mismatch.empty()) complain(program, mismatch);
  }
  // A report asked for and lost fails the run, though its complaint may be lost as well.
  if (options.report != ReportFormat::none) {
    const std::string error = write_report(format_report(run, options.report), options);
    if (!error.empty()) {
      complain(program, error);
      return kExitFailure;
    }
  }
  return run.validation == Validation::failed ? kExitFailure : 0;
}

}  // namespace friendly
