// The fault proxy: an acceptor thread and a pump thread per connection, all
// waiting in ppoll on non-blocking sockets and an eventfd of their own.
//
// A change of fault bumps a generation number and wakes every thread; each
// records the generation it has seen at the top of its loop, before it
// touches a byte, and SetFault waits for all of them (pumps still
// connecting to the server are not waited for: they read the fault before
// their first byte). The pump's per-connection state lives in class Pump;
// what the threads share (the fault, the connection list, counters and
// events) lives in FaultProxy::Impl under one mutex.
#include "local_directories/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "local_directories/directory_tools.h"
#include "local_directories/ldap_message_framer.h"

namespace userpolicy::local_directories {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunkBytes = 64 * 1024;
// A direction holding this much unsent stops reading from its source.
constexpr size_t kMaxBufferedBytes = 1024 * 1024;
// A request swallowed in kUndecodable is kept only this far (its operation
// is in its first bytes).
constexpr size_t kMaxSwallowedBytes = 64;
constexpr std::chrono::milliseconds kUpstreamConnectTimeout{2000};
// Bytes forwarded just before a cut get this long to leave.
constexpr std::chrono::milliseconds kLastWriteTimeout{200};
constexpr int kListenBacklog = 128;
constexpr unsigned long kTimerSlackNanoseconds = 1000;
// SEQUENCE { OCTET STRING "undecodable" }: a frame whose first element is
// not the INTEGER message ID every LDAP message starts with.
constexpr std::string_view kUndecodableFrame{"\x30\x0d\x04\x0bundecodable", 15};

std::string ErrnoText(int error) { return std::strerror(error); }

sockaddr_in Ipv4(uint32_t address_host_order, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(address_host_order);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// "host:port" with host in 127.0.0.0/8.
sockaddr_in ParseLoopback(const std::string& host_port) {
  const size_t colon = host_port.rfind(':');
  in_addr ipv4{};
  int port = 0;
  if (colon != std::string::npos) {
    try {
      port = std::stoi(host_port.substr(colon + 1));
    } catch (const std::exception&) {
      port = 0;
    }
  }
  if (colon == std::string::npos || ::inet_pton(AF_INET, host_port.substr(0, colon).c_str(), &ipv4) != 1 ||
      (ntohl(ipv4.s_addr) >> 24) != 127 || port <= 0 || port > 65535) {
    throw std::runtime_error("fault proxy: the server '" + host_port +
                             "' is not HOST:PORT with HOST an IPv4 loopback address");
  }
  return Ipv4(ntohl(ipv4.s_addr), port);
}

void SetNoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

// A listening socket on 127.0.0.1:port (0: a free one); invalid on failure
// with *error set.
UniqueFd Listen(int port, int* error) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int on = 1;
  const sockaddr_in address = Ipv4(INADDR_LOOPBACK, port);
  if (!fd.valid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd.get(), kListenBacklog) != 0) {
    *error = errno;
    return UniqueFd();
  }
  return fd;
}

int LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

void Wake(int eventfd) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(eventfd, &one, sizeof(one));
}

void Drain(int eventfd) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(eventfd, &count, sizeof(count));
}

