// An RFC 4515 search filter, parsed once and evaluated against objects held
// in memory (the in-memory directory of testing/memory_directory.h
// answers searches with it).
//
// Supported: (&...), (|...), (!...) (also the empty (&) = true and (|) =
// false of RFC 4526); equality, ~= (treated as equality), >= and <=;
// presence (attr=*); substrings (attr=ini*any*fin); the extensible matches
// (attr:=v), (attr:1.2.840.113556.1.4.803:=n) (every bit of n set) and
// (attr:1.2.840.113556.1.4.804:=n) (any bit of n set). Other matching rules
// and the ":dn" form are refused when parsing.
//
// Matching, per value type of the attribute:
//  - VT_BSTR: text, case-insensitive (an assertion value's \xx escapes are
//    UTF-8 bytes). objectCategory=<name> also matches a value that is the
//    DN of the category whose first RDN value is <name> ("person" matches
//    "CN=Person,CN=Schema,..."), as Active Directory does.
//  - VT_ARRAY|VT_UI1: the bytes of the unescaped assertion value, exactly
//    ("\01\05\00..." for an objectSid).
//  - integers: numerically; VT_BOOL: TRUE / FALSE; other types as their
//    text (VariantChangeType to VT_BSTR).
// Attribute names are matched case-insensitively. An object without the
// attribute does not match any item on it (so (!(a=x)) matches it).
// "distinguishedName" falls back to the object's DN when the object holds
// no attribute of that name.
//
// Thread safety: a parsed filter is immutable; any number of threads may
// evaluate it at once.
#ifndef USERPOLICY_TESTING_LDAP_FILTER_H_
#define USERPOLICY_TESTING_LDAP_FILTER_H_

#include <memory>
#include <string_view>

#include "platform/directory/directory_object.h"

namespace directory {

class LdapFilter {
 public:
  // Parses `text`. A malformed or unsupported filter raises
  // CDirectoryException kDirectoryInvalidArgument naming the filter.
  static LdapFilter Parse(std::wstring_view text);

  // True when `object` satisfies the filter.
  bool Matches(const DirectoryObject& object) const;

  struct Node;  // the parsed tree; defined in the .cc file

 private:
  explicit LdapFilter(std::shared_ptr<const Node> root);

  std::shared_ptr<const Node> root_;
};

}  // namespace directory

#endif  // USERPOLICY_TESTING_LDAP_FILTER_H_
