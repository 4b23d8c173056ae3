// The cold path: where a login that misses the caches waits.
//
// On slapd with a generated directory, behind the fault proxy delaying each
// answer by 0, 0.5 and 2 ms (a network's round trip), 1,000 users resolved
// in one pass from empty caches:
//  - the group walk read one group per round trip (ReadAhead = false) and
//    read ahead a level at a time (ReadAhead = true), with the round trips
//    and the directory reads each makes per user;
//  - the peer: python-ldap (bench/python_ldap_walk.py, timed by
//    bench/python_ldap_timing.py) walking the same users the same way,
//    remembering what the library's caches remember, one read at a time;
//  - the floor: the very reads of the sequential pass replayed on one raw
//    libldap connection (aim at 0 ms: cold within 1.15x of it);
//  the passes alternate, three rounds, medians;
//  - a user reaching 31 groups, caches empty, connection open, at each
//    delay: read-ahead, sequential and python-ldap (aim at 0.5 ms:
//    read-ahead at most a third of sequential and half of python-ldap).
// First contact, on slapd (straight, for a user of 11 and the one of 31
// groups) and on the Samba AD DC (every SIP user of its test directory): a
// new process resolving its first user (`upm guids`, start to exit), the
// time from IPC_SERVER_Init to that user's answer in a new process, and
// from IPC_SERVER_Init's return to it (a service started before its first
// login), and a server the running process has not talked to yet (the
// same directory at 127.1: connect, bind, definitions, walk with
// the code warm, as python-ldap's is when it measures); each with nothing
// kept from earlier processes and with the attribute types an earlier
// process kept (SchemaCacheFile); against python-ldap's connect + bind +
// walk (aim: no slower), and the same user with the connection open.
// USERPOLICY_BENCH_UPM_BEFORE names another upm program to time beside it
// (a build from before a change).
//
// The log threshold is warnings, as in production. A table of all figures
// is printed at the end.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ldap.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "bench/raw_ldap_connection.h"
#include "bench/temporary_settings.h"
#include "local_directories/directory_generator.h"
#include "local_directories/fault_proxy.h"
#include "local_directories/samba_dc.h"
#include "local_directories/slapd_server.h"
#include "module/module_entry.h"
#include "platform/com.h"
#include "platform/ldap_api_hook.h"
#include "platform/log.h"
#include "platform/utf8.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "testing/ldap_operations.h"