// Closes `fd` so that the peer sees a reset.
void CloseWithReset(UniqueFd* fd) {
  if (!fd->valid()) return;
  const linger abort{1, 0};
  ::setsockopt(fd->get(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
  fd->Reset();
}

// Closes `fd` with a FIN first. Unread input is read away first: closing a
// socket with unread input would send a reset instead.
void CloseOrderly(UniqueFd* fd) {
  if (!fd->valid()) return;
  ::shutdown(fd->get(), SHUT_WR);
  char sink[4096];
  while (::recv(fd->get(), sink, sizeof(sink), MSG_DONTWAIT) > 0) {
  }
  fd->Reset();
}

// Writes all of `bytes` to the non-blocking `fd`, waiting up to `limit` for
// room; returns how many bytes went.
size_t WriteWithin(int fd, std::string_view bytes, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd writable{fd, POLLOUT, 0};
    ::poll(&writable, 1, static_cast<int>(left.count()));
  }
  return written;
}

timespec ToTimespec(Clock::duration duration) {
  const auto ns = std::max<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count(), 0);
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

const char* ModeName(FaultProxy::Mode mode) {
  switch (mode) {
    case FaultProxy::Mode::kPass:
      return "pass";
    case FaultProxy::Mode::kDelay:
      return "delay";
    case FaultProxy::Mode::kStall:
      return "stall";
    case FaultProxy::Mode::kRefuse:
      return "refuse";
    case FaultProxy::Mode::kNotListening:
      return "not listening";
    case FaultProxy::Mode::kResetMidResponse:
      return "reset mid-response";
    case FaultProxy::Mode::kCutResponse:
      return "cut response";
    case FaultProxy::Mode::kUndecodable:
      return "undecodable";
  }
  return "?";
}

std::string Hex(int value) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02x", value & 0xff);
  return text;
}

}  // namespace

// The shared state -------------------------------------------------------------

class FaultProxy::Impl {
 public:
  Impl(sockaddr_in upstream, UniqueFd listener, int port);
  ~Impl() { Stop(); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void Stop();
  void SetFault(const Fault& fault);
  Fault fault() const {
    std::lock_guard<std::mutex> lock(mu_);
    return fault_;
  }
  int DropConnections(Close how);
  Counters counters() const;
  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return {events_.begin(), events_.end()};
  }
  Clock::time_point started() const { return started_; }

 private:
  class Pump;

  struct Connection {
    uint64_t id = 0;
    UniqueFd client;
    UniqueFd wake;  // eventfd; written by any thread, read by the pump
    std::thread thread;
    // Under mu_:
    bool started = false;   // the pump's loop runs: SetFault waits for it
    bool finished = false;  // both sockets closed; the thread may be joined
    uint64_t seen_generation = 0;
    std::optional<Close> drop;
  };

  // What a pump reads at the top of each turn of its loop.
  struct Turn {
    Fault fault;
    std::optional<Close> drop;
    bool stopping = false;
  };

  void AcceptLoop();
  void Accept(const Fault& fault);
  // Makes the listening socket match `mode`; false when it should listen
  // and cannot.
  bool ApplyListening(Mode mode);
  void RunPump(Connection* connection);

  // Pump side: acknowledges the current generation and returns what to do.
  Turn BeginTurn(Connection* connection);
  void MarkStarted(Connection* connection);
  void Finish(Connection* connection);
  void Record(uint64_t connection, std::string what);
  void RecordLocked(uint64_t connection, std::string what);
  void WakeEveryoneLocked();

  const sockaddr_in upstream_;
  const int port_;
  const Clock::time_point started_ = Clock::now();
  UniqueFd listener_;  // used by the acceptor thread only, once it runs
  UniqueFd acceptor_wake_;

  std::mutex stop_mu_;  // one Stop at a time
  mutable std::mutex mu_;
  std::condition_variable acknowledged_;  // a generation seen, a pump finished
  Fault fault_;
  uint64_t generation_ = 0;
  uint64_t acceptor_generation_ = 0;
  bool listen_failed_ = false;  // at acceptor_generation_
  bool stopping_ = false;
  uint64_t next_id_ = 1;
  std::list<std::unique_ptr<Connection>> connections_;
  Counters counters_;  // but the byte counts
  std::deque<Event> events_;
  std::atomic<uint64_t> bytes_to_server_{0};
  std::atomic<uint64_t> bytes_to_client_{0};

  std::thread acceptor_;  // last: starts once the members above exist
};

// One connection's pump ----------------------------------------------------------

class FaultProxy::Impl::Pump {
 public:
  Pump(Impl* proxy, Impl::Connection* connection) : proxy_(*proxy), connection_(*connection) {}

  void Run();

