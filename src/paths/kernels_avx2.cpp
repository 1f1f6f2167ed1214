// AVX2 kernels: the only source compiled for AVX2, called only where path_available(avx2). It
// uses intrinsics and its own internal helpers only (nothing inline from shared headers), so no
// AVX2 instruction can leak into another path through the linker's choice of one copy.
#include <immintrin.h>

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

// The stepping kernel's lanes are Vectors vectors of eight (the tuning's avx2_vectors):
// independent segments that hide the dependency chain of each remainder update (fewer leave it
// exposed, more spill registers). Shortest segment worth the lanes' setup (one division each).
constexpr std::int32_t kMinSegment = 16;

// Eight stepping lanes: candidate f, n = q f + r, and the unsigned minimum of the remainders
// tested so far (0 once a candidate divided n).
struct Lanes {
  __m256i f;
  __m256i q;
  __m256i r;
  __m256i smallest;
};

// Lanes from the candidates f, quotients q and remainders r of eight aligned entries.
inline Lanes load_lanes(const std::int32_t* f, const std::int32_t* q, const std::int32_t* r) {
  return {_mm256_load_si256(reinterpret_cast<const __m256i*>(f)),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(q)),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(r)), _mm256_set1_epi32(-1)};
}

// Bit k set where lane k of v is 0.
inline unsigned zero_lanes(__m256i v) {
  const __m256i zero = _mm256_cmpeq_epi32(v, _mm256_setzero_si256());
  return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(zero)));
}

// Tests every lane's candidate, then moves it to f + 1: r -= q, and where r < 0, r += f + 1 and
// q -= 1 (one correction suffices while q <= f).
inline void test_and_step(Lanes& lanes) {
  lanes.smallest = _mm256_min_epu32(lanes.smallest, lanes.r);
  lanes.f = _mm256_add_epi32(lanes.f, _mm256_set1_epi32(1));
  lanes.r = _mm256_sub_epi32(lanes.r, lanes.q);
  const __m256i negative = _mm256_srai_epi32(lanes.r, 31);
  lanes.r = _mm256_add_epi32(lanes.r, _mm256_and_si256(negative, lanes.f));
  lanes.q = _mm256_add_epi32(lanes.q, negative);
}

// The divisor at lane `lane` of a vector of `width` candidates from f, counting the lanes past
// it as retests (the next call tests them again).
inline std::int32_t found_at(std::int32_t f, int lane, int width, WorkTally& tally) {
  tally.retests += width - lane - 1;
  return f + lane;
}

