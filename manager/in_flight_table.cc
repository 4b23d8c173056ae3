#include "manager/in_flight_table.h"

#include <atomic>

#include "manager/in_flight_hooks.h"
#include "platform/log.h"
#include "platform/module.h"
#include "platform/sync.h"

namespace {
constexpr char kSource[] = "serv_UserPolicyManager";
std::atomic<in_flight_hooks::BeforeWaitHook> g_before_wait_hook{nullptr};
std::atomic<bool> g_fail_event_creation{false};

HANDLE CreateCompletionHandle() {
  if (g_fail_event_creation.load(std::memory_order_relaxed)) return nullptr;
  return CreateEventW(nullptr, /*manual_reset=*/TRUE, /*initial_state=*/FALSE, nullptr);
}
}  // namespace

CCompletionEvent::CCompletionEvent() : handle_(CreateCompletionHandle()) {}

CCompletionEvent::~CCompletionEvent() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

void CCompletionEvent::Signal() {
  if (handle_ != nullptr) SetEvent(handle_);
}

void CCompletionEvent::Wait() {
  lock_discipline::CheckNoLockHeld("a wait for another thread's directory read while holding a module lock");
  WaitForSingleObject(handle_, INFINITE);
}

CSyncObject::CSyncObject() = default;

CAutoRemoveSyncObject::~CAutoRemoveSyncObject() {
  Guard<CSLock> guard(*m_pLock);
  auto it = m_pTable->find(*m_pKey);
  if (it == m_pTable->end()) {
    DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelWarning, kSource, __LINE__,
                    L"CAutoRemoveSyncObject(%s) fail.", m_pKey->c_str());
    return;
  }
  std::shared_ptr<CCompletionEvent> event = std::move(it->second.event);
  m_pTable->erase(it);
  if (event != nullptr) event->Signal();
  // `event` goes here: the handle closes now unless a waiter still holds it.
}

namespace in_flight_hooks {
void SetBeforeWaitHook(BeforeWaitHook hook) { g_before_wait_hook.store(hook, std::memory_order_release); }
BeforeWaitHook GetBeforeWaitHook() { return g_before_wait_hook.load(std::memory_order_relaxed); }
void SetFailEventCreation(bool fail) { g_fail_event_creation.store(fail, std::memory_order_relaxed); }
bool GetFailEventCreation() { return g_fail_event_creation.load(std::memory_order_relaxed); }
}  // namespace in_flight_hooks