 private:
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
    size_t written = 0;
  };

  // Connects to the server within kUpstreamConnectTimeout; false (with the
  // reason recorded) when it cannot or the proxy stops meanwhile.
  bool ConnectUpstream();
  // One turn of the loop; false when the connection has ended.
  bool Turn(const Impl::Turn& turn);
  // Reads what the socket has into read_buffer_ (*bytes views it); returns
  // false at its end (*ended) or on an error (*error).
  bool ReadFrom(int fd, std::string_view* bytes, bool* ended, int* error);
  void FromClient(std::string_view bytes, const FaultProxy::Fault& fault);
  // False when the fault closed the connection.
  bool FromServer(std::string_view bytes, const FaultProxy::Fault& fault);
  void ToClient(std::string bytes, Clock::time_point due);
  // False when a write failed (the peer is gone).
  bool FlushToServer();
  bool FlushToClient(Clock::time_point now);
  // Cuts the response after `forwarded` bytes of the chunk being handled.
  void Cut(Mode mode, std::string_view forwarded);
  void CloseBoth(FaultProxy::Close client_close, const std::string& why);

  Impl& proxy_;
  Impl::Connection& connection_;
  UniqueFd server_;
  LdapMessageFramer from_client_;
  LdapMessageFramer from_server_;
  bool swallowing_ = false;  // the current request is answered, not forwarded
  std::string swallowed_;
  std::string to_server_;
  size_t to_server_written_ = 0;
  std::deque<Chunk> to_client_;
  size_t to_client_bytes_ = 0;
  bool client_ended_ = false;
  bool server_ended_ = false;
  bool server_hung_up_ = false;  // seen while stalled: not polled again until healed
  std::vector<char> read_buffer_ = std::vector<char>(kReadChunkBytes);
};

bool FaultProxy::Impl::Pump::ConnectUpstream() {
  server_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!server_.valid()) {
    proxy_.Record(connection_.id, "cannot make a socket for the server: " + ErrnoText(errno));
    return false;
  }
  SetNoDelay(server_.get());
  if (::connect(server_.get(), reinterpret_cast<const sockaddr*>(&proxy_.upstream_), sizeof(proxy_.upstream_)) == 0) {
    return true;
  }
  if (errno != EINPROGRESS) {
    proxy_.Record(connection_.id, "cannot reach the server: " + ErrnoText(errno));
    return false;
  }
  const Clock::time_point deadline = Clock::now() + kUpstreamConnectTimeout;
  for (;;) {
    pollfd fds[2] = {{server_.get(), POLLOUT, 0}, {connection_.wake.get(), POLLIN, 0}};
    const timespec wait = ToTimespec(deadline - Clock::now());
    const int ready = ::ppoll(fds, 2, &wait, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (fds[1].revents != 0) {
      Drain(connection_.wake.get());
      std::lock_guard<std::mutex> lock(proxy_.mu_);
      if (proxy_.stopping_) return false;
    }
    if (fds[0].revents != 0) {
      int error = 0;
      socklen_t length = sizeof(error);
      ::getsockopt(server_.get(), SOL_SOCKET, SO_ERROR, &error, &length);
      if (error == 0) return true;
      proxy_.Record(connection_.id, "cannot reach the server: " + ErrnoText(error));
      return false;
    }
    if (Clock::now() >= deadline) {
      proxy_.Record(connection_.id, "cannot reach the server: no answer to connect");
      return false;
    }
  }
}

void FaultProxy::Impl::Pump::Run() {
  // Delayed chunks leave when due, not up to 50 us later.
  ::prctl(PR_SET_TIMERSLACK, kTimerSlackNanoseconds);
  if (!ConnectUpstream()) {
    bool stopping = false;
    {
      std::lock_guard<std::mutex> lock(proxy_.mu_);
      stopping = proxy_.stopping_;
    }
    // A server that cannot be reached shows as a reset; a proxy that stops
    // closes in order, as it does every connection.
    if (stopping) {
      CloseOrderly(&connection_.client);
    } else {
      CloseWithReset(&connection_.client);
    }
    server_.Reset();
    return;
  }
  proxy_.MarkStarted(&connection_);
  while (Turn(proxy_.BeginTurn(&connection_))) {
  }
}

