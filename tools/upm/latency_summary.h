// The latency percentiles of a batch (nearest-rank method).
#ifndef USERPOLICY_TOOLS_UPM_LATENCY_SUMMARY_H_
#define USERPOLICY_TOOLS_UPM_LATENCY_SUMMARY_H_

#include <cstddef>
#include <vector>

namespace upm {

struct LatencySummary {
  size_t count = 0;
  double p50 = 0;  // milliseconds; all 0 when count is 0
  double p90 = 0;
  double p99 = 0;
  double max = 0;
};

// The p-th percentile of `sorted` (ascending, not empty) by nearest rank:
// the smallest value that at least p percent of the values do not exceed.
// REQUIRES: 0 < p <= 100.
double NearestRankPercentile(const std::vector<double>& sorted, double p);

// Summarises `milliseconds` (any order).
LatencySummary SummariseLatencies(std::vector<double> milliseconds);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_LATENCY_SUMMARY_H_
