#include "perf/perf_segment.h"

#include <charconv>
#include <string_view>

namespace perf {

std::string SegmentNameForProcess(DWORD pid) { return kSegmentNamePrefix + std::to_string(pid); }

bool ProcessOfSegmentName(const std::string& name, DWORD* pid) {
  std::string_view rest(name);
  if (!rest.starts_with(kSegmentNamePrefix)) return false;
  rest.remove_prefix(std::string_view(kSegmentNamePrefix).size());
  // Digits only, no sign or leading zero: the form SegmentNameForProcess writes.
  if (rest.empty() || (rest.size() > 1 && rest.front() == '0')) return false;
  DWORD value = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (error != std::errc() || end != rest.data() + rest.size()) return false;
  *pid = value;
  return true;
}

}  // namespace perf
