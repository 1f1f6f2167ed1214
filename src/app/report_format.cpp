#include "app/report_format.hpp"

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

namespace friendly {

namespace {

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

}  // namespace

std::string format_report(const RunReport& run, ReportFormat format) {
  const SearchReport& search = run.search;
  const std::int64_t length = range_length(run.low, run.high);
  const std::int64_t comparisons = length > 0 ? length * (length - 1) / 2 : 0;
  // Each field: its key, its value as text, and whether that text is a JSON string. An empty
  // value that is no string is JSON's null; a setting left unset is such a value.
  std::vector<std::pair<const char*, std::pair<std::string, bool>>> fields = {
      {"program", {run.program, true}},
      {"version", {run.version, true}},
      {"date", {run.date, true}},
      {"compiler", {run.compiler, true}},
      {"build_type", {run.build_type, true}},
      {"build_flags", {run.build_flags, true}},
      {"openmp", {run.openmp, true}},
      {"omp_proc_bind", {run.omp_proc_bind, !run.omp_proc_bind.empty()}},
      {"omp_places", {run.omp_places, !run.omp_places.empty()}},
      {"processor", {run.processor, true}},
      {"path", {placement_name(run.placement), true}},
      {"tuning", {run.tuning, true}},
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
  const auto of_search = [&](const std::string& text) {
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

}  // namespace friendly
