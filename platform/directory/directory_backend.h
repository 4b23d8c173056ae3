// The seam between the directory classes of platform/directory.h and what
// answers them: the LDAP backend (the default; talks to real servers) or a
// test double installed through platform/directory/backend_hook.h (the
// in-memory directory of the test-support library, testing/memory_directory.h).
//
// Thread safety: a backend is called from any number of threads at once.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_BACKEND_H_
#define USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_BACKEND_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/directory/directory_object.h"
#include "platform/directory/directory_path.h"
#include "platform/types.h"

namespace directory {

// How a backend authenticates to a server (DirectoryBackend::DescribeBind).
struct BindReport {
  std::wstring server;    // "host:port"; empty for a backend without servers
  std::wstring method;    // "anonymous", "simple" or "gssapi"; empty: none applies
  std::wstring identity;  // the bind DN, or the principal the bind authenticated
  int ssf = 0;            // the security layer's strength factor; 0: none
};

class DirectoryBackend {
 public:
  virtual ~DirectoryBackend() = default;

  // Reads the object `path` names (kind kDistinguishedName or kGuid) with
  // `attributes` (empty: the server's default set). Raises
  // CDirectoryException kDirectoryNotFound when there is none, and the other
  // codes for failures. Never returns null.
  virtual std::shared_ptr<const DirectoryObject> ReadObject(const DirectoryPath& path,
                                                           const std::vector<std::wstring>& attributes) = 0;

  // Searches below `root` (any kind) with the RFC 4515 `filter` in `scope`
  // (a DirectorySearchScope); returns the first match, or null when nothing
  // matches. Raises CDirectoryException for failures.
  virtual std::shared_ptr<const DirectoryObject> SearchOne(const DirectoryPath& root, const std::wstring& filter,
                                                          const std::vector<std::wstring>& attributes,
                                                          int scope) = 0;

  // Global Catalog discovery; see CDirectoryHelper. Return HRESULTs and
  // never throw.
  virtual HRESULT GetRootGCPath(std::wstring* path) = 0;
  virtual HRESULT GetGCFromRootDSE(std::wstring* path) = 0;

  // How the backend binds to the server a read of `path` would use: the
  // server, the method and what the bind established. Raises
  // CDirectoryException as a read would when no server can be reached and
  // bound. This default, for backends without servers, reports nothing.
  virtual BindReport DescribeBind(const DirectoryPath& path) {
    static_cast<void>(path);
    return BindReport{};
  }
};

// The backend the directory classes use now: the process-wide LDAP backend
// unless a test installed another (platform/directory/backend_hook.h).
// Thread-safe.
DirectoryBackend& CurrentBackend();

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_BACKEND_H_
