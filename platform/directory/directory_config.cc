#include "platform/directory/directory_config.h"

#include <algorithm>
#include <climits>
#include <cwctype>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/com.h"
#include "platform/directory/directory_path.h"
#include "platform/kerberos.h"
#include "platform/log.h"
#include "platform/private_file.h"
#include "platform/settings.h"
#include "platform/sync.h"
#include "platform/utf8.h"

namespace directory {
namespace {

constexpr char kLogSource[] = "directory_config";
constexpr wchar_t kSettingsClass[] = L"DirectoryAccess";
constexpr wchar_t kSettingsInstance[] = L"DEFAULT";

// Limits beyond which a value is a mistake rather than a choice.
constexpr int kMaxTimeoutMs = 3600 * 1000;  // one hour
constexpr int kMaxPoolSize = 256;

std::wstring_view Trim(std::wstring_view text) {
  while (!text.empty() && std::iswspace(text.front())) text.remove_prefix(1);
  while (!text.empty() && std::iswspace(text.back())) text.remove_suffix(1);
  return text;
}

// The servers OverrideGlobalCatalogServers set; empty when there is none.
class ServerOverride {
 public:
  static ServerOverride& Get() {
    static ServerOverride instance;
    return instance;
  }
  void Set(std::vector<std::wstring> servers) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    servers_ = std::move(servers);
  }
  std::vector<std::wstring> servers() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    return servers_;
  }

 private:
  ServerOverride() = default;
  platform::Mutex mu_;
  std::vector<std::wstring> servers_ GUARDED_BY(mu_);
};

// The bind settings OverrideBindSettings set.
class BindSettingsOverride {
 public:
  static BindSettingsOverride& Get() {
    static BindSettingsOverride instance;
    return instance;
  }
  void Set(BindOverride bind) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    bind_ = std::move(bind);
  }
  BindOverride bind() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    return bind_;
  }

 private:
  BindSettingsOverride() = default;
  platform::Mutex mu_;
  BindOverride bind_ GUARDED_BY(mu_);
};

}  // namespace

void OverrideBindSettings(const BindOverride& bind) { BindSettingsOverride::Get().Set(bind); }

// "host", "host:port", "[v6]" or "[v6]:port" as a path names its server,
// so that every server kept here is one that discovery and the LDAP backend
// accept too.
bool IsServerName(std::wstring_view server) { return DirectoryPath::ParseServer(server).has_value(); }

bool OverrideGlobalCatalogServers(const std::vector<std::wstring>& servers, std::wstring* rejected) {
  for (const std::wstring& server : servers) {
    if (!IsServerName(server)) {
      if (rejected != nullptr) *rejected = server;
      return false;
    }
  }
  ServerOverride::Get().Set(servers);
  return true;
}

namespace {

// The value of an integer variant (an unsigned 64-bit one above the range
// of long long reads as its largest value); false for other types.
bool IntegerOf(const _variant_t& value, long long* number) {
  switch (value.vt) {
    case VT_I2:
      *number = value.iVal;
      return true;
    case VT_UI2:
      *number = value.uiVal;
      return true;
    case VT_I4:
      *number = value.lVal;
      return true;
    case VT_UI4:
      *number = value.ulVal;
      return true;
    case VT_INT:
      *number = value.intVal;
      return true;
    case VT_UINT:
      *number = value.uintVal;
      return true;
    case VT_I8:
      *number = value.llVal;
      return true;
    case VT_UI8:
      *number = value.ullVal > static_cast<ULONGLONG>(LLONG_MAX) ? LLONG_MAX : static_cast<long long>(value.ullVal);
      return true;
    default:
      return false;
  }
}

// Reads the table and reports each unusable value once.
class Reader {
 public:
  Reader() : settings_(kSettingsClass, kSettingsInstance, nullptr) { loaded_ = settings_.Get(); }

  bool loaded() const { return loaded_; }

  void ReadString(const wchar_t* key, std::wstring* out) {
    const _variant_t* value = Find(key);
    if (value == nullptr) return;
    if (value->vt != VT_BSTR) return Warn(key, L"is not a string");
    *out = value->bstrVal != nullptr ? std::wstring(value->bstrVal, SysStringLen(value->bstrVal)) : L"";
  }

  void ReadPath(const wchar_t* key, std::string* out) {
    const _variant_t* value = Find(key);
    if (value == nullptr) return;
    if (value->vt != VT_BSTR) return Warn(key, L"is not a string");
    *out = platform::WideToUtf8(Trim(value->bstrVal != nullptr ? value->bstrVal : L""));
  }

  void ReadBool(const wchar_t* key, bool* out) {
    const _variant_t* value = Find(key);
    if (value == nullptr) return;
    if (value->vt != VT_BOOL) return Warn(key, L"is not true or false");
    *out = value->boolVal != VARIANT_FALSE;
  }

  // An integer in [minimum, maximum].
  void ReadInt(const wchar_t* key, int minimum, int maximum, int* out) {
    const _variant_t* value = Find(key);
    if (value == nullptr) return;
    long long number = 0;
    if (!IntegerOf(*value, &number)) return Warn(key, L"is not an integer");
    if (number < minimum || number > maximum) {
      return Warn(key, L"must lie between " + std::to_wstring(minimum) + L" and " + std::to_wstring(maximum));
    }
    *out = static_cast<int>(number);
  }

