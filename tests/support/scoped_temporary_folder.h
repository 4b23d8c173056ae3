// A folder of the test's own: made empty under GoogleTest's temporary
// directory, named after the running test (and a random suffix, so that
// programs running at once never share one), and removed with everything in
// it when the object goes.
#ifndef USERPOLICY_TESTS_SUPPORT_SCOPED_TEMPORARY_FOLDER_H_
#define USERPOLICY_TESTS_SUPPORT_SCOPED_TEMPORARY_FOLDER_H_

#include <filesystem>

namespace userpolicy::testing {

class ScopedTemporaryFolder {
 public:
  ScopedTemporaryFolder();
  ~ScopedTemporaryFolder();
  ScopedTemporaryFolder(const ScopedTemporaryFolder&) = delete;
  ScopedTemporaryFolder& operator=(const ScopedTemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_SCOPED_TEMPORARY_FOLDER_H_
