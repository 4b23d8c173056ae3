// Batch resolution as an administrator runs it: every user of a generated
// directory (2,000 users and 400 groups, about 30 groups reached per user;
// USERPOLICY_BATCH_USERS sets another count) served by a private slapd,
// resolved to GUID lists by
//  (a) `upm guids --file - --threads 1` and `--threads 2`, each a fresh
//      process (cold caches), start and first contact with the server
//      included; and the same passes through the C interface in this
//      process, cold (after a fresh up_start) and warm (a second pass, every
//      record in the caches: the settings make them large enough);
//  (b) a shell loop of ldapsearch processes (bench/ldapsearch_walk.sh);
//  (c) a python-ldap script (bench/python_ldap_walk.py) on one connection;
// (b) and (c) walk as the library does and keep group records for the whole
// run as its caches do, so they make the reads of a cold pass (their read
// counts are printed beside the library's). Users per second side by side,
// with the ratio to the ldapsearch loop and to python-ldap; then the cost of
// one `upm guids` process for one user (median wall time of 21 runs).
// Every method's GUID count per user is checked against the generator's
// model before its rate is shown.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capi/userpolicy.h"
#include "local_directories/directory_generator.h"
#include "local_directories/directory_tools.h"
#include "local_directories/slapd_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using userpolicy::local_directories::GeneratedDirectory;
using userpolicy::local_directories::GenerateDirectory;
using userpolicy::local_directories::GeneratorOptions;
using userpolicy::local_directories::ProgramResult;
using userpolicy::local_directories::RunProgram;
using userpolicy::local_directories::SlapdOptions;
using userpolicy::local_directories::SlapdServer;
using userpolicy::local_directories::TransitiveGroups;
using userpolicy::local_directories::WriteLdif;

constexpr int kDefaultUsers = 2000;
constexpr int kUsersPerGroup = 5;
constexpr int kMinimumGroups = 100;  // the generator's least
constexpr int kProcessRuns = 21;     // runs of one-user upm for the median
constexpr int kUpmRounds = 3;        // runs of each batch upm, the median shown
constexpr auto kProgramTimeout = std::chrono::minutes(20);

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs `argv` with standard input from the file `input` (through a shell
// that execs it: one shell start more) and returns what it wrote and its
// wall time.
ProgramResult RunTimed(const std::vector<std::string>& argv, const std::string& input, double* seconds) {
  std::vector<std::string> command = argv;
  if (!input.empty()) command.insert(command.begin(), {"/bin/sh", "-c", "exec \"$@\" < \"$0\"", input});
  const Clock::time_point start = Clock::now();
  ProgramResult result = RunProgram(command, kProgramTimeout);
  *seconds = Seconds(start);
  return result;
}

// What a method found: GUIDs per address in input order, and how many
// directory reads it made (-1: not known).
struct Found {
  std::vector<size_t> guid_counts;
  long reads = -1;
};

// `upm guids` text output: the address on a line, then one GUID a line,
// indented (or "  not found").
Found ParseUpm(const std::string& text) {
  Found found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    if (line[0] != ' ') {
      found.guid_counts.push_back(0);
    } else if (!found.guid_counts.empty() && line.find("not found") == std::string::npos &&
               line.find("failed") == std::string::npos) {
      ++found.guid_counts.back();
    }
  }
  return found;
}

// The walk scripts' output: "SIP GUID GUID ..." per address, then "reads N".
Found ParseWalk(const std::string& text) {
  Found found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (first == "reads") {
      words >> found.reads;
      continue;
    }
    size_t count = 0;
    for (std::string word; words >> word;) ++count;
    found.guid_counts.push_back(count);
  }
  return found;
}

struct Row {
  std::string method;
  int threads = 1;
  std::string pass;
  double seconds = 0;
  bool correct = false;
  long reads = -1;
};

