// Makes Global Catalog discovery ask a test's DNS resolver for a scope.
//
//   directory::testing::ScopedSrvResolver resolver([](const std::string& name) {
//     return std::vector<directory::SrvRecord>{{0, 100, 3268, "gc1.example.test"}};
//   });
#ifndef USERPOLICY_TESTING_SCOPED_SRV_RESOLVER_H_
#define USERPOLICY_TESTING_SCOPED_SRV_RESOLVER_H_

#include <cstdint>
#include <utility>

#include "platform/directory/srv_resolver_hook.h"

namespace directory::testing {

// While alive, discovery asks `resolver` instead of the system's resolver
// and orders the records with a generator seeded with `seed` (one generator
// for the life of this object, so successive discoveries draw successive
// numbers). Install it before the threads that discover start and destroy it
// after they end; not nestable.
class ScopedSrvResolver {
 public:
  static constexpr uint64_t kDefaultSeed = 20240611;

  explicit ScopedSrvResolver(SrvResolver resolver, uint64_t seed = kDefaultSeed) {
    hooks::InstallSrvResolver(std::move(resolver), seed);
  }
  ~ScopedSrvResolver() { hooks::RemoveSrvResolver(); }
  ScopedSrvResolver(const ScopedSrvResolver&) = delete;
  ScopedSrvResolver& operator=(const ScopedSrvResolver&) = delete;
};

}  // namespace directory::testing

#endif  // USERPOLICY_TESTING_SCOPED_SRV_RESOLVER_H_
