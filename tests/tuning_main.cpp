// The unit tests' main: every test under the tuning that FRIENDLY_TUNING names (this processor's
// when unset), so that ctest runs a suite once under each tuning of the table.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "paths/tuning.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts.
  const char* name = std::getenv("FRIENDLY_TUNING");
  if (name != nullptr && *name != '\0') {
    const std::size_t tuning = friendly::tuning_named(name);
    if (tuning == friendly::kTuningCount) {
      std::fprintf(stderr, "%s: FRIENDLY_TUNING '%s' names no tuning; the tunings are %s\n",
                   argv[0], name, friendly::tuning_names());
      return 2;
    }
    friendly::choose_tuning(tuning);
  }
  return RUN_ALL_TESTS();
}
