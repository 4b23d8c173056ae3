// The system-independent half of "platform/ldap_api.h": the operation table
// of "platform/ldap_api_hook.h" and Connection, which reaches the LDAP
// library only through that table. Each system's file (posix/ldap_api_posix.cc
// over libldap, win/ldap_api_win.cc over wldap32) provides the default
// operations (hooks::DefaultOperations) and ResultText.
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "platform/kerberos.h"
#include "platform/ldap_api.h"
#include "platform/ldap_api_hook.h"

namespace platform::ldap {

// The table ------------------------------------------------------------------

namespace {

// Each entry is read on its own with one atomic load, so a test may replace
// the table while connections are in use. A null entry (the state before any
// replacement) stands for the system implementation's function, so that the
// table needs no dynamic initialisation.
struct OperationTable {
  std::atomic<decltype(Operations::connect)> connect{nullptr};
  std::atomic<decltype(Operations::bind)> bind{nullptr};
  std::atomic<decltype(Operations::kerberos_bind)> kerberos_bind{nullptr};
  std::atomic<decltype(Operations::search)> search{nullptr};
  std::atomic<decltype(Operations::next_result)> next_result{nullptr};
  std::atomic<decltype(Operations::abandon)> abandon{nullptr};
  std::atomic<decltype(Operations::is_alive)> is_alive{nullptr};
  std::atomic<decltype(Operations::close)> close{nullptr};
};

OperationTable g_table;

const Operations& Defaults() {
  static const Operations defaults = hooks::DefaultOperations();
  return defaults;
}

// The entry in effect: the replacement, else the default `fallback`.
template <typename F>
F Load(const std::atomic<F>& entry, F Operations::*fallback) {
  const F replaced = entry.load(std::memory_order_acquire);
  return replaced != nullptr ? replaced : Defaults().*fallback;
}

}  // namespace

namespace hooks {

Operations CurrentOperations() {
  return Operations{Load(g_table.connect, &Operations::connect),
                    Load(g_table.bind, &Operations::bind),
                    Load(g_table.kerberos_bind, &Operations::kerberos_bind),
                    Load(g_table.search, &Operations::search),
                    Load(g_table.next_result, &Operations::next_result),
                    Load(g_table.abandon, &Operations::abandon),
                    Load(g_table.is_alive, &Operations::is_alive),
                    Load(g_table.close, &Operations::close)};
}

void SetOperations(const Operations& operations) {
  const Operations defaults = DefaultOperations();
  // A null entry means the default, so a partly filled table is safe.
  g_table.connect.store(operations.connect ? operations.connect : defaults.connect, std::memory_order_release);
  g_table.bind.store(operations.bind ? operations.bind : defaults.bind, std::memory_order_release);
  g_table.kerberos_bind.store(operations.kerberos_bind ? operations.kerberos_bind : defaults.kerberos_bind,
                              std::memory_order_release);
  g_table.search.store(operations.search ? operations.search : defaults.search, std::memory_order_release);
  g_table.next_result.store(operations.next_result ? operations.next_result : defaults.next_result,
                            std::memory_order_release);
  g_table.abandon.store(operations.abandon ? operations.abandon : defaults.abandon, std::memory_order_release);
  g_table.is_alive.store(operations.is_alive ? operations.is_alive : defaults.is_alive, std::memory_order_release);
  g_table.close.store(operations.close ? operations.close : defaults.close, std::memory_order_release);
}

}  // namespace hooks

// Connection -----------------------------------------------------------------

bool IsConnectionFailure(int code) {
  return code == kServerDown || code == kConnectError || code == kTimeout || code == kDecodingError;
}

Status Connection::Open(const ConnectOptions& options, std::unique_ptr<Connection>* connection) {
  connection->reset();
  const auto connect = Load(g_table.connect, &Operations::connect);
  const auto close = Load(g_table.close, &Operations::close);
  NativeSession* session = nullptr;
  Status status = connect(options, &session);
  if (!status.ok()) {
    if (session != nullptr) close(session);
    return status;
  }
  *connection = std::make_unique<Connection>(PrivateTag{}, options, session, close);
  return status;
}

Connection::Connection(PrivateTag, ConnectOptions options, NativeSession* session, CloseFunction close)
    : options_(std::move(options)), session_(session), close_(close) {}

Connection::~Connection() { close_(session_); }

Status Connection::SimpleBind(const std::string& dn, const std::string& password) {
  Status status = Load(g_table.bind, &Operations::bind)(session_, dn, password, options_.operation_timeout);
  if (IsConnectionFailure(status.code)) broken_ = true;
  if (status.ok()) {
    authentication_ = Authentication{};
    if (!dn.empty()) {
      authentication_.method = Authentication::Method::kSimple;
      authentication_.identity = dn;
    }
  }
  return status;
}

Status Connection::KerberosBind(const KerberosBindRequest& request) {
  if (request.credentials == nullptr) {
    return Status{kParamError, ResultText(kParamError), "no credentials for the Kerberos bind", false};
  }
  Authentication established;
  Status status = Load(g_table.kerberos_bind, &Operations::kerberos_bind)(session_, request, &established);
  if (IsConnectionFailure(status.code)) broken_ = true;
  if (!status.ok()) return status;
  if (established.ssf < request.minimum_ssf) {
    // The system's library enforces the minimum; this holds a replacement
    // of the operation (or a library that did not) to it as well.
    return Status{kLocalError, ResultText(kLocalError),
                  "the security layer negotiated (SSF " + std::to_string(established.ssf) +
                      ") is weaker than the minimum " + std::to_string(request.minimum_ssf),
                  false};
  }
  established.method = Authentication::Method::kKerberos;
  established.valid_until = request.credentials->expires_at();
  authentication_ = std::move(established);
  return status;
}

Status Connection::Search(const SearchRequest& request, std::vector<Entry>* entries) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + request.timeout;
  int message_id = 0;
  Status status = Load(g_table.search, &Operations::search)(session_, request, &message_id);
  if (!status.ok()) {
    if (IsConnectionFailure(status.code)) broken_ = true;
    return status;
  }
  const size_t first = entries->size();
  const auto next_result = Load(g_table.next_result, &Operations::next_result);
  for (;;) {
    const auto remaining = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                                    std::chrono::milliseconds::zero());
    SearchItem item;
    status = next_result(session_, message_id, remaining, &item);
    if (!status.ok()) {
      if (status.code == kTimeout) Load(g_table.abandon, &Operations::abandon)(session_, message_id);
      if (IsConnectionFailure(status.code)) broken_ = true;
      return status;
    }
    switch (item.kind) {
      case SearchItem::Kind::kEntry:
        entries->push_back(std::move(item.entry));
        break;
      case SearchItem::Kind::kReference:
        break;
      case SearchItem::Kind::kDone:
        if (item.result.code == kSizeLimitExceeded && entries->size() > first) return Status{};
        if (IsConnectionFailure(item.result.code)) broken_ = true;
        return item.result;
    }
  }
}

bool Connection::IsAlive() {
  if (broken_) return false;
  if (!Load(g_table.is_alive, &Operations::is_alive)(session_)) broken_ = true;
  return !broken_;
}

}  // namespace platform::ldap
