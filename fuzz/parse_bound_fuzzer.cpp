// libFuzzer target for the bound parser and the command line: every string is accepted exactly
// when it is a whole base-10 number of the 32-bit range, with that value, and every refusal is one
// printable line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/command_line.hpp"

namespace {

// What the bound parser should answer, found by a separate scan.
struct Expected {
  friendly::BoundError error = friendly::BoundError::not_a_number;
  std::int32_t value = 0;
};

// The white space that the C locale skips before a number.
constexpr std::string_view kBlanks = " \t\n\v\f\r";

// Classifies text by walking it once: blanks, then a sign, then digits to the end. The magnitude
// saturates just above 2^31, which is enough to tell the range.
Expected expected_bound(std::string_view text) {
  std::size_t at = text.find_first_not_of(kBlanks);
  if (at == std::string_view::npos) return {};
  bool negative = false;
  if (text[at] == '-' || text[at] == '+') {
    negative = text[at] == '-';
    ++at;
  }
  const std::string_view digits = text.substr(at);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return {};

  constexpr std::uint64_t kSaturated = std::uint64_t{1} << 32;
  std::uint64_t magnitude = 0;
  for (const char digit : digits)
    magnitude = std::min(magnitude * 10 + static_cast<std::uint64_t>(digit - '0'), kSaturated);
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
  if (magnitude > limit) return {friendly::BoundError::out_of_range, 0};
  const std::int64_t signed_value =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return {friendly::BoundError::none, static_cast<std::int32_t>(signed_value)};
}

// Stops the run with the failing input saved when a property does not hold.
void require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A command-line argument cannot hold a NUL: the bytes up to the first one form the first
  // argument, the bytes after it (up to the next one) the second.
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string first = input.substr(0, input.find('\0'));
  const std::string second =
      first.size() < input.size() ? std::string(input.c_str() + first.size() + 1) : "0";

  // The parser against the separate scan, the value untouched on refusal.
  const Expected expected = expected_bound(first);
  std::int32_t value = 12345;
  const friendly::BoundError error = friendly::parse_bound(first.c_str(), value);
  require(error == expected.error);
  require(value == (error == friendly::BoundError::none ? expected.value : 12345));

  // The whole command line: a search only for two bounds of a forward range, otherwise one
  // printable line of reason.
  const char* argv[] = {friendly::kProgramName, first.c_str(), second.c_str()};
  std::int32_t low = 0;
  std::int32_t high = 0;
  std::string reason;
  friendly::SearchOptions options;
  const friendly::Command command =
      friendly::read_command_line(3, argv, low, high, options, reason);
  if (command == friendly::Command::search) {
    require(error == friendly::BoundError::none && low == value);
    require(std::int64_t{high} >= std::int64_t{low} - 1);
  } else if (command == friendly::Command::refused) {
    require(!reason.empty());
    for (const char c : reason)
      require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  } else {
    require(first == "-h" || first == "--help" || first == "--version" || first == "--list-paths");
  }
  return 0;
}
