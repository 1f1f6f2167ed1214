#include "app/report.hpp"

#include "paths/tuning.hpp"
#include "validate/validate.hpp"

#include <cpuid.h>
#include <dlfcn.h>
#include <omp.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace friendly {

namespace {

// text without the blanks at either end.
std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// text as a JSON string, quotes included.
std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(byte));
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// x in printf's format, which takes one double or one integer.
template <typename Number>
std::string formatted(const char* format, Number x) {
  char text[64];
  std::snprintf(text, sizeof text, format, x);
  return text;
}

// count / seconds, or nothing when no time was measured.
std::string rate(std::int64_t count, double seconds) {
  return seconds > 0 ? formatted("%.4e", static_cast<double>(count) / seconds) : "";
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

// The processor's model name as it reports itself, or "unknown".
std::string processor_name() {
  // The brand string of CPUID leaves 0x80000002 to 0x80000004, 16 bytes each.
  unsigned words[12] = {};
  for (std::size_t leaf = 0; leaf < 3; ++leaf) {
    unsigned* const word = words + 4 * leaf;
    if (__get_cpuid(0x80000002U + static_cast<unsigned>(leaf), word, word + 1, word + 2,
                    word + 3) == 0) {
      return "unknown";
    }
  }
  char brand[sizeof words + 1] = {};
  std::memcpy(brand, words, sizeof words);
  const std::string name = trimmed(brand);
  return name.empty() ? "unknown" : name;
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
  return run;
}

std::string format_report(const RunReport& run, ReportFormat format) {
  const SearchReport& search = run.search;
  const std::int64_t length = range_length(run.low, run.high);
  const std::int64_t comparisons = length > 0 ? length * (length - 1) / 2 : 0;
  // Each field: its key, its value as text, and whether that text is a JSON string. An empty
  // value is JSON's null.
  std::vector<std::pair<const char*, std::pair<std::string, bool>>> fields = {
      {"program", {run.program, true}},
      {"version", {run.version, true}},
      {"compiler", {compiler_name(), true}},
      {"openmp", {openmp_runtime(), true}},
      {"processor", {processor_name(), true}},
      {"path", {placement_name(run.placement), true}},
      {"tuning", {kTunings[chosen_tuning()].name, true}},
      {"method", {method_name(run.method), true}},
      {"threads", {std::to_string(search.threads), false}}};
  if (run.ranks > 0) fields.push_back({"ranks", {std::to_string(run.ranks), false}});
  if (run.placement.device == Device::gpu) {
    fields.push_back({"device", {run.device.name, true}});
    fields.push_back(
        {"device_setup_seconds", {formatted("%.6f", run.device.setup_seconds), false}});
  }
  const char* validated = "";
  if (run.validation != Validation::not_asked)
    validated = run.validation == Validation::passed ? "true" : "false";
  // The sieve method does none of the search's work and has none of its phases.
  const auto of_search = [&](std::string text) {
    return run.method == Method::search ? text : std::string();
  };
  const std::vector<std::pair<const char*, std::pair<std::string, bool>>> rest = {
      {"low", {std::to_string(run.low), false}},
      {"high", {std::to_string(run.high), false}},
      {"pairs", {std::to_string(search.answer.pairs), false}},
      {"checksum", {checksum_text(search.answer.checksum), true}},
      {"seconds", {formatted("%.6f", run.seconds), false}},
      {"ratio_seconds", {of_search(formatted("%.6f", search.ratio_seconds)), false}},
      {"pair_seconds", {of_search(formatted("%.6f", search.pair_seconds)), false}},
      {"candidate_tests", {of_search(std::to_string(search.candidate_tests)), false}},
      {"comparisons", {of_search(std::to_string(comparisons)), false}},
      {"tests_per_second", {of_search(rate(search.candidate_tests, search.ratio_seconds)), false}},
      {"comparisons_per_second", {of_search(rate(comparisons, search.pair_seconds)), false}},
      {"validated", {validated, false}}};
  fields.insert(fields.end(), rest.begin(), rest.end());

  std::string text;
  if (format == ReportFormat::json) {
    for (const auto& [key, value] : fields) {
      const auto& [shown, quoted] = value;
      text += text.empty() ? "{" : ",";
      text += json_string(key) + ":" +
              (shown.empty() && !quoted ? "null"
               : quoted                 ? json_string(shown)
                                        : shown);
    }
    return text + "}\n";
  }
  text = std::string(run.program) + " report\n";
  for (const auto& [key, value] : fields) {
    text += "  " + std::string(key) + ": " + (value.first.empty() ? "null" : value.first) + "\n";
  }
  return text;
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
    std::fputs(format_report(run, options.report).c_str(), stderr);
    const std::string error = write_error(stderr, "the report on standard error");
    if (!error.empty()) {
      complain(program, error);
      return kExitFailure;
    }
  }
  return run.validation == Validation::failed ? kExitFailure : 0;
}

}  // namespace friendly
