// AVX-512 kernels (F, BW, VL and DQ): the only source compiled for AVX-512, called only where
// path_available(avx512). It uses intrinsics and its own internal helpers only (nothing inline
// from shared headers), so no AVX-512 instruction can leak into another path through the
// linker's choice of one copy.
// GCC 12's AVX-512 intrinsics start their results from a self-initialised "undefined" vector,
// which its own -Wmaybe-uninitialized then reports inside the header (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <cstddef>
#include <cstdint>
#include <utility>

#include "paths/kernels.hpp"
#include "support/contract.hpp"

namespace friendly {

namespace {

#include "paths/divisor_lanes.inc"
#include "paths/lane_masks.inc"
#include "paths/work_tally.inc"

// The stepping kernel's lanes are Vectors vectors of sixteen (the tuning's avx512_vectors):
// independent segments that keep the vector pipes busy while each remainder waits on its own
// update; and it tries Stretch steps (avx512_stretch) at a time without corrections. Shortest
// segment worth the lanes' setup; shorter stretches are tested by division, sixteen
// (or, from 2^24 on, eight) candidates at a time.
constexpr std::int32_t kMinSegment = 8;

// True where |n| < 2^24, so that single precision holds n and its quotients exactly.
inline bool single_precision(std::int32_t n) {
  return n > -(1 << 24) && n < (1 << 24);
}

// The divisor at lane `lane` of `width` candidates tested from f, counting the lanes past it
// as retests (the next call tests them again).
inline std::int32_t found_at(std::int32_t f, int lane, std::int64_t width, WorkTally& tally) {
  tally.retests += width - lane - 1;
  return f + lane;
}

// Sixteen stepping lanes: n = q f + r for the lane's candidate f, the candidate after it, and
// the unsigned minimum of the remainders tested so far (0 once a candidate divided n).
struct Lanes {
  __m512i q;
  __m512i r;
  __m512i next;
  __m512i smallest;
};

// Lanes for n from the sixteen candidates f: q by a division in single precision where it holds
// n, else in double precision, either of which truncates to the integer quotient (see
// next_divisor_dividing).
inline Lanes start_lanes(std::int32_t n, __m512i f) {
  __m512i q;
  if (single_precision(n)) {
    const __m512 number = _mm512_set1_ps(static_cast<float>(n));
    q = _mm512_cvttps_epi32(_mm512_div_ps(number, _mm512_cvtepi32_ps(f)));
  } else {
    const __m512d number = _mm512_set1_pd(static_cast<double>(n));
    const __m512d low = _mm512_cvtepi32_pd(_mm512_castsi512_si256(f));
    const __m512d high = _mm512_cvtepi32_pd(_mm512_extracti32x8_epi32(f, 1));
    q = _mm512_inserti32x8(_mm512_castsi256_si512(_mm512_cvttpd_epi32(_mm512_div_pd(number, low))),
                           _mm512_cvttpd_epi32(_mm512_div_pd(number, high)), 1);
  }
  const __m512i r = _mm512_sub_epi32(_mm512_set1_epi32(n), _mm512_mullo_epi32(q, f));
  return {q, r, _mm512_add_epi32(f, _mm512_set1_epi32(1)), _mm512_set1_epi32(-1)};
}

// Tests every lane's candidate f = next - 1, then moves r and q to f + 1: r - q, or where r < q
// (so that r - q would be negative) r - q + f + 1 and q - 1; one correction suffices while
// q <= f. Comparing before subtracting keeps the mask off the remainder's chain.
inline void test_and_move(Lanes& lanes) {
  lanes.smallest = _mm512_min_epu32(lanes.smallest, lanes.r);
  const __mmask16 below = _mm512_cmplt_epi32_mask(lanes.r, lanes.q);
  lanes.r = _mm512_sub_epi32(lanes.r, lanes.q);
  lanes.r = _mm512_mask_add_epi32(lanes.r, below, lanes.r, lanes.next);
  lanes.q = _mm512_mask_sub_epi32(lanes.q, below, lanes.q, _mm512_set1_epi32(1));
}

// The same for the candidate next itself, moving to next + 1 with the same next: the corrected
// remainder r - q + next + 1 is r - (q - 1) + next. Two steps then share one increment of next.
inline void test_and_move_past_next(Lanes& lanes) {
  lanes.smallest = _mm512_min_epu32(lanes.smallest, lanes.r);
  const __mmask16 below = _mm512_cmplt_epi32_mask(lanes.r, lanes.q);
  lanes.q = _mm512_mask_sub_epi32(lanes.q, below, lanes.q, _mm512_set1_epi32(1));
  lanes.r = _mm512_sub_epi32(lanes.r, lanes.q);
  lanes.r = _mm512_mask_add_epi32(lanes.r, below, lanes.r, lanes.next);
}

// Both, for the candidates next - 1 and next; then next moves on by two.
inline void test_and_move_twice(Lanes& lanes) {
  test_and_move(lanes);
  test_and_move_past_next(lanes);
  lanes.next = _mm512_add_epi32(lanes.next, _mm512_set1_epi32(2));
}

// Stretch steps of the lanes without corrections, r - q each: exact as long as no remainder
// goes below 0, and as they only decrease (q >= 0), exactly when the last one is still >= 0. Then
// the lanes move on and it returns true; otherwise smallest alone has taken remainders that were
// either exact or negative (never 0), and it returns false. Far above the square root of n,
// where q is small against f, most such stretches need no correction.
template <int Stretch>
inline bool test_and_move_uncorrected(Lanes& lanes) {
  static_assert(Stretch >= 2 && Stretch % 2 == 0, "a stretch is stepped two candidates at a time");
  __m512i r = lanes.r;
  for (int k = 0; k < Stretch; ++k) {
    lanes.smallest = _mm512_min_epu32(lanes.smallest, r);
    r = _mm512_sub_epi32(r, lanes.q);
  }
  if (_mm512_movepi32_mask(r) != 0) return false;
  lanes.r = r;
  lanes.next = _mm512_add_epi32(lanes.next, _mm512_set1_epi32(Stretch));
  return true;
}

// Tests the candidate of the lanes in `valid` only, leaving r and q where they are.
inline void test_last(Lanes& lanes, std::uint64_t valid) {
  lanes.smallest =
      _mm512_mask_min_epu32(lanes.smallest, static_cast<__mmask16>(valid), lanes.smallest, lanes.r);
}

// Unoptimised, GCC defines the rounding and masked compare intrinsics as macros that convert
// their masks between signed and unsigned types, which -Wsign-conversion reports here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
#endif
// The first divisor of n in [from, to), or to, by division.
std::int32_t dividing(std::int32_t n, std::int32_t from, std::int32_t to) noexcept {
  // The quotient q of n and f, both below 2^24 in magnitude in single precision or below 2^31 in
  // double precision, is an integer exactly when f divides n: an integer quotient is exact, and
  // any other lies at least 1 / f from the nearest integer, more than the rounding error of n / f.
  // (A candidate above |n|, exact or not, leaves |q| < 1, an integer only for n = 0.) The last
  // vector tests only the lanes below `to`; f is 64-bit, as the step past it may pass 2^31 - 1.
  FRIENDLY_ASSERT(2 <= from && from <= to);
  constexpr int kTruncate = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
  WorkTally tally;
  if (single_precision(n)) {
    const __m512 number = _mm512_set1_ps(static_cast<float>(n));
    __m512 candidates =
        _mm512_add_ps(_mm512_set1_ps(static_cast<float>(from)),
                      _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    for (std::int64_t f = from; f < to; f += 16) {
      const std::int64_t lanes = to - f < 16 ? to - f : 16;
      const auto valid = static_cast<__mmask16>(first_lanes(lanes, 16));
      const __m512 q = _mm512_div_ps(number, candidates);
      const __mmask16 hits =
          _mm512_mask_cmp_ps_mask(valid, q, _mm512_roundscale_ps(q, kTruncate), _CMP_EQ_OQ);
      tally.tests += lanes;
      if (hits != 0)
        return found_at(static_cast<std::int32_t>(f), __builtin_ctz(hits), lanes, tally);
      candidates = _mm512_add_ps(candidates, _mm512_set1_ps(16.0F));
    }
  } else {
    const __m512d number = _mm512_set1_pd(static_cast<double>(n));
    __m512d candidates = _mm512_add_pd(_mm512_set1_pd(static_cast<double>(from)),
                                       _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7));
    for (std::int64_t f = from; f < to; f += 8) {
      const std::int64_t lanes = to - f < 8 ? to - f : 8;
      const auto valid = static_cast<__mmask8>(first_lanes(lanes, 8));
      const __m512d q = _mm512_div_pd(number, candidates);
      const __mmask8 hits =
          _mm512_mask_cmp_pd_mask(valid, q, _mm512_roundscale_pd(q, kTruncate), _CMP_EQ_OQ);
      tally.tests += lanes;
      if (hits != 0)
        return found_at(static_cast<std::int32_t>(f), __builtin_ctz(hits), lanes, tally);
      candidates = _mm512_add_pd(candidates, _mm512_set1_pd(8.0));
    }
  }
  return to;
}

// divisors_dividing by the quotients that start_lanes divides for sixteen candidates at a time,
// every divisor's cofactor its quotient.
std::int32_t divisors(std::int32_t n, std::int32_t from, std::int32_t to,
                      std::int64_t& sum) noexcept {
  FRIENDLY_ASSERT(2 <= from && from <= to && std::int64_t{to - 1} * (to - 1) <= n);
  std::int32_t cofactor = n;
  alignas(64) std::int32_t quotient[16];
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  for (std::int32_t f = from; f < to; f += 16) {
    const Lanes divided = start_lanes(n, _mm512_add_epi32(_mm512_set1_epi32(f), lane));
    const auto valid = static_cast<__mmask16>(first_lanes(to - f, 16));
    const std::uint32_t hits = _mm512_mask_testn_epi32_mask(valid, divided.r, divided.r);
    if (hits == 0) continue;
    _mm512_store_si512(quotient, divided.q);
    cofactor = add_divisors(f, hits, quotient, sum, cofactor);
  }
  WorkTally tally;
  tally.tests = to - from;
  return cofactor;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Bit v set where vector v's first lane, whose quotient is the largest against its candidate,
// expects less than one correction in a stretch of Stretch steps of all sixteen lanes (it
// needs one about every f / q steps).
template <int Vectors, int Stretch>
unsigned uncorrected_vectors(const Lanes (&lanes)[std::size_t{Vectors}]) {
  unsigned vectors = 0;
  for (int v = 0; v < Vectors; ++v) {
    const std::int32_t f = _mm512_cvtsi512_si32(lanes[v].next) - 1;
    const std::int32_t q = _mm512_cvtsi512_si32(lanes[v].q);
    if (std::int64_t{q} * 16 * Stretch < f) vectors |= 1U << v;
  }
  return vectors;
}

// Moves every lane Stretch candidates on, testing each: each vector first without corrections
// where try_uncorrected says so (uncorrected_vectors); a stretch that fails is tested again with
// corrections, interleaved with the other vectors that need them, and its first tests are added
// to redone.
template <int Vectors, int Stretch>
[[gnu::always_inline]] inline void step_stretch(Lanes (&lanes)[std::size_t{Vectors}],
                                                unsigned try_uncorrected, Count& redone) {
  unsigned corrected = 0;
  for (int v = 0; v < Vectors; ++v) {
    const bool tried = (try_uncorrected >> v & 1U) != 0;
    if (tried && test_and_move_uncorrected<Stretch>(lanes[v])) continue;
    if (tried) redone += std::int64_t{16} * Stretch;
    corrected |= 1U << v;
  }
  for (int pair = 0; pair < Stretch / 2; ++pair) {
    for (int v = 0; v < Vectors; ++v) {
      if ((corrected >> v & 1U) != 0) test_and_move_twice(lanes[v]);
    }
  }
}

// Moves every lane `segment` candidates on: stretches of Stretch steps (step_stretch), then
// what is left one or two steps at a time. Returns the steps it ran; redone as step_stretch.
// It and step_stretch are inlined even where two tunings' kernels share them: the lanes then
// stay in registers.
template <int Vectors, int Stretch>
[[gnu::always_inline]] inline std::int32_t step_lanes(Lanes (&lanes)[std::size_t{Vectors}],
                                                      std::int32_t segment, Count& redone) {
  const unsigned try_uncorrected = uncorrected_vectors<Vectors, Stretch>(lanes);
  std::int32_t step = 0;
  for (; segment - step >= Stretch; step += Stretch)
    step_stretch<Vectors, Stretch>(lanes, try_uncorrected, redone);
  for (; segment - step >= 2; step += 2) {
    for (Lanes& l : lanes)
      test_and_move_twice(l);
  }
  if (step < segment) {
    for (Lanes& l : lanes)
      test_and_move(l);
    ++step;
  }
  return step;
}

// The first divisor of n in [from, to), or to, by stepping the remainders in 16 Vectors
// segments, Stretch steps at a time where they need no corrections; the candidates that need
// them apart from the rest where Split.
template <int Vectors, int Stretch, bool Split>
std::int32_t stepping(std::int32_t n, std::int32_t from, std::int32_t to) noexcept {
  constexpr std::int32_t kStepLanes = 16 * Vectors;
  FRIENDLY_ASSERT(2 <= from && from <= to && std::int64_t{from} * from >= n);
  const std::int32_t segment = (to - from) / kStepLanes;
  if (segment < kMinSegment) return dividing(n, from, to);

  // Below about sqrt(16 Stretch n) a vector's first lane needs a correction within a stretch
  // (uncorrected_vectors), so that a vector holding those candidates steps all its lanes
  // corrected, on one chain of compare and masked add. Split steps those candidates apart, by
  // every lane, where both parts are long enough to step; the rest then needs no corrections.
  // (Two past the root, so that the first lane from there on passes that test.)
  if constexpr (Split) {
    const auto corrected =
        static_cast<std::int64_t>(__builtin_sqrt(16.0 * Stretch * static_cast<double>(n))) + 2;
    constexpr std::int64_t kLeast = std::int64_t{kStepLanes} * kMinSegment;
    if (corrected - from >= kLeast && to - corrected >= kLeast) {
      const auto middle = static_cast<std::int32_t>(corrected);
      const std::int32_t first = stepping<Vectors, Stretch, Split>(n, from, middle);
      return first < middle ? first : stepping<Vectors, Stretch, Split>(n, middle, to);
    }
  }

  // Lane k walks segment candidates from from + k segment + min(k, longer) on, and the first
  // `longer` lanes one more, so that the lanes cover [from, to) whole.
  const std::int32_t longer = (to - from) % kStepLanes;
  const auto lane_start = [&](__m512i k) {
    return _mm512_add_epi32(_mm512_add_epi32(_mm512_set1_epi32(from),
                                             _mm512_mullo_epi32(k, _mm512_set1_epi32(segment))),
                            _mm512_min_epi32(k, _mm512_set1_epi32(longer)));
  };
  Lanes lanes[std::size_t{Vectors}];
  for (int v = 0; v < Vectors; ++v) {
    const __m512i k =
        _mm512_add_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                         _mm512_set1_epi32(16 * v));
    lanes[v] = start_lanes(n, lane_start(k));
  }
  WorkTally tally;
  const std::int32_t steps = step_lanes<Vectors, Stretch>(lanes, segment, tally.retests);

  // The longer lanes' last candidates; then the first lane that met a zero remainder holds the
  // first divisor: its candidates are searched again, and they and the later lanes' count as
  // retests.
  int lane = -1;
  for (int v = 0; v < Vectors; ++v) {
    test_last(lanes[v], first_lanes(longer - 16 * v, 16));
    const unsigned met = _mm512_testn_epi32_mask(lanes[v].smallest, lanes[v].smallest);
    if (lane < 0 && met != 0) lane = 16 * v + __builtin_ctz(met);
  }
  tally.tests = std::int64_t{steps} * kStepLanes + longer + tally.retests;
  if (lane < 0) return to;
  const std::int32_t start = from + lane * segment + (lane < longer ? lane : longer);
  tally.retests = tally.tests - (start - from);
  return stepping<Vectors, Stretch, Split>(n, start, start + segment + (lane < longer ? 1 : 0));
}

// The stepping kernel of each tuning of the table, in its order: a plain array, whose reads are
// this path's own code (std::array's, unoptimised, would be shared symbols).
struct Steppings {
  StepKernel kernels[kTuningCount];
};
template <std::size_t... Tuning>
constexpr Steppings steppings(std::index_sequence<Tuning...> /*rows*/) {
  return {{&stepping<kTunings[Tuning].avx512_vectors, kTunings[Tuning].avx512_stretch,
                     kTunings[Tuning].avx512_split != 0>...}};
}
constexpr Steppings kSteppings = steppings(std::make_index_sequence<kTuningCount>{});

// The stepping kernel of the tuning.
StepKernel tuned(std::size_t tuning) noexcept {
  return kSteppings.kernels[tuning < kTuningCount ? tuning : 0];
}

// Lane operations for 32-bit and 64-bit elements: sixteen or eight to a 512-bit vector, and the
// eight rows of a block in one vector (256 or 512 bits).
constexpr std::int64_t lanes_of(std::int32_t /*element*/) {
  return 16;
}
constexpr std::int64_t lanes_of(std::int64_t /*element*/) {
  return 8;
}
__m512i load(const std::int32_t* p, std::int64_t count) {
  return _mm512_maskz_loadu_epi32(static_cast<__mmask16>(first_lanes(count, 16)), p);
}
__m512i load(const std::int64_t* p, std::int64_t count) {
  return _mm512_maskz_loadu_epi64(static_cast<__mmask8>(first_lanes(count, 8)), p);
}
__m512i load(const std::int32_t* p) {
  return _mm512_loadu_si512(p);
}
__m512i load(const std::int64_t* p) {
  return _mm512_loadu_si512(p);
}
__m512i broadcast(std::int32_t x) {
  return _mm512_set1_epi32(x);
}
__m512i broadcast(std::int64_t x) {
  return _mm512_set1_epi64(x);
}
std::uint64_t equal_lanes(__m512i a, __m512i b, std::int32_t /*element*/) {
  return _mm512_cmpeq_epi32_mask(a, b);
}
std::uint64_t equal_lanes(__m512i a, __m512i b, std::int64_t /*element*/) {
  return _mm512_cmpeq_epi64_mask(a, b);
}

// Thirty-two 16-bit keys to a vector, and the pair filter's operations on them.
using KeyVector = __m512i;
constexpr std::int64_t kKeyLanes = 32;
KeyVector load_keys(const std::uint16_t* p) {
  return _mm512_loadu_si512(p);
}
KeyVector broadcast_key(std::uint16_t key) {
  return _mm512_set1_epi16(static_cast<short>(key));
}
// Per column of a load, the least exclusive or of its key with the rows' (0 where it equals
// some row's), taken as a tree: the rows' minima in pairs, then pairs of those.
using KeyHits = __m512i;
KeyHits key_hits(KeyVector columns, const KeyVector (&row)[kMatchRows]) {
  KeyHits least[kMatchRows / 2];
  for (int r = 0; r < kMatchRows / 2; ++r) {
    const int even = 2 * r;
    least[r] = _mm512_min_epu16(_mm512_xor_si512(columns, row[even]),
                                _mm512_xor_si512(columns, row[even + 1]));
  }
  for (int width = kMatchRows / 4; width > 0; width /= 2) {
    for (int r = 0; r < width; ++r)
      least[r] = _mm512_min_epu16(least[r], least[r + width]);
  }
  return least[0];
}
// True where either load has a column whose key equals some row's.
bool any_hit(KeyHits a, KeyHits b) {
  const __m512i least = _mm512_min_epu16(a, b);
  return _mm512_testn_epi16_mask(least, least) != 0;
}
// Bit k set where column k's key equals some row's.
std::uint32_t hit_lanes(KeyHits hits) {
  return _mm512_testn_epi16_mask(hits, hits);
}

// Bit r set where row r of the kMatchRows rows' ratios (aligned to 64 bytes) is numerator /
// denominator.
template <typename Ratio>
std::uint32_t rows_equal(const Ratio* numerators, const Ratio* denominators, Ratio numerator,
                         Ratio denominator) {
  constexpr std::int64_t kLanes = lanes_of(Ratio{});
  const __m512i wanted_numerator = broadcast(numerator);
  const __m512i wanted_denominator = broadcast(denominator);
  std::uint32_t equal = 0;
  for (std::int64_t v = 0; v < kMatchRows / kLanes; ++v) {
    const std::uint64_t both =
        equal_lanes(load(numerators + v * kLanes), wanted_numerator, Ratio{}) &
        equal_lanes(load(denominators + v * kLanes), wanted_denominator, Ratio{});
    equal |= static_cast<std::uint32_t>(both << v * kLanes);
  }
  return equal;
}

#include "paths/pair_filter.inc"

template <typename Ratio>
std::int64_t find_equal_vector(Ratio x, const Ratio* values, std::int64_t from,
                               std::int64_t to) noexcept {
  FRIENDLY_ASSERT(from <= to);
  // Four vectors per step, their equality masks side by side; then one vector at a time, the
  // last one masked.
  constexpr std::int64_t kLanes = lanes_of(Ratio{});
  constexpr std::int64_t kStep = 4 * kLanes;
  const __m512i wanted = broadcast(x);
  std::int64_t j = from;
  for (; to - j >= kStep; j += kStep) {
    const std::uint64_t equal =
        equal_lanes(load(values + j), wanted, Ratio{}) |
        equal_lanes(load(values + j + kLanes), wanted, Ratio{}) << kLanes |
        equal_lanes(load(values + j + 2 * kLanes), wanted, Ratio{}) << 2 * kLanes |
        equal_lanes(load(values + j + 3 * kLanes), wanted, Ratio{}) << 3 * kLanes;
    if (equal != 0) return j + __builtin_ctzll(equal);
  }
  for (; j < to; j += kLanes) {
    const std::uint64_t equal =
        equal_lanes(load(values + j, to - j), wanted, Ratio{}) & first_lanes(to - j, kLanes);
    if (equal != 0) return j + __builtin_ctzll(equal);
  }
  return to;
}

}  // namespace

// The avx512 path's kernels.
FRIENDLY_PATH_KERNELS(KernelPath::avx512, dividing, divisors, tuned, matching_rows_vector,
                      find_equal_vector)

}  // namespace friendly
