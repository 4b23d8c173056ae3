#include "platform/directory/read_ahead.h"

#include "platform/directory/ldap_read_ahead.h"

namespace directory {
namespace {

thread_local ReadAheadScope* t_scope = nullptr;

}  // namespace

ReadAheadScope::ReadAheadScope(GroupWalk* walk) : walk_(walk) {
  if (t_scope != nullptr) return;
  t_scope = this;
  active_ = true;
}

ReadAheadScope::~ReadAheadScope() {
  if (active_) t_scope = nullptr;
}

ReadAheadScope* ReadAheadScope::Current() { return t_scope; }

ldap_backend_internal::ReadAheadStore& ReadAheadScope::store() {
  if (store_ == nullptr) store_ = std::make_unique<ldap_backend_internal::ReadAheadStore>();
  return *store_;
}

}  // namespace directory
