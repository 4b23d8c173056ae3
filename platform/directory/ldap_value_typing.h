// Typing the values an LDAP server returns.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files and their tests.
//
// A server sends every value as bytes. Its schema (the attributeTypes of its
// subschema entry, RFC 4512) gives each attribute a syntax, directly or
// through the chain of its superior types (SUP), and the syntax decides the
// type of the attribute's values:
//   INTEGER                       VT_I4, or VT_I8 for a value beyond 32 bits
//   large integer (Active Directory 1.2.840.113556.1.4.906)   VT_I8
//   Boolean                       VT_BOOL
//   octet string and the binary syntaxes (certificates, JPEG, Active
//   Directory SIDs and security descriptors)   VT_ARRAY | VT_UI1
//   every other syntax            VT_BSTR
// A number or Boolean that does not parse stays text. An attribute the
// schema does not know is VT_BSTR when its value is printable UTF-8 text
// (platform::IsPrintableText), VT_ARRAY | VT_UI1 otherwise.
//
// Thread safety: a Schema is immutable once parsed and may be read from any
// number of threads; the functions are pure.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_VALUE_TYPING_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_VALUE_TYPING_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ascii.h"
#include "platform/com.h"

namespace directory::ldap_backend_internal {

// What the values of an attribute are, as its syntax says.
enum class ValueKind { kUnknown, kText, kInteger, kLargeInteger, kBoolean, kBytes };

// The kind of the values of `syntax`, an OID without a length suffix:
// kUnknown for an empty one, kText for any syntax not listed above.
ValueKind KindOfSyntax(std::string_view syntax);

// Attribute types of one server, found by any of their names or their OID
// in any letter case: all of them (Parse), or those read so far, extended
// as more are needed (Extended, see ldap_schema_reader.h).
class Schema {
 public:
  struct Type {
    ValueKind kind = ValueKind::kUnknown;
  };

  // Parses attributeTypes values (RFC 4512 AttributeTypeDescription, with a
  // length suffix such as {32768} on the syntax ignored). Values that do not
  // parse are skipped. A type without a SYNTAX takes its nearest superior's;
  // a SUP chain that loops or names an unknown type gives kUnknown. The
  // result covers every name (Covers): a name it does not define is one the
  // server does not define. Never returns null.
  static std::shared_ptr<const Schema> Parse(const std::vector<std::string>& descriptions);

  // A schema of no type that covers no name: nothing read yet.
  static std::shared_ptr<const Schema> Empty();

  // This schema with the types of `descriptions` added, and with
  // `undefined` (names the server was asked about and does not define)
  // covered. Syntaxes are inherited across old and new descriptions alike.
  std::shared_ptr<const Schema> Extended(const std::vector<std::string>& descriptions,
                                         const std::vector<std::string>& undefined) const;

  // The type of `name` (a name or OID without options, any case), or null.
  // Every name of one type returns the same pointer; it stays valid as long
  // as the Schema.
  const Type* Find(std::string_view name) const {
    const auto it = index_.find(name);
    return it == index_.end() || it->second == kUndefined ? nullptr : &types_[it->second];
  }
  // Whether Find's answer for `name` is the server's: the name's type was
  // read, or the server was asked and does not define it.
  bool Covers(std::string_view name) const { return complete_ || index_.find(name) != index_.end(); }
  // Superiors (SUP) of the types read that are not covered: their syntax is
  // needed for the types that have none of their own.
  const std::vector<std::string>& MissingSuperiors() const { return missing_superiors_; }
  // The number of types parsed.
  size_t size() const { return types_.size(); }
  // The descriptions parsed, as the server wrote them.
  const std::vector<std::string>& descriptions() const { return descriptions_; }

 private:
  static constexpr size_t kUndefined = static_cast<size_t>(-1);

  // Builds types_ and index_ from descriptions_ and undefined_.
  void Build();

  // ASCII case-insensitive hashing and equality, usable with string_view
  // keys so that a lookup allocates nothing.
  struct CaseInsensitiveHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
      constexpr uint64_t kOffset = 14695981039346656037ull;  // FNV-1a
      constexpr uint64_t kPrime = 1099511628211ull;
      uint64_t hash = kOffset;
      for (char c : text) hash = (hash ^ static_cast<unsigned char>(platform::AsciiToLower(c))) * kPrime;
      return static_cast<size_t>(hash);
    }
  };
  struct CaseInsensitiveEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return platform::EqualsIgnoringAsciiCase(a, b); }
  };

  std::vector<std::string> descriptions_;  // as the server wrote them
  std::vector<std::string> undefined_;
  bool complete_ = false;                   // every type of the server is here
  std::vector<Type> types_;
  std::vector<std::string> missing_superiors_;
  // Every name and OID of types_, and undefined_ (as kUndefined).
  std::unordered_map<std::string, size_t, CaseInsensitiveHash, CaseInsensitiveEqual> index_;
};

// `text` as a number when it is one: an optional '-' and decimal digits
// (what an LDAP INTEGER, a range end or a port is written as), within the
// range of long long. nullopt for anything else, the empty text included.
std::optional<long long> ParseInteger(std::string_view text);

// `utf8` as VT_BSTR; invalid UTF-8 becomes U+FFFD. Raises _com_error
// E_OUTOFMEMORY when the string cannot be allocated.
_variant_t TextVariant(std::string_view utf8);

// `bytes` as VT_ARRAY | VT_UI1 with lower bound 0. Raises _com_error
// E_OUTOFMEMORY when the array cannot be allocated.
_variant_t BytesVariant(std::string_view bytes);

// `raw`, one value as the server sent it, typed as `kind` says (see the top
// of this file).
_variant_t ToVariant(const std::string& raw, ValueKind kind);

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_VALUE_TYPING_H_