bool FaultProxy::Impl::Pump::Turn(const Impl::Turn& turn) {
  if (turn.stopping) {
    CloseBoth(FaultProxy::Close::kOrderly, "closed: the proxy stops");
    return false;
  }
  if (turn.drop) {
    CloseBoth(*turn.drop, *turn.drop == FaultProxy::Close::kReset ? "dropped with a reset" : "dropped");
    std::lock_guard<std::mutex> lock(proxy_.mu_);
    ++proxy_.counters_.dropped;
    return false;
  }
  const FaultProxy::Fault& fault = turn.fault;
  const bool stalled = fault.mode == Mode::kStall;
  if (!stalled) server_hung_up_ = false;
  const Clock::time_point now = Clock::now();
  const bool due = !to_client_.empty() && to_client_.front().due <= now;

  enum { kWake, kClient, kServer };
  pollfd fds[3] = {{connection_.wake.get(), POLLIN, 0}, {connection_.client.get(), 0, 0}, {server_.get(), 0, 0}};
  if (stalled) {
    fds[kClient].events = POLLRDHUP;  // only to see the client give up
    if (server_hung_up_) fds[kServer].fd = -1;
  } else if (server_ended_) {
    fds[kServer].fd = -1;  // nothing more to read, and no one to write to
    if (due) fds[kClient].events |= POLLOUT;
  } else {
    if (!client_ended_ && to_server_.size() - to_server_written_ < kMaxBufferedBytes) fds[kClient].events |= POLLIN;
    if (due) fds[kClient].events |= POLLOUT;
    if (!server_ended_ && to_client_bytes_ < kMaxBufferedBytes) fds[kServer].events |= POLLIN;
    if (to_server_written_ < to_server_.size()) fds[kServer].events |= POLLOUT;
  }
  timespec wait{};
  const timespec* timeout = nullptr;
  if (!stalled && !to_client_.empty() && !due) {
    wait = ToTimespec(to_client_.front().due - now);
    timeout = &wait;
  }
  if (::ppoll(fds, 3, timeout, nullptr) < 0 && errno != EINTR) {
    CloseBoth(FaultProxy::Close::kReset, "closed: ppoll failed: " + ErrnoText(errno));
    return false;
  }
  if (fds[kWake].revents != 0) Drain(connection_.wake.get());

  if (stalled) {
    if (fds[kClient].revents & (POLLRDHUP | POLLHUP | POLLERR)) {
      CloseBoth(FaultProxy::Close::kOrderly, "closed: the client gave up while stalled");
      return false;
    }
    if (fds[kServer].revents & (POLLHUP | POLLERR)) server_hung_up_ = true;
    return true;
  }

  std::string_view bytes;
  int error = 0;
  if (fds[kClient].revents & (POLLIN | POLLHUP | POLLERR)) {
    if (!ReadFrom(connection_.client.get(), &bytes, &client_ended_, &error) && !client_ended_) {
      CloseBoth(FaultProxy::Close::kOrderly, "closed: reading the client failed: " + ErrnoText(error));
      return false;
    }
    if (!bytes.empty()) FromClient(bytes, fault);
  }
  if (fds[kServer].revents & (POLLIN | POLLHUP | POLLERR)) {
    if (!ReadFrom(server_.get(), &bytes, &server_ended_, &error) && !server_ended_) {
      CloseBoth(FaultProxy::Close::kReset, "closed: reading the server failed: " + ErrnoText(error));
      return false;
    }
    if (!bytes.empty() && !FromServer(bytes, fault)) return false;
  }
  if (!FlushToServer()) {
    CloseBoth(FaultProxy::Close::kReset, "closed: the server went away");
    return false;
  }
  if (!FlushToClient(Clock::now())) {
    CloseBoth(FaultProxy::Close::kOrderly, "closed: the client went away");
    return false;
  }
  if (client_ended_) {
    // The client is done (it sent its unbind, or gave up): what it sent
    // last goes on, then both sides close.
    WriteWithin(server_.get(), std::string_view(to_server_).substr(to_server_written_), kLastWriteTimeout);
    CloseBoth(FaultProxy::Close::kOrderly, "closed by the client");
    return false;
  }
  if (server_ended_ && to_client_.empty()) {
    CloseBoth(FaultProxy::Close::kOrderly, "closed by the server");
    return false;
  }
  return true;
}

