// What this core issues of the AVX-512 operations that the kernels are made of: each operation's
// and each kernel step's throughput (independent copies) and latency (one chain), in operations
// per cycle, and the per-core limit of each phase that follows from them. A cycle is one step of
// a chain of dependent scalar additions, as guests have no cycle counter; every loop is timed in
// the thread's CPU time, so that other processes on a loaded machine do not read as a slower
// clock.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iterator>

#include <vector>

#include "oracles.hpp"
#include "paths/path_table.hpp"
#include "search/ratio_phase.hpp"

namespace {

constexpr std::int64_t kIterations = 2'000'000;

// The calling thread's CPU time in seconds.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Seconds of thread CPU time of the fastest of seven runs of body(iterations).
template <typename Body>
double fastest(Body body, std::int64_t iterations = kIterations) {
  double best = 1e30;
  for (int run = 0; run < 7; ++run) {
    const double start = thread_seconds();
    body(iterations);
    best = std::min(best, thread_seconds() - start);
  }
  return best;
}

// Sixteen dependent scalar additions per iteration: sixteen cycles.
void additions(std::int64_t iterations) {
  std::int64_t x = 0;
  asm volatile(
      "1:\n"
      ".rept 16\n add $1, %0\n .endr\n"
      "dec %1\n jnz 1b\n"
      : "+r"(x), "+r"(iterations)
      :
      : "cc");
}

// Each loop below runs its instructions on registers that only the loop itself reads: copies on
// registers of their own are independent (throughput), one copy a chain (latency). They are
// compiled for AVX-512 one by one, and called only where the processor has it.

// Twelve unsigned 32-bit minima, on twelve registers.
[[gnu::target("avx512f,avx512bw")]] void min_epu32(std::int64_t iterations) {
  asm volatile(
      "vpxord %%zmm20, %%zmm20, %%zmm20\n"
      "1:\n"
      ".irp r, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11\n vpminud %%zmm20, %%zmm\\r, %%zmm\\r\n .endr\n"
      "dec %0\n jnz 1b\n"
      : "+r"(iterations)
      :
      : "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
        "xmm10", "xmm11", "xmm20");
}

// Twelve 32-bit compares into mask registers (six registers, twice).
[[gnu::target("avx512f,avx512bw")]] void compare_to_mask(std::int64_t iterations) {
  asm volatile(
      "1:\n"
      ".irp r, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11\n vpcmpd $1, %%zmm20, %%zmm\\r, %%k1\n .endr\n"
      "dec %0\n jnz 1b\n"
      : "+r"(iterations)
      :
      : "cc", "k1");
}

// Twelve masked 32-bit additions, on twelve registers.
[[gnu::target("avx512f,avx512bw")]] void masked_add(std::int64_t iterations) {
  asm volatile(
      "kxnorw %%k1, %%k1, %%k1\n"
      "1:\n"
      ".irp r, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11\n vpaddd %%zmm20, %%zmm\\r, %%zmm\\r%{%%k1%}\n "
      ".endr\n"
      "dec %0\n jnz 1b\n"
      : "+r"(iterations)
      :
      : "cc", "k1", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
        "xmm10", "xmm11");
}

// The ratio phase's corrected step (min, compare, sub, masked add, masked sub) of six sets of
// lanes: r, q, next and smallest in zmm 4s, 4s + 1, 4s + 2 and 4s + 3.
#define FRIENDLY_CORRECTED_STEP(r, q, next, smallest, below)    \
  "vpminud %%zmm" #r ", %%zmm" #smallest ", %%zmm" #smallest    \
  "\n"                                                          \
  "vpcmpd $1, %%zmm" #q ", %%zmm" #r ", %%k" #below             \
  "\n"                                                          \
  "vpsubd %%zmm" #q ", %%zmm" #r ", %%zmm" #r                   \
  "\n"                                                          \
  "vpaddd %%zmm" #next ", %%zmm" #r ", %%zmm" #r "%{%%k" #below \
  "%}\n"                                                        \
  "vpsubd %%zmm31, %%zmm" #q ", %%zmm" #q "%{%%k" #below "%}\n"
[[gnu::target("avx512f,avx512bw")]] void corrected_steps(std::int64_t iterations) {
  asm volatile(
      "1:\n" FRIENDLY_CORRECTED_STEP(0, 1, 2, 3, 1) FRIENDLY_CORRECTED_STEP(4, 5, 6, 7, 2)
          FRIENDLY_CORRECTED_STEP(8, 9, 10, 11, 3) FRIENDLY_CORRECTED_STEP(12, 13, 14, 15, 4)
              FRIENDLY_CORRECTED_STEP(16, 17, 18, 19, 5)
                  FRIENDLY_CORRECTED_STEP(20, 21, 22, 23, 6) "dec %0\n jnz 1b\n"
      : "+r"(iterations)
      :
      : "cc", "k1", "k2", "k3", "k4", "k5", "k6", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5",
        "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15",
        "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23");
}
// One set: the step's chain.
[[gnu::target("avx512f,avx512bw")]] void corrected_chain(std::int64_t iterations) {
  asm volatile("1:\n" FRIENDLY_CORRECTED_STEP(0, 1, 2, 3, 1) "dec %0\n jnz 1b\n"
               : "+r"(iterations)
               :
               : "cc", "k1", "xmm0", "xmm1", "xmm2", "xmm3");
}

// The uncorrected step (min, sub) of eight sets: r and smallest in zmm 2s and 2s + 1.
#define FRIENDLY_UNCORRECTED_STEP(r, smallest)               \
  "vpminud %%zmm" #r ", %%zmm" #smallest ", %%zmm" #smallest \
  "\n"                                                       \
  "vpsubd %%zmm30, %%zmm" #r ", %%zmm" #r "\n"
[[gnu::target("avx512f,avx512bw")]] void uncorrected_steps(std::int64_t iterations) {
  asm volatile("1:\n" FRIENDLY_UNCORRECTED_STEP(0, 1) FRIENDLY_UNCORRECTED_STEP(2, 3)
                   FRIENDLY_UNCORRECTED_STEP(4, 5) FRIENDLY_UNCORRECTED_STEP(6, 7)
                       FRIENDLY_UNCORRECTED_STEP(8, 9) FRIENDLY_UNCORRECTED_STEP(10, 11)
                           FRIENDLY_UNCORRECTED_STEP(12, 13)
                               FRIENDLY_UNCORRECTED_STEP(14, 15) "dec %0\n jnz 1b\n"
               : "+r"(iterations)
               :
               : "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                 "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

// The pair filter's core for one vector of 32 columns (zmm c) against eight rows (zmm 16 to
// 23): the least of the eight exclusive ors, in zmm least, through zmm t.
#define FRIENDLY_ROW(c, t, least, row)                                                 \
  "vpxord %%zmm" #row ", %%zmm" #c ", %%zmm" #t "\n vpminuw %%zmm" #t ", %%zmm" #least \
  ", %%zmm" #least "\n"
#define FRIENDLY_FILTER(c, t, least)                                                            \
  "vpxord %%zmm16, %%zmm" #c ", %%zmm" #least "\n" FRIENDLY_ROW(c, t, least, 17)                \
      FRIENDLY_ROW(c, t, least, 18) FRIENDLY_ROW(c, t, least, 19) FRIENDLY_ROW(c, t, least, 20) \
          FRIENDLY_ROW(c, t, least, 21) FRIENDLY_ROW(c, t, least, 22)                           \
              FRIENDLY_ROW(c, t, least, 23)
// Four vectors of columns at a time.
[[gnu::target("avx512f,avx512bw")]] void pair_filter(std::int64_t iterations) {
  asm volatile("1:\n" FRIENDLY_FILTER(0, 4, 8) FRIENDLY_FILTER(1, 5, 9) FRIENDLY_FILTER(2, 6, 10)
                   FRIENDLY_FILTER(3, 7, 11) "dec %0\n jnz 1b\n"
               : "+r"(iterations)
               :
               : "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                 "xmm9", "xmm10", "xmm11");
}

// The pair kernel's whole step over 64 columns: the low halves of two vectors from four loads
// (a shift and a blend each), the filter of each, their minimum, its zero words to a mask and
// the branch on it (never taken: the rows and columns differ).
[[gnu::target("avx512f,avx512bw")]] void pair_step(std::int64_t iterations) {
  alignas(64) static std::int32_t columns[64] = {};
  std::int32_t* p = columns;
  asm volatile(
      "vpternlogd $0xff, %%zmm16, %%zmm16, %%zmm16\n"
      ".irp r, 17, 18, 19, 20, 21, 22, 23\n vmovdqa32 %%zmm16, %%zmm\\r\n .endr\n"
      "movl $0xAAAAAAAA, %%eax\n kmovd %%eax, %%k2\n"
      "1:\n"
      "vmovdqu32 (%1), %%zmm0\n vmovdqu32 64(%1), %%zmm12\n"
      "vpslld $16, %%zmm12, %%zmm12\n vpblendmw %%zmm12, %%zmm0, %%zmm0%{%%k2%}\n"
      "vmovdqu32 128(%1), %%zmm1\n vmovdqu32 192(%1), %%zmm13\n"
      "vpslld $16, %%zmm13, %%zmm13\n vpblendmw %%zmm13, %%zmm1, %%zmm1%{%%k2%}\n"
      FRIENDLY_FILTER(0, 4, 8) FRIENDLY_FILTER(1, 5, 9)
      "vpminuw %%zmm9, %%zmm8, %%zmm8\n vptestnmw %%zmm8, %%zmm8, %%k1\n kortestd %%k1, %%k1\n"
      "jnz 2f\n dec %0\n jnz 1b\n"
      "2:\n"
      : "+r"(iterations)
      : "r"(p)
      : "cc", "eax", "k1", "k2", "xmm0", "xmm1", "xmm4", "xmm5", "xmm8", "xmm9", "xmm12",
        "xmm13", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23",
        "memory");
}

// Four single-precision divisions of sixteen lanes, independent.
[[gnu::target("avx512f,avx512bw")]] void divisions(std::int64_t iterations) {
  asm volatile(
      "vpternlogd $0xff, %%zmm20, %%zmm20, %%zmm20\n vcvtdq2ps %%zmm20, %%zmm20\n"
      "1:\n"
      ".irp r, 0, 1, 2, 3\n vdivps %%zmm20, %%zmm20, %%zmm\\r\n .endr\n"
      "dec %0\n jnz 1b\n"
      : "+r"(iterations)
      :
      : "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm20");
}

#undef FRIENDLY_CORRECTED_STEP
#undef FRIENDLY_UNCORRECTED_STEP
#undef FRIENDLY_ROW
#undef FRIENDLY_FILTER

// One measured loop: its name, its body, the instructions and the units of work (candidate
// tests or comparisons) of one iteration.
struct Loop {
  const char* name;
  void (*body)(std::int64_t);
  int instructions;
  int work;
  const char* unit;
};

// The candidate tests of 1..high by how the kernels make them: by division up to the root,
// stepped with corrections up to sqrt(128 n) (a stretch of eight steps of sixteen lanes needs
// one there), stepped without them above.
struct TestClasses {
  double divided = 0;
  double corrected = 0;
  double uncorrected = 0;
};
TestClasses test_classes(std::int32_t high) {
  TestClasses classes;
  for (std::int32_t n = 1; n <= high; ++n) {
    // The literal loop tests the candidates 2 to tests + 1.
    const std::int64_t tests = friendly::candidate_tests(n);
    const std::int64_t last = tests + 1;
    const auto root = static_cast<std::int64_t>(std::sqrt(static_cast<double>(n)));
    const auto corrected = static_cast<std::int64_t>(std::sqrt(128.0 * n));
    const std::int64_t divided = std::min(tests, std::max<std::int64_t>(root - 1, 0));
    const std::int64_t stepped = std::max<std::int64_t>(std::min(last, corrected) - root, 0);
    classes.divided += static_cast<double>(divided);
    classes.corrected += static_cast<double>(std::min(stepped, tests - divided));
    classes.uncorrected +=
        static_cast<double>(tests - divided - std::min(stepped, tests - divided));
  }
  return classes;
}

// Seconds of the reductions of the ratios of 1..high (gcd, as the ratio phase makes them), the
// fastest of seven runs; the divisor sums come from a sieve.
double reduction_seconds(std::int32_t high) {
  std::vector<std::int32_t> sums(static_cast<std::size_t>(high) + 1, 1);
  for (std::int32_t d = 2; d <= high; ++d) {
    for (std::int32_t m = d; m <= high; m += d)
      sums[static_cast<std::size_t>(m)] += d;
  }
  sums[1] = 2;
  std::int32_t numerator = 0;
  std::int32_t denominator = 0;
  return fastest(
      [&](std::int64_t) {
        for (std::int32_t n = 1; n <= high; ++n) {
          friendly::store_ratio(n, sums[static_cast<std::size_t>(n)], numerator, denominator);
          asm volatile("" : : "r"(numerator), "r"(denominator));
        }
      },
      1);
}

}  // namespace

// Prints each loop's rate in instructions and in units of work per cycle, the clock, and each
// phase's limit per core at those rates.
int main() {
  if (!friendly::path_available(friendly::KernelPath::avx512)) {
    std::fprintf(stderr, "issue_rates: this processor lacks the avx512 path's instructions\n");
    return 1;
  }
  const double cycle = fastest(additions) / (16.0 * kIterations);
  std::printf("clock (dependent additions): %.2f GHz\n", 1e-9 / cycle);
  const Loop loops[] = {
      {"vpminud, 12 independent", min_epu32, 12, 0, ""},
      {"vpcmpd to a mask, 12 independent", compare_to_mask, 12, 0, ""},
      {"masked vpaddd, 12 independent", masked_add, 12, 0, ""},
      {"corrected step, 6 sets of 16 lanes", corrected_steps, 30, 96, "tests"},
      {"corrected step, 1 set (its chain)", corrected_chain, 5, 16, "tests"},
      {"uncorrected step, 8 sets of 16 lanes", uncorrected_steps, 16, 128, "tests"},
      {"pair filter, xor and min, 4 x 32 columns x 8 rows", pair_filter, 60, 1024, "comparisons"},
      {"pair step, 64 columns x 8 rows, loads to branch", pair_step, 41, 512, "comparisons"},
      {"vdivps, 4 independent", divisions, 4, 64, "tests"},
  };
  double per_cycle[std::size(loops)] = {};
  std::printf("%-52s %14s %16s\n", "loop", "instr/cycle", "work/cycle");
  for (std::size_t k = 0; k < std::size(loops); ++k) {
    const Loop& loop = loops[k];
    const double cycles = fastest(loop.body) / cycle / static_cast<double>(kIterations);
    per_cycle[k] = loop.work / cycles;
    std::printf("%-52s %14.2f", loop.name, loop.instructions / cycles);
    if (loop.work > 0) std::printf(" %10.2f %s", per_cycle[k], loop.unit);
    std::printf("\n");
  }

  // The limits: each test or comparison at its step's full rate, nothing else.
  const auto rate = [&](void (*body)(std::int64_t)) {
    for (std::size_t k = 0; k < std::size(loops); ++k) {
      if (loops[k].body == body) return per_cycle[k];
    }
    return 0.0;
  };
  constexpr std::int32_t kHigh = 100'000;
  const TestClasses classes = test_classes(kHigh);
  const double tests = classes.divided + classes.corrected + classes.uncorrected;
  // The reduction of every ratio by gcd, which the phase makes beside its tests, counts at the
  // rate measured here.
  const double reduction_cycles = reduction_seconds(kHigh) / cycle;
  const double ratio_cycles = classes.divided / rate(divisions) +
                              classes.corrected / rate(corrected_steps) +
                              classes.uncorrected / rate(uncorrected_steps) + reduction_cycles;
  std::printf(
      "ratio phase of 1..%d: %.0f tests, %.1f %% divided, %.1f %% corrected, %.1f %% "
      "uncorrected, reductions %.1f M cycles; limit %.2f tests/cycle, %.2f G tests/s\n",
      kHigh, tests, 100 * classes.divided / tests, 100 * classes.corrected / tests,
      100 * classes.uncorrected / tests, reduction_cycles * 1e-6, tests / ratio_cycles,
      tests / ratio_cycles / cycle * 1e-9);
  std::printf(
      "pair phase: limit %.2f comparisons/cycle, %.2f G comparisons/s (the filter's xor "
      "and min)\n",
      rate(pair_filter), rate(pair_filter) / cycle * 1e-9);
  return 0;
}