// The first divisor of n in [from, to), or to, by division.
std::int32_t dividing(std::int32_t n, std::int32_t from, std::int32_t to) noexcept {
  // The quotient q of two integers below 2^24 in single precision, or below 2^31 in double
  // precision, truncates to the integer quotient: a quotient below an integer k is below it by
  // at least 1 / f, more than the rounding error of n / f. And q f == n exactly when f divides n.
  FRIENDLY_ASSERT(2 <= from && from <= to);
  WorkTally tally;
  std::int32_t f = from;
  if (n < (1 << 24)) {
    const __m256 number = _mm256_set1_ps(static_cast<float>(n));
    const __m256 sixteen = _mm256_set1_ps(16.0F);
    __m256 low = _mm256_add_ps(_mm256_set1_ps(static_cast<float>(from)),
                               _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7));
    __m256 high = _mm256_add_ps(low, _mm256_set1_ps(8.0F));
    for (; to - f >= 16; f += 16) {
      const __m256 q_low = _mm256_round_ps(_mm256_div_ps(number, low), _MM_FROUND_TRUNC);
      const __m256 q_high = _mm256_round_ps(_mm256_div_ps(number, high), _MM_FROUND_TRUNC);
      const __m256 hit_low = _mm256_cmp_ps(_mm256_mul_ps(q_low, low), number, _CMP_EQ_OQ);
      const __m256 hit_high = _mm256_cmp_ps(_mm256_mul_ps(q_high, high), number, _CMP_EQ_OQ);
      const auto hits =
          static_cast<unsigned>(_mm256_movemask_ps(hit_low) | (_mm256_movemask_ps(hit_high) << 8));
      tally.tests += 16;
      if (hits != 0) return found_at(f, __builtin_ctz(hits), 16, tally);
      low = _mm256_add_ps(low, sixteen);
      high = _mm256_add_ps(high, sixteen);
    }
  } else {
    const __m256d number = _mm256_set1_pd(static_cast<double>(n));
    const __m256d eight = _mm256_set1_pd(8.0);
    __m256d low = _mm256_setr_pd(from, from + 1.0, from + 2.0, from + 3.0);
    __m256d high = _mm256_add_pd(low, _mm256_set1_pd(4.0));
    for (; to - f >= 8; f += 8) {
      const __m256d q_low = _mm256_round_pd(_mm256_div_pd(number, low), _MM_FROUND_TRUNC);
      const __m256d q_high = _mm256_round_pd(_mm256_div_pd(number, high), _MM_FROUND_TRUNC);
      const __m256d hit_low = _mm256_cmp_pd(_mm256_mul_pd(q_low, low), number, _CMP_EQ_OQ);
      const __m256d hit_high = _mm256_cmp_pd(_mm256_mul_pd(q_high, high), number, _CMP_EQ_OQ);
      const auto hits =
          static_cast<unsigned>(_mm256_movemask_pd(hit_low) | (_mm256_movemask_pd(hit_high) << 4));
      tally.tests += 8;
      if (hits != 0) return found_at(f, __builtin_ctz(hits), 8, tally);
      low = _mm256_add_pd(low, eight);
      high = _mm256_add_pd(high, eight);
    }
  }
  return next_divisor_dividing<KernelPath::portable>(n, f, to);
}

// The quotients of n and eight candidates f, truncated: in single precision below 2^24, else in
// double precision, either of which truncates to the integer quotient (see dividing).
__m256i quotients(std::int32_t n, __m256i f) {
  if (n < (1 << 24))
    return _mm256_cvttps_epi32(
        _mm256_div_ps(_mm256_set1_ps(static_cast<float>(n)), _mm256_cvtepi32_ps(f)));
  const __m256d number = _mm256_set1_pd(static_cast<double>(n));
  const __m128i low =
      _mm256_cvttpd_epi32(_mm256_div_pd(number, _mm256_cvtepi32_pd(_mm256_castsi256_si128(f))));
  const __m128i high = _mm256_cvttpd_epi32(
      _mm256_div_pd(number, _mm256_cvtepi32_pd(_mm256_extracti128_si256(f, 1))));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// divisors_dividing eight candidates at a time, every divisor's cofactor its quotient; lanes
// past `to` are left out.
std::int32_t divisors(std::int32_t n, std::int32_t from, std::int32_t to,
                      std::int64_t& sum) noexcept {
  FRIENDLY_ASSERT(2 <= from && from <= to && std::int64_t{to - 1} * (to - 1) <= n);
  alignas(32) std::int32_t quotient[8];
  std::int32_t cofactor = n;
  const __m256i number = _mm256_set1_epi32(n);
  for (std::int32_t f = from; f < to; f += 8) {
    const __m256i candidates =
        _mm256_add_epi32(_mm256_set1_epi32(f), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i q = quotients(n, candidates);
    const __m256i hit = _mm256_cmpeq_epi32(_mm256_mullo_epi32(q, candidates), number);
    const auto hits = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(hit))) &
                      static_cast<std::uint32_t>(first_lanes(to - f, 8));
    if (hits == 0) continue;
    _mm256_store_si256(reinterpret_cast<__m256i*>(quotient), q);
    cofactor = add_divisors(f, hits, quotient, sum, cofactor);
  }
  WorkTally tally;
  tally.tests = to - from;
  return cofactor;
}