bool FaultProxy::Impl::Pump::ReadFrom(int fd, std::string_view* bytes, bool* ended, int* error) {
  *bytes = {};
  for (;;) {
    const ssize_t n = ::recv(fd, read_buffer_.data(), read_buffer_.size(), MSG_DONTWAIT);
    if (n > 0) {
      *bytes = std::string_view(read_buffer_.data(), static_cast<size_t>(n));
      return true;
    }
    if (n == 0) {
      *ended = true;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    *error = errno;
    if (errno == ECONNRESET) *ended = true;
    return false;
  }
}

void FaultProxy::Impl::Pump::FromClient(std::string_view bytes, const FaultProxy::Fault& fault) {
  size_t position = 0;
  while (position < bytes.size()) {
    if (from_client_.at_message_start()) {
      swallowing_ = fault.mode == Mode::kUndecodable;
      swallowed_.clear();
    }
    const size_t taken = from_client_.Consume(bytes.substr(position));
    const std::string_view part = bytes.substr(position, taken);
    position += taken;
    if (!swallowing_) {
      to_server_.append(part);
      continue;
    }
    if (swallowed_.size() < kMaxSwallowedBytes) swallowed_.append(part.substr(0, kMaxSwallowedBytes - swallowed_.size()));
    if (!from_client_.at_message_start()) continue;
    const int operation = LdapOperationTag(swallowed_);
    if (!LdapOperationExpectsResponse(operation)) {
      proxy_.Record(connection_.id, "swallowed request " + std::to_string(from_client_.messages()) + " (operation " +
                                        Hex(operation) + ", no answer due)");
      continue;
    }
    ToClient(std::string(kUndecodableFrame), Clock::now());
    {
      std::lock_guard<std::mutex> lock(proxy_.mu_);
      ++proxy_.counters_.undecodable_answers;
    }
    proxy_.Record(connection_.id, "answered request " + std::to_string(from_client_.messages()) + " (operation " +
                                      Hex(operation) + ") with an undecodable frame");
  }
}

bool FaultProxy::Impl::Pump::FromServer(std::string_view bytes, const FaultProxy::Fault& fault) {
  const bool cutting = fault.mode == Mode::kResetMidResponse || fault.mode == Mode::kCutResponse;
  size_t position = 0;
  while (position < bytes.size()) {
    size_t limit = SIZE_MAX;
    if (cutting && from_server_.messages() >= static_cast<uint64_t>(std::max(fault.pass_messages, 0))) {
      if (from_server_.broken()) {
        limit = 0;
      } else if (from_server_.message_size() != 0) {
        const uint64_t cut_at = std::max<uint64_t>(1, from_server_.message_size() / 2);
        limit = from_server_.offset() >= cut_at ? 0 : static_cast<size_t>(cut_at - from_server_.offset());
      }
      if (limit == 0) {
        Cut(fault.mode, bytes.substr(0, position));
        return false;
      }
    }
    position += from_server_.Consume(bytes.substr(position), limit);
  }
  const Clock::time_point now = Clock::now();
  ToClient(std::string(bytes), fault.mode == Mode::kDelay ? now + fault.delay : now);
  return true;
}

void FaultProxy::Impl::Pump::ToClient(std::string bytes, Clock::time_point due) {
  // Chunks leave in order: one due before an earlier one waits for it.
  to_client_bytes_ += bytes.size();
  to_client_.push_back(Chunk{due, std::move(bytes), 0});
}

bool FaultProxy::Impl::Pump::FlushToServer() {
  while (to_server_written_ < to_server_.size()) {
    const ssize_t n = ::send(server_.get(), to_server_.data() + to_server_written_, to_server_.size() - to_server_written_,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) return false;
    to_server_written_ += static_cast<size_t>(n);
    proxy_.bytes_to_server_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  }
  if (to_server_written_ == to_server_.size()) {
    to_server_.clear();
    to_server_written_ = 0;
  }
  return true;
}

bool FaultProxy::Impl::Pump::FlushToClient(Clock::time_point now) {
  while (!to_client_.empty() && to_client_.front().due <= now) {
    Chunk& chunk = to_client_.front();
    const ssize_t n = ::send(connection_.client.get(), chunk.bytes.data() + chunk.written,
                             chunk.bytes.size() - chunk.written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) return false;
    chunk.written += static_cast<size_t>(n);
    proxy_.bytes_to_client_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    if (chunk.written < chunk.bytes.size()) break;
    to_client_bytes_ -= chunk.bytes.size();
    to_client_.pop_front();
  }
  return true;
}

void FaultProxy::Impl::Pump::Cut(Mode mode, std::string_view forwarded) {
  // What was held back goes first, at once, then the part of the message.
  std::string last;
  for (Chunk& chunk : to_client_) last.append(chunk.bytes, chunk.written);
  to_client_.clear();
  to_client_bytes_ = 0;
  last.append(forwarded);
  const size_t written = WriteWithin(connection_.client.get(), last, kLastWriteTimeout);
  proxy_.bytes_to_client_.fetch_add(written, std::memory_order_relaxed);
  const bool reset = mode == Mode::kResetMidResponse;
  const std::string what = std::string(reset ? "reset" : "cut") + " after " + std::to_string(from_server_.offset()) +
                           " of " + std::to_string(from_server_.message_size()) + " bytes of message " +
                           std::to_string(from_server_.messages() + 1);
  {
    std::lock_guard<std::mutex> lock(proxy_.mu_);
    ++(reset ? proxy_.counters_.resets : proxy_.counters_.cuts);
  }
  CloseBoth(reset ? FaultProxy::Close::kReset : FaultProxy::Close::kOrderly, what);
}

void FaultProxy::Impl::Pump::CloseBoth(FaultProxy::Close client_close, const std::string& why) {
  if (client_close == FaultProxy::Close::kReset) {
    CloseWithReset(&connection_.client);
  } else {
    CloseOrderly(&connection_.client);
  }
  CloseOrderly(&server_);
  proxy_.Record(connection_.id, why);
}

// The proxy --------------------------------------------------------------------

FaultProxy::Impl::Impl(sockaddr_in upstream, UniqueFd listener, int port)
    : upstream_(upstream),
      port_(port),
      listener_(std::move(listener)),
      acceptor_wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!acceptor_wake_.valid()) throw std::runtime_error("fault proxy: eventfd failed: " + ErrnoText(errno));
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