  void ReadTls(const wchar_t* key, DirectoryConfig::Tls* out) {
    const _variant_t* value = Find(key);
    if (value == nullptr) return;
    if (value->vt != VT_BSTR) return Warn(key, L"is not a string");
    const std::wstring_view mode = Trim(value->bstrVal != nullptr ? value->bstrVal : L"");
    if (platform::EqualsIgnoringAsciiCase(mode, L"none")) {
      *out = DirectoryConfig::Tls::kNone;
    } else if (platform::EqualsIgnoringAsciiCase(mode, L"ldaps")) {
      *out = DirectoryConfig::Tls::kLdaps;
    } else if (platform::EqualsIgnoringAsciiCase(mode, L"starttls")) {
      *out = DirectoryConfig::Tls::kStartTls;
    } else {
      Warn(key, L"is not one of none, ldaps, starttls");
    }
  }

  // BindMethod and, for gssapi, the keytab, principal and minimum strength,
  // the fields `bind` sets taking the place of the file's. A value that
  // would leave a weaker bind than the one asked for is no warning but
  // config->bind_problem.
  void ReadBindSettings(const BindOverride& bind, DirectoryConfig* config) {
    if (bind.method) {
      config->bind_method = *bind.method;
    } else if (const _variant_t* value = Find(L"BindMethod")) {
      const std::wstring_view method =
          value->vt == VT_BSTR ? Trim(value->bstrVal != nullptr ? value->bstrVal : L"") : std::wstring_view();
      if (platform::EqualsIgnoringAsciiCase(method, L"simple")) {
        config->bind_method = DirectoryConfig::BindMethod::kSimple;
      } else if (platform::EqualsIgnoringAsciiCase(method, L"gssapi")) {
        config->bind_method = DirectoryConfig::BindMethod::kGssapi;
      } else {
        return Refuse(config, L"BindMethod", L"is not one of simple, gssapi");
      }
    }
    if (config->bind_method != DirectoryConfig::BindMethod::kGssapi) return;
    if (!bind.keytab_file.empty()) {
      config->keytab_file = bind.keytab_file;
    } else {
      ReadPath(L"KeytabFile", &config->keytab_file);
    }
    if (!bind.principal.empty()) {
      config->principal = bind.principal;
    } else {
      std::wstring principal;
      ReadString(L"Principal", &principal);
      config->principal = platform::WideToUtf8(Trim(principal));
    }
    if (const _variant_t* value = Find(L"MinimumSsf")) {
      long long ssf = 0;
      if (!IntegerOf(*value, &ssf) || ssf < 1 || ssf > DirectoryConfig::kMaxMinimumSsf) {
        return Refuse(config, L"MinimumSsf",
                      L"must be an integer from 1 (signing) to " + std::to_wstring(DirectoryConfig::kMaxMinimumSsf));
      }
      config->minimum_ssf = static_cast<int>(ssf);
    }
    if (platform::kerberos::CredentialsFromKeytab()) {
      if (config->keytab_file.empty()) return Refuse(config, L"KeytabFile", L"is needed with BindMethod = \"gssapi\"");
    } else {
      // The system binds as the service's own account: a keytab or a
      // principal would ask for an identity it cannot give.
      constexpr wchar_t kOwnAccount[] =
          L"is not used on this system: BindMethod = \"gssapi\" binds as the account the service runs as "
          L"(Negotiate); remove it";
      if (!config->keytab_file.empty()) return Refuse(config, L"KeytabFile", kOwnAccount);
      if (!config->principal.empty()) return Refuse(config, L"Principal", kOwnAccount);
    }
    if (!config->bind_dn.empty() || !config->password_file.empty()) {
      Warn(L"BindDN", L"and PasswordFile are not used with BindMethod = \"gssapi\"");
    }
  }

  // One "host[:port]" (empty: none).
  void ReadServer(const wchar_t* key, std::wstring* out) {
    const _variant_t* value = Find(key);
    if (value == nullptr) return;
    if (value->vt != VT_BSTR) return Warn(key, L"is not a string");
    const std::wstring_view server = Trim(value->bstrVal != nullptr ? value->bstrVal : L"");
    if (!server.empty() && !IsServerName(server)) return Warn(key, L"is not host[:port]");
    *out = std::wstring(server);
  }

  // A comma-separated list of "host[:port]"; malformed entries are skipped
  // (each reported), the others kept in order.
  void ReadServers(const wchar_t* key, std::vector<std::wstring>* out) {
    const _variant_t* value = Find(key);
    if (value == nullptr) return;
    if (value->vt != VT_BSTR) return Warn(key, L"is not a string");
    std::wstring_view rest = value->bstrVal != nullptr ? value->bstrVal : L"";
    std::vector<std::wstring> servers;
    while (!rest.empty()) {
      const size_t comma = rest.find(L',');
      const std::wstring_view item = Trim(rest.substr(0, comma));
      rest = comma == std::wstring_view::npos ? std::wstring_view() : rest.substr(comma + 1);
      if (item.empty()) continue;
      if (IsServerName(item)) {
        servers.emplace_back(item);
      } else {
        Warn(key, L"holds the malformed server '" + std::wstring(item) + L"', which is skipped");
      }
    }
    *out = std::move(servers);
  }

