// The system resolver of platform/directory/gc_discovery.h on POSIX
// systems: libresolv's res_nquery with the settings of resolv.conf, the
// answer parsed by ParseSrvResponse.
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/directory/gc_discovery.h"

namespace directory {

namespace {

// A resolver state of our own (res_ninit), closed on every path.
class ResolverState {
 public:
  ResolverState() {
    std::memset(&state_, 0, sizeof(state_));
    ready_ = res_ninit(&state_) == 0;
  }
  ~ResolverState() {
    if (ready_) res_nclose(&state_);
  }
  ResolverState(const ResolverState&) = delete;
  ResolverState& operator=(const ResolverState&) = delete;

  bool ready() const { return ready_; }
  res_state get() { return &state_; }

 private:
  struct __res_state state_;
  bool ready_ = false;
};

}  // namespace

std::vector<SrvRecord> ResolveSrvRecordsWithSystemResolver(const std::string& name) {
  ResolverState state;
  if (!state.ready()) return {};
  std::vector<unsigned char> answer(kMaxDnsMessageLength);
  const int length = res_nquery(state.get(), name.c_str(), ns_c_in, ns_t_srv, answer.data(),
                                static_cast<int>(answer.size()));
  if (length <= 0) return {};
  return ParseSrvResponse(answer.data(), std::min(static_cast<size_t>(length), answer.size()));
}

}  // namespace directory
