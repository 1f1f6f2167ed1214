#include "support/contract.hpp"

#include <cstdio>
#include <cstdlib>

namespace friendly {

void contract_failed(const char* condition, const char* file, int line) noexcept {
  std::fprintf(stderr, "%s:%d: contract violated: %s\n", file, line, condition);
  std::abort();
}

}  // namespace friendly
