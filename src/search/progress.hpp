// A one-line indicator of a long search's progress, on a terminal: the phase, the share of its
// work done, the rate and the time left in the phase. One thread (thread 0 of the team) draws it
// between its own chunks and blocks, from what that thread sees itself: no other thread reads or
// writes the meter, so it needs no lock and no atomic operation.
#pragma once

#include <omp.h>

#include <cstdint>
#include <cstdio>

namespace friendly {

// The environment variable that turns the indicator off when set to 0.
inline constexpr const char* kProgressVariable = "FRIENDLY_PROGRESS";

// Seconds of search before the indicator is first drawn, and the least time between two draws.
inline constexpr double kProgressDelay = 1.0;
inline constexpr double kProgressInterval = 0.25;

// Seconds over which the rate and the time left are measured, at least.
inline constexpr double kProgressWindow = 3.0;

// The state of the indicator: owned by the caller of the search, read and written only by the
// one thread that draws it.
struct ProgressMeter {
  std::FILE* terminal = nullptr;  // where the line is drawn
  int columns = 0;                // the terminal's width as last read; 0 when unknown
  double next_draw = 0;           // omp_get_wtime() before which nothing is drawn
  bool shown = false;             // a line is on the terminal

  // The phase drawn now: its name and unit of work, its start, and the threads of its team.
  const char* phase = "";
  const char* unit = "";
  double phase_start = 0;
  int threads = 1;

  // Two earlier points of the phase (time, share of its work, work done), the older one between
  // kProgressWindow and twice that before the newer one: the rate and the time left are those
  // since the older one, so that they follow a rate that changes along the phase.
  struct Mark {
    double time = 0;
    double share = 0;
    double work = 0;
  };
  Mark older;
  Mark newer;

  // Ratio phase: the estimated work (ratio_work_below) below the range's first number and in
  // the whole range, and the range, for a range with no estimated work.
  double work_below_low = 0;
  double range_work = 0;
  std::int64_t low = 0;
  std::int64_t length = 0;

  // Pair phase: the comparisons of the drawing thread's own rows, and of the whole phase.
  double own_work = 0;
  double phase_work = 0;
};

// True when the indicator is wanted for a search that prints its pairs on out: standard error is
// a terminal, out is not one (the pair lines would tear the line), and FRIENDLY_PROGRESS is not
// 0. Reads the environment: call it before any thread starts.
bool progress_wanted(std::FILE* out) noexcept;

// A meter that draws on terminal, first kProgressDelay seconds after start (omp_get_wtime()).
ProgressMeter start_progress(std::FILE* terminal, double start) noexcept;

// An estimate, up to a constant factor, of the candidate tests that the trial division makes
// for all numbers 3 .. n - 1 (0 for n <= 3): the integral of x / ln x from 3 to n.
double ratio_work_below(std::int64_t n) noexcept;

// Starts a phase named phase, whose work is counted in unit, at time now.
void begin_progress(ProgressMeter& meter, const char* phase, const char* unit, double now) noexcept;

// Starts the ratio phase of low .. low + length - 1 on a team of `threads` at time now.
void begin_ratio_progress(ProgressMeter& meter, std::int32_t low, std::int64_t length, int threads,
                          double now) noexcept;

// The share of the ratio phase's work below number n, estimated with ratio_work_below.
double ratio_share(const ProgressMeter& meter, std::int64_t n) noexcept;

// Draws the meter at time now with the given share of the phase's work done and the team's
// work done in the phase so far, and sets the time of the next draw.
void draw_progress(ProgressMeter& meter, double share, double work_done, double now) noexcept;

// The ratio phase's hook, called by the drawing thread as it starts a chunk at number n, having
// made own_tests candidate tests so far: the chunks are handed out in increasing order, so every
// number below n has been handed out, and each thread of the team has worked about as long.
inline void ratio_progress(ProgressMeter& meter, std::int64_t n, std::int64_t own_tests) noexcept {
  const double now = omp_get_wtime();
  if (now < meter.next_draw) return;
  draw_progress(meter, ratio_share(meter, n), static_cast<double>(own_tests) * meter.threads, now);
}

// Starts the pair phase at time now: own_work comparisons are the drawing thread's, phase_work
// the whole phase's.
void begin_pair_progress(ProgressMeter& meter, double own_work, double phase_work,
                         double now) noexcept;

// The pair phase's hook, called by the drawing thread between its groups of blocks with the
// comparisons of its own rows done so far: the static schedule deals every thread blocks from
// the whole span, so the thread's share of its own work stands for the phase's.
inline void pair_progress(ProgressMeter& meter, double own_done) noexcept {
  const double now = omp_get_wtime();
  if (now < meter.next_draw) return;
  const double share = own_done / meter.own_work;
  draw_progress(meter, share, share * meter.phase_work, now);
}

// Erases the line, if one is shown.
void end_progress(ProgressMeter& meter) noexcept;

// The time t (seconds, >= 0) as the indicator writes it into text (size bytes): "4.5 s",
// "45 s", "3 min 05 s", "2 h 07 min".
void format_time_left(double t, char* text, std::size_t size) noexcept;

}  // namespace friendly