// The first divisor of n in [from, to), or to, by stepping the remainders in 8 Vectors
// segments.
template <int Vectors>
std::int32_t stepping(std::int32_t n, std::int32_t from, std::int32_t to) noexcept {
  constexpr int kStepVectors = Vectors;
  constexpr std::int32_t kStepLanes = 8 * kStepVectors;
  constexpr std::size_t kLaneCount = kStepLanes;
  static_assert(kStepVectors >= 1 && kStepLanes <= 32,
                "the lanes that met a divisor are one bit each of a 32-bit mask");
  FRIENDLY_ASSERT(2 <= from && from <= to && std::int64_t{from} * from >= n);
  const std::int32_t segment = (to - from) / kStepLanes;
  if (segment < kMinSegment) return next_divisor_stepping<KernelPath::portable>(n, from, to);

  // Lane k walks the candidates from + k segment ... from + (k + 1) segment - 1.
  alignas(32) std::int32_t start[kLaneCount];
  alignas(32) std::int32_t quotient[kLaneCount];
  alignas(32) std::int32_t remainder[kLaneCount];
  for (std::int32_t k = 0; k < kStepLanes; ++k) {
    start[k] = from + k * segment;
    quotient[k] = n / start[k];
    remainder[k] = n % start[k];
  }
  Lanes lanes[std::size_t{kStepVectors}];
  for (int v = 0; v < kStepVectors; ++v) {
    const std::ptrdiff_t first = std::ptrdiff_t{8} * v;
    lanes[v] = load_lanes(start + first, quotient + first, remainder + first);
  }
  // The loop's own trip count is what the counting build reports.
  std::int32_t steps = 0;
  for (; steps < segment; ++steps) {
    for (Lanes& l : lanes)
      test_and_step(l);
  }

  // The first lane that met a zero remainder holds the first divisor: its segment is tested
  // again one by one, and its candidates and the later lanes' count as retests.
  unsigned met = 0;
  for (int v = 0; v < kStepVectors; ++v)
    met |= zero_lanes(lanes[v].smallest) << 8 * v;
  WorkTally tally;
  tally.tests = std::int64_t{steps} * kStepLanes;
  if (met != 0) {
    const int lane = __builtin_ctz(met);
    tally.retests = std::int64_t{steps} * (kStepLanes - lane);
    const std::int32_t lane_start = start[lane];
    return next_divisor_stepping<KernelPath::portable>(n, lane_start, lane_start + segment);
  }
  return next_divisor_stepping<KernelPath::portable>(n, from + kStepLanes * segment, to);
}

// The stepping kernel of each tuning of the table, in its order: a plain array, whose reads are
// this path's own code (std::array's, unoptimised, would be shared symbols).
struct Steppings {
  StepKernel kernels[kTuningCount];
};
template <std::size_t... Tuning>
constexpr Steppings steppings(std::index_sequence<Tuning...> /*rows*/) {
  return {{&stepping<kTunings[Tuning].avx2_vectors>...}};
}
constexpr Steppings kSteppings = steppings(std::make_index_sequence<kTuningCount>{});

// The stepping kernel of the tuning.
StepKernel tuned(std::size_t tuning) noexcept {
  return kSteppings.kernels[tuning < kTuningCount ? tuning : 0];
}

