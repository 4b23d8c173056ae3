#include "tools/upm/counter_publishers.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace upm {
namespace {

constexpr char kSegmentPrefix[] = "userpolicy-perf-";

bool ProcessExists(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

int PublisherOfSegmentName(const std::string& name) {
  const std::string prefix = kSegmentPrefix;
  if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) return 0;
  long long pid = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    pid = pid * 10 + (name[i] - '0');
    if (pid > 0x7fffffff) return 0;
  }
  return static_cast<int>(pid);
}

std::vector<int> LiveCounterPublishers(const std::string& directory) {
  std::vector<int> pids;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const int pid = PublisherOfSegmentName(entry.path().filename().string());
    if (pid > 0 && ProcessExists(pid)) pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

}  // namespace upm
