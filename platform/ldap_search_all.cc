// Connection::SearchAll (platform/ldap_api.h): several searches outstanding
// on one connection, over the operation table, so the same for every
// system.
#include <algorithm>
#include <chrono>
#include <optional>

#include "platform/ldap_api.h"
#include "platform/ldap_api_hook.h"

namespace platform::ldap {
namespace {

using Clock = std::chrono::steady_clock;

// A request sent and not yet answered.
struct Sent {
  int message_id = 0;
  Clock::time_point deadline;
};

// Reads the answer to the search `sent` into *outcome, as Connection::Search
// does; returns its status.
Status Collect(const Operations& operations, NativeSession* session, const Sent& sent, SearchOutcome* outcome) {
  for (;;) {
    const auto remaining = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(sent.deadline - Clock::now()),
                                    std::chrono::milliseconds::zero());
    SearchItem item;
    const Status status = operations.next_result(session, sent.message_id, remaining, &item);
    if (!status.ok()) {
      if (status.code == kTimeout) operations.abandon(session, sent.message_id);
      return status;
    }
    switch (item.kind) {
      case SearchItem::Kind::kEntry:
        outcome->entries.push_back(std::move(item.entry));
        break;
      case SearchItem::Kind::kReference:
        break;
      case SearchItem::Kind::kDone:
        if (item.result.code == kSizeLimitExceeded && !outcome->entries.empty()) return Status{};
        return item.result;
    }
  }
}

}  // namespace

void Connection::SearchAll(const std::vector<SearchRequest>& requests, std::vector<SearchOutcome>* outcomes) {
  const Operations operations = hooks::CurrentOperations();
  outcomes->assign(requests.size(), SearchOutcome{});
  std::vector<std::optional<Sent>> sent(requests.size());
  std::optional<Status> lost;  // the connection failure that ends the rest
  size_t next = 0;             // the next request to send
  const auto send_until = [&](size_t end) {
    for (end = std::min(end, requests.size()); next < end && !lost; ++next) {
      int message_id = 0;
      const Status status = operations.search(session_, requests[next], &message_id);
      if (status.ok()) {
        sent[next] = Sent{message_id, Clock::now() + requests[next].timeout};
      } else {
        (*outcomes)[next].status = status;
        if (IsConnectionFailure(status.code)) lost = status;
      }
    }
  };
  send_until(kMaxOutstanding);
  for (size_t i = 0; i < requests.size(); ++i) {
    SearchOutcome& outcome = (*outcomes)[i];
    if (lost) {
      if (i >= next || sent[i]) outcome.status = *lost;
    } else if (sent[i]) {
      outcome.status = Collect(operations, session_, *sent[i], &outcome);
      if (IsConnectionFailure(outcome.status.code)) lost = outcome.status;
    }
    send_until(i + 1 + kMaxOutstanding);
  }
  if (lost) broken_ = true;
}

}  // namespace platform::ldap
