#include "local_directories/ldap_message_framer.h"

#include <algorithm>

namespace userpolicy::local_directories {
namespace {

constexpr unsigned char kSequenceTag = 0x30;
constexpr unsigned char kIntegerTag = 0x02;
constexpr unsigned char kLongTagForm = 0x1f;    // low tag bits all set: the tag goes on
constexpr unsigned char kLongLengthForm = 0x80;  // high bit: the count of length bytes follows
constexpr size_t kMaxLengthBytes = 4;
constexpr int kUnbindRequestTag = 0x42;   // [APPLICATION 2] NULL
constexpr int kAbandonRequestTag = 0x50;  // [APPLICATION 16] INTEGER

// The header of the TLV at `*position` of `message`: moves *position to its
// content and returns the content length; false when it does not fit.
bool SkipHeader(std::string_view message, size_t* position, uint64_t* length) {
  if (*position + 2 > message.size()) return false;
  const auto first = static_cast<unsigned char>(message[*position + 1]);
  *position += 2;
  if ((first & kLongLengthForm) == 0) {
    *length = first;
    return true;
  }
  const size_t count = first & ~kLongLengthForm;
  if (count == 0 || count > kMaxLengthBytes || *position + count > message.size()) return false;
  *length = 0;
  for (size_t i = 0; i < count; ++i) *length = (*length << 8) | static_cast<unsigned char>(message[*position + i]);
  *position += count;
  return true;
}

}  // namespace

void LdapMessageFramer::TakeHeaderByte(unsigned char byte) {
  if (offset_ == 0) {
    if ((byte & kLongTagForm) == kLongTagForm) broken_ = true;
    return;
  }
  if (offset_ == 1) {
    if ((byte & kLongLengthForm) == 0) {
      size_ = 2 + byte;
      return;
    }
    length_bytes_ = byte & ~kLongLengthForm;
    length_ = 0;
    if (length_bytes_ == 0 || length_bytes_ > kMaxLengthBytes) broken_ = true;
    return;
  }
  length_ = (length_ << 8) | byte;
  if (--length_bytes_ == 0) size_ = offset_ + 1 + length_;
}

size_t LdapMessageFramer::Consume(std::string_view data, size_t limit) {
  const size_t available = std::min(data.size(), limit);
  if (broken_) {
    offset_ += available;
    return available;
  }
  size_t taken = 0;
  while (taken < available) {
    if (size_ == 0) {
      TakeHeaderByte(static_cast<unsigned char>(data[taken]));
      ++taken;
      ++offset_;
      if (broken_) {
        size_ = 0;
        offset_ += available - taken;
        return available;
      }
      if (size_ == 0) continue;  // more header to come
    } else {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(available - taken, size_ - offset_));
      taken += take;
      offset_ += take;
    }
    if (offset_ == size_) {
      ++messages_;
      offset_ = 0;
      size_ = 0;
    }
    return taken;
  }
  return taken;
}

int LdapOperationTag(std::string_view message) {
  size_t position = 0;
  uint64_t length = 0;
  if (message.empty() || static_cast<unsigned char>(message[0]) != kSequenceTag) return -1;
  if (!SkipHeader(message, &position, &length)) return -1;
  if (position >= message.size() || static_cast<unsigned char>(message[position]) != kIntegerTag) return -1;
  if (!SkipHeader(message, &position, &length) || length == 0 || length > message.size() - position) return -1;
  position += static_cast<size_t>(length);
  if (position >= message.size()) return -1;
  return static_cast<unsigned char>(message[position]);
}

bool LdapOperationExpectsResponse(int operation_tag) {
  return operation_tag >= 0 && operation_tag != kUnbindRequestTag && operation_tag != kAbandonRequestTag;
}

}  // namespace userpolicy::local_directories