void FaultProxy::Impl::WakeEveryoneLocked() {
  Wake(acceptor_wake_.get());
  for (const auto& connection : connections_) {
    if (!connection->finished) Wake(connection->wake.get());
  }
}

void FaultProxy::Impl::Stop() {
  std::lock_guard<std::mutex> stopping(stop_mu_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    WakeEveryoneLocked();
    acknowledged_.notify_all();
  }
  if (acceptor_.joinable()) acceptor_.join();
  // The acceptor adds no connection any more; the pumps still read their
  // Connection, so the list is emptied only once they are joined.
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& connection : connections_) {
      if (!connection->finished) Wake(connection->wake.get());
    }
  }
  for (const auto& connection : connections_) {
    if (connection->thread.joinable()) connection->thread.join();
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    connections.swap(connections_);
  }
  listener_.Reset();
}

void FaultProxy::Impl::SetFault(const Fault& fault) {
  if (fault.mode == Mode::kDelay && fault.delay.count() < 0) {
    throw std::invalid_argument("fault proxy: a negative delay");
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (stopping_) throw std::logic_error("fault proxy: SetFault after Stop");
  fault_ = fault;
  const uint64_t generation = ++generation_;
  WakeEveryoneLocked();
  acknowledged_.wait(lock, [&] {
    if (stopping_) return true;
    if (acceptor_generation_ < generation) return false;
    return std::all_of(connections_.begin(), connections_.end(), [&](const auto& connection) {
      return connection->finished || !connection->started || connection->seen_generation >= generation;
    });
  });
  RecordLocked(0, std::string("fault: ") + ModeName(fault.mode) +
                      (fault.mode == Mode::kDelay ? " " + std::to_string(fault.delay.count()) + " us" : "") +
                      (fault.mode == Mode::kResetMidResponse || fault.mode == Mode::kCutResponse
                           ? " after " + std::to_string(fault.pass_messages) + " messages"
                           : ""));
  if (listen_failed_ && acceptor_generation_ == generation) {
    throw std::runtime_error("fault proxy: cannot listen on 127.0.0.1:" + std::to_string(port_) + " again");
  }
}

int FaultProxy::Impl::DropConnections(Close how) {
  std::unique_lock<std::mutex> lock(mu_);
  std::vector<Connection*> dropping;
  for (const auto& connection : connections_) {
    if (connection->finished) continue;
    connection->drop = how;
    Wake(connection->wake.get());
    dropping.push_back(connection.get());
  }
  // The acceptor may reap finished connections while this waits: only
  // those still listed can be unfinished.
  acknowledged_.wait(lock, [&] {
    if (stopping_) return true;
    return std::all_of(connections_.begin(), connections_.end(), [](const auto& connection) {
      return connection->finished || !connection->drop;
    });
  });
  return static_cast<int>(dropping.size());
}

FaultProxy::Counters FaultProxy::Impl::counters() const {
  std::lock_guard<std::mutex> lock(mu_);
  Counters counters = counters_;
  counters.bytes_to_server = bytes_to_server_.load(std::memory_order_relaxed);
  counters.bytes_to_client = bytes_to_client_.load(std::memory_order_relaxed);
  return counters;
}

void FaultProxy::Impl::Record(uint64_t connection, std::string what) {
  std::lock_guard<std::mutex> lock(mu_);
  RecordLocked(connection, std::move(what));
}

void FaultProxy::Impl::RecordLocked(uint64_t connection, std::string what) {
  events_.push_back(Event{Clock::now(), connection, std::move(what)});
  if (events_.size() > kMaxEvents) events_.pop_front();
}

FaultProxy::Impl::Turn FaultProxy::Impl::BeginTurn(Connection* connection) {
  std::lock_guard<std::mutex> lock(mu_);
  if (connection->seen_generation != generation_) {
    connection->seen_generation = generation_;
    acknowledged_.notify_all();
  }
  return Turn{fault_, connection->drop, stopping_};
}

void FaultProxy::Impl::MarkStarted(Connection* connection) {
  std::lock_guard<std::mutex> lock(mu_);
  connection->started = true;
}

void FaultProxy::Impl::Finish(Connection* connection) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    connection->finished = true;
    --counters_.open;
    acknowledged_.notify_all();
  }
  Wake(acceptor_wake_.get());  // to join the thread
}

