#include "perf/perf_mon_manager.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "perf/perf_mon_manager_hook.h"
#include "perf/perf_segment.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/module.h"
#include "platform/sync.h"

namespace {

constexpr char kSource[] = "perf_PerfMonManager";

// The failure injected through perf::hooks::SetCreateFailure; S_OK for none.
std::atomic<HRESULT> g_injected_create_failure{S_OK};

// The categories a manager registers, in the order of the segment's table.
// A function rather than a table with static storage, so that managers work
// while static objects are still being constructed (the library's entry
// point may run then).
constexpr size_t kCategoryCount = 1;
std::array<const perf::CategoryDefinition*, kCategoryCount> Categories() {
  return {&CDSAccessPerfObject::Category()};
}

const perf::CategoryDefinition* FindCategory(DWORD id) {
  for (const perf::CategoryDefinition* category : Categories()) {
    if (category->id == id) return category;
  }
  return nullptr;
}

// Copies `text` into a fixed field, cut to fit and NUL-terminated.
template <size_t N>
void CopyText(char (&field)[N], const char* text) {
  const size_t length = std::min(std::strlen(text), N - 1);
  std::memcpy(field, text, length);
  field[length] = '\0';
}

void FillCategoryRecord(const perf::CategoryDefinition& category, perf::CategoryRecord* record) {
  record->id = category.id;
  record->flags = perf::kCategoryWithoutInstances;
  record->counter_count = static_cast<uint32_t>(category.counters.size());
  record->object_size = category.object_size;
  CopyText(record->name, category.name);
  CopyText(record->help, category.help);
  for (size_t i = 0; i < category.counters.size(); ++i) {
    const perf::CounterDefinition& counter = category.counters[i];
    perf::CounterRecord& out = record->counters[i];
    out.offset = counter.offset;
    out.size = perf::CounterSize(counter.type);
    out.type = static_cast<uint32_t>(counter.type);
    CopyText(out.key, counter.key);
    CopyText(out.name, counter.name);
    CopyText(out.help, counter.help);
  }
}

template <class T>
void StoreShared(T* target, T value) {
  __atomic_store_n(target, value, __ATOMIC_RELEASE);
}

// Where the tables start in our segments.
constexpr size_t kCategoryOffset = sizeof(perf::SegmentHeader);
constexpr size_t kSlotOffset = kCategoryOffset + kCategoryCount * sizeof(perf::CategoryRecord);
static_assert(kSlotOffset % alignof(perf::SlotRecord) == 0);

perf::SlotRecord* SlotAt(platform::SharedMemory* segment, size_t index) {
  auto* base = static_cast<unsigned char*>(segment->data());
  return reinterpret_cast<perf::SlotRecord*>(base + kSlotOffset + index * sizeof(perf::SlotRecord));
}

HRESULT LogCreateFailure(DWORD category_id, HRESULT hr, const wchar_t* why) {
  DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelWarning, kSource, __LINE__,
                  L"CreateInstance(category %lu) failed: %s (0x%08X)", category_id, why, hr);
  return hr;
}

}  // namespace

CQuarnPerfMonManager* CQuarnPerfMonManager::Instance() {
  static CQuarnPerfMonManager manager;
  return &manager;
}

CQuarnPerfMonManager::CQuarnPerfMonManager()
    : CQuarnPerfMonManager(perf::PerfMonManagerOptions{}) {}

CQuarnPerfMonManager::CQuarnPerfMonManager(perf::PerfMonManagerOptions options)
    : options_(std::move(options)) {
  static_assert(sizeof(CDSAccessPerfObject) <= perf::kMaxObjectSize);
}

CQuarnPerfMonManager::~CQuarnPerfMonManager() {
  mu_.Lock();
  if (segment_ != nullptr) {
    if (segment_pid_ == platform::CurrentProcessId())
      platform::SharedMemory::Remove(segment_->name());
    const bool objects_in_use = std::any_of(slot_objects_.begin(), slot_objects_.end(),
                                            [](CPerfObject* object) { return object != nullptr; });
    if (objects_in_use) segment_->KeepMappedForProcessLifetime();
    segment_.reset();
  }
  mu_.Unlock();
}

