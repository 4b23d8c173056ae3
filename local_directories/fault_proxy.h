// A TCP proxy on 127.0.0.1 that stands between the library and one LDAP
// server (usually the slapd of slapd_server.h) and misbehaves on command:
// it delays answers, stalls, refuses or drops connections, cuts or resets a
// response in its middle, or answers requests with a frame no client can
// decode. Tests put it in the settings in the server's place; a benchmark
// uses its delay as a network's round trip.
//
//   auto proxy = FaultProxy::Start(server->host_port());
//   ... settings name proxy->host_port() as the Global Catalog ...
//   proxy->SetFault({FaultProxy::Mode::kStall});
//   ... calls must fail within their time-out ...
//   proxy->SetFault({});  // heal
//
// Threads. Start creates one acceptor thread; every accepted connection gets
// a pump thread of its own, which connects to the server and moves bytes in
// both directions. Both kinds poll their sockets (non-blocking) and an
// eventfd each, so that a change of fault, DropConnections and Stop reach
// them at once. A pump that ends closes both its sockets; the acceptor joins
// finished pumps as it goes, Stop joins the rest. Nothing is left running or
// open after Stop or the destructor.
//
// Ownership. The proxy owns its listening socket, its threads and every
// connection's two sockets. Start's caller owns the proxy.
//
// Thread safety. Every member may be called from any thread, concurrently,
// except that the destructor must not race with other calls. SetFault and
// DropConnections return once the acceptor and every pump have taken the
// change into account: bytes read after that are treated the new way.
//
// The fault modes (Mode), for connections opened from now on and for those
// already open where it makes sense:
//
//   kPass         Forwards every byte as it comes, both ways.
//   kDelay        Forwards, but holds every chunk the server sends for
//                 Fault::delay after the proxy read it (see "Delay" below).
//                 Requests are not delayed.
//   kStall        Forwards nothing either way and keeps every socket open,
//                 as a network that black-holes packets: new connections are
//                 accepted (and connected to the server) but see no byte;
//                 what arrives stays in the socket buffers. A connection
//                 whose client closes its end while stalled is closed (both
//                 sides), so that counters().open counts what the client
//                 keeps open. Healing lets the held bytes through.
//   kRefuse       Accepts each new connection and closes it at once (an
//                 orderly close: the client's connect succeeds, its first
//                 read sees the end of the stream). Open connections go on
//                 forwarding.
//   kNotListening Closes the listening socket: new connects are refused by
//                 the system (ECONNREFUSED). Open connections go on
//                 forwarding. Any other mode listens again on the same port.
//   kResetMidResponse
//                 Forwards the first half of the next server message (each
//                 connection's first Fault::pass_messages messages pass
//                 whole), then closes the client's socket with a reset
//                 (SO_LINGER 0: RST) and the server's normally.
//   kCutResponse  The same, but closes the client's socket normally (FIN),
//                 so that the client sees the stream end inside a message.
//   kUndecodable  Forwards no request: each request the client sends (each
//                 whole message but unbind and abandon, which have no
//                 answer) is answered by the proxy itself with a well-formed
//                 frame that is not an LDAP message (a SEQUENCE holding an
//                 OCTET STRING where the message ID belongs). Answers of the
//                 server to requests forwarded before still pass.
//
// Switching from kStall, kDelay, kRefuse or kNotListening back to kPass
// heals the proxy; a connection cut, reset or dropped stays closed.
//
// DropConnections closes every open connection at once, both sides, with an
// orderly close or a reset, whatever the mode; the mode stays as it is.
//
// A connection whose server cannot be reached (refused, or no answer to the
// connect within 2 s) is closed with a reset, and the event says why.
//
// Delay. A chunk the server sends is forwarded to the client at the moment
// the proxy read it plus Fault::delay, in order, and chunks read together
// go together: one request and its answer cost one delay more than without
// the proxy, however many messages the answer has, as a network's round
// trip would (bandwidth is not limited). The pump sleeps in ppoll until the
// next chunk is due, with a timer slack of 1 microsecond, so the added time
// is the delay plus the proxy's own hop and the system's wake-up latency
// (together about 0.1 ms on a quiet machine; the proxy's tests print the
// figures), and costs no thread beyond the pump. A delay set while
// connections are open applies to what the server sends after SetFault.
// A cold-path benchmark measures the library against a server that is
// `delay` away (0, 0.5 and 2 ms per answer, say):
//
//   auto proxy = FaultProxy::Start(server->host_port());
//   proxy->SetFault({FaultProxy::Mode::kDelay, std::chrono::microseconds(500)});
//   ... GlobalCatalogServers = proxy->host_port(); resolve cold users ...
//
// It compares with a delay of zero through the same proxy (kDelay with no
// delay forwards as soon as bytes arrive, as kPass does), so that the
// proxy's own hop is in both figures.
//
// Counters and events. counters() returns what the proxy did so far;
// events() a record of what happened to each connection (accepted, refused,
// closed by which side, stalled-and-abandoned, reset or cut after how many
// bytes of which message, each undecodable answer, dropped), oldest first,
// the last kMaxEvents of them.
#ifndef USERPOLICY_LOCAL_DIRECTORIES_FAULT_PROXY_H_
#define USERPOLICY_LOCAL_DIRECTORIES_FAULT_PROXY_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace userpolicy::local_directories {