void FaultProxy::Impl::RunPump(Connection* connection) {
  Pump(this, connection).Run();
  Finish(connection);
}

bool FaultProxy::Impl::ApplyListening(Mode mode) {
  const bool listen = mode != Mode::kNotListening;
  if (!listen) {
    if (listener_.valid()) Record(0, "stopped listening");
    listener_.Reset();
    return true;
  }
  if (listener_.valid()) return true;
  int error = 0;
  listener_ = Listen(port_, &error);
  Record(0, listener_.valid() ? "listening again" : "cannot listen again: " + ErrnoText(error));
  return listener_.valid();
}

void FaultProxy::Impl::AcceptLoop() {
  for (;;) {
    Fault fault;
    uint64_t generation = 0;
    std::vector<std::thread> finished;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) return;
      fault = fault_;
      generation = generation_;
      for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->finished) {
          finished.push_back(std::move((*it)->thread));
          // The Connection goes once its thread is joined, below.
          it = connections_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (std::thread& thread : finished) thread.join();
    const bool listening = ApplyListening(fault.mode);
    {
      std::lock_guard<std::mutex> lock(mu_);
      acceptor_generation_ = generation;
      listen_failed_ = !listening;
      acknowledged_.notify_all();
    }
    pollfd fds[2] = {{acceptor_wake_.get(), POLLIN, 0}, {listener_.valid() ? listener_.get() : -1, POLLIN, 0}};
    if (::ppoll(fds, 2, nullptr, nullptr) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) Drain(acceptor_wake_.get());
    if (fds[1].revents & POLLIN) Accept(fault);
  }
}

