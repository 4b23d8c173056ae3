// Discovery calls that turn an exception into an HRESULT log what the
// exception said: the LDAP backend's GetRootGCPath and GetGCFromRootDSE, the
// CDirectoryHelper path copies and the SRV query of Global Catalog
// discovery, each with the library's own exceptions (a CDirectoryException
// with its LDAP result, a plain OS::CException), _com_error, std::exception
// and anything else. No server is involved: the exceptions come from the
// settings source, a backend and a resolver.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/com.h"
#include "platform/directory.h"
#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_config.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/gc_discovery.h"
#include "platform/directory/ldap_backend.h"
#include "platform/exception.h"
#include "platform/utf8.h"
#include "testing/log_capture.h"
#include "testing/scoped_backend.h"
#include "testing/scoped_srv_resolver.h"

namespace directory {
namespace {

using DBG::testing::ScopedLogCapture;

struct Thrower {
  const char* name;
  std::function<void()> raise;
  std::vector<std::string> in_line;  // what the log line must say
};

// A directory failure as the library raises it: logged where raised.
[[noreturn]] void RaiseDirectoryFailure() {
  DirectoryErrorContext context;
  context.server = L"gc1.example.test:3268";
  context.operation = L"bind";
  context.ldap_result = 49;
  context.ldap_text = L"Invalid credentials";
  ThrowDirectoryError(kDirectoryAuthFailed, "test_source", 7, L"the directory server refused the bind", context);
}

const std::vector<Thrower>& Throwers() {
  static const std::vector<Thrower> throwers = {
      {"CDirectoryException",
       [] { RaiseDirectoryFailure(); },
       {"the directory server refused the bind (code -92005", "server=gc1.example.test:3268", "operation=bind",
        "ldap=49 Invalid credentials", "[test_source:7]"}},
      {"OS::CException", [] { throw OS::CException(-5, "test_source", 9, L"the store is locked"); },
       {"the store is locked (code -5) [test_source:9]"}},
      // The system's own text for the code (Windows' comes from FormatMessage).
      {"_com_error", [] { _com_issue_error(E_ACCESSDENIED); },
       {platform::WideToUtf8(_com_error(E_ACCESSDENIED).ErrorMessage())}},
      {"std::exception", [] { throw std::runtime_error("settings file vanished"); }, {"settings file vanished"}},
      {"anything else", [] { throw 42; }, {"an exception of unknown type"}},
  };
  return throwers;
}

// The messages of the records at `level` that contain `prefix`.
std::vector<std::string> Lines(const ScopedLogCapture& capture, int level, const std::string& prefix) {
  std::vector<std::string> lines;
  for (const DBG::LogRecord& record : capture.Snapshot()) {
    if (record.level == level && record.message.find(prefix) != std::string::npos) lines.push_back(record.message);
  }
  return lines;
}

// Expects exactly one record at `level` with `prefix`, saying everything the
// thrower's exception carries.
void ExpectOneDetailedLine(const ScopedLogCapture& capture, int level, const std::string& prefix,
                           const Thrower& thrower) {
  const std::vector<std::string> lines = Lines(capture, level, prefix);
  ASSERT_EQ(lines.size(), 1u) << prefix;
  for (const std::string& fragment : thrower.in_line) {
    EXPECT_NE(lines.front().find(fragment), std::string::npos) << lines.front() << "\nlacks: " << fragment;
  }
}

TEST(DiscoveryFailureLog, LdapBackendLogsWhatTheSettingsSourceRaised) {
  for (const Thrower& thrower : Throwers()) {
    SCOPED_TRACE(thrower.name);
    int loads = 0;
    // The first load (at construction) succeeds; every later one fails.
    LdapBackend backend([&]() -> DirectoryConfig {
      if (loads++ > 0) thrower.raise();
      return DirectoryConfig();
    });
    ScopedLogCapture capture(DBG::Severity::kWarning);
    std::wstring path = L"unchanged";
    EXPECT_EQ(backend.GetRootGCPath(&path), E_FAIL);
    ExpectOneDetailedLine(capture, DBG::kLevelFailure, "Global Catalog discovery failed: ", thrower);

    capture.Clear();
    EXPECT_EQ(backend.GetGCFromRootDSE(&path), E_FAIL);
    EXPECT_EQ(path, L"unchanged");
    if (std::string(thrower.name) == "CDirectoryException") {
      // Logged once, where it was raised, with all its detail.
      EXPECT_TRUE(Lines(capture, DBG::kLevelFailure, "rootDSE discovery failed").empty());
      ExpectOneDetailedLine(capture, DBG::kLevelFailure, "the directory server refused the bind", thrower);
    } else {
      ExpectOneDetailedLine(capture, DBG::kLevelFailure, "rootDSE discovery failed: ", thrower);
    }
  }
}

// A backend that breaks its promise never to throw from the discovery calls.
class ThrowingBackend : public DirectoryBackend {
 public:
  explicit ThrowingBackend(const Thrower& thrower) : thrower_(thrower) {}
  std::shared_ptr<const DirectoryObject> ReadObject(const DirectoryPath&, const std::vector<std::wstring>&) override {
    return nullptr;
  }
  std::shared_ptr<const DirectoryObject> SearchOne(const DirectoryPath&, const std::wstring&,
                                                   const std::vector<std::wstring>&, int) override {
    return nullptr;
  }
  HRESULT GetRootGCPath(std::wstring*) override {
    thrower_.raise();
    return S_OK;
  }
  HRESULT GetGCFromRootDSE(std::wstring*) override {
    thrower_.raise();
    return S_OK;
  }

 private:
  const Thrower& thrower_;
};

TEST(DiscoveryFailureLog, DirectoryHelperLogsWhatTheBackendRaisedAndWhere) {
  for (const Thrower& thrower : Throwers()) {
    SCOPED_TRACE(thrower.name);
    ThrowingBackend throwing(thrower);
    testing::ScopedBackend installed(&throwing);
    ScopedLogCapture capture(DBG::Severity::kWarning);
    wchar_t path[64] = L"unchanged";
    EXPECT_EQ(CDirectoryHelper::GetRootGCPath(path, 64), E_FAIL);
    ExpectOneDetailedLine(capture, DBG::kLevelFailure, "CDirectoryHelper::GetRootGCPath failed: ", thrower);
    EXPECT_EQ(CDirectoryHelper::GetGCFromRootDSE(path, 64), E_FAIL);
    ExpectOneDetailedLine(capture, DBG::kLevelFailure, "CDirectoryHelper::GetGCFromRootDSE failed: ", thrower);
  }
}

TEST(DiscoveryFailureLog, SrvQueryWarningSaysWhatTheResolverRaised) {
  DirectoryConfig config;
  config.forest = L"example.test";
  for (const Thrower& thrower : Throwers()) {
    SCOPED_TRACE(thrower.name);
    testing::ScopedSrvResolver resolver([&](const std::string&) -> std::vector<SrvRecord> {
      thrower.raise();
      return {};
    });
    ScopedLogCapture capture(DBG::Severity::kWarning);
    std::wstring path;
    EXPECT_EQ(DiscoverGlobalCatalog(config, &path), E_FAIL);
    ExpectOneDetailedLine(capture, DBG::kLevelWarning, "the SRV query for _gc._tcp.example.test failed: ", thrower);
  }
}

}  // namespace
}  // namespace directory
