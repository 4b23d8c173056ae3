// up_start's options, checked and ready to apply.
//
// Thread safety: pure functions.
#ifndef USERPOLICY_CAPI_START_OPTIONS_H_
#define USERPOLICY_CAPI_START_OPTIONS_H_

#include <optional>
#include <string>

#include "capi/userpolicy.h"
#include "platform/directory/directory_config.h"
#include "platform/log.h"

namespace capi {

struct StartOptions {
  std::string settings_file;     // empty: the environment's or the default file
  std::wstring server;           // "host[:port]"; empty: the configured servers
  bool change_log = false;       // whether `log` replaces the log's configuration
  DBG::LogOptions log;           // the log's configuration with the options applied
};

// Checks `options` (null: none) and the settings file they lead to.
// `current_log` is the log's configuration now; the options given replace
// its parts, and without a log_file the file the environment names
// (USERPOLICY_LOG) is the one to open. Raises CallError UP_CONFIG_ERROR
// naming the first option that is unusable: an unknown log level, an empty
// log file, a server that is not "host[:port]" or "ldap://host[:port]", a
// settings file given that cannot be read, or any settings file in effect
// that does not parse. Whether the log file opens is up to the one who
// applies the options.
StartOptions CheckStartOptions(const up_options* options, const DBG::LogOptions& current_log);

// The options as "settings_file=\"...\", server=\"...\"" (only those given).
std::string DescribeStartOptions(const up_options* options);

// Checks `bind` (null: none): raises CallError UP_CONFIG_ERROR naming the
// first field that is unusable: a method other than simple and gssapi
// (ASCII case ignored), a keytab or principal given with the simple
// method, a keytab that cannot be read as one, or one that lacks the
// principal given. Returns what replaces the settings file's values.
directory::BindOverride CheckBindOptions(const up_bind_options* bind);

// The bind options as "method=\"...\", keytab=\"...\"" (only those given).
std::string DescribeBindOptions(const up_bind_options* bind);

}  // namespace capi

#endif  // USERPOLICY_CAPI_START_OPTIONS_H_
