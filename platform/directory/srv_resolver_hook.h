// Hook of Global Catalog discovery (platform/directory/gc_discovery.h): a
// DNS resolver and random seed of the caller's instead of the system's, so
// that tests get repeatable SRV orders without a DNS server (the
// test-support library's testing/scoped_srv_resolver.h). Product code
// installs nothing.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_SRV_RESOLVER_HOOK_H_
#define USERPOLICY_PLATFORM_DIRECTORY_SRV_RESOLVER_HOOK_H_

#include <cstdint>

#include "platform/directory/gc_discovery.h"

namespace directory::hooks {

// From now on discovery asks `resolver` and orders the records with one
// generator seeded with `seed` (successive discoveries draw successive
// numbers). Install before the threads that discover start.
void InstallSrvResolver(SrvResolver resolver, uint64_t seed);
// The system's resolver and a randomly seeded generator again.
void RemoveSrvResolver();

}  // namespace directory::hooks

#endif  // USERPOLICY_PLATFORM_DIRECTORY_SRV_RESOLVER_HOOK_H_
