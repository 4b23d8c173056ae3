// An in-memory directory that answers the directory classes instead of an
// LDAP server, for the tests of the layers above (the cache managers need
// exact read counts without a server):
//
//   directory::MemoryDirectory directory;
//   directory.AddObject(directory::MemoryObject(L"CN=Ann,CN=Users,DC=example,DC=test")
//                           .AddStrings(L"objectClass", {L"top", L"person", L"user"})
//                           .AddString(L"objectCategory", L"person")
//                           .AddBinary(L"objectGUID", guid_bytes));
//   directory::testing::ScopedBackend use(&directory);
//   ... code under test uses CDirectoryEntry / CDirectorySearcher ...
//   EXPECT_EQ(directory.ReadCount(L"(mail=ann@example.test)"), 1);
//
// Reads: ReadObject finds an object by DN (compared case-insensitively
// after RFC 4514 unescaping: "CN=A\2cB,DC=x" and "cn=a\,b, dc=X" name one
// object) or by objectGUID (the first 16-byte binary value of
// the object's "objectGUID"). SearchOne evaluates the filter
// (testing/ldap_filter.h) over the objects below the root in
// `scope`, in insertion order, and returns the first match. A root without
// a DN is the whole directory (one-level is then treated as subtree). Both
// return only the requested attributes (all when none are named, or "*"),
// named as the caller spelled them, in the object's order; a requested
// "distinguishedName" that the object does not hold is filled from its DN.
// Results share immutable data: later changes to the directory do not alter
// objects already returned.
//
// Test controls (every ReadObject and SearchOne call is one "call"):
//  - counts: ReadCount(key) is the number of calls for a key: the filter
//    text (exact) for searches; the DN (normalised, so any spelling of it)
//    or "<GUID=hex>" for reads. TotalCalls() counts every call. A call is
//    counted when it starts, before blocking, delays and failures.
//  - SetReadDelay(d): every call waits `d` before answering.
//  - BlockReads(): calls that start from now on park until ReleaseReads();
//    WaitUntilBlocked(n) returns once n calls are parked.
//  - FailNthCall(n, code): the n-th call from now raises
//    CDirectoryException `code`; FailAllCalls(code) makes every call raise it
//    until ClearFailures().
//  - The Global Catalog answers of GetRootGCPath/GetGCFromRootDSE are set
//    with SetRootGCPath/SetGCFromRootDSE (default S_OK "GC://127.0.0.1:3268").
//
// Thread safety: every member of MemoryDirectory may be called from any
// thread at once; a MemoryObject is a plain value used by one thread.
#ifndef USERPOLICY_TESTING_MEMORY_DIRECTORY_H_
#define USERPOLICY_TESTING_MEMORY_DIRECTORY_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_object.h"
#include "platform/sync.h"
#include "testing/scoped_backend.h"  // the example above

namespace directory {

// An object to add to a MemoryDirectory: a DN and typed attribute values.
// Each Add* appends one value to the attribute of that name (created on
// first use; names compared case-insensitively) and returns *this.
class MemoryObject {
 public:
  explicit MemoryObject(std::wstring distinguished_name);

  MemoryObject& AddValue(std::wstring_view attribute, const _variant_t& value);
  MemoryObject& AddString(std::wstring_view attribute, std::wstring_view value);  // VT_BSTR
  MemoryObject& AddStrings(std::wstring_view attribute, std::initializer_list<std::wstring_view> values);
  MemoryObject& AddInteger(std::wstring_view attribute, int32_t value);        // VT_I4
  MemoryObject& AddLargeInteger(std::wstring_view attribute, int64_t value);   // VT_I8
  MemoryObject& AddBoolean(std::wstring_view attribute, bool value);           // VT_BOOL
  MemoryObject& AddBinary(std::wstring_view attribute, const std::vector<uint8_t>& bytes);  // VT_ARRAY|VT_UI1

  const DirectoryObject& object() const { return object_; }

