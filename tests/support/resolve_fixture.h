// Shared pieces of the resolution tests (who a SIP user is, which groups,
// which e-mail address) run against the in-memory directory.
//
//   userpolicy::testing::ResolveDirectory scene;
//   scene.directory.AddObject(UserObject(L"CN=Ann,...", L"sip:ann@example.test").AddBinary(...));
//   DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
//   ... call the resolution ...
//   EXPECT_EQ(LinesOf(capture, "serv_PolicyFilterDSAccessHelper"), expected);
//
// Create and destroy these objects on the test's main thread.
#ifndef USERPOLICY_TESTS_SUPPORT_RESOLVE_FIXTURE_H_
#define USERPOLICY_TESTS_SUPPORT_RESOLVE_FIXTURE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "perf/ds_access_perf_object.h"
#include "platform/directory/directory_backend.h"
#include "platform/directory/memory_directory.h"
#include "platform/log_testing.h"

namespace userpolicy::testing {

// The Global Catalog path the fixture installs (the in-memory directory's
// default answer).
inline constexpr wchar_t kTestGlobalCatalogPath[] = L"GC://127.0.0.1:3268";

// Sixteen objectGUID bytes that differ for every `id`, and their bindable
// string form (32 lower-case hex digits in byte order), which is what the
// managers store and the resolution appends.
std::vector<uint8_t> GuidBytes(int id);
std::wstring GuidText(int id);

// A directory user the user-identity manager's filter finds by `sip`:
// objectClass user, objectCategory person, msRTCSIP-PrimaryUserAddress.
directory::MemoryObject UserObject(const std::wstring& dn, const std::wstring& sip);

// (level, message) of every captured record of `source`, oldest first.
using LogLines = std::vector<std::pair<int, std::string>>;
LogLines LinesOf(const DBG::testing::ScopedLogCapture& capture, std::string_view source);

// UTF-8 text of a wide string, for comparing with captured messages.
std::string Narrow(std::wstring_view text);

// A zeroed performance object installed as g_pDSAccessPerfObject while
// alive; the previous pointer comes back on destruction. Install it before
// the lookups it should count start, remove it after they end.
class ScopedPerfObject {
 public:
  ScopedPerfObject();
  ~ScopedPerfObject();
  ScopedPerfObject(const ScopedPerfObject&) = delete;
  ScopedPerfObject& operator=(const ScopedPerfObject&) = delete;

  const CDSAccessPerfObject& counters() const { return object_; }

 private:
  CDSAccessPerfObject object_{};
  CDSAccessPerfObject* const previous_;
};

// One test's directory: while alive, `directory` is the directory every
// lookup reads, the Global Catalog path is the test path, and the module's
// managers are fresh (empty caches) from construction on; destruction
// retires them again and clears the in-flight table's test hooks. One may be
// made per row of a table-driven test.
class ResolveDirectory {
 public:
  ResolveDirectory();
  ~ResolveDirectory();
  ResolveDirectory(const ResolveDirectory&) = delete;
  ResolveDirectory& operator=(const ResolveDirectory&) = delete;

  directory::MemoryDirectory directory;

 private:
  directory::testing::ScopedBackend backend_{&directory};
};

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_RESOLVE_FIXTURE_H_
