// The tour of `./run demo`: starts a private slapd with the sample
// directory on 127.0.0.1, then shows what an administrator sees with upm:
// a few users' GUID lists, one explain tree, a batch over every sample user
// with its summary, and the performance counters of a running host (this
// program, which embeds the library through its C interface as a policy
// filter does and resolves every user twice). Everything it started is
// stopped at the end.
//
//   upm_demo [--quiet]
//
// --quiet prints only the tour's own last line; each upm run must still end
// with the exit code the tour expects, else the demo fails (exit 1).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "capi/userpolicy.h"
#include "local_directories/slapd_server.h"

extern char** environ;

namespace {

using userpolicy::local_directories::SlapdServer;

constexpr char kSipAttribute[] = "msRTCSIP-PrimaryUserAddress";

bool g_quiet = false;

void Say(const std::string& text) {
  if (!g_quiet) std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

// Runs upm with `args` (its output going where ours goes, or nowhere when
// quiet) and returns its exit code, or -1 when it could not run.
int RunUpm(const std::vector<std::string>& args) {
  std::string shown = "$ upm";
  for (const std::string& arg : args) shown += " " + arg;
  Say("\n" + shown);

  std::vector<std::string> argv_text = {UPM_PROGRAM};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (g_quiet) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(spawned));
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Writes the settings upm and the host read: the sample directory as the
// only Global Catalog, bound as its read-only service account.
std::string WriteSettings(const SlapdServer& server) {
  const std::string path = server.work_dir() + "/settings.toml";
  std::ofstream(path) << "[DirectoryAccess.DEFAULT]\n"
                      << "GlobalCatalogServers = \"" << server.host_port() << "\"\n"
                      << "BindDN = \"" << server.service_dn() << "\"\n"
                      << "PasswordFile = \"" << server.service_password_file() << "\"\n";
  return path;
}

// The host part: starts the library as a policy filter does and resolves
// every address twice (a cold pass that reads the directory, then a warm
// one from the caches). True when it all worked.
bool ResolveAsAHost(const std::string& settings, const std::vector<std::string>& sips) {
  up_options options = {};
  options.settings_file = settings.c_str();
  options.log_level = "error";
  up_error* error = nullptr;
  if (up_start(&options, &error) != UP_OK) {
    std::fprintf(stderr, "up_start failed: %s\n", error->message);
    up_free_error(error);
    return false;
  }
  size_t found = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::string& sip : sips) {
      up_string_list* guids = nullptr;
      if (up_get_guids(sip.c_str(), &guids, nullptr) == UP_OK) ++found;
      up_free_string_list(guids);
    }
  }
  Say("\n(this demo, pid " + std::to_string(getpid()) + ", embeds the library as a host does and resolved " +
      std::to_string(sips.size()) + " addresses twice: " + std::to_string(found) + " answers found)");
  return found > 0;
}

}  // namespace

int main(int argc, char** argv) {
  g_quiet = argc > 1 && std::strcmp(argv[1], "--quiet") == 0;
  std::unique_ptr<SlapdServer> server;
  try {
    server = SlapdServer::Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot start the sample directory: %s\n", e.what());
    return 1;
  }
  const std::string settings = WriteSettings(*server);

  std::vector<std::string> sips;
  for (const auto& entry : userpolicy::local_directories::ParseLdif(
           server->Search(server->base_dn(), std::string("(") + kSipAttribute + "=*)", {kSipAttribute}))) {
    for (const std::string& value : entry.Get(kSipAttribute)) sips.push_back(value);
  }
  sips.push_back("sip:nobody@example.test");
  const std::string list = server->work_dir() + "/users.txt";
  {
    std::ofstream out(list);
    for (const std::string& sip : sips) out << sip << "\n";
  }
  Say("The sample directory: slapd on " + server->url() + ", base " + server->base_dn() + ", " +
      std::to_string(sips.size() - 1) + " users with a SIP address (testdata/sample.ldif).");

  // Each step and the exit code it must end with.
  struct Step {
    std::vector<std::string> args;
    int expected;
  };
  const std::vector<Step> steps = {
      {{"--config", settings, "guids", "sip:alice@example.test", "sip:karl@partner.example"}, 0},
      {{"--config", settings, "explain", "sip:carol@example.test"}, 0},
      {{"--config", settings, "email", "--file", list, "--threads", "4"}, 1},  // nobody is not found
  };
  bool ok = true;
  for (const Step& step : steps) {
    const int code = RunUpm(step.args);
    if (code != step.expected) {
      std::fprintf(stderr, "upm ended with %d, expected %d\n", code, step.expected);
      ok = false;
    }
  }

  ok = ResolveAsAHost(settings, sips) && ok;
  const int perf = RunUpm({"perf", "--pid", std::to_string(getpid())});
  if (perf != 0) {
    std::fprintf(stderr, "upm perf ended with %d\n", perf);
    ok = false;
  }
  const int stopped = up_stop(nullptr);
  server.reset();
  std::printf("%s%s\n", g_quiet ? "" : "\n",
              ok && stopped == UP_OK ? "tour finished: library stopped, directory stopped"
                                     : "tour FAILED (see above); library and directory stopped");
  return ok && stopped == UP_OK ? 0 : 1;
}
