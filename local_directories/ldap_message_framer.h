// Splits one direction of an LDAP byte stream into its messages (BER TLVs:
// a tag byte, a definite length, the content) without decoding them, so
// that the fault proxy (fault_proxy.h) can act at message boundaries: cut a
// response at its middle, or swallow a request and tell what it asked.
//
// LDAP (RFC 4511) sends every message as a SEQUENCE with a definite length
// of at most four length bytes. A stream that breaks these rules (an
// indefinite length, five or more length bytes) puts the framer in the
// broken() state, where it consumes everything as one endless message.
//
// Thread safety: a framer belongs to one thread.
#ifndef USERPOLICY_LOCAL_DIRECTORIES_LDAP_MESSAGE_FRAMER_H_
#define USERPOLICY_LOCAL_DIRECTORIES_LDAP_MESSAGE_FRAMER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace userpolicy::local_directories {

class LdapMessageFramer {
 public:
  // The longest header a message may have: its tag, the long-form length
  // byte and four length bytes.
  static constexpr size_t kMaxHeaderBytes = 6;

  LdapMessageFramer() = default;

  // Consumes the first bytes of `data`, stopping early at the end of the
  // message's header (once its length is known), at the end of the message,
  // or after `limit` bytes, whichever comes first; returns how many it took.
  // Call again with the rest to go on. Takes at least one byte when `data`
  // and `limit` are not empty.
  size_t Consume(std::string_view data, size_t limit = SIZE_MAX);

  // True before the first byte of a message (also at the very start).
  bool at_message_start() const { return offset_ == 0; }
  // Bytes of the current message consumed so far.
  uint64_t offset() const { return offset_; }
  // The current message's whole size, header included, once its header is
  // complete; 0 while it is not (and when broken()).
  uint64_t message_size() const { return size_; }
  // Messages completed since the start of the stream.
  uint64_t messages() const { return messages_; }
  bool broken() const { return broken_; }

 private:
  // Reads one header byte; sets size_ once the header is whole.
  void TakeHeaderByte(unsigned char byte);

  uint64_t offset_ = 0;
  uint64_t size_ = 0;
  uint64_t messages_ = 0;
  size_t length_bytes_ = 0;  // long-form length bytes still to read
  uint64_t length_ = 0;      // the content length read so far
  bool broken_ = false;
};

// The LDAP operation of a whole message (its protocolOp tag, e.g. 0x60 for
// a bind request, 0x63 for a search request, 0x42 for an unbind), or -1 when
// `message` is not a SEQUENCE starting with an INTEGER message ID.
int LdapOperationTag(std::string_view message);

// True for the requests RFC 4511 answers: every one but unbind and abandon.
bool LdapOperationExpectsResponse(int operation_tag);

}  // namespace userpolicy::local_directories

#endif  // USERPOLICY_LOCAL_DIRECTORIES_LDAP_MESSAGE_FRAMER_H_
