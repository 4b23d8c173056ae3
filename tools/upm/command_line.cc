#include "tools/upm/command_line.h"

#include <sstream>

#include <CLI/CLI.hpp>

#include "tools/upm/answer_writer.h"
#include "tools/upm/exit_codes.h"

namespace upm {
namespace {

constexpr char kDescription[] =
    "upm: asks the userpolicy library, as a policy filter would, who a SIP user is in the directory,\n"
    "which groups the user is in (GUIDs), the user's e-mail address, and how it found them.";

std::string Footer() {
  return std::string("\nExit codes:\n") + ExitCodeTable() + "\n" + JsonFieldsHelp() +
         "\nEnvironment: USERPOLICY_SETTINGS (settings file when --config is not given),\n"
         "USERPOLICY_LOG_LEVEL and USERPOLICY_LOG (the library's log when --log-level / --log-file are not given).\n"
         "See upm(1).\n";
}

void AddBatchOptions(CLI::App* command, Options* options) {
  command->add_option("sip", options->sips, "SIP addresses (sip:user@example.test)");
  command->add_option("--file", options->file,
                      "Also read SIP addresses from FILE, one a line ('-': standard input; blank lines and lines "
                      "starting with # are skipped); prints a summary with latency percentiles at the end")
      ->type_name("FILE|-");
  command->add_option("--threads", options->threads, "Look up N addresses at once (1-64); answers keep input order")
      ->check(CLI::Range(1, 64))
      ->type_name("N");
}

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
  ParsedCommandLine parsed;
  Options& options = parsed.options;
  CLI::App app(kDescription, "upm");
  app.footer(Footer());
  app.require_subcommand(0, 1);
  app.fallthrough();

  bool version = false;
  app.add_flag("--version", version, "Print upm's and the library's version");
  app.add_option("--config", options.config, "Settings file (TOML) instead of USERPOLICY_SETTINGS or the default")
      ->type_name("FILE");
  app.add_option("--server", options.server,
                 "The only Global Catalog server to read, instead of the configured ones: host[:port] or "
                 "ldap://host:port")
      ->type_name("URI");
  app.add_option("--bind", options.bind,
                 "How to bind, instead of the settings' BindMethod: simple (BindDN, PasswordFile) or gssapi "
                 "(Kerberos from a keytab, signed or sealed)")
      ->check(CLI::IsMember({"simple", "gssapi"}).description(""))
      ->type_name("simple|gssapi");
  app.add_option("--keytab", options.keytab, "The keytab of a gssapi bind, instead of the settings' KeytabFile")
      ->type_name("FILE");
  app.add_option("--principal", options.principal,
                 "The principal of a gssapi bind, instead of the settings' Principal (default: the keytab's first)")
      ->type_name("P");
  app.add_flag("--json", options.json, "One JSON document per answer (fields below)");
  app.add_option("--log-level", options.log_level, "The library's log level (default off)")
      ->check(CLI::IsMember({"off", "error", "warning", "info", "trace"}).description(""))
      ->type_name("off|error|warning|info|trace");
  app.add_option("--log-file", options.log_file, "Where the library logs: stderr, syslog or a file path")
      ->type_name("FILE");

  CLI::App* guids = app.add_subcommand("guids", "The GUID list of each user: the user, the primary group, "
                                                "then every group reached through memberOf");
  AddBatchOptions(guids, &options);
  CLI::App* email = app.add_subcommand("email", "The e-mail address of each user");
  AddBatchOptions(email, &options);

  CLI::App* explain = app.add_subcommand(
      "explain", "How the GUID list of one user is found: the tree of groups walked, with name, DN, GUID, "
                 "LDAP or cache, where a duplicate GUID or a cycle ended a branch, and the times");
  explain->add_option("sip", options.sips, "The SIP address")->required()->expected(1);
  explain->add_flag("--dot", options.dot, "Write the tree as a Graphviz graph instead");

  CLI::App* object = app.add_subcommand("object", "The record a manager returns for a key, each value with its "
                                                  "variant type");
  object->add_option("key", options.key, "The key: a SIP address, a primary-group search string or SID, a DN, "
                                          "a GUID, or a GC:// or LDAP:// path")
      ->required();
  std::string as = "user";
  object->add_option("--as", as, "What KEY is (default user)")
      ->check(CLI::IsMember({"user", "primary-group", "group", "guid", "path"}).description(""))
      ->type_name("user|primary-group|group|guid|path");

  CLI::App* perf = app.add_subcommand("perf", "The performance counters a running process publishes");
  perf->add_option("--pid", options.pid, "The process to read (without it: list the processes that publish counters)")
      ->check(CLI::PositiveNumber)
      ->type_name("N");
  CLI::Option* watch = perf->add_flag("--watch", options.watch, "Print the counters every --interval seconds, "
                                                                "with their change per second");
  perf->add_option("--interval", options.interval_seconds, "Seconds between --watch samples (default 1)")
      ->check(CLI::Range(0.01, 3600.0))
      ->needs(watch)
      ->type_name("S");
  perf->add_option("--count", options.count, "--watch samples to print (default 0: until interrupted)")
      ->check(CLI::NonNegativeNumber)
      ->needs(watch)
      ->type_name("N");
  perf->add_flag("--prometheus", options.prometheus, "Print once in the Prometheus text format")->excludes(watch);

  CLI::App* discover = app.add_subcommand("discover", "How the Global Catalog is found, step by step, and the "
                                                      "path found");
  for (CLI::App* command : {guids, email, explain, object, perf, discover}) {
    command->footer("\nThe options of upm apply too. Exit codes, JSON fields, environment: upm --help, upm(1).");
  }

  std::ostringstream out;
  std::ostringstream err;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    parsed.exit_code = code == 0 ? kExitFound : kExitUsage;
    parsed.text = code == 0 ? out.str() : err.str();
    return parsed;
  }

  auto usage = [&parsed](const std::string& message) {
    parsed.exit_code = kExitUsage;
    parsed.text = message + "\nRun with --help for more information.\n";
    return parsed;
  };
  if (version) {
    options.command = CommandName::kVersion;
  } else if (guids->parsed()) {
    options.command = CommandName::kGuids;
  } else if (email->parsed()) {
    options.command = CommandName::kEmail;
  } else if (explain->parsed()) {
    options.command = CommandName::kExplain;
  } else if (object->parsed()) {
    options.command = CommandName::kObject;
    options.as = *ObjectKindFromName(as);
  } else if (perf->parsed()) {
    options.command = CommandName::kPerf;
  } else if (discover->parsed()) {
    options.command = CommandName::kDiscover;
  } else {
    return usage("A command is required: guids, email, explain, object, perf or discover");
  }
  if ((options.command == CommandName::kGuids || options.command == CommandName::kEmail) && options.sips.empty() &&
      options.file.empty()) {
    return usage("No SIP address: give one or more, or --file");
  }
  parsed.run = true;
  return parsed;
}

}  // namespace upm