class FaultProxy {
 public:
  enum class Mode {
    kPass,
    kDelay,
    kStall,
    kRefuse,
    kNotListening,
    kResetMidResponse,
    kCutResponse,
    kUndecodable,
  };

  struct Fault {
    Mode mode = Mode::kPass;
    // kDelay: how long each chunk from the server is held.
    std::chrono::microseconds delay{0};
    // kResetMidResponse, kCutResponse: how many whole messages each
    // connection forwards from the server before the one that is cut
    // (1 lets the answer to a bind through and cuts the next answer).
    int pass_messages = 0;
  };

  struct Counters {
    uint64_t accepted = 0;         // connections accepted, refused ones included
    uint64_t refused = 0;          // closed at once in kRefuse
    int open = 0;                  // connections open now
    uint64_t bytes_to_server = 0;  // written to the server
    uint64_t bytes_to_client = 0;  // written to clients, the proxy's own answers included
    uint64_t resets = 0;           // responses cut with a reset
    uint64_t cuts = 0;             // responses cut with an orderly close
    uint64_t undecodable_answers = 0;
    uint64_t dropped = 0;  // connections closed by DropConnections
  };

  enum class Close { kOrderly, kReset };

  struct Event {
    std::chrono::steady_clock::time_point when;
    uint64_t connection = 0;  // numbered from 1 in the order accepted
    std::string what;         // "accepted", "reset after 7 of 14 bytes of message 1", ...
  };
  static constexpr size_t kMaxEvents = 10000;

  // Listens on a free port of 127.0.0.1 in kPass mode and forwards to
  // `upstream` ("host:port", an IPv4 loopback address). Throws
  // std::runtime_error when the address is not such, or the proxy cannot
  // listen.
  static std::unique_ptr<FaultProxy> Start(const std::string& upstream);

  // Stop.
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  // Closes every connection, stops listening and joins every thread.
  // Further calls do nothing.
  void Stop();

  int port() const { return port_; }
  std::string host_port() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::string& upstream() const { return upstream_; }

  // Applies `fault` (see the top of this file) and returns once every
  // thread of the proxy took it into account. Throws std::runtime_error
  // when the proxy is to listen again and the port is no longer free (the
  // proxy then stays not listening). REQUIRES: not stopped; for kDelay,
  // delay >= 0.
  void SetFault(const Fault& fault);
  Fault fault() const;

  // Closes every open connection as `how` says and returns how many it
  // closed, once they are closed.
  int DropConnections(Close how = Close::kOrderly);

  Counters counters() const;
  std::vector<Event> events() const;
  // The events, one a line: "+12.345 ms #3 accepted".
  std::string DescribeEvents() const;

 private:
  class Impl;
  struct PrivateTag {};

 public:
  // For Start only (through std::make_unique).
  FaultProxy(PrivateTag, std::string upstream, int port, std::unique_ptr<Impl> impl);

 private:

  const std::string upstream_;
  const int port_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace userpolicy::local_directories

#endif  // USERPOLICY_LOCAL_DIRECTORIES_FAULT_PROXY_H_
