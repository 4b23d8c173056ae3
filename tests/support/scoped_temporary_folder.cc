#include "tests/support/scoped_temporary_folder.h"

#include <random>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace userpolicy::testing {

ScopedTemporaryFolder::ScopedTemporaryFolder() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test == nullptr ? "folder" : std::string(test->test_suite_name()) + "." + test->name();
  for (char& c : name) {
    if (c == '/') c = '_';  // parameterised tests
  }
  path_ = std::filesystem::path(::testing::TempDir()) / (name + "_" + std::to_string(std::random_device()()));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

ScopedTemporaryFolder::~ScopedTemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace userpolicy::testing
