// Named shared-memory segments that other processes of the machine can map,
// and the two process queries that go with publishing data through them.
//
//   std::unique_ptr<platform::SharedMemory> segment;
//   HRESULT hr = platform::SharedMemory::Create("userpolicy-perf-1234", 8192, &segment);
//   if (SUCCEEDED(hr)) memcpy(segment->data(), ...);
//
// Names are portable: 1 to 200 characters of [A-Za-z0-9._-], no path
// separator. The layer maps them onto the system's namespace ("/name" for
// shm_open on POSIX systems, where Linux shows the segment as
// /dev/shm/name; a file mapping "Global\name", else "Local\name", on
// Windows, see platform/win/shared_memory_win.cc).
//
// A segment exists until Remove() names it: on POSIX systems it outlives the
// process that created it (until the machine restarts), which is why its
// creator removes it when done and why a reader may clean up segments of
// dead processes; on Windows the system removes it with its creator, so
// there are never stale ones. Removing a name does not invalidate mappings:
// memory stays readable and writable by whoever mapped it until they unmap.
//
// Thread safety: the static functions are thread-safe. One SharedMemory
// object may be read by any number of threads; its memory is shared, so the
// callers agree on how to access it (atomics).
#ifndef USERPOLICY_PLATFORM_SHARED_MEMORY_H_
#define USERPOLICY_PLATFORM_SHARED_MEMORY_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND): no segment has the name.
inline constexpr HRESULT kSharedMemoryNotFound = static_cast<HRESULT>(0x80070002u);

// One mapping of a named segment into this process. Owns the mapping: the
// destructor unmaps it unless KeepMappedForProcessLifetime() was called.
class SharedMemory {
 public:
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  ~SharedMemory();

  // Creates segment `name` with `size` zero bytes, mapped read-write, and
  // stores it in *segment. A segment of the same name left behind (by a dead
  // process, or by this one) is replaced. The segment is readable by every
  // local user and writable by its creator's user only.
  // Returns S_OK, or on failure a negative HRESULT with *segment null:
  // E_INVALIDARG for a bad name or a size of 0, E_ACCESSDENIED, E_OUTOFMEMORY
  // (no room for the segment), E_FAIL otherwise. The failing call and its
  // system error are written to the log.
  static HRESULT Create(const std::string& name, size_t size,
                        std::unique_ptr<SharedMemory>* segment);

  // Maps the whole of an existing segment read-only. Returns S_OK,
  // kSharedMemoryNotFound when no segment has that name,
  // E_ACCESSDENIED, E_INVALIDARG for a bad name, E_FAIL otherwise. Failures
  // are not logged (readers probe).
  static HRESULT OpenReadOnly(const std::string& name, std::unique_ptr<SharedMemory>* segment);

  // Removes the name. Returns S_OK, S_FALSE when there was no such segment,
  // E_ACCESSDENIED or E_FAIL. On Windows only the creating process can
  // remove a segment (another's is E_ACCESSDENIED while it lives).
  static HRESULT Remove(const std::string& name);

  // The names of the existing segments that start with `prefix`, in no
  // particular order. Empty when the system cannot list segments.
  static std::vector<std::string> List(const std::string& prefix);

  // The mapped memory: size() bytes, aligned to at least 4096 bytes. A
  // read-only mapping of a segment made elsewhere is its size on POSIX
  // systems and its size rounded up to whole pages on Windows.
  void* data() const { return data_; }
  size_t size() const { return size_; }
  bool writable() const { return writable_; }
  const std::string& name() const { return name_; }

  // Makes the destructor leave the memory mapped, so that pointers into it
  // stay valid for the rest of the process's life (for objects other code
  // may still hold when their owner goes away at process exit).
  void KeepMappedForProcessLifetime() { keep_mapped_ = true; }

 private:
  SharedMemory(std::string name, void* data, size_t size, bool writable);

  const std::string name_;
  void* const data_;
  const size_t size_;
  const bool writable_;
  bool keep_mapped_ = false;
};

// The id of the calling process.
DWORD CurrentProcessId();

// True when a process with id `pid` exists (also one of another user that
// this process may not signal).
bool ProcessExists(DWORD pid);

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_SHARED_MEMORY_H_
