// How the work of a phase is dealt out to several processes: the items 0 .. length - 1 are cut
// into pieces of `piece` consecutive items, and share s of S takes pieces s, s + S, s + 2S, ...
// in increasing order. Share 0 of 1 is the whole range, item for item.
#pragma once

#include <cstdint>

#include "support/contract.hpp"

namespace friendly {

// Number of items in share `share` (0 <= share < shares) of length items cut into pieces.
constexpr std::int64_t share_length(std::int64_t length, std::int64_t piece, int share,
                                    int shares) noexcept {
  FRIENDLY_ASSERT(0 <= length && 0 < piece && 0 <= share && share < shares);
  const std::int64_t pieces = (length + piece - 1) / piece;
  if (share >= pieces) return 0;
  const std::int64_t own = (pieces - 1 - share) / shares + 1;
  // Only the last piece of the range may be short, and it is the last of its share.
  const bool owns_last = (pieces - 1) % shares == share;
  return owns_last ? (own - 1) * piece + (length - (pieces - 1) * piece) : own * piece;
}

// The item of the range that is item m of share `share` of `shares`.
constexpr std::int64_t share_item(std::int64_t m, std::int64_t piece, int share,
                                  int shares) noexcept {
  return (m / piece * shares + share) * piece + m % piece;
}

}  // namespace friendly