class Batch {
 public:
  Batch(const SlapdServer& server, const GeneratedDirectory& model, const std::string& work)
      : server_(server), work_(work) {
    // The GUID count each user's list must have: the user, Domain Users,
    // and every group reached through memberOf.
    for (size_t i = 0; i < model.users.size(); ++i) {
      sips_.push_back(model.users[i].sip_address);
      expected_.push_back(2 + TransitiveGroups(model, static_cast<int>(i)).size());
    }
    list_ = work_ + "/users.txt";
    std::ofstream out(list_);
    for (const std::string& sip : sips_) out << sip << "\n";
    settings_ = work_ + "/settings.toml";
    // Caches large enough for the whole directory, so that a second pass is
    // answered by them.
    std::ofstream(settings_) << "[DirectoryAccess.DEFAULT]\n"
                             << "GlobalCatalogServers = \"" << server.host_port() << "\"\n"
                             << "BindDN = \"" << server.service_dn() << "\"\n"
                             << "PasswordFile = \"" << server.service_password_file() << "\"\n"
                             << "[QV_DSAccess.DEFAULT]\n"
                             << "UserIdentityCacheMaximum = " << 2 * sips_.size() << "\n"
                             << "NestedGroupCacheMaximum = " << 2 * model.groups.size() << "\n";
  }

  size_t users() const { return sips_.size(); }
  const std::string& settings() const { return settings_; }
  const std::string& first_user() const { return sips_.front(); }

  bool Matches(const Found& found) const {
    if (found.guid_counts != expected_) {
      size_t i = 0;
      while (i < std::min(found.guid_counts.size(), expected_.size()) && found.guid_counts[i] == expected_[i]) ++i;
      std::fprintf(stderr, "  answers differ from the model at address %zu of %zu (%zu answers)\n", i, expected_.size(),
                   found.guid_counts.size());
      return false;
    }
    return true;
  }

  Row Upm(int threads) {
    std::vector<double> times;
    bool correct = true;
    for (int round = 0; round < kUpmRounds; ++round) {
      double seconds = 0;
      const ProgramResult run = RunTimed({UPM_PROGRAM, "--config", settings_, "guids", "--file", "-", "--threads",
                                          std::to_string(threads)},
                                         list_, &seconds);
      correct = correct && run.exit_code == 0 && Matches(ParseUpm(run.out));
      times.push_back(seconds);
    }
    return Row{"upm guids --file - (a process)", threads, "cold", Median(times), correct, -1};
  }

  // Cold and warm passes through the C interface in this process.
  std::vector<Row> InProcess(int threads) {
    up_options options = {};
    options.settings_file = settings_.c_str();
    options.log_level = "error";
    up_error* error = nullptr;
    if (up_start(&options, &error) != UP_OK) {
      std::fprintf(stderr, "up_start: %s\n", error->message);
      up_free_error(error);
      return {};
    }
    std::vector<Row> rows;
    for (const char* pass : {"cold", "warm"}) {
      up_counters before{}, after{};
      up_get_counters(0, &before, nullptr);
      Found found;
      const double seconds = Pass(threads, &found);
      up_get_counters(0, &after, nullptr);
      found.reads = static_cast<long>(after.total_ds_access - before.total_ds_access);
      rows.push_back(Row{"C interface, in process", threads, pass, seconds, Matches(found), found.reads});
    }
    up_stop(nullptr);
    return rows;
  }

  Row Walk(const std::string& method, const std::vector<std::string>& program) {
    std::vector<std::string> argv = program;
    argv.insert(argv.end(), {server_.url(), server_.service_dn(), server_.service_password_file(), server_.base_dn()});
    double seconds = 0;
    const ProgramResult run = RunTimed(argv, list_, &seconds);
    const Found found = ParseWalk(run.out);
    const bool correct = run.exit_code == 0 && Matches(found);
    if (!correct) std::fprintf(stderr, "  %s ended with %d: %s\n", method.c_str(), run.exit_code, run.err.c_str());
    return Row{method, 1, "cold", seconds, correct, found.reads};
  }

  // The median wall time of `upm guids` for one user, start to exit.
  double OneUpmProcess() {
    std::vector<double> times;
    for (int i = 0; i < kProcessRuns; ++i) {
      double seconds = 0;
      if (RunTimed({UPM_PROGRAM, "--config", settings_, "guids", sips_.front()}, "", &seconds).exit_code != 0) {
        return -1;
      }
      times.push_back(seconds);
    }
    return Median(times);
  }

