#include "capi/start_options.h"

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "capi/call_errors.h"
#include "platform/ascii.h"
#include "platform/directory/directory_config.h"
#include "platform/kerberos.h"
#include "platform/settings.h"
#include "platform/utf8.h"

namespace capi {
namespace {

// Schemes a server option may carry; both name plain LDAP on the given
// (or the Global Catalog) port.
constexpr std::string_view kAcceptedSchemes[] = {"ldap://", "gc://"};

[[noreturn]] void Refuse(const std::string& message) { throw CallError(UP_CONFIG_ERROR, 0, message); }

std::wstring CheckServer(std::string_view server) {
  std::string_view rest = server;
  for (std::string_view scheme : kAcceptedSchemes) {
    if (rest.size() >= scheme.size() && platform::EqualsIgnoringAsciiCase(rest.substr(0, scheme.size()), scheme)) {
      rest.remove_prefix(scheme.size());
      if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
      break;
    }
  }
  const std::wstring wide = platform::Utf8ToWide(rest);
  if (!platform::IsValidUtf8(server) || !directory::IsServerName(wide)) {
    Refuse("server " + Quoted(std::string(server).c_str()) +
           " is not host[:port] or ldap://host[:port] (TLS is chosen in the settings file)");
  }
  return wide;
}

void SetDestination(std::string_view destination, StartOptions* checked) {
  if (destination == "stderr") {
    checked->log.destination = DBG::Destination::kStderr;
  } else if (destination == "syslog") {
    checked->log.destination = DBG::Destination::kSyslog;
  } else {
    checked->log.destination = DBG::Destination::kFile;
    checked->log.file_path = std::string(destination);
  }
  checked->change_log = true;
}

void CheckSettingsFileInEffect(const std::string& given) {
  std::string problem;
  if (!given.empty()) {
    if (!CheckSettingsFile(given, &problem)) Refuse(problem);
    return;
  }
  // The environment's or the default file: a missing one means defaults,
  // as for the C++ interface; one that does not parse is a mistake.
  const char* configured = std::getenv(kSettingsPathVariable);
  const std::string path = configured != nullptr && configured[0] != '\0' ? configured : DefaultSettingsPath();
  std::error_code ignored;
  if (std::filesystem::exists(path, ignored) && !CheckSettingsFile(path, &problem)) Refuse(problem);
}

}  // namespace

StartOptions CheckStartOptions(const up_options* options, const DBG::LogOptions& current_log) {
  StartOptions checked;
  checked.log = current_log;
  if (options != nullptr) {
    if (options->settings_file != nullptr) {
      if (options->settings_file[0] == '\0') Refuse("settings_file is empty");
      checked.settings_file = options->settings_file;
    }
    if (options->server != nullptr) checked.server = CheckServer(options->server);
    if (options->log_level != nullptr) {
      if (!DBG::ParseThreshold(options->log_level, &checked.log.threshold)) {
        Refuse("log_level " + Quoted(options->log_level) + " is not one of off, error, warning, info, trace");
      }
      checked.change_log = true;
    }
    if (options->log_file != nullptr) {
      const std::string_view destination = options->log_file;
      if (destination.empty()) Refuse("log_file is empty (\"stderr\", \"syslog\" or a path)");
      SetDestination(destination, &checked);
    }
  }
  // Without log_file, a file the environment names is opened again, so
  // that one that cannot be opened is an error here too.
  const char* environment_log = std::getenv(DBG::kLogDestinationVariable);
  if ((options == nullptr || options->log_file == nullptr) && environment_log != nullptr &&
      environment_log[0] != '\0') {
    SetDestination(environment_log, &checked);
  }
  CheckSettingsFileInEffect(checked.settings_file);
  return checked;
}

namespace {

// Appends `name`="value" for the fields given.
class Description {
 public:
  void Add(const char* name, const char* value) {
    if (value == nullptr) return;
    if (!text_.empty()) text_ += ", ";
    text_ += name;
    text_ += '=';
    text_ += Quoted(value);
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace

std::string DescribeStartOptions(const up_options* options) {
  if (options == nullptr) return "";
  Description text;
  text.Add("settings_file", options->settings_file);
  text.Add("server", options->server);
  text.Add("log_level", options->log_level);
  text.Add("log_file", options->log_file);
  return text.text();
}

directory::BindOverride CheckBindOptions(const up_bind_options* bind) {
  directory::BindOverride checked;
  if (bind == nullptr) return checked;
  if (bind->method != nullptr) {
    const std::string_view method = bind->method;
    if (platform::EqualsIgnoringAsciiCase(method, "simple")) {
      checked.method = directory::DirectoryConfig::BindMethod::kSimple;
    } else if (platform::EqualsIgnoringAsciiCase(method, "gssapi")) {
      checked.method = directory::DirectoryConfig::BindMethod::kGssapi;
    } else {
      Refuse("bind method " + Quoted(bind->method) + " is not one of simple, gssapi");
    }
  }
  const bool simple = checked.method == directory::DirectoryConfig::BindMethod::kSimple;
  if (simple && (bind->keytab != nullptr || bind->principal != nullptr)) {
    Refuse("a keytab and a principal are for the gssapi bind method, not simple");
  }
  if (bind->principal != nullptr) {
    if (bind->principal[0] == '\0') Refuse("principal is empty");
    checked.principal = bind->principal;
  }
  if (bind->keytab != nullptr) {
    if (bind->keytab[0] == '\0') Refuse("keytab is empty");
    std::string found;
    std::string problem;
    // The file on its own first, so that the field at fault is named.
    if (!platform::kerberos::FindKeytabPrincipal(bind->keytab, "", &found, &problem)) Refuse("keytab: " + problem);
    if (!checked.principal.empty() &&
        !platform::kerberos::FindKeytabPrincipal(bind->keytab, checked.principal, &found, &problem)) {
      Refuse("principal: " + problem);
    }
    checked.keytab_file = bind->keytab;
  }
  return checked;
}

std::string DescribeBindOptions(const up_bind_options* bind) {
  if (bind == nullptr) return "";
  Description text;
  text.Add("method", bind->method);
  text.Add("keytab", bind->keytab);
  text.Add("principal", bind->principal);
  return text.text();
}

}  // namespace capi
