// Runs one lookup per SIP address on a number of threads and hands the
// answers back in input order, whatever order they complete in, as soon as
// an answer and every answer before it are done; counts the outcomes and
// summarises the latencies.
//
// Thread safety: RunBatch blocks its caller, which receives every `emit`
// and progress call; `lookup` runs on the batch's own threads, several at
// once, and must be thread-safe.
#ifndef USERPOLICY_TOOLS_UPM_BATCH_RUNNER_H_
#define USERPOLICY_TOOLS_UPM_BATCH_RUNNER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tools/upm/latency_summary.h"
#include "tools/upm/lookup_answer.h"
#include "tools/upm/progress_bar.h"

namespace upm {

// Fills in the answer's outcome and payload for `sip`; the runner sets its
// `sip` and `milliseconds`. An exception it throws becomes a failed answer.
using LookupFunction = std::function<LookupAnswer(const std::string& sip)>;
using EmitFunction = std::function<void(const LookupAnswer& answer)>;

struct BatchTotals {
  size_t found = 0;
  size_t not_found = 0;
  size_t failed = 0;
  LatencySummary latency;
  double seconds = 0;  // wall time of the whole batch
  int exit_code = 0;   // combined as ExitCodeCombiner does
};

// Looks up every address of `sips` with `lookup` on min(threads, size)
// threads and passes each answer to `emit` in the order of `sips`. With a
// `progress` bar (may be null), draws it at the start, clears it before
// answers are emitted and
// draws it again after them, and otherwise redraws it every 100 ms; it is
// cleared at the end.
// REQUIRES: threads >= 1.
BatchTotals RunBatch(const std::vector<std::string>& sips, int threads, const LookupFunction& lookup,
                     const EmitFunction& emit, ProgressBar* progress);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_BATCH_RUNNER_H_