namespace {

namespace ldap = platform::ldap;
using userpolicy::bench::RawLdapConnection;
using userpolicy::bench::WriteTemporarySettings;
using userpolicy::local_directories::FaultProxy;
using userpolicy::local_directories::GeneratedDirectory;
using userpolicy::local_directories::GeneratorOptions;
using userpolicy::local_directories::RunProgram;
using userpolicy::local_directories::SambaDomainController;
using userpolicy::local_directories::SlapdOptions;
using userpolicy::local_directories::SlapdServer;
using Clock = std::chrono::steady_clock;

constexpr int kUsersResolved = 1000;
constexpr int kGroupsOfTheSingledOutUser = 31;
constexpr int kRepetitions = 15;  // of each single-user figure (medians)
constexpr int kPassRounds = 3;    // of each pass of 1,000 users, alternating (medians)
constexpr std::chrono::microseconds kDelays[] = {std::chrono::microseconds(0), std::chrono::microseconds(500),
                                                 std::chrono::microseconds(2000)};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Every LDAP request the library sends, seen at the operation table: the
// reads, the round trips (a request sent while none is outstanding starts
// one; requests sent while others wait for their answers share it) and,
// while recording, the requests themselves.
struct Requests {
  std::mutex mu;
  bool recording = false;
  std::vector<ldap::SearchRequest> recorded;
  long reads = 0;
  long round_trips = 0;
  int outstanding = 0;
} g_requests;

ldap::Status CountingSearch(ldap::NativeSession* session, const ldap::SearchRequest& request, int* id) {
  const ldap::Status status = ldap::hooks::DefaultOperations().search(session, request, id);
  if (status.ok()) {
    std::lock_guard<std::mutex> lock(g_requests.mu);
    ++g_requests.reads;
    if (g_requests.outstanding++ == 0) ++g_requests.round_trips;
    if (g_requests.recording) g_requests.recorded.push_back(request);
  }
  return status;
}

ldap::Status CountingNextResult(ldap::NativeSession* session, int id, std::chrono::milliseconds timeout,
                                ldap::SearchItem* item) {
  const ldap::Status status = ldap::hooks::DefaultOperations().next_result(session, id, timeout, item);
  if (!status.ok() || item->kind == ldap::SearchItem::Kind::kDone) {
    std::lock_guard<std::mutex> lock(g_requests.mu);
    --g_requests.outstanding;
  }
  return status;
}

ldap::Operations CountingOperations() {
  ldap::Operations operations = ldap::hooks::DefaultOperations();
  operations.search = &CountingSearch;
  operations.next_result = &CountingNextResult;
  return operations;
}

// Reads and round trips since the last call.
std::pair<long, long> TakeCounts() {
  std::lock_guard<std::mutex> lock(g_requests.mu);
  const std::pair<long, long> counts{g_requests.reads, g_requests.round_trips};
  g_requests.reads = g_requests.round_trips = 0;
  return counts;
}

// Replays `requests` on `connection`; milliseconds.
double Replay(RawLdapConnection& connection, const std::vector<ldap::SearchRequest>& requests) {
  std::vector<std::vector<const char*>> attribute_lists;
  for (const ldap::SearchRequest& request : requests) {
    std::vector<const char*> list;
    for (const std::string& name : request.attributes) list.push_back(name.c_str());
    list.push_back(nullptr);
    attribute_lists.push_back(std::move(list));
  }
  std::vector<std::string> values;
  const Clock::time_point start = Clock::now();
  for (size_t i = 0; i < requests.size(); ++i) {
    values.clear();
    connection.Search(requests[i].base.c_str(), static_cast<int>(requests[i].scope), requests[i].filter.c_str(),
                      attribute_lists[i].data(), &values);
  }
  return MillisecondsSince(start);
}

void Start(const std::string& settings) {
  setenv("USERPOLICY_SETTINGS", settings.c_str(), 1);
  if (IPC_SERVER_Init() != 0) throw std::runtime_error("IPC_SERVER_Init failed");
}

size_t Resolve(const std::string& sip) {
  const std::wstring key = platform::Utf8ToWide(sip);
  std::vector<_bstr_t> guids;
  CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(key.c_str(), guids);
  return guids.size();
}

// One user resolved with every cache empty and the connection open: the
// module is started (its caches new; the connections outlive it) before
// each repetition and stopped after; milliseconds, median.
// *round_trips (when not null) is the round trips of one repetition.
double OpenConnectionMilliseconds(const std::string& settings, const std::string& sip, double* round_trips = nullptr) {
  std::vector<double> times;
  for (int i = 0; i < kRepetitions; ++i) {
    Start(settings);
    TakeCounts();
    const Clock::time_point start = Clock::now();
    Resolve(sip);
    times.push_back(MillisecondsSince(start));
    if (round_trips != nullptr) *round_trips = static_cast<double>(TakeCounts().second);
    IPC_SERVER_Deinit();
  }
  return Median(times);
}

// How python-ldap logs in: URI, bind DN and password file (empty for an
// anonymous bind), search base.
using PythonLogin = std::vector<std::string>;

// The python-ldap peer (bench/python_ldap_timing.py) in `mode` ("first",
// "open" or "pass", repeated `repeat` times) for `sips`: its JSON answer.
nlohmann::json Python(const PythonLogin& login, const std::string& mode, int repeat,
                      const std::vector<std::string>& sips) {
  std::vector<std::string> argv = {USERPOLICY_PYTHON, USERPOLICY_PYTHON_TIMING};
  argv.insert(argv.end(), login.begin(), login.end());
  argv.insert(argv.end(), {mode, std::to_string(repeat)});
  argv.insert(argv.end(), sips.begin(), sips.end());
  const auto result = RunProgram(argv, std::chrono::minutes(10));
  if (result.exit_code != 0) throw std::runtime_error("python-ldap walk failed: " + result.err);
  return nlohmann::json::parse(result.out);
}

// Medians per address over the rounds of a "first" or "open" answer.
std::vector<double> MedianMilliseconds(const nlohmann::json& rounds, size_t addresses) {
  std::vector<double> medians;
  for (size_t i = 0; i < addresses; ++i) {
    std::vector<double> times;
    for (const auto& round : rounds) times.push_back(round.at(i).get<double>() * 1000);
    medians.push_back(Median(times));
  }
  return medians;
}

extern "C" char** environ;

// Runs `argv` with its output to /dev/null (or, when `out` is not null,
// to a pipe read into *out) and returns the milliseconds from its start to
// its exit. posix_spawn, so that the size of this process costs nothing.
double TimedRun(const std::vector<std::string>& argv, std::string* out = nullptr) {
  std::vector<char*> c_argv;
  std::vector<std::string> copy = argv;
  for (std::string& arg : copy) c_argv.push_back(arg.data());
  c_argv.push_back(nullptr);
  int pipe_fds[2] = {-1, -1};
  if (out != nullptr && pipe(pipe_fds) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const Clock::time_point start = Clock::now();
  const int spawned = posix_spawn(&pid, c_argv[0], &actions, nullptr, c_argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
  if (out != nullptr) {
    close(pipe_fds[1]);
    char buffer[4096];
    for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) out->append(buffer, static_cast<size_t>(got));
    close(pipe_fds[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const double ms = MillisecondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv[0] + " failed");
  return ms;
}

// A new process resolving one user, start to exit (`upm guids`):
// milliseconds, median.
double NewProcessMilliseconds(const std::string& upm, const std::string& settings, const std::string& sip) {
  std::vector<double> times;
  for (int i = 0; i < kRepetitions; ++i) times.push_back(TimedRun({upm, "--config", settings, "guids", sip}));
  return Median(times);
}

constexpr char kFirstContactFlag[] = "--first-contact";

// The two settings files of a first-contact measurement: the same directory
// named as two servers, 127.0.0.1:port and 127.1:port (the same address,
// written another way: no name to look up, as python-ldap's URI has none),
// so that the second is a server the process has not talked to yet; both
// keep attribute types between processes in `cache_file`, or nowhere when
// it is empty.
struct FirstContactSettings {
  std::string first, second;
};
FirstContactSettings WriteFirstContactSettings(const std::string& name, const std::string& host_port,
                                               const std::string& rest, const std::string& cache_file) {
  constexpr std::string_view kLoopback = "127.0.0.1:";
  if (host_port.compare(0, kLoopback.size(), kLoopback) != 0) throw std::runtime_error("not 127.0.0.1: " + host_port);
  const std::string tail = rest + "ReadAhead = true\nSchemaCacheFile = \"" + cache_file + "\"\n";
  return {WriteTemporarySettings(name + "_first",
                                 "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + host_port + "\"\n" + tail),
          WriteTemporarySettings(name + "_second", "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"127.1:" +
                                                       host_port.substr(kLoopback.size()) + "\"\n" + tail)};
}

// In a new process (this program, started with kFirstContactFlag), medians:
// the milliseconds from IPC_SERVER_Init to the first user's answer, from
// IPC_SERVER_Init's return (a service started earlier, its first login
// arriving) to that answer, and, once that is done, the same user's answer
// from a server the process has not talked to yet (its code warm, as
// python-ldap's is when it connects again).
struct FirstContact {
  double from_init_ms = 0, after_init_ms = 0, new_server_ms = 0;
};
FirstContact FirstContactMilliseconds(const FirstContactSettings& settings, const std::string& sip,
                                      int repetitions = kRepetitions) {
  std::vector<double> from_init, after_init, new_server;
  for (int i = 0; i < repetitions; ++i) {
    std::string out;
    TimedRun({"/proc/self/exe", kFirstContactFlag, settings.first, settings.second, sip}, &out);
    double figures[3] = {0, 0, 0};
    if (std::sscanf(out.c_str(), "%lf %lf %lf", &figures[0], &figures[1], &figures[2]) != 3) {
      throw std::runtime_error("first contact: " + out);
    }
    from_init.push_back(figures[0]);
    after_init.push_back(figures[1]);
    new_server.push_back(figures[2]);
  }
  return {Median(from_init), Median(after_init), Median(new_server)};
}

// The child of FirstContactMilliseconds.
int RunFirstContact(const char* first, const char* second, const char* sip) {
  DBG::LogOptions log = DBG::GetOptions();
  log.threshold = DBG::Severity::kWarning;
  DBG::Configure(log);
  const Clock::time_point start = Clock::now();
  Start(first);
  const Clock::time_point started = Clock::now();
  Resolve(sip);
  const double ms = MillisecondsSince(start);
  const double after_init_ms = MillisecondsSince(started);
  IPC_SERVER_Deinit();
  Start(second);
  const Clock::time_point again = Clock::now();
  Resolve(sip);
  const double new_server_ms = MillisecondsSince(again);
  IPC_SERVER_Deinit();
  std::printf("%.4f %.4f %.4f\n", ms, after_init_ms, new_server_ms);
  return 0;
}

// The figures at one delay.
struct DelayFigures {
  double delay_ms = 0;
  double sequential_ms = 0, read_ahead_ms = 0, python_ms = 0, floor_ms = 0;  // per user, pass of 1,000
  double sequential_round_trips = 0, read_ahead_round_trips = 0;            // per user
  double sequential_reads = 0, read_ahead_reads = 0, python_reads = 0;      // per user
  double single_read_ahead_ms = 0, single_sequential_ms = 0, single_python_ms = 0;  // the 31-group user
  double single_read_ahead_round_trips = 0, single_sequential_round_trips = 0;
};

// The first-contact and open-connection figures of one user: each
// first-contact figure with nothing kept from earlier processes ([0]) and
// with the attribute types an earlier process kept ([1]).
struct UserFigures {
  std::string sip;
  size_t groups = 0;
  double new_process_ms[2] = {0, 0}, before_new_process_ms = 0;
  FirstContact first[2];
  double python_first_ms = 0;
  double open_read_ahead_ms = 0, open_sequential_ms = 0, python_open_ms = 0;
};

struct World {
  std::vector<DelayFigures> delays;
  std::vector<UserFigures> slapd_users, samba;
  std::string single_sip;
  size_t single_groups = 0;

  World() {
    DBG::LogOptions log = DBG::GetOptions();
    log.threshold = DBG::Severity::kWarning;
    DBG::Configure(log);
    ldap::testing::ScopedOperations counting(CountingOperations());
    MeasureSlapd();
    MeasureSamba();
  }

  void MeasureSlapd() {
    GeneratorOptions options;
    options.user_count = 3000;
    SlapdOptions slapd;
    slapd.ldif_files.clear();
    slapd.ldif_writers.push_back(
        [&options](std::ostream& out) { userpolicy::local_directories::WriteGeneratedDirectory(out, options); });
    slapd.start_timeout = std::chrono::seconds(120);
    const std::unique_ptr<SlapdServer> server = SlapdServer::Start(slapd);
    const std::unique_ptr<FaultProxy> proxy = FaultProxy::Start(server->host_port());
    const std::string table = "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + proxy->host_port() + "\"\n";
    const std::string caches =
        "[QV_DSAccess.DEFAULT]\nUserIdentityCacheMaximum = 20000\nNestedGroupCacheMaximum = 20000\n";
    const std::string sequential =
        WriteTemporarySettings("cold_path_sequential", table + "ReadAhead = false\n" + caches);
    const std::string read_ahead =
        WriteTemporarySettings("cold_path_read_ahead", table + "ReadAhead = true\n" + caches);

    std::vector<std::string> users;
    for (int i = 0; i < kUsersResolved; ++i) users.push_back(userpolicy::local_directories::UserSipAddress(i * 3 + 1, options));
    const GeneratedDirectory directory = userpolicy::local_directories::GenerateDirectory(options);
    // The user reaching 31 groups, or the nearest number above (else below).
    size_t best = 0;
    for (size_t i = 0; i < directory.users.size() && best != kGroupsOfTheSingledOutUser; ++i) {
      const size_t reached = userpolicy::local_directories::TransitiveGroups(directory, static_cast<int>(i)).size();
      const bool nearer = best < kGroupsOfTheSingledOutUser ? reached > best
                                                             : reached >= kGroupsOfTheSingledOutUser && reached < best;
      if (nearer) {
        single_sip = directory.users[i].sip_address;
        best = reached;
      }
    }
    single_groups = best;

    // Connections open and attribute definitions read before anything is timed.
    Start(sequential);
    for (int i = 0; i < 10; ++i) Resolve(users[static_cast<size_t>(i)]);
    IPC_SERVER_Deinit();

    const PythonLogin through_proxy = {"ldap://" + proxy->host_port(), "", "", ""};
    for (const std::chrono::microseconds delay : kDelays) {
      proxy->SetFault({FaultProxy::Mode::kDelay, delay});
      DelayFigures figures;
      figures.delay_ms = static_cast<double>(delay.count()) / 1000;
      const double n = static_cast<double>(users.size());
      const auto pass = [&](const std::string& settings, bool record, double* ms, double* reads, double* round_trips) {
        Start(settings);
        TakeCounts();
        {
          std::lock_guard<std::mutex> lock(g_requests.mu);
          g_requests.recording = record;
          g_requests.recorded.clear();
        }
        const Clock::time_point start = Clock::now();
        for (const std::string& user : users) Resolve(user);
        *ms = MillisecondsSince(start) / n;
        {
          std::lock_guard<std::mutex> lock(g_requests.mu);
          g_requests.recording = false;
        }
        const auto [read_count, trips] = TakeCounts();
        *reads = static_cast<double>(read_count) / n;
        *round_trips = static_cast<double>(trips) / n;
        IPC_SERVER_Deinit();
      };
      std::vector<double> sequential_ms, read_ahead_ms, floor_ms, python_ms;
      for (int round = 0; round < kPassRounds; ++round) {
        pass(sequential, true, &figures.sequential_ms, &figures.sequential_reads, &figures.sequential_round_trips);
        sequential_ms.push_back(figures.sequential_ms);
        std::vector<ldap::SearchRequest> recorded;
        {
          std::lock_guard<std::mutex> lock(g_requests.mu);
          recorded.swap(g_requests.recorded);
        }
        pass(read_ahead, false, &figures.read_ahead_ms, &figures.read_ahead_reads, &figures.read_ahead_round_trips);
        read_ahead_ms.push_back(figures.read_ahead_ms);

        RawLdapConnection raw("ldap://" + proxy->host_port(), "", "");
        floor_ms.push_back(Replay(raw, recorded) / n);

        const nlohmann::json python = Python(through_proxy, "pass", 1, users);
        python_ms.push_back(python.at("pass").get<double>() * 1000 / n);
        figures.python_reads = python.at("reads").get<double>() / n;
      }
      figures.sequential_ms = Median(sequential_ms);
      figures.read_ahead_ms = Median(read_ahead_ms);
      figures.floor_ms = Median(floor_ms);
      figures.python_ms = Median(python_ms);

      figures.single_read_ahead_ms =
          OpenConnectionMilliseconds(read_ahead, single_sip, &figures.single_read_ahead_round_trips);
      figures.single_sequential_ms =
          OpenConnectionMilliseconds(sequential, single_sip, &figures.single_sequential_round_trips);
      figures.single_python_ms =
          MedianMilliseconds(Python(through_proxy, "open", kRepetitions, {single_sip}).at("open"), 1).front();
      delays.push_back(figures);
    }
    std::remove(sequential.c_str());
    std::remove(read_ahead.c_str());

    // First contact, straight to the server.
    const std::string direct = "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + server->host_port() + "\"\n";
    const std::string direct_sequential =
        WriteTemporarySettings("cold_path_direct_sequential", direct + "ReadAhead = false\n");
    const std::string direct_read_ahead =
        WriteTemporarySettings("cold_path_direct_read_ahead", direct + "ReadAhead = true\n");
    slapd_users = MeasureUsers({userpolicy::local_directories::ElevenSipAddress(1, options), single_sip},
                               {server->url(), "", "", ""}, direct_sequential, direct_read_ahead,
                               {"cold_path_slapd", server->host_port(), ""});
    std::remove(direct_sequential.c_str());
    std::remove(direct_read_ahead.c_str());
  }

  void MeasureSamba() {
    if (!SambaDomainController::Available()) {
      std::fprintf(stderr, "Samba is not installed: no figures on the AD DC (./run deps installs it)\n");
      return;
    }
    const std::unique_ptr<SambaDomainController> dc = SambaDomainController::Start();
    const std::string table = "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + dc->gc_host_port() +
                              "\"\nBindDN = \"" + dc->service_dn() + "\"\nPasswordFile = \"" +
                              dc->service_password_file() + "\"\n";
    const std::string sequential =
        WriteTemporarySettings("cold_path_samba_sequential", table + "ReadAhead = false\n");
    const std::string read_ahead =
        WriteTemporarySettings("cold_path_samba_read_ahead", table + "ReadAhead = true\n");
    std::vector<std::string> sips;
    for (const auto& entry : userpolicy::local_directories::ParseLdif(
             dc->Search(dc->test_ou(), "(msRTCSIP-PrimaryUserAddress=*)", {"msRTCSIP-PrimaryUserAddress"}))) {
      for (const std::string& sip : entry.Get("msRTCSIP-PrimaryUserAddress")) sips.push_back(sip);
    }
    std::sort(sips.begin(), sips.end());
    samba = MeasureUsers(sips, {"ldap://" + dc->gc_host_port(), dc->service_dn(), dc->service_password_file(), ""},
                         sequential, read_ahead,
                         {"cold_path_samba", dc->gc_host_port(),
                          "BindDN = \"" + dc->service_dn() + "\"\nPasswordFile = \"" + dc->service_password_file() +
                              "\"\n"});
    std::remove(sequential.c_str());
    std::remove(read_ahead.c_str());
  }

  // Where first contact is measured: a name for the files, the server
  // ("host:port") and the lines of the settings table that log in.
  struct FirstContactServer {
    std::string name, host_port, login_lines;
  };

  // For each of `sips`: the groups it reaches, a new process resolving it
  // (before and now), first contact in a new process and with a new server
  // (FirstContactMilliseconds), each with nothing kept from earlier
  // processes and with what an earlier one kept, python-ldap's connect +
  // bind + walk (logging in with `login`), and the user resolved with the
  // connection open.
  static std::vector<UserFigures> MeasureUsers(const std::vector<std::string>& sips, const PythonLogin& login,
                                               const std::string& sequential, const std::string& read_ahead,
                                               const FirstContactServer& server) {
    const std::vector<double> python_open =
        MedianMilliseconds(Python(login, "open", kRepetitions, sips).at("open"), sips.size());
    const std::string cache_file = WriteTemporarySettings(server.name + "_attribute_types", "");
    std::remove(cache_file.c_str());
    const FirstContactSettings first_contact[2] = {
        WriteFirstContactSettings(server.name + "_none_kept", server.host_port, server.login_lines, ""),
        WriteFirstContactSettings(server.name + "_kept", server.host_port, server.login_lines, cache_file)};
    // An earlier process keeps the attribute types of both names.
    FirstContactMilliseconds(first_contact[1], sips.front(), 1);
    const char* before = std::getenv("USERPOLICY_BENCH_UPM_BEFORE");
    Start(read_ahead);  // connections open, definitions read
    for (const std::string& sip : sips) Resolve(sip);
    IPC_SERVER_Deinit();
    std::vector<UserFigures> users;
    for (size_t i = 0; i < sips.size(); ++i) {
      UserFigures figures;
      figures.sip = sips[i];
      Start(read_ahead);
      figures.groups = Resolve(sips[i]);
      figures.groups = figures.groups >= 2 ? figures.groups - 2 : 0;  // less the user and the primary group
      IPC_SERVER_Deinit();
      for (int kept = 0; kept < 2; ++kept) {
        figures.new_process_ms[kept] = NewProcessMilliseconds(UPM_PROGRAM, first_contact[kept].first, sips[i]);
        figures.first[kept] = FirstContactMilliseconds(first_contact[kept], sips[i]);
      }
      if (before != nullptr && before[0] != '\0') {
        figures.before_new_process_ms = NewProcessMilliseconds(before, first_contact[0].first, sips[i]);
      }
      // Measured beside the library's figures, so that both see the server alike.
      figures.python_first_ms =
          MedianMilliseconds(Python(login, "first", kRepetitions, {sips[i]}).at("first"), 1).front();
      figures.open_read_ahead_ms = OpenConnectionMilliseconds(read_ahead, sips[i]);
      figures.open_sequential_ms = OpenConnectionMilliseconds(sequential, sips[i]);
      figures.python_open_ms = python_open[i];
      users.push_back(figures);
    }
    for (const FirstContactSettings& settings : first_contact) {
      std::remove(settings.first.c_str());
      std::remove(settings.second.c_str());
    }
    std::remove(cache_file.c_str());
    return users;
  }

  static void PrintUsers(const char* title, const std::vector<UserFigures>& users) {
    std::printf("\n%s, medians of %d; first-contact figures with nothing kept from earlier processes / with the "
                "attribute types an earlier one kept:\n",
                title, kRepetitions);
    std::printf("| user (groups) | new process, first lookup (upm guids) | the same, before | start to first answer "
                "in a new process | started module to first answer | a new server in a running process | "
                "python-ldap connect + bind + walk | open connection: read-ahead / sequential / python-ldap "
                "|\n|---|---|---|---|---|---|---|---|\n");
    for (const UserFigures& f : users) {
      char before[32] = "-";
      if (f.before_new_process_ms > 0) std::snprintf(before, sizeof before, "%.2f ms", f.before_new_process_ms);
      std::printf("| %s (%zu) | %.2f / %.2f ms | %s | %.2f / %.2f ms | %.2f / %.2f ms | %.2f / %.2f ms | %.2f ms | "
                  "%.2f / %.2f / %.2f ms |\n",
                  f.sip.c_str(), f.groups, f.new_process_ms[0], f.new_process_ms[1], before, f.first[0].from_init_ms,
                  f.first[1].from_init_ms, f.first[0].after_init_ms, f.first[1].after_init_ms,
                  f.first[0].new_server_ms, f.first[1].new_server_ms, f.python_first_ms, f.open_read_ahead_ms,
                  f.open_sequential_ms, f.python_open_ms);
    }
  }

  void PrintTable() const {
    std::printf("\nslapd, generated directory, %d users in one pass from empty caches (per user; the 31-group "
                "user %s reaches %zu groups):\n",
                kUsersResolved, single_sip.c_str(), single_groups);
    std::printf("| delay | sequential | read-ahead | python-ldap | raw floor | cold/floor | round trips seq/ra | reads "
                "seq/ra/py | 31 groups: ra / seq / py | ra/seq | ra/py |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const DelayFigures& f : delays) {
      std::printf("| %.1f ms | %.3f ms | %.3f ms | %.3f ms | %.3f ms | %.2f | %.2f / %.2f | %.2f / %.2f / %.2f | %.2f / "
                  "%.2f / %.2f ms | %.2f | %.2f |\n",
                  f.delay_ms, f.sequential_ms, f.read_ahead_ms, f.python_ms, f.floor_ms, f.read_ahead_ms / f.floor_ms,
                  f.sequential_round_trips, f.read_ahead_round_trips, f.sequential_reads, f.read_ahead_reads,
                  f.python_reads, f.single_read_ahead_ms, f.single_sequential_ms, f.single_python_ms,
                  f.single_read_ahead_ms / f.single_sequential_ms, f.single_read_ahead_ms / f.single_python_ms);
    }
    PrintUsers("slapd, generated directory, first contact", slapd_users);
    if (!samba.empty()) PrintUsers("Samba AD DC", samba);
  }
};

std::unique_ptr<World> g_world;

World& TheWorld() {
  static std::once_flag made;
  std::call_once(made, [] { g_world = std::make_unique<World>(); });
  return *g_world;
}

void BM_ColdPass(benchmark::State& state) {
  const DelayFigures& f = TheWorld().delays.at(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(f.read_ahead_ms);
  state.counters["delay_ms"] = f.delay_ms;
  state.counters["sequential_us_per_user"] = f.sequential_ms * 1000;
  state.counters["read_ahead_us_per_user"] = f.read_ahead_ms * 1000;
  state.counters["python_us_per_user"] = f.python_ms * 1000;
  state.counters["floor_us_per_user"] = f.floor_ms * 1000;
  state.counters["read_ahead_over_floor"] = f.read_ahead_ms / f.floor_ms;
  state.counters["sequential_over_floor"] = f.sequential_ms / f.floor_ms;
  state.counters["round_trips_sequential"] = f.sequential_round_trips;
  state.counters["round_trips_read_ahead"] = f.read_ahead_round_trips;
  state.counters["reads_sequential"] = f.sequential_reads;
  state.counters["reads_read_ahead"] = f.read_ahead_reads;
}
BENCHMARK(BM_ColdPass)->DenseRange(0, std::size(kDelays) - 1)->Iterations(1);

void BM_ThirtyOneGroupUser(benchmark::State& state) {
  const DelayFigures& f = TheWorld().delays.at(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(f.single_read_ahead_ms);
  state.counters["delay_ms"] = f.delay_ms;
  state.counters["groups"] = static_cast<double>(TheWorld().single_groups);
  state.counters["read_ahead_ms"] = f.single_read_ahead_ms;
  state.counters["round_trips_read_ahead"] = f.single_read_ahead_round_trips;
  state.counters["round_trips_sequential"] = f.single_sequential_round_trips;
  state.counters["sequential_ms"] = f.single_sequential_ms;
  state.counters["python_ms"] = f.single_python_ms;
  state.counters["read_ahead_over_sequential"] = f.single_read_ahead_ms / f.single_sequential_ms;
  state.counters["read_ahead_over_python"] = f.single_read_ahead_ms / f.single_python_ms;
}
BENCHMARK(BM_ThirtyOneGroupUser)->DenseRange(0, std::size(kDelays) - 1)->Iterations(1);

void BM_SambaFirstContact(benchmark::State& state) {
  World& world = TheWorld();
  for (auto _ : state) benchmark::DoNotOptimize(world.samba.size());
  for (const UserFigures& f : world.samba) {
    const std::string user = f.sip.substr(0, f.sip.find('@'));
    state.counters[user + "_new_process_ms"] = f.new_process_ms[0];
    state.counters[user + "_new_process_kept_ms"] = f.new_process_ms[1];
    state.counters[user + "_first_contact_ms"] = f.first[0].from_init_ms;
    state.counters[user + "_started_module_first_answer_ms"] = f.first[0].after_init_ms;
    state.counters[user + "_new_server_ms"] = f.first[0].new_server_ms;
    state.counters[user + "_new_server_kept_ms"] = f.first[1].new_server_ms;
    state.counters[user + "_python_connect_bind_walk_ms"] = f.python_first_ms;
    state.counters[user + "_new_server_over_python"] = f.first[0].new_server_ms / f.python_first_ms;
  }
}
BENCHMARK(BM_SambaFirstContact)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], kFirstContactFlag) == 0) return RunFirstContact(argv[2], argv[3], argv[4]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_world != nullptr) g_world->PrintTable();
  g_world.reset();
  return 0;
}
