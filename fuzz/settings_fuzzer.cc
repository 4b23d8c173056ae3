// The settings file (platform/settings.h) and the directory configuration
// read from it (platform/directory/directory_config.h).
//
// The input is the text of the file: the target writes it to a private
// temporary file (in /dev/shm where it exists) that USERPOLICY_SETTINGS
// names, then reads the module's table [QV_DSAccess.DEFAULT] through
// CMgmtObject and the directory's table [DirectoryAccess.DEFAULT] through
// DirectoryConfig::Load. Properties:
//  - reading never crashes or throws, whatever the text;
//  - every value read has one of the documented variant types, a line
//    within the file, and is found under its name in any ASCII case;
//  - nothing is read when Get() says the table was not read;
//  - the directory configuration keeps its values within their documented
//    ranges, and every server it keeps is one the path parser and the LDAP
//    backend both accept, with the same host and port;
//  - a Kerberos bind always has a keytab, or its bind settings are reported
//    as unusable.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_logging.h"
#include "fuzz/fuzz_text.h"
#include "platform/ascii.h"
#include "platform/directory/directory_config.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_server_settings.h"
#include "platform/settings.h"
#include "platform/utf8.h"

namespace {

using directory::DirectoryConfig;
using directory::DirectoryPath;
using fuzz::Printable;

// The module's keys, looked up in every input besides the input's own words.
constexpr const wchar_t* kModuleKeys[] = {
    L"UserIdentityCacheTimeout", L"UserIdentityCacheMaximum", L"PrimaryGroupCacheTimeout",
    L"PrimaryGroupCacheMaximum", L"NestedGroupCacheTimeout",  L"NestedGroupCacheMaximum",
    L"ShareFetchFailuresWithWaiters"};
constexpr size_t kMaxWordsChecked = 64;
constexpr int kMaxTimeoutMs = 3600 * 1000;
constexpr int kMaxPoolSize = 256;

std::string g_settings_path;

void RemoveSettingsFile() { std::remove(g_settings_path.c_str()); }

void WriteSettingsFile(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(g_settings_path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr) << "cannot write " << g_settings_path;
  FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, file) == size) << "cannot write " << g_settings_path;
  std::fclose(file);
}

// The bare-key-like words of the text (letters, digits, '_' and '-'): the
// names a table may hold.
std::set<std::wstring> Words(std::string_view text) {
  std::set<std::wstring> words;
  size_t i = 0;
  while (i < text.size() && words.size() < kMaxWordsChecked) {
    const auto is_word = [](char c) { return platform::IsAsciiAlphanumeric(c) || c == '_' || c == '-'; };
    if (!is_word(text[i])) {
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < text.size() && is_word(text[i])) ++i;
    words.insert(platform::Utf8ToWide(text.substr(start, i - start)));
  }
  return words;
}

bool IsDocumentedType(VARTYPE vt) {
  switch (vt) {
    case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_INT: case VT_UINT:
    case VT_I8: case VT_UI8: case VT_BOOL: case VT_R8: case VT_BSTR:
      return true;
    default:
      return false;
  }
}

std::wstring WithCase(const std::wstring& name, bool upper) {
  std::wstring changed = name;
  for (wchar_t& c : changed) c = upper ? platform::AsciiToUpper(c) : platform::AsciiToLower(c);
  return changed;
}

