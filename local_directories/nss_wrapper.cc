#include "local_directories/nss_wrapper.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "local_directories/directory_tools.h"

namespace userpolicy::local_directories {
namespace {

constexpr char kLibrary[] = "libnss_wrapper.so";
constexpr char kHostsVariable[] = "NSS_WRAPPER_HOSTS";
// Set in the child, so that a wrapper that did not load is reported
// instead of re-running again.
constexpr char kRerunVariable[] = "USERPOLICY_UNDER_NSS_WRAPPER";
// A symbol only nss_wrapper defines.
constexpr char kWrapperSymbol[] = "nss_wrapper_hosts_enabled";
constexpr int kSetupFailed = 1;
constexpr int kExecFailed = 127;
constexpr int kSignalBase = 128;

std::string Appended(const char* variable, const std::string& item, const char* separator) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return item;
  return std::string(value) + separator + item;
}

}  // namespace

void RunUnderNssWrapper(char** argv, const std::string& hosts_lines) {
  const char* hosts = std::getenv(kHostsVariable);
  const bool loaded = ::dlsym(RTLD_DEFAULT, kWrapperSymbol) != nullptr;
  if (loaded && hosts != nullptr && *hosts != '\0') return;
  if (std::getenv(kRerunVariable) != nullptr) {
    std::fprintf(stderr, "%s did not load: install libnss-wrapper (./run deps)\n", kLibrary);
    std::exit(kSetupFailed);
  }
  const std::string dir = MakeTempDir("userpolicy-hosts-");
  const std::string file = dir + "/hosts";
  WritePrivateFile(file, hosts_lines);
  // ThreadSanitizer sees the wrapper's own locking only in part (it locks
  // before the sanitizer runs); what the wrapper does is not ours to check.
  const std::string tsan_suppressions = dir + "/tsan-suppressions";
  WritePrivateFile(tsan_suppressions, std::string("called_from_lib:") + kLibrary + "\nmutex:" + kLibrary + "\n");
  const std::string tsan_options = Appended("TSAN_OPTIONS", "suppressions=" + tsan_suppressions, ":");
  const char* earlier = std::getenv("LD_PRELOAD");
  const std::string preload =
      earlier != nullptr && *earlier != '\0' ? std::string(kLibrary) + " " + earlier : std::string(kLibrary);
  const std::string asan_options = Appended("ASAN_OPTIONS", "verify_asan_link_order=0", ":");
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("fork");
    std::exit(kSetupFailed);
  }
  if (child == 0) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(kExecFailed);
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::setenv(kHostsVariable, file.c_str(), 1);
    ::setenv(kRerunVariable, "1", 1);
    ::setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
    ::setenv("TSAN_OPTIONS", tsan_options.c_str(), 1);
    // The sanitizers refuse the RTLD_DEEPBIND the wrapper opens libc with.
    ::setenv("NSS_WRAPPER_DISABLE_DEEPBIND", "1", 1);
    ::execv("/proc/self/exe", argv);
    ::_exit(kExecFailed);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : kSignalBase + WTERMSIG(status));
}

bool ResolvesTo(const std::string& host, const std::string& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  bool matches = false;
  for (const addrinfo* a = found; a != nullptr && !matches; a = a->ai_next) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    matches = ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) != nullptr && address == text;
  }
  ::freeaddrinfo(found);
  return matches;
}

}  // namespace userpolicy::local_directories
