// The framer the fault proxy cuts LDAP streams with: message boundaries over
// any split of the bytes, the long length forms, streams that are not LDAP,
// and the operation of a request.
#include "local_directories/ldap_message_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace userpolicy::local_directories {
namespace {

// An anonymous bind (message 1) and an unbind (message 2), as a client sends them.
const std::string kBind("\x30\x0c\x02\x01\x01\x60\x07\x02\x01\x03\x04\x00\x80\x00", 14);
const std::string kUnbind("\x30\x05\x02\x01\x02\x42\x00", 7);

// A search result entry of `content` bytes with a long-form length of `length_bytes` bytes.
std::string LongMessage(size_t content, int length_bytes) {
  std::string message("\x30", 1);
  message += static_cast<char>(0x80 | length_bytes);
  for (int i = length_bytes - 1; i >= 0; --i) message += static_cast<char>((content >> (8 * i)) & 0xff);
  return message + std::string(content, 'x');
}

// Feeds `stream` in pieces of `piece` bytes and returns the offsets (in the
// stream) where messages ended.
std::vector<size_t> Boundaries(const std::string& stream, size_t piece) {
  LdapMessageFramer framer;
  std::vector<size_t> ends;
  size_t position = 0;
  while (position < stream.size()) {
    const size_t end = std::min(stream.size(), position + piece);
    while (position < end) {
      const uint64_t before = framer.messages();
      position += framer.Consume(std::string_view(stream).substr(position, end - position));
      if (framer.messages() != before) ends.push_back(position);
    }
  }
  return ends;
}

TEST(LdapMessageFramerTest, FindsEveryMessageEndHoweverTheBytesArrive) {
  const std::string two_byte = LongMessage(300, 2);
  const std::string four_byte = LongMessage(70000, 4);
  const std::string stream = kBind + two_byte + kUnbind + four_byte + LongMessage(0x81, 1);
  const std::vector<size_t> expected = {
      kBind.size(), kBind.size() + two_byte.size(), kBind.size() + two_byte.size() + kUnbind.size(),
      kBind.size() + two_byte.size() + kUnbind.size() + four_byte.size(), stream.size()};
  for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{4096}, stream.size()}) {
    EXPECT_EQ(Boundaries(stream, piece), expected) << "pieces of " << piece;
  }
}

TEST(LdapMessageFramerTest, StopsAtTheHeaderAndAtTheLimitSoThatACutLandsMidMessage) {
  const std::string message = LongMessage(300, 2);  // 4 header bytes
  LdapMessageFramer framer;
  EXPECT_TRUE(framer.at_message_start());
  EXPECT_EQ(framer.Consume(message), 4u);
  EXPECT_EQ(framer.message_size(), 304u);
  EXPECT_EQ(framer.Consume(std::string_view(message).substr(4), 148), 148u);
  EXPECT_EQ(framer.offset(), 152u);
  EXPECT_FALSE(framer.at_message_start());
  EXPECT_EQ(framer.Consume(message.substr(152) + "\x30"), 152u);
  EXPECT_TRUE(framer.at_message_start());
  EXPECT_EQ(framer.messages(), 1u);
}

TEST(LdapMessageFramerTest, AStreamThatIsNotLdapBreaksTheFramer) {
  const std::string streams[] = {
      std::string("\x30\x80\x02\x01\x01\x00\x00", 7),  // indefinite length
      std::string("\x30\x85\x01\x02\x03\x04\x05", 7),  // five length bytes
      std::string("\x3f\x81\x01\x00", 4),              // a tag of more than one byte
  };
  for (const std::string& stream : streams) {
    LdapMessageFramer framer;
    size_t position = 0;
    while (position < stream.size()) position += framer.Consume(std::string_view(stream).substr(position));
    EXPECT_TRUE(framer.broken());
    EXPECT_EQ(framer.messages(), 0u);
    EXPECT_EQ(framer.message_size(), 0u);
  }
}

TEST(LdapMessageFramerTest, TellsTheOperationOfARequestAndWhetherItIsAnswered) {
  const std::string search("\x30\x25\x02\x02\x01\x00\x63\x1f", 8);  // message ID 256, truncated body
  const struct {
    std::string message;
    int operation;
    bool answered;
  } cases[] = {
      {kBind, 0x60, true},
      {kUnbind, 0x42, false},
      {search, 0x63, true},
      {std::string("\x30\x06\x02\x01\x05\x50\x01\x03", 8), 0x50, false},  // abandon
      {std::string("\x30\x0d\x04\x0bundecodable", 15), -1, false},        // no message ID
      {std::string("\x30\x03\x02\x01", 4), -1, false},                    // ends in the message ID
      {std::string("\x31\x03\x02\x01\x01", 5), -1, false},                // not a SEQUENCE
      {"", -1, false},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(LdapOperationTag(test.message), test.operation) << test.message.size() << " bytes";
    EXPECT_EQ(LdapOperationExpectsResponse(LdapOperationTag(test.message)), test.answered);
  }
}

}  // namespace
}  // namespace userpolicy::local_directories
