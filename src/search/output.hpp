// What a search writes: the pair line, and the answer that its lines add up to (count and
// checksum) with its text.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

namespace friendly {

// The pair line, exactly as the program prints it: the smaller number first.
inline constexpr const char* kPairFormat = "%d and %d are FRIENDLY \n";

// A 64-bit mix of the pair a, b (a first): the checksum of a set of pairs is the sum of their
// mixes modulo 2^64, the same in any order. The finaliser of SplitMix64 spreads every input bit
// over the whole word, so that pairs that differ in one number do not cancel out.
constexpr std::uint64_t pair_mix(std::int32_t a, std::int32_t b) noexcept {
  std::uint64_t x =
      std::uint64_t{static_cast<std::uint32_t>(a)} << 32 | static_cast<std::uint32_t>(b);
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9U;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBU;
  x ^= x >> 31;
  return x;
}

// The answer of a search, or of a share of one, as a user compares it: how many pairs, and their
// checksum (the sum of pair_mix over the pairs, modulo 2^64, in any order).
struct Answer {
  std::int64_t pairs = 0;
  std::uint64_t checksum = 0;
};
#pragma omp declare reduction(+ : Answer : omp_out.pairs += omp_in.pairs, \
                                              omp_out.checksum += omp_in.checksum)

// Prints the pair line of a and b on out and adds the pair to answer; false, adding nothing,
// when the write failed.
inline bool print_pair(std::FILE* out, std::int32_t a, std::int32_t b, Answer& answer) {
  if (std::fprintf(out, kPairFormat, a, b) < 0) return false;
  ++answer.pairs;
  answer.checksum += pair_mix(a, b);
  return true;
}

// A checksum as the program writes it: 16 hexadecimal digits.
inline std::string checksum_text(std::uint64_t checksum) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, checksum);
  return text;
}

// The one-line reason why the printed answer (the search's) and the checking one (the sieve's)
// differ, naming both methods, counts and checksums; empty when they agree.
inline std::string answer_mismatch(const Answer& searched, const Answer& sieved,
                                   const char* printer = "the search",
                                   const char* checker = "the sieve") {
  if (searched.pairs == sieved.pairs && searched.checksum == sieved.checksum) return "";
  return std::string("validation failed: ") + printer + " printed " +
         std::to_string(searched.pairs) + " pairs with checksum " +
         checksum_text(searched.checksum) + ", " + checker + " finds " +
         std::to_string(sieved.pairs) + " with checksum " + checksum_text(sieved.checksum);
}

}  // namespace friendly
