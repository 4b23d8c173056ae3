// The memory of what the C interface hands out: every string, list, record
// and error is allocated here with the C allocator and freed by the
// matching up_free_* function, so that a host never frees our memory with
// its own allocator or the other way round.
//
// While a result is being built it is held by one of the owners below; if
// building stops part way (an allocation failed, a lookup threw) the owner
// frees whatever was allocated, so nothing is ever half handed out.
// Allocation failures raise std::bad_alloc, which the call turns into
// UP_OUT_OF_MEMORY.
//
// Thread safety: every function may be called from any thread.
#ifndef USERPOLICY_CAPI_RESULT_MEMORY_H_
#define USERPOLICY_CAPI_RESULT_MEMORY_H_

#include <cstddef>
#include <memory>
#include <string_view>

#include "capi/userpolicy.h"

namespace capi {

// `count` zeroed elements of `size` bytes. Raises std::bad_alloc when memory
// (or the allocation hook) refuses, or when count * size overflows.
void* AllocateZeroed(size_t count, size_t size);

// A NUL-terminated copy of `text`. Raises std::bad_alloc.
char* CopyString(std::string_view text);

struct StringDeleter {
  void operator()(char* text) const { up_free_string(text); }
};
struct StringListDeleter {
  void operator()(up_string_list* list) const { up_free_string_list(list); }
};
struct RecordDeleter {
  void operator()(up_record* record) const { up_free_record(record); }
};
struct ProcessListDeleter {
  void operator()(up_process_list* list) const { up_free_process_list(list); }
};
struct ErrorDeleter {
  void operator()(up_error* error) const { up_free_error(error); }
};

using StringOwner = std::unique_ptr<char, StringDeleter>;
using StringListOwner = std::unique_ptr<up_string_list, StringListDeleter>;
using RecordOwner = std::unique_ptr<up_record, RecordDeleter>;
using ProcessListOwner = std::unique_ptr<up_process_list, ProcessListDeleter>;
using ErrorOwner = std::unique_ptr<up_error, ErrorDeleter>;

// An empty list with room for `count` items (count set, items all null), so
// that the list can be freed at any point while its items are filled in.
StringListOwner NewStringList(size_t count);

// A list of `count` process ids, all 0.
ProcessListOwner NewProcessList(size_t count);

}  // namespace capi

#endif  // USERPOLICY_CAPI_RESULT_MEMORY_H_
