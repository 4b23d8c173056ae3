// upm's command line (CLI11): the commands, their options, and the help
// text with the exit codes and the JSON fields.
//
//   upm [OPTIONS] guids SIP... [--file FILE|-] [--threads N]
//   upm [OPTIONS] email SIP... [--file FILE|-] [--threads N]
//   upm [OPTIONS] explain SIP [--dot]
//   upm [OPTIONS] object KEY [--as user|primary-group|group|guid|path]
//   upm [OPTIONS] perf [--pid N] [--watch [--interval S] [--count N]] [--prometheus]
//   upm [OPTIONS] discover
//   OPTIONS: --config FILE, --server URI, --bind simple|gssapi,
//            --keytab FILE, --principal P, --json, --log-level LEVEL,
//            --log-file FILE, --version (also accepted after the command)
//
// Thread safety: ParseCommandLine is thread-safe.
#ifndef USERPOLICY_TOOLS_UPM_COMMAND_LINE_H_
#define USERPOLICY_TOOLS_UPM_COMMAND_LINE_H_

#include <string>
#include <vector>

#include "tools/upm/object_lookup.h"

namespace upm {

enum class CommandName { kGuids, kEmail, kExplain, kObject, kPerf, kDiscover, kVersion };

struct Options {
  CommandName command = CommandName::kGuids;
  // Every command.
  std::string config;     // --config: the settings file
  std::string server;     // --server: the only Global Catalog server
  std::string bind;       // --bind: simple | gssapi, in place of BindMethod
  std::string keytab;     // --keytab: in place of KeytabFile
  std::string principal;  // --principal: in place of Principal
  std::string log_level;  // --log-level; "" leaves USERPOLICY_LOG_LEVEL, else off
  std::string log_file;   // --log-file
  bool json = false;
  // guids, email (and explain: exactly one address).
  std::vector<std::string> sips;
  std::string file;  // --file: "" none, "-" standard input
  int threads = 1;
  // explain
  bool dot = false;
  // object
  std::string key;
  ObjectKind as = ObjectKind::kUser;
  // perf
  int pid = 0;  // 0: the only process that publishes counters
  bool watch = false;
  double interval_seconds = 1.0;
  int count = 0;  // --watch samples; 0: until interrupted
  bool prometheus = false;
};

struct ParsedCommandLine {
  bool run = false;     // false: print `text` and exit with `exit_code`
  int exit_code = 0;    // 0 after --help, 2 (usage) after an error
  std::string text;     // the help (for stdout) or the error (for stderr)
  Options options;      // when run
};

// Parses argv (argv[0] the program). A missing command, an unknown option,
// a bad value or a missing argument is a usage error with one line saying
// which, then a pointer to --help.
ParsedCommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_COMMAND_LINE_H_