 private:
  DirectoryObject object_;
};

class MemoryDirectory : public DirectoryBackend {
 public:
  // How long WaitUntilBlocked waits by default before giving up.
  static constexpr std::chrono::milliseconds kDefaultWaitTimeout{10000};

  MemoryDirectory();
  ~MemoryDirectory() override;
  MemoryDirectory(const MemoryDirectory&) = delete;
  MemoryDirectory& operator=(const MemoryDirectory&) = delete;

  // Adds `object`, or replaces the object of the same DN (keeping its place
  // in the search order). A malformed DN raises CDirectoryException
  // kDirectoryInvalidArgument.
  void AddObject(const MemoryObject& object);
  // Removes the object `dn` names; false when there is none.
  bool RemoveObject(std::wstring_view dn);

  void SetRootGCPath(HRESULT result, std::wstring path);
  void SetGCFromRootDSE(HRESULT result, std::wstring path);

  // Counts; see the file comment for the keys.
  int ReadCount(std::wstring_view key) const;
  int TotalCalls() const;
  int GCPathCalls() const;  // GetRootGCPath and GetGCFromRootDSE calls
  void ResetCounts();

  void SetReadDelay(std::chrono::milliseconds delay);
  void BlockReads();
  // Lets every parked call go on and stops blocking new ones.
  void ReleaseReads();
  // True once at least `count` calls are parked; false after `timeout`.
  bool WaitUntilBlocked(int count, std::chrono::milliseconds timeout = kDefaultWaitTimeout) const;
  int BlockedCount() const;

  // REQUIRES: n >= 1; `code` a DirectoryErrorCode.
  void FailNthCall(int n, int code);
  void FailAllCalls(int code);
  void ClearFailures();

  // DirectoryBackend.
  std::shared_ptr<const DirectoryObject> ReadObject(const DirectoryPath& path,
                                                   const std::vector<std::wstring>& attributes) override;
  std::shared_ptr<const DirectoryObject> SearchOne(const DirectoryPath& root, const std::wstring& filter,
                                                  const std::vector<std::wstring>& attributes,
                                                  int scope) override;
  HRESULT GetRootGCPath(std::wstring* path) override;
  HRESULT GetGCFromRootDSE(std::wstring* path) override;

 private:
  struct Entry;

  // Counts a call under `key`, parks it while reads are blocked, applies
  // the delay, and raises an injected failure.
  void BeginCall(const std::wstring& key, const DirectoryPath& path, const std::wstring& operation)
      EXCLUDES(mu_);
  std::shared_ptr<const Entry> FindLocked(const DirectoryPath& path) const REQUIRES(mu_);

  mutable platform::Mutex mu_;
  mutable platform::CondVar changed_{&mu_};  // parked count and releases

  std::vector<std::shared_ptr<const Entry>> entries_ GUARDED_BY(mu_);  // insertion order
  std::map<std::wstring, int> counts_ GUARDED_BY(mu_);
  int total_calls_ GUARDED_BY(mu_) = 0;
  int gc_path_calls_ GUARDED_BY(mu_) = 0;

  std::chrono::milliseconds delay_ GUARDED_BY(mu_){0};
  bool blocking_ GUARDED_BY(mu_) = false;
  uint64_t release_generation_ GUARDED_BY(mu_) = 0;
  int parked_ GUARDED_BY(mu_) = 0;

  std::map<int, int> fail_at_call_ GUARDED_BY(mu_);  // call number -> code
  int fail_all_code_ GUARDED_BY(mu_) = 0;            // 0: off

  HRESULT root_gc_result_ GUARDED_BY(mu_);
  std::wstring root_gc_path_ GUARDED_BY(mu_);
  HRESULT root_dse_result_ GUARDED_BY(mu_);
  std::wstring root_dse_path_ GUARDED_BY(mu_);
};

}  // namespace directory

#endif  // USERPOLICY_TESTING_MEMORY_DIRECTORY_H_
