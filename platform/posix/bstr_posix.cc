// BSTR allocation. A BSTR points at its characters; the 4 bytes before them
// hold the length in bytes, and a zero character follows them, as on
// Windows. The block starts 8 bytes before the characters so that they are
// 8-byte aligned.
//
// Like the system's own, the allocator keeps freed blocks for reuse: each
// thread keeps a few blocks of each of four sizes (64 to 512 bytes), so that
// the strings a lookup makes and drops by the dozen (attribute values and
// their copies) cost no trip through malloc and free. A short string is
// given the smallest of those sizes that holds it; the first 4 bytes of its
// block say which (0: a block of its own size, freed to the system). Under
// a sanitizer every string has a block of its own size, freed at once, so
// that each overflow and each use after free is seen.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/com.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define USERPOLICY_BSTR_BLOCKS_OF_THEIR_OWN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define USERPOLICY_BSTR_BLOCKS_OF_THEIR_OWN 1
#endif
#endif

namespace {

// Bytes from the start of the allocation to the first character.
constexpr size_t kHeaderBytes = 8;
// The byte count sits immediately before the characters.
constexpr size_t kLengthBytes = sizeof(uint32_t);
// The block's size class (index + 1, or 0) sits at the start of the block.
constexpr size_t kClassTagBytes = sizeof(uint32_t);
// Byte lengths are 32-bit; leave room for the terminator and padding.
constexpr uint64_t kMaxByteLength = UINT32_MAX - 2 * sizeof(OLECHAR);

#ifdef USERPOLICY_BSTR_BLOCKS_OF_THEIR_OWN
constexpr bool kReuseBlocks = false;
#else
constexpr bool kReuseBlocks = true;
#endif
// The sizes of the blocks kept for reuse, header included.
constexpr size_t kClassBytes[] = {64, 128, 256, 512};
constexpr size_t kClassCount = sizeof(kClassBytes) / sizeof(kClassBytes[0]);
// Blocks kept per size and thread.
constexpr size_t kBlocksPerClass = 64;

// The blocks a thread keeps. Trivially destructible, so that it is usable
// to the very end of the thread; ThreadEnd closes it first.
struct BlockCache {
  char* blocks[kClassCount][kBlocksPerClass];
  size_t counts[kClassCount];
  bool watched;  // the thread's ThreadEnd is registered
  bool closed;   // the thread is ending: blocks go back to the system
};
thread_local BlockCache t_cache;  // zero-initialised

// Frees the blocks of the ending thread and closes its cache.
struct ThreadEnd {
  ~ThreadEnd() {
    t_cache.closed = true;
    for (size_t c = 0; c < kClassCount; ++c) {
      for (size_t i = 0; i < t_cache.counts[c]; ++i) std::free(t_cache.blocks[c][i]);
      t_cache.counts[c] = 0;
    }
  }
};
thread_local ThreadEnd t_thread_end;

// The class of a block of `bytes`, or kClassCount when there is none.
size_t ClassOf(size_t bytes) {
  if (!kReuseBlocks) return kClassCount;
  for (size_t c = 0; c < kClassCount; ++c) {
    if (bytes <= kClassBytes[c]) return c;
  }
  return kClassCount;
}

char* TakeBlock(size_t size_class) {
  BlockCache& cache = t_cache;
  if (cache.counts[size_class] > 0) return cache.blocks[size_class][--cache.counts[size_class]];
  return static_cast<char*>(std::malloc(kClassBytes[size_class]));
}

void GiveBack(char* block) {
  uint32_t tag;
  std::memcpy(&tag, block, kClassTagBytes);
  if (tag != 0) {
    BlockCache& cache = t_cache;
    const size_t size_class = tag - 1;
    if (!cache.closed && cache.counts[size_class] < kBlocksPerClass) {
      if (!cache.watched) {
        // Touching the thread's ThreadEnd registers its destructor.
        static_cast<void>(&t_thread_end);
        cache.watched = true;
      }
      cache.blocks[size_class][cache.counts[size_class]++] = block;
      return;
    }
  }
  std::free(block);
}

char* BlockOf(BSTR bstr) { return reinterpret_cast<char*>(bstr) - kHeaderBytes; }

uint32_t StoredByteLength(BSTR bstr) {
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(bstr) - kLengthBytes, kLengthBytes);
  return bytes;
}

// A string of `byte_length` bytes copied from `source` (zeros if null),
// followed by zero bytes up to the next character boundary plus a whole zero
// character. Null on overflow or memory shortage.
BSTR AllocateBytes(const void* source, uint64_t byte_length) {
  if (byte_length > kMaxByteLength) return nullptr;
  const size_t rounded = (byte_length + sizeof(OLECHAR) - 1) / sizeof(OLECHAR) * sizeof(OLECHAR);
  const size_t storage = rounded + sizeof(OLECHAR);
  const size_t size_class = ClassOf(kHeaderBytes + storage);
  char* block = size_class < kClassCount ? TakeBlock(size_class)
                                         : static_cast<char*>(std::malloc(kHeaderBytes + storage));
  if (block == nullptr) return nullptr;
  const uint32_t tag = size_class < kClassCount ? static_cast<uint32_t>(size_class + 1) : 0;
  std::memcpy(block, &tag, kClassTagBytes);
  char* text = block + kHeaderBytes;
  const uint32_t stored = static_cast<uint32_t>(byte_length);
  std::memcpy(text - kLengthBytes, &stored, kLengthBytes);
  if (source != nullptr) {
    std::memcpy(text, source, byte_length);
  } else {
    std::memset(text, 0, byte_length);
  }
  // The padding and the terminator: two to three bytes.
  for (size_t i = byte_length; i < storage; ++i) text[i] = 0;
  return reinterpret_cast<BSTR>(text);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  return AllocateBytes(psz, uint64_t{std::wcslen(psz)} * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* psz, UINT len) {
  return AllocateBytes(psz, uint64_t{len} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocateBytes(psz, len); }

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (pbstr == nullptr) return FALSE;
  BSTR fresh = SysAllocString(psz);
  if (fresh == nullptr && psz != nullptr) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (pbstr == nullptr) return FALSE;
  BSTR fresh = SysAllocStringLen(psz, len);
  if (fresh == nullptr) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

void SysFreeString(BSTR bstr) {
  if (bstr != nullptr) GiveBack(BlockOf(bstr));
}

UINT SysStringLen(BSTR bstr) {
  return bstr == nullptr ? 0 : StoredByteLength(bstr) / sizeof(OLECHAR);
}

UINT SysStringByteLen(BSTR bstr) { return bstr == nullptr ? 0 : StoredByteLength(bstr); }