void CheckModuleTable(std::string_view text) {
  CMgmtObject settings(L"QV_DSAccess", L"DEFAULT", nullptr);
  const bool read = settings.Get();
  FUZZ_CHECK(read == !settings.GetSourcePath().empty()) << "source path " << settings.GetSourcePath();
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;

  std::set<std::wstring> names = Words(text);
  names.insert(std::begin(kModuleKeys), std::end(kModuleKeys));
  for (const std::wstring& name : names) {
    const _variant_t* value = settings.GetPropertyValue(name.c_str());
    const int line = settings.GetPropertyLine(name.c_str());
    if (value == nullptr) {
      FUZZ_CHECK(line == 0) << Printable(name) << " is absent but has line " << line;
      continue;
    }
    FUZZ_CHECK(read) << Printable(name) << " read although Get() failed";
    FUZZ_CHECK(IsDocumentedType(value->vt)) << Printable(name) << " has type " << value->vt;
    FUZZ_CHECK(value->vt != VT_BSTR || value->bstrVal != nullptr) << Printable(name) << " is a null BSTR";
    FUZZ_CHECK(line >= 1 && static_cast<size_t>(line) <= lines)
        << Printable(name) << " on line " << line << " of " << lines;
    FUZZ_CHECK(settings.GetPropertyValue(WithCase(name, true).c_str()) == value &&
               settings.GetPropertyValue(WithCase(name, false).c_str()) == value)
        << Printable(name) << " depends on letter case";
  }
}

// The server `text` as the path parser reads it ("GC://" + text).
std::optional<DirectoryPath> ServerAsPath(const std::wstring& text) {
  try {
    DirectoryPath path = DirectoryPath::Parse(L"GC://" + text);
    if (path.kind == DirectoryPath::Kind::kRoot && !path.host.empty()) return path;
  } catch (const CDirectoryException&) {
  }
  return std::nullopt;
}

void CheckServerAgreement(const std::wstring& server) {
  const std::optional<DirectoryPath> path = ServerAsPath(server);
  FUZZ_CHECK(path.has_value()) << "the configuration keeps " << Printable(server)
                               << ", which is not a path's host[:port]";
  const auto parsed = directory::ldap_backend_internal::ParseServerSpec(server);
  FUZZ_CHECK(parsed.has_value() && parsed->host == path->host && parsed->port == path->port)
      << "the backend reads " << Printable(server) << " differently";
}

void CheckDirectoryConfig() {
  const DirectoryConfig config = DirectoryConfig::Load();
  const auto in = [](int value, int low, int high) { return value >= low && value <= high; };
  FUZZ_CHECK(in(config.connect_timeout_ms, 1, kMaxTimeoutMs)) << config.connect_timeout_ms;
  FUZZ_CHECK(in(config.operation_timeout_ms, 1, kMaxTimeoutMs)) << config.operation_timeout_ms;
  FUZZ_CHECK(in(config.pool_size, 1, kMaxPoolSize)) << config.pool_size;
  FUZZ_CHECK(in(config.failure_backoff_ms, 0, kMaxTimeoutMs)) << config.failure_backoff_ms;
  FUZZ_CHECK(in(config.max_failure_backoff_ms, config.failure_backoff_ms, kMaxTimeoutMs))
      << config.max_failure_backoff_ms << " below " << config.failure_backoff_ms;
  FUZZ_CHECK(in(config.minimum_ssf, 1, DirectoryConfig::kMaxMinimumSsf)) << config.minimum_ssf;
  FUZZ_CHECK(config.bind_method != DirectoryConfig::BindMethod::kGssapi || !config.keytab_file.empty() ||
             !config.bind_problem.empty())
      << "a Kerberos bind without a keytab, and no problem reported";
  for (const std::wstring& server : config.global_catalog_servers) CheckServerAgreement(server);
  if (!config.domain_controller.empty()) CheckServerAgreement(config.domain_controller);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LogToDevNull();
  // A memory file system where there is one: the file is rewritten for every
  // input, and on a busy disk that costs milliseconds.
  const char* tmp = std::getenv("TMPDIR");
  std::string directory = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  if (access("/dev/shm", W_OK) == 0) directory = "/dev/shm";
  std::string path = directory + "/userpolicy-fuzz-settings-XXXXXX";
  const int fd = mkstemp(path.data());
  FUZZ_CHECK(fd >= 0) << "cannot create " << path;
  close(fd);
  g_settings_path = path;
  std::atexit(RemoveSettingsFile);
  setenv(kSettingsPathVariable, g_settings_path.c_str(), /*overwrite=*/1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteSettingsFile(data, size);
  CheckModuleTable(std::string_view(reinterpret_cast<const char*>(data), size));
  CheckDirectoryConfig();
  return 0;
}
