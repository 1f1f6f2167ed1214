// The kernel paths that the tests run: each path test once per path, named after it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kernels.hpp"

namespace friendly_test {

using friendly::kAllPaths;

// A test suite run on each path of kAllPaths (GetParam()), skipped on a path this processor
// lacks.
class PathTest : public ::testing::TestWithParam<friendly::KernelPath> {
 protected:
  void SetUp() override {
    if (!friendly::path_available(GetParam()))
      GTEST_SKIP() << "this processor lacks the " << friendly::path_name(GetParam()) << " path";
  }
};

// The path's name, the last part of each test's name.
inline std::string path_test_name(const ::testing::TestParamInfo<friendly::KernelPath>& info) {
  return friendly::path_name(info.param);
}

using friendly::path_name;

}  // namespace friendly_test