 private:
  double Pass(int threads, Found* found) {
    found->guid_counts.assign(sips_.size(), 0);
    std::atomic<size_t> next{0};
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&] {
        for (size_t i = next++; i < sips_.size(); i = next++) {
          up_string_list* guids = nullptr;
          if (up_get_guids(sips_[i].c_str(), &guids, nullptr) == UP_OK) found->guid_counts[i] = guids->count;
          up_free_string_list(guids);
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
    return Seconds(start);
  }

  const SlapdServer& server_;
  std::string work_;
  std::vector<std::string> sips_;
  std::vector<size_t> expected_;
  std::string list_;
  std::string settings_;
};

int UserCount() {
  const char* text = std::getenv("USERPOLICY_BATCH_USERS");
  const int count = text != nullptr ? std::atoi(text) : kDefaultUsers;
  return count > 10 ? count : kDefaultUsers;
}

}  // namespace

int main() {
  GeneratorOptions generator;
  generator.user_count = UserCount();
  generator.group_count = std::max(kMinimumGroups, generator.user_count / kUsersPerGroup);
  const GeneratedDirectory model = GenerateDirectory(generator);
  std::ostringstream ldif;
  WriteLdif(ldif, model, generator);
  const std::string ldif_text = ldif.str();
  SlapdOptions options;
  options.ldif_files.clear();
  options.ldif_writers.push_back([&](std::ostream& out) { out << ldif_text; });
  options.start_timeout = std::chrono::minutes(2);
  std::unique_ptr<SlapdServer> server;
  try {
    server = SlapdServer::Start(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot start slapd: %s\n", e.what());
    return 1;
  }
  Batch batch(*server, model, server->work_dir());
  std::printf("batch resolution of %zu users (%zu groups) on slapd %s\n", batch.users(), model.groups.size(),
              server->host_port().c_str());
  std::fflush(stdout);

  std::vector<Row> rows;
  rows.push_back(batch.Walk("ldapsearch shell loop", {"/bin/bash", USERPOLICY_SOURCE_DIR "/bench/ldapsearch_walk.sh"}));
  rows.push_back(batch.Walk("python-ldap script", {USERPOLICY_SYSTEM_PYTHON, USERPOLICY_SOURCE_DIR
                                                   "/bench/python_ldap_walk.py"}));
  for (int threads : {1, 2}) rows.push_back(batch.Upm(threads));
  for (int threads : {1, 2}) {
    for (const Row& row : batch.InProcess(threads)) rows.push_back(row);
  }
  const double loop = rows[0].correct ? batch.users() / rows[0].seconds : 0;
  const double python = rows[1].correct ? batch.users() / rows[1].seconds : 0;

  std::printf("\n%-32s %7s %5s %9s %10s %8s %12s %12s\n", "method", "threads", "pass", "seconds", "users/s",
              "reads", "x ldapsearch", "x python");
  bool all_correct = true;
  for (const Row& row : rows) {
    all_correct = all_correct && row.correct;
    const double rate = batch.users() / row.seconds;
    const std::string reads = row.reads >= 0 ? std::to_string(row.reads) : "-";
    if (!row.correct) {
      std::printf("%-32s %7d %5s %9.2f %10s %8s %12s %12s\n", row.method.c_str(), row.threads, row.pass.c_str(),
                  row.seconds, "WRONG", reads.c_str(), "-", "-");
      continue;
    }
    std::printf("%-32s %7d %5s %9.3f %10.0f %8s %12.1f %12.1f\n", row.method.c_str(), row.threads, row.pass.c_str(),
                row.seconds, rate, reads.c_str(), loop > 0 ? rate / loop : 0.0, python > 0 ? rate / python : 0.0);
  }
  const double one = batch.OneUpmProcess();
  std::printf("\none `upm guids %s` process, start to exit (first contact with the server included): "
              "median %.1f ms of %d runs\n",
              batch.first_user().c_str(), one * 1000, kProcessRuns);
  std::printf("(caches sized for the whole directory: %s; upm rows: median of %d runs each)\n",
              batch.settings().c_str(), kUpmRounds);
  return all_correct && one > 0 ? 0 : 1;
}
