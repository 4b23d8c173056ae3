// Hooks of the in-flight table (manager/in_flight_table.h) that let tests
// force the races and failures of single-flight lookups deterministically.
// Product code sets none of them; unset, each costs one relaxed atomic load
// where it is read.
#ifndef USERPOLICY_MANAGER_IN_FLIGHT_HOOKS_H_
#define USERPOLICY_MANAGER_IN_FLIGHT_HOOKS_H_

#include <string>

namespace in_flight_hooks {
// Called by a waiter after it found its key in flight and released the
// in-flight lock, before it waits. Lets a test end the fetch exactly there.
// Null (the default) costs one relaxed atomic load per waiter.
using BeforeWaitHook = void (*)(const std::wstring& key);
void SetBeforeWaitHook(BeforeWaitHook hook);
BeforeWaitHook GetBeforeWaitHook();
// While true, completion events are made without a handle, as when the
// system cannot create one.
void SetFailEventCreation(bool fail);
bool GetFailEventCreation();
}  // namespace in_flight_hooks

#endif  // USERPOLICY_MANAGER_IN_FLIGHT_HOOKS_H_
