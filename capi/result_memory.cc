#include "capi/result_memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "capi/allocation_hook.h"

namespace capi {
namespace {

std::atomic<hooks::AllocationFailureHook> g_failure_hook{nullptr};

}  // namespace

void* AllocateZeroed(size_t count, size_t size) {
  const hooks::AllocationFailureHook hook = g_failure_hook.load(std::memory_order_acquire);
  if (hook != nullptr && hook()) throw std::bad_alloc();
  // At least one byte, so that an empty array is not mistaken for a failure.
  void* memory = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

char* CopyString(std::string_view text) {
  char* copy = static_cast<char*>(AllocateZeroed(text.size() + 1, 1));
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  return copy;
}

StringListOwner NewStringList(size_t count) {
  StringListOwner list(static_cast<up_string_list*>(AllocateZeroed(1, sizeof(up_string_list))));
  list->items = static_cast<char**>(AllocateZeroed(count, sizeof(char*)));
  list->count = count;
  return list;
}

ProcessListOwner NewProcessList(size_t count) {
  ProcessListOwner list(static_cast<up_process_list*>(AllocateZeroed(1, sizeof(up_process_list))));
  list->pids = static_cast<int*>(AllocateZeroed(count, sizeof(int)));
  list->count = count;
  return list;
}

namespace hooks {

AllocationFailureHook SetAllocationFailureHook(AllocationFailureHook hook) {
  return g_failure_hook.exchange(hook, std::memory_order_acq_rel);
}

}  // namespace hooks
}  // namespace capi

// The free functions of the C interface: each accepts null and whatever a
// result holds at any point of its building (null members, zero counts).

void up_free_string(char* text) { std::free(text); }

void up_free_string_list(up_string_list* list) {
  if (list == nullptr) return;
  if (list->items != nullptr) {
    for (size_t i = 0; i < list->count; ++i) std::free(list->items[i]);
  }
  std::free(list->items);
  std::free(list);
}

void up_free_record(up_record* record) {
  if (record == nullptr) return;
  if (record->properties != nullptr) {
    for (size_t p = 0; p < record->property_count; ++p) {
      up_property& property = record->properties[p];
      std::free(property.name);
      if (property.values != nullptr) {
        for (size_t v = 0; v < property.value_count; ++v) {
          std::free(property.values[v].text);
          std::free(property.values[v].bytes);
        }
      }
      std::free(property.values);
    }
  }
  std::free(record->properties);
  std::free(record);
}

void up_free_process_list(up_process_list* list) {
  if (list == nullptr) return;
  std::free(list->pids);
  std::free(list);
}

void up_free_error(up_error* error) {
  if (error == nullptr) return;
  std::free(error->message);
  std::free(error);
}
