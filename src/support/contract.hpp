// Executable contracts: FRIENDLY_ASSERT(condition) checks a precondition in the builds that
// define FRIENDLY_CONTRACTS (CMake option FRIENDLY_CONTRACTS: on for Debug and sanitizer builds)
// and compiles to nothing in the others. A failed check prints the file, the line and the
// condition on standard error and aborts.
//
// The path sources include this header: the macro expands to a call of an out-of-line function
// only, never to inline code of a header, which the linker could share between paths.
#pragma once

namespace friendly {

// Writes "FILE:LINE: contract violated: CONDITION" on standard error and aborts.
[[noreturn]] void contract_failed(const char* condition, const char* file, int line) noexcept;

}  // namespace friendly

#ifdef FRIENDLY_CONTRACTS
#define FRIENDLY_ASSERT(condition)                     \
  (static_cast<bool>(condition) ? static_cast<void>(0) \
                                : ::friendly::contract_failed(#condition, __FILE__, __LINE__))
#else
// The condition is still compiled, never evaluated, so that it cannot go stale.
#define FRIENDLY_ASSERT(condition) static_cast<void>(sizeof(static_cast<bool>(condition)))
#endif
