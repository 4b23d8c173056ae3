#include "platform/directory/directory_backend.h"

#include <atomic>
#include <new>
#include <utility>

#include "platform/directory/backend_hook.h"
#include "platform/directory/ldap_backend.h"

namespace directory {
namespace {

// Holds a T that is built on first use and never destroyed, so that threads
// still running at process exit never see it torn down.
template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

// The backend a test installed, or null.
std::atomic<DirectoryBackend*> g_installed{nullptr};

DirectoryBackend& LdapBackendInstance() {
  // Reads the settings on first use (and again on every Global Catalog
  // discovery, see LdapBackend).
  static NoDestructor<LdapBackend> backend;
  return backend.get();
}

}  // namespace

DirectoryBackend& CurrentBackend() {
  DirectoryBackend* installed = g_installed.load(std::memory_order_acquire);
  if (installed != nullptr) return *installed;
  return LdapBackendInstance();
}

namespace hooks {

DirectoryBackend* InstallBackend(DirectoryBackend* backend) {
  return g_installed.exchange(backend, std::memory_order_acq_rel);
}

}  // namespace hooks
}  // namespace directory