HRESULT CQuarnPerfMonManager::CreateInstance(DWORD category_id, DWORD instance,
                                             LPCWSTR instance_name, CPerfObject** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  const HRESULT injected = g_injected_create_failure.load(std::memory_order_relaxed);
  if (injected != S_OK) return LogCreateFailure(category_id, injected, L"injected failure");
  const perf::CategoryDefinition* category = FindCategory(category_id);
  if (category == nullptr) {
    return LogCreateFailure(category_id, E_INVALIDARG, L"the category is not registered");
  }
  if (instance != 0 || (instance_name != nullptr && instance_name[0] != L'\0')) {
    return LogCreateFailure(category_id, E_INVALIDARG, L"the category has no instances");
  }
  if (!mu_.TryLockFor(options_.lock_timeout)) {
    return LogCreateFailure(category_id, perf::kManagerLockTimeout, L"the manager's lock is busy");
  }
  HRESULT hr;
  try {
    hr = CreateLocked(*category, object);
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  mu_.Unlock();
  if (FAILED(hr)) LogCreateFailure(category_id, hr, L"no object");
  return hr;
}

HRESULT CQuarnPerfMonManager::CreateLocked(const perf::CategoryDefinition& category,
                                           CPerfObject** object) {
  const HRESULT hr = EnsureSegmentLocked();
  if (FAILED(hr)) return hr;

  // A category without instances: the existing object if there is one.
  for (CPerfObject* existing : slot_objects_) {
    if (existing != nullptr && existing->m_dwCategoryId == category.id) {
      InterlockedIncrement(perf::InterlockedView(&existing->m_nRefCount));
      *object = existing;
      return S_OK;
    }
  }
  const auto free_slot = std::find(slot_objects_.begin(), slot_objects_.end(), nullptr);
  if (free_slot == slot_objects_.end()) return E_OUTOFMEMORY;
  const size_t index = static_cast<size_t>(free_slot - slot_objects_.begin());
  perf::SlotRecord* slot = SlotAt(segment_.get(), index);

  CPerfObject* created = category.construct(slot->object);
  created->m_nAllocSize = category.object_size;
  created->m_dwCategoryId = category.id;
  created->m_dwInstance = 0;
  created->m_nRefCount = 1;
  created->m_nInstanceNameOffset = 0;
  StoreShared(&slot->state, perf::kSlotInUse);  // publishes the complete object
  *free_slot = created;
  *object = created;
  return S_OK;
}

HRESULT CQuarnPerfMonManager::ReleaseInstance(CPerfObject* object) {
  if (object == nullptr) return E_POINTER;
  if (!mu_.TryLockFor(options_.lock_timeout)) return perf::kManagerLockTimeout;
  const HRESULT hr = ReleaseLocked(object);
  mu_.Unlock();
  return hr;
}

HRESULT CQuarnPerfMonManager::ReleaseLocked(CPerfObject* object) {
  const auto held = std::find(slot_objects_.begin(), slot_objects_.end(), object);
  if (held == slot_objects_.end()) return E_INVALIDARG;
  if (InterlockedDecrement(perf::InterlockedView(&object->m_nRefCount)) != 0) return S_OK;

  perf::SlotRecord* slot =
      SlotAt(segment_.get(), static_cast<size_t>(held - slot_objects_.begin()));
  StoreShared(&slot->state, perf::kSlotFree);  // readers stop looking at it first
  std::memset(slot->object, 0, sizeof(slot->object));
  *held = nullptr;
  return S_OK;
}

HRESULT CQuarnPerfMonManager::EnsureSegmentLocked() {
  const DWORD pid = platform::CurrentProcessId();
  if (segment_ != nullptr && segment_pid_ == pid) return S_OK;
  if (segment_ != nullptr) {
    // Inherited through fork(): the memory is the parent's; leave it alone
    // (and mapped, for pointers the child copied) and start our own.
    segment_->KeepMappedForProcessLifetime();
    segment_.reset();
    slot_objects_.clear();
  }

  const std::string name =
      options_.segment_name.empty() ? perf::SegmentNameForProcess(pid) : options_.segment_name;
  const size_t segment_size = kSlotOffset + size_t{options_.slot_count} * sizeof(perf::SlotRecord);
  slot_objects_.assign(options_.slot_count, nullptr);  // before the segment: may throw

  std::unique_ptr<platform::SharedMemory> segment;
  const HRESULT hr = platform::SharedMemory::Create(name, segment_size, &segment);
  if (FAILED(hr)) return hr;

  // The memory is zeroed: fill in everything but the magic, then publish.
  auto* base = static_cast<unsigned char*>(segment->data());
  auto* header = reinterpret_cast<perf::SegmentHeader*>(base);
  header->version = perf::kSegmentVersion;
  header->header_size = sizeof(perf::SegmentHeader);
  header->segment_size = segment_size;
  header->owner_pid = pid;
  header->category_count = static_cast<uint32_t>(kCategoryCount);
  header->category_offset = static_cast<uint32_t>(kCategoryOffset);
  header->category_size = sizeof(perf::CategoryRecord);
  header->slot_count = options_.slot_count;
  header->slot_offset = static_cast<uint32_t>(kSlotOffset);
  header->slot_size = sizeof(perf::SlotRecord);
  FILETIME created;
  GetSystemTimeAsFileTime(&created);
  header->created_low = created.dwLowDateTime;
  header->created_high = created.dwHighDateTime;
  auto* categories = reinterpret_cast<perf::CategoryRecord*>(base + kCategoryOffset);
  for (size_t i = 0; i < kCategoryCount; ++i) FillCategoryRecord(*Categories()[i], &categories[i]);
  StoreShared(&header->magic, perf::kSegmentMagic);

  segment_ = std::move(segment);
  segment_pid_ = pid;
  return S_OK;
}

std::string CQuarnPerfMonManager::SegmentName() {
  mu_.Lock();
  std::string name = segment_ != nullptr ? segment_->name() : std::string();
  mu_.Unlock();
  return name;
}

namespace perf::hooks {

HRESULT SetCreateFailure(HRESULT failure) { return g_injected_create_failure.exchange(failure); }

}  // namespace perf::hooks
