#include "search/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace friendly {

bool progress_wanted(std::FILE* out) noexcept {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  const char* setting = std::getenv(kProgressVariable);
  if (setting != nullptr && std::strcmp(setting, "0") == 0) return false;
  return isatty(fileno(stderr)) == 1 && isatty(fileno(out)) != 1;
}

ProgressMeter start_progress(std::FILE* terminal, double start) noexcept {
  ProgressMeter meter;
  meter.terminal = terminal;
  meter.next_draw = start + kProgressDelay;
  return meter;
}

namespace {

// The width in columns of the terminal behind stream, or known when the stream reports none.
int terminal_columns(std::FILE* stream, int known) noexcept {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return known;
  return size.ws_col;
}

// The exponential integral Ei(t) for t > 0, from its series gamma + ln t + sum t^k / (k k!),
// whose terms are all positive: summed until they no longer change the sum.
double exponential_integral(double t) noexcept {
  constexpr double kEulerGamma = 0.57721566490153286;
  double power = 1;  // t^k / k!
  double sum = 0;
  for (int k = 1; k < 1000; ++k) {
    power *= t / k;
    const double term = power / k;
    sum += term;
    if (k > t && term < sum * 1e-17) break;
  }
  return kEulerGamma + std::log(t) + sum;
}

}  // namespace

double ratio_work_below(std::int64_t n) noexcept {
  // The literal loop tests n / d - 2 candidates of n, d the largest divisor of n up to its square
  // root: about n for a prime, n / k for k times a larger prime, so that the tests near x average
  // about x / ln x, up to a constant factor (which cancels out of every share). With u = x^2,
  // the integral of x / ln x from 3 to n is li(n^2) - li(9), and li(u) = Ei(ln u).
  if (n <= 3) return 0;
  const double x = static_cast<double>(n);
  return exponential_integral(2 * std::log(x)) - exponential_integral(2 * std::log(3.0));
}

void begin_progress(ProgressMeter& meter, const char* phase, const char* unit,
                    double now) noexcept {
  meter.phase = phase;
  meter.unit = unit;
  meter.phase_start = now;
  meter.older = meter.newer = {now, 0, 0};
}

void begin_ratio_progress(ProgressMeter& meter, std::int32_t low, std::int64_t length, int threads,
                          double now) noexcept {
  begin_progress(meter, "ratios (phase 1 of 2)", "tests", now);
  meter.threads = threads;
  meter.low = low;
  meter.length = length;
  meter.work_below_low = ratio_work_below(low);
  meter.range_work = ratio_work_below(low + length) - meter.work_below_low;
}

double ratio_share(const ProgressMeter& meter, std::int64_t n) noexcept {
  // A range of numbers below 4 makes (almost) no tests: its share is that of its numbers.
  if (meter.range_work <= 0) {
    return meter.length > 0 ? static_cast<double>(n - meter.low) / static_cast<double>(meter.length)
                            : 1;
  }
  return (ratio_work_below(n) - meter.work_below_low) / meter.range_work;
}

void begin_pair_progress(ProgressMeter& meter, double own_work, double phase_work,
                         double now) noexcept {
  begin_progress(meter, "pairs (phase 2 of 2)", "comparisons", now);
  meter.own_work = own_work > 0 ? own_work : 1;
  meter.phase_work = phase_work;
}

void format_time_left(double t, char* text, std::size_t size) noexcept {
  const auto seconds = static_cast<long long>(std::llround(t));
  if (t < 9.95) {
    std::snprintf(text, size, "%.1f s", t);
  } else if (seconds < 60) {
    std::snprintf(text, size, "%lld s", seconds);
  } else if (seconds < 3600) {
    std::snprintf(text, size, "%lld min %02lld s", seconds / 60, seconds % 60);
  } else {
    std::snprintf(text, size, "%lld h %02lld min", seconds / 3600, seconds / 60 % 60);
  }
}

void draw_progress(ProgressMeter& meter, double share, double work_done, double now) noexcept {
  meter.next_draw = now + kProgressInterval;
  share = share < 0 ? 0 : share > 1 ? 1 : share;

  // The rate since the older mark, with an SI prefix; the marks move on once the newer one is
  // kProgressWindow old.
  const ProgressMeter::Mark& since = meter.older;
  const double elapsed = now - since.time;
  double scaled = elapsed > 0 ? (work_done - since.work) / elapsed : 0;
  const char* prefix = "";
  for (const char* next : {"k ", "M ", "G ", "T "}) {
    if (scaled < 1000) break;
    scaled /= 1000;
    prefix = next;
  }

  // The time left at the share's rate since the older mark; none before any work is done.
  char left[64] = "";
  if (share > since.share) {
    char time[48];
    format_time_left(elapsed * (1 - share) / (share - since.share), time, sizeof time);
    std::snprintf(left, sizeof left, ", %s left", time);
  }
  if (now - meter.newer.time >= kProgressWindow) {
    meter.older = meter.newer;
    meter.newer = {now, share, work_done};
  }

  // The text, cut to one column less than the terminal's width, read again at every draw: a
  // line as wide as the terminal, or wider, wraps and leaves rows behind that \r cannot erase.
  char text[160];
  const int length = std::snprintf(text, sizeof text, "%s: %.1f %%, %.3g %s%s/s%s", meter.phase,
                                   100 * share, scaled, prefix, meter.unit, left);
  if (length <= 0) return;
  auto shown = std::min(static_cast<std::size_t>(length), sizeof text - 1);
  meter.columns = terminal_columns(meter.terminal, meter.columns);
  if (meter.columns > 0) shown = std::min(shown, static_cast<std::size_t>(meter.columns - 1));

  // One write of the whole line, which ends by clearing the rest of the previous one.
  char line[sizeof text + 8];
  std::snprintf(line, sizeof line, "\r%.*s\033[K", static_cast<int>(shown), text);
  std::fputs(line, meter.terminal);
  std::fflush(meter.terminal);
  meter.shown = true;
}

void end_progress(ProgressMeter& meter) noexcept {
  if (!meter.shown) return;
  std::fputs("\r\033[K", meter.terminal);
  std::fflush(meter.terminal);
  meter.shown = false;
}

}  // namespace friendly
