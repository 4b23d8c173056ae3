#include "tests/support/recorded_reads.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "platform/ascii.h"

namespace userpolicy::testing {
namespace {

namespace ldap = platform::ldap;

// The hooks' state (plain functions, so it is global).
struct Reads {
  std::mutex mu;
  std::vector<std::string> bases;
  std::vector<int> failing_ids;  // requests answered with `failure`
  std::string failing_base;
  ldap::Status failure;
  int outstanding = 0;
  int most_outstanding = 0;
} g_reads;
constexpr int kFirstFailedId = -2000;

ldap::Status RecordingSearch(ldap::NativeSession* session, const ldap::SearchRequest& request, int* id) {
  {
    std::lock_guard<std::mutex> lock(g_reads.mu);
    const bool entry_read = request.scope == ldap::Scope::kBase && !request.base.empty() && request.controls.empty();
    const bool search = request.scope != ldap::Scope::kBase && request.controls.empty();
    if (entry_read) g_reads.bases.push_back(platform::AsciiLowercase(request.base));
    if (search) g_reads.bases.push_back(platform::AsciiLowercase(request.base + " " + request.filter));
    if (entry_read && platform::EqualsIgnoringAsciiCase(request.base, g_reads.failing_base)) {
      *id = kFirstFailedId - static_cast<int>(g_reads.failing_ids.size());
      g_reads.failing_ids.push_back(*id);
      return ldap::Status{};
    }
  }
  const ldap::Status status = ldap::testing::DefaultOperations().search(session, request, id);
  if (status.ok()) {
    std::lock_guard<std::mutex> lock(g_reads.mu);
    g_reads.most_outstanding = std::max(g_reads.most_outstanding, ++g_reads.outstanding);
  }
  return status;
}

ldap::Status RecordingNextResult(ldap::NativeSession* session, int id, std::chrono::milliseconds timeout,
                                 ldap::SearchItem* item) {
  {
    std::lock_guard<std::mutex> lock(g_reads.mu);
    if (std::find(g_reads.failing_ids.begin(), g_reads.failing_ids.end(), id) != g_reads.failing_ids.end()) {
      item->kind = ldap::SearchItem::Kind::kDone;
      item->result = g_reads.failure;
      return ldap::Status{};
    }
  }
  const ldap::Status status = ldap::testing::DefaultOperations().next_result(session, id, timeout, item);
  if (!status.ok() || item->kind == ldap::SearchItem::Kind::kDone) {
    std::lock_guard<std::mutex> lock(g_reads.mu);
    --g_reads.outstanding;
  }
  return status;
}

ldap::Operations Hooks(const std::string& failing_base, ldap::Status failure) {
  std::lock_guard<std::mutex> lock(g_reads.mu);
  g_reads.bases.clear();
  g_reads.failing_ids.clear();
  g_reads.failing_base = failing_base;
  g_reads.failure = std::move(failure);
  g_reads.outstanding = g_reads.most_outstanding = 0;
  ldap::Operations operations = ldap::testing::DefaultOperations();
  operations.search = &RecordingSearch;
  operations.next_result = &RecordingNextResult;
  return operations;
}

}  // namespace

RecordedReads::RecordedReads(const std::string& failing_base, ldap::Status failure)
    : install_(Hooks(failing_base, std::move(failure))) {}

RecordedReads::~RecordedReads() = default;

std::vector<std::string> RecordedReads::SortedBases() const {
  std::lock_guard<std::mutex> lock(g_reads.mu);
  std::vector<std::string> bases = g_reads.bases;
  std::sort(bases.begin(), bases.end());
  return bases;
}

int RecordedReads::MostOutstanding() const {
  std::lock_guard<std::mutex> lock(g_reads.mu);
  return g_reads.most_outstanding;
}

std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  const auto [at_a, at_b] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return "first difference at " + std::to_string(at_a - a.begin()) + ":\n  " + (at_a == a.end() ? "<end>" : *at_a) +
         "\n  " + (at_b == b.end() ? "<end>" : *at_b);
}

}  // namespace userpolicy::testing