 private:
  const _variant_t* Find(const wchar_t* key) { return loaded_ ? settings_.GetPropertyValue(key) : nullptr; }

  // Makes the bind settings unusable, with the reason naming the key and
  // its line.
  void Refuse(DirectoryConfig* config, const wchar_t* key, const std::wstring& problem) {
    const int line = settings_.GetPropertyLine(key);
    const std::string& path = settings_.GetSourcePath();
    config->bind_problem = (path.empty() ? L"" : L"settings " + platform::Utf8ToWide(path) + L" ") + L"[" +
                           kSettingsClass + L"." + kSettingsInstance + L"] " + key +
                           (line > 0 ? L" (line " + std::to_wstring(line) + L") " : L" ") + problem;
  }

  void Warn(const wchar_t* key, const std::wstring& problem) {
    DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kLogSource, __LINE__,
                    L"settings %S [%s.%s] %s (line %d) %s; the default is kept", settings_.GetSourcePath().c_str(),
                    kSettingsClass, kSettingsInstance, key, settings_.GetPropertyLine(key), problem.c_str());
  }

  CMgmtObject settings_;
  bool loaded_ = false;
};

// Reads the settings table into *out, leaving the defaults where it has
// no usable value.
void ReadSettings(DirectoryConfig* out) {
  DirectoryConfig& config = *out;
  Reader reader;
  if (!reader.loaded()) {
    // Nothing to read, but an override of the bind to apply and check.
    reader.ReadBindSettings(BindSettingsOverride::Get().bind(), &config);
    return;
  }
  reader.ReadServers(L"GlobalCatalogServers", &config.global_catalog_servers);
  reader.ReadServer(L"DomainController", &config.domain_controller);
  reader.ReadString(L"Forest", &config.forest);
  reader.ReadString(L"BindDN", &config.bind_dn);
  reader.ReadPath(L"PasswordFile", &config.password_file);
  reader.ReadBindSettings(BindSettingsOverride::Get().bind(), &config);
  reader.ReadTls(L"Tls", &config.tls);
  reader.ReadPath(L"CaFile", &config.ca_file);
  reader.ReadBool(L"VerifyCertificate", &config.verify_certificate);
  reader.ReadInt(L"ConnectTimeoutMs", 1, kMaxTimeoutMs, &config.connect_timeout_ms);
  reader.ReadInt(L"OperationTimeoutMs", 1, kMaxTimeoutMs, &config.operation_timeout_ms);
  reader.ReadInt(L"PoolSize", 1, kMaxPoolSize, &config.pool_size);
  reader.ReadInt(L"FailureBackoffMs", 0, kMaxTimeoutMs, &config.failure_backoff_ms);
  reader.ReadInt(L"MaxFailureBackoffMs", 0, kMaxTimeoutMs, &config.max_failure_backoff_ms);
  config.max_failure_backoff_ms = std::max(config.max_failure_backoff_ms, config.failure_backoff_ms);
  reader.ReadString(L"SearchBase", &config.search_base);
  reader.ReadBool(L"ReadAhead", &config.read_ahead);
  reader.ReadPath(L"SchemaCacheFile", &config.schema_cache_file);
}

}  // namespace

bool CheckBindSettings(const DirectoryConfig& config, std::string* principal, std::wstring* problem) {
  if (principal != nullptr) principal->clear();
  if (!config.bind_problem.empty()) {
    *problem = config.bind_problem;
    return false;
  }
  if (config.bind_method != DirectoryConfig::BindMethod::kGssapi) return true;
  const std::wstring table = std::wstring(L"[") + kSettingsClass + L"." + kSettingsInstance + L"] ";
  std::string found;
  std::string why;
  // The keytab on its own first, so that a file that cannot be used is
  // blamed on KeytabFile and a principal it lacks on Principal.
  if (!platform::kerberos::FindKeytabPrincipal(config.keytab_file, "", &found, &why)) {
    *problem = table + L"KeytabFile: " + platform::Utf8ToWide(why);
    return false;
  }
  if (!config.principal.empty() &&
      !platform::kerberos::FindKeytabPrincipal(config.keytab_file, config.principal, &found, &why)) {
    *problem = table + L"Principal: " + platform::Utf8ToWide(why);
    return false;
  }
  if (principal != nullptr) *principal = found;
  return true;
}

std::string DefaultSchemaCacheFile() { return platform::UserCacheFile("attribute-types"); }

DirectoryConfig DirectoryConfig::Load() {
  DirectoryConfig config;
  config.schema_cache_file = DefaultSchemaCacheFile();
  ReadSettings(&config);
  std::vector<std::wstring> override_servers = ServerOverride::Get().servers();
  if (!override_servers.empty()) config.global_catalog_servers = std::move(override_servers);
  return config;
}

}  // namespace directory
