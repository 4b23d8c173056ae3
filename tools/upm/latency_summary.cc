#include "tools/upm/latency_summary.h"

#include <algorithm>
#include <cmath>

namespace upm {

double NearestRankPercentile(const std::vector<double>& sorted, double p) {
  // p * n first: 90 * 10 / 100 is exactly 9, 0.9 * 10 need not be.
  const double rank = std::ceil(p * static_cast<double>(sorted.size()) / 100.0);
  size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  if (index >= sorted.size()) index = sorted.size() - 1;
  return sorted[index];
}

LatencySummary SummariseLatencies(std::vector<double> milliseconds) {
  LatencySummary summary;
  summary.count = milliseconds.size();
  if (milliseconds.empty()) return summary;
  std::sort(milliseconds.begin(), milliseconds.end());
  summary.p50 = NearestRankPercentile(milliseconds, 50);
  summary.p90 = NearestRankPercentile(milliseconds, 90);
  summary.p99 = NearestRankPercentile(milliseconds, 99);
  summary.max = milliseconds.back();
  return summary;
}

}  // namespace upm