void FaultProxy::Impl::Accept(const Fault& fault) {
  for (;;) {
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client.valid()) return;  // EAGAIN: none left; anything else: try at the next wake-up
    std::lock_guard<std::mutex> lock(mu_);
    const uint64_t id = next_id_++;
    ++counters_.accepted;
    if (fault.mode == Mode::kRefuse) {
      ++counters_.refused;
      CloseOrderly(&client);
      RecordLocked(id, "refused");
      continue;
    }
    SetNoDelay(client.get());
    auto connection = std::make_unique<Connection>();
    connection->id = id;
    connection->client = std::move(client);
    connection->wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!connection->wake.valid()) {
      CloseWithReset(&connection->client);
      RecordLocked(id, "closed: eventfd failed: " + ErrnoText(errno));
      continue;
    }
    connection->seen_generation = generation_;
    ++counters_.open;
    RecordLocked(id, "accepted");
    Connection* raw = connection.get();
    connections_.push_back(std::move(connection));
    raw->thread = std::thread([this, raw] { RunPump(raw); });
  }
}

// FaultProxy ---------------------------------------------------------------------

std::unique_ptr<FaultProxy> FaultProxy::Start(const std::string& upstream) {
  const sockaddr_in address = ParseLoopback(upstream);
  int error = 0;
  UniqueFd listener = Listen(0, &error);
  if (!listener.valid()) throw std::runtime_error("fault proxy: cannot listen on 127.0.0.1: " + ErrnoText(error));
  const int port = LocalPort(listener.get());
  auto impl = std::make_unique<Impl>(address, std::move(listener), port);
  return std::make_unique<FaultProxy>(PrivateTag{}, upstream, port, std::move(impl));
}

FaultProxy::FaultProxy(PrivateTag, std::string upstream, int port, std::unique_ptr<Impl> impl)
    : upstream_(std::move(upstream)), port_(port), impl_(std::move(impl)) {}

FaultProxy::~FaultProxy() { Stop(); }

void FaultProxy::Stop() { impl_->Stop(); }
void FaultProxy::SetFault(const Fault& fault) { impl_->SetFault(fault); }
FaultProxy::Fault FaultProxy::fault() const { return impl_->fault(); }
int FaultProxy::DropConnections(Close how) { return impl_->DropConnections(how); }
FaultProxy::Counters FaultProxy::counters() const { return impl_->counters(); }
std::vector<FaultProxy::Event> FaultProxy::events() const { return impl_->events(); }

std::string FaultProxy::DescribeEvents() const {
  std::ostringstream text;
  for (const Event& event : impl_->events()) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(event.when - impl_->started()).count();
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "+%lld.%03lld ms", static_cast<long long>(micros / 1000),
                  static_cast<long long>(micros % 1000));
    text << stamp << (event.connection != 0 ? " #" + std::to_string(event.connection) : std::string(" proxy")) << " "
         << event.what << "\n";
  }
  return text.str();
}

}  // namespace userpolicy::local_directories