// Lane operations for 32-bit and 64-bit elements.
__m256i broadcast(std::int32_t x) {
  return _mm256_set1_epi32(x);
}
__m256i broadcast(std::int64_t x) {
  return _mm256_set1_epi64x(x);
}
__m256i equal_lanes(__m256i a, __m256i b, std::int32_t /*element*/) {
  return _mm256_cmpeq_epi32(a, b);
}
__m256i equal_lanes(__m256i a, __m256i b, std::int64_t /*element*/) {
  return _mm256_cmpeq_epi64(a, b);
}
template <typename Ratio>
__m256i load(const Ratio* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Sixteen 16-bit keys to a vector, and the pair filter's operations on them.
using KeyVector = __m256i;
constexpr std::int64_t kKeyLanes = 16;
KeyVector load_keys(const std::uint16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
KeyVector broadcast_key(std::uint16_t key) {
  return _mm256_set1_epi16(static_cast<short>(key));
}
// Per column of a load, the least exclusive or of its key with the rows': 0 where it equals
// some row's. (A tree of minima, as the AVX-512 path takes, needs more registers than AVX2 has
// beside the rows' keys.)
using KeyHits = __m256i;
KeyHits key_hits(KeyVector columns, const KeyVector (&row)[kMatchRows]) {
  KeyHits least = _mm256_xor_si256(columns, row[0]);
  for (int r = 1; r < kMatchRows; ++r)
    least = _mm256_min_epu16(least, _mm256_xor_si256(columns, row[r]));
  return least;
}
// True where either load has a column whose key equals some row's.
bool any_hit(KeyHits a, KeyHits b) {
  const __m256i zero = _mm256_cmpeq_epi16(_mm256_min_epu16(a, b), _mm256_setzero_si256());
  return _mm256_testz_si256(zero, zero) == 0;
}
// Bit k set where column k's key equals some row's.
std::uint32_t hit_lanes(KeyHits hits) {
  // Packing repeats each 128-bit half's eight words as bytes, so the byte mask holds columns 0-7
  // in bits 0-7 and columns 8-15 in bits 16-23.
  const __m256i zero = _mm256_cmpeq_epi16(hits, _mm256_setzero_si256());
  const auto bytes =
      static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(zero, zero)));
  return (bytes & 0xFFU) | (bytes >> 8 & 0xFF00U);
}

// Bit r set where row r of the kMatchRows rows' ratios (aligned to 32 bytes) is numerator /
// denominator.
template <typename Ratio>
std::uint32_t rows_equal(const Ratio* numerators, const Ratio* denominators, Ratio numerator,
                         Ratio denominator) {
  constexpr int kLanes = 32 / sizeof(Ratio);
  const __m256i wanted_numerator = broadcast(numerator);
  const __m256i wanted_denominator = broadcast(denominator);
  std::uint32_t equal = 0;
  for (int v = 0; v < kMatchRows / kLanes; ++v) {
    const __m256i both =
        _mm256_and_si256(equal_lanes(load(numerators + v * kLanes), wanted_numerator, Ratio{}),
                         equal_lanes(load(denominators + v * kLanes), wanted_denominator, Ratio{}));
    const auto lanes = sizeof(Ratio) == 4 ? _mm256_movemask_ps(_mm256_castsi256_ps(both))
                                          : _mm256_movemask_pd(_mm256_castsi256_pd(both));
    equal |= static_cast<std::uint32_t>(lanes) << v * kLanes;
  }
  return equal;
}

#include "paths/pair_filter.inc"

template <typename Ratio>
std::int64_t find_equal_vector(Ratio x, const Ratio* values, std::int64_t from,
                               std::int64_t to) noexcept {
  FRIENDLY_ASSERT(from <= to);
  // Four vectors per step; the step that holds a match is searched again exactly.
  constexpr std::int64_t kLanes = 32 / sizeof(Ratio);
  constexpr std::int64_t kStep = 4 * kLanes;
  const __m256i wanted = broadcast(x);
  std::int64_t j = from;
  for (; to - j >= kStep; j += kStep) {
    const __m256i equal = _mm256_or_si256(
        _mm256_or_si256(equal_lanes(load(values + j), wanted, Ratio{}),
                        equal_lanes(load(values + j + kLanes), wanted, Ratio{})),
        _mm256_or_si256(equal_lanes(load(values + j + 2 * kLanes), wanted, Ratio{}),
                        equal_lanes(load(values + j + 3 * kLanes), wanted, Ratio{})));
    if (!_mm256_testz_si256(equal, equal))
      return find_equal<KernelPath::portable>(x, values, j, j + kStep);
  }
  return find_equal<KernelPath::portable>(x, values, j, to);
}

}  // namespace

// The avx2 path's kernels.
FRIENDLY_PATH_KERNELS(KernelPath::avx2, dividing, divisors, tuned, matching_rows_vector,
                      find_equal_vector)

}  // namespace friendly
