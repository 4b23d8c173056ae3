#include "platform/directory/ldap_connection_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/directory/directory_error.h"
#include "platform/directory/ldap_kerberos_bind.h"
#include "platform/directory/ldap_request_errors.h"
#include "platform/log.h"
#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr char kSource[] = "ldap_backend";

// The password file holds the password on its first line.
constexpr size_t kMaxPasswordFileBytes = 4096;

// Overwrites a secret before its memory is released.
void Wipe(char* data, size_t size) {
  volatile char* p = data;
  for (size_t i = 0; i < size; ++i) p[i] = 0;
}

class Secret {
 public:
  Secret() = default;
  ~Secret() { Wipe(value_.data(), value_.size()); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  std::string* get() { return &value_; }
  const std::string& value() const { return value_; }

 private:
  std::string value_;
};

// Reads the first line of the password file `path` (without its line
// break) into *password. On failure returns false with *problem naming the
// file and the reason, never the contents.
bool ReadPassword(const std::string& path, Secret* password, std::wstring* problem) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *problem = L"cannot open the password file " + platform::Utf8ToWide(path) + L": " +
               platform::Utf8ToWide(std::strerror(errno));
    return false;
  }
  // Unbuffered, so that no copy of the password stays in a stdio buffer.
  std::setvbuf(file, nullptr, _IONBF, 0);
  std::string* text = password->get();
  text->resize(kMaxPasswordFileBytes);
  const size_t read = std::fread(text->data(), 1, text->size(), file);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *problem = L"cannot read the password file " + platform::Utf8ToWide(path);
    return false;
  }
  const size_t line_end = std::min(text->find('\n'), read);
  if (line_end == read && read == kMaxPasswordFileBytes) {
    *problem = L"the first line of the password file " + platform::Utf8ToWide(path) + L" is too long";
    return false;
  }
  size_t length = line_end;
  if (length > 0 && (*text)[length - 1] == '\r') --length;
  Wipe(text->data() + length, text->size() - length);
  text->resize(length);
  return true;
}

}  // namespace

std::unique_ptr<ldap::Connection> ConnectionPool::Acquire(Clock::time_point deadline,
                                                          const std::atomic<uint64_t>& failures,
                                                          uint64_t failures_seen, bool* reused) {
  const int capacity = settings_->config.pool_size;
  for (;;) {
    // A connection of a server that failed since the call chose it would only
    // take the call to the same failure, or to a new connection that waits
    // for the whole time-out again; also when a wait below ended because a
    // failing call gave its connection back.
    if (failures.load(std::memory_order_acquire) != failures_seen) throw PoolWaitEnded{true};
    std::unique_ptr<ldap::Connection> candidate;
    Clock::time_point idle_since;
    {
      platform::MutexLock lock(&mu_);
      if (!idle_.empty()) {
        candidate = std::move(idle_.back().connection);
        idle_since = idle_.back().since;
        idle_.pop_back();
      } else if (open_ < capacity) {
        ++open_;
      } else {
        if (!available_.WaitUntil(deadline)) throw PoolWaitEnded{false};
        continue;
      }
    }
    if (candidate == nullptr) {
      *reused = false;
      return OpenCounted();
    }
    // A connection given back moments ago is taken as it is: the probe is
    // a system call on every read, and a connection that died meanwhile
    // fails its request, which the caller retries once on a fresh one. One
    // whose Kerberos ticket ended is replaced by a freshly bound one.
    const bool ticket_ended = TicketEnded(candidate->authentication());
    if (!ticket_ended && (Clock::now() - idle_since < kProbeIdleAfter || candidate->IsAlive())) {
      *reused = true;
      return candidate;
    }
    candidate.reset();
    Forget();
  }
}

void ConnectionPool::Release(std::unique_ptr<ldap::Connection> connection) {
  if (connection == nullptr) return;
  if (!connection->broken()) {
    platform::MutexLock lock(&mu_);
    idle_.push_back(IdleConnection{std::move(connection), Clock::now()});
    available_.Signal();
    return;
  }
  connection.reset();
  Forget();
}

void ConnectionPool::DiscardIdle() {
  std::vector<IdleConnection> dropped;
  {
    platform::MutexLock lock(&mu_);
    dropped.swap(idle_);
    open_ -= static_cast<int>(dropped.size());
    available_.SignalAll();
  }
}

void ConnectionPool::WakeWaiters() {
  platform::MutexLock lock(&mu_);
  available_.SignalAll();
}

void ConnectionPool::Forget() {
  platform::MutexLock lock(&mu_);
  --open_;
  available_.Signal();
}

std::unique_ptr<ldap::Connection> ConnectionPool::OpenCounted() {
  struct SlotGuard {
    ConnectionPool* pool;
    bool keep = false;
    ~SlotGuard() {
      if (!keep) pool->Forget();
    }
  } guard{this};
  std::unique_ptr<ldap::Connection> connection = Open();
  guard.keep = true;
  return connection;
}

std::unique_ptr<ldap::Connection> ConnectionPool::Open() const {
  const Settings& settings = *settings_;
  if (!settings.bind_problem.empty()) {
    DirectoryErrorContext context;
    context.server = endpoint_.name;
    context.operation = L"bind";
    DIRECTORY_THROW(kDirectoryConfigError, settings.bind_problem, context);
  }
  ldap::ConnectOptions options = settings.connect;
  options.uri = endpoint_.uri;
  std::unique_ptr<ldap::Connection> connection;
  ldap::Status status = ldap::Connection::Open(options, &connection);
  if (!status.ok()) {
    const std::wstring operation = status.tls ? L"set up TLS" : L"connect";
    if (IsServerFailure(status, FailedStep::kConnect)) {
      throw ServerFailure{status, operation, platform::Utf8ToWide(endpoint_.uri), /*connected=*/false};
    }
    ThrowRequestError(endpoint_, operation, platform::Utf8ToWide(endpoint_.uri), status);
  }
  const DirectoryConfig& config = settings.config;
  if (settings.kerberos != nullptr) {
    settings.kerberos->Bind(*connection, endpoint_);  // logs what it established
    return connection;
  }
  if (!config.bind_dn.empty()) {
    Secret password;
    std::wstring problem;
    if (config.password_file.empty() || !ReadPassword(config.password_file, &password, &problem)) {
      if (problem.empty()) problem = L"BindDN is set but PasswordFile is not";
      DirectoryErrorContext context;
      context.server = endpoint_.name;
      context.operation = L"bind";
      context.target = config.bind_dn;
      DIRECTORY_THROW(kDirectoryConfigError, problem, context);
    }
    status = connection->SimpleBind(platform::WideToUtf8(config.bind_dn), password.value());
    if (!status.ok()) {
      if (IsServerFailure(status, FailedStep::kConnect)) throw ServerFailure{status, L"bind", config.bind_dn};
      ThrowRequestError(endpoint_, L"bind as " + config.bind_dn, config.bind_dn, status);
    }
  }
  if (DBG::IsEnabled(DBG::kLevelData)) {
    DBG::DebugLogEx(nullptr, DBG::kLevelData, kSource, __LINE__, L"connected to %s%s", endpoint_.name.c_str(),
                    config.bind_dn.empty() ? L" (anonymous)" : L"");
  }
  return connection;
}

}  // namespace directory::ldap_backend_internal
