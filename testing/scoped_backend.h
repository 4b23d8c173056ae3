// Makes a test's directory backend answer the directory classes for a scope.
//
//   directory::MemoryDirectory directory;
//   directory::testing::ScopedBackend use(&directory);
#ifndef USERPOLICY_TESTING_SCOPED_BACKEND_H_
#define USERPOLICY_TESTING_SCOPED_BACKEND_H_

#include "platform/directory/backend_hook.h"

namespace directory::testing {

// While alive, makes `backend` (not owned; must outlive this object) the
// current backend. Not nestable across threads: install it before the
// threads that use it start, and destroy it after they end.
class ScopedBackend {
 public:
  explicit ScopedBackend(DirectoryBackend* backend) : previous_(hooks::InstallBackend(backend)) {}
  ~ScopedBackend() { hooks::InstallBackend(previous_); }
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;

 private:
  DirectoryBackend* const previous_;
};

}  // namespace directory::testing

#endif  // USERPOLICY_TESTING_SCOPED_BACKEND_H_
