// The report's figures and the run's tail: what the keys say, and the status a failed check gives.
#include "app/report.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "app/command_line.hpp"

namespace {

// The value of key in a text report ("  key: value" lines), or "" when it has none.
std::string text_value(const std::string& report, const std::string& key) {
  const std::string::size_type at = report.find("  " + key + ": ");
  if (at == std::string::npos) return "";
  const std::string::size_type from = at + key.size() + 4;
  return report.substr(from, report.find('\n', from) - from);
}

TEST(Report, EachRateIsItsPhasesWorkOverItsPhasesTime) {
  friendly::RunReport run =
      friendly::run_report(friendly::kProgramName, friendly::KernelPath::literal, 0, 1, 1001);
  run.search.ratio_seconds = 0.5;
  run.search.pair_seconds = 0.25;
  run.search.candidate_tests = 3000;
  const std::string report = friendly::format_report(run, friendly::ReportFormat::text);
  EXPECT_EQ(text_value(report, "comparisons"), "500500");
  EXPECT_EQ(text_value(report, "tests_per_second"), "6.0000e+03");
  EXPECT_EQ(text_value(report, "comparisons_per_second"), "2.0020e+06");
}

TEST(Report, NamesTheBuildThePlacementSettingsAndTheDate) {
  // The settings as the environment gives them are the program tests' (Report.GoesToItsFile...).
  friendly::RunReport run =
      friendly::run_report(friendly::kProgramName, friendly::KernelPath::literal, 0, 1, 30);
  run.omp_proc_bind = "";
  run.omp_places = "{0}:2";
  EXPECT_TRUE(std::regex_match(run.date, std::regex(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
      << run.date;
  EXPECT_FALSE(run.build_type.empty());
  // An unset setting is null in both forms; a text is a JSON string, escaped.
  run.build_flags = "-O2 -DNAME=\"x\"";
  const std::string json = friendly::format_report(run, friendly::ReportFormat::json);
  EXPECT_NE(json.find(R"("omp_proc_bind":null,"omp_places":"{0}:2")"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("build_flags":"-O2 -DNAME=\"x\"")"), std::string::npos) << json;
  const std::string text = friendly::format_report(run, friendly::ReportFormat::text);
  EXPECT_EQ(text_value(text, "omp_proc_bind"), "null");
  EXPECT_EQ(text_value(text, "build_flags"), run.build_flags);
  EXPECT_EQ(text_value(text, "date"), run.date);
}

TEST(Report, AnAnswerThatTheSieveContradictsFailsTheRun) {
  friendly::RunReport run =
      friendly::run_report(friendly::kProgramName, friendly::KernelPath::literal, 0, 1, 200);
  friendly::SearchOptions options;
  options.validate = true;
  run.search.answer.pairs = 4;  // the range has 5
  EXPECT_EQ(friendly::finish_run(friendly::kProgramName, run, options, ""), friendly::kExitFailure);
  EXPECT_EQ(run.validation, friendly::Validation::failed);
}

}  // namespace
