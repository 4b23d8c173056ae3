// Reading, from each server, the definitions of the attributes its requests
// need, instead of its whole schema.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files and their tests.
//
// First contact with a server reads its rootDSE once: where its schema is
// (subschemaSubentry; schemaNamingContext on Active Directory) and which
// controls it supports. From then on, a request whose attribute names are
// not all covered by what was read before costs one search for the
// definitions of the names missing, whichever way the server offers them:
//   Active Directory (schemaNamingContext): the attributeSchema objects of
//     those names, their attributeSyntax and oMSyntax translated into the
//     LDAP syntax the server's subschema entry shows for them;
//   a server that supports the values return filter (RFC 3876; slapd): the
//     attributeTypes values of its subschema entry for those names only,
//     then, for types that inherit their syntax, those of their superiors;
//   any other server: the whole attributeTypes of its subschema entry, once.
// A name the server does not define is remembered as such, so it is asked
// about once per server. Names that cannot be attribute names (options,
// "*", empty) are taken as undefined without asking. The definitions stay
// for the life of the backend, like the whole schema did; the values they
// type are the same as the whole schema types them.
//
// With a SchemaCacheFile (directory_config.h), the definitions read from a
// server are also kept there for later processes (ldap_schema_cache.h),
// and the first request of a process to a server starts from what an
// earlier process kept for it: when that covers the request's names, the
// server is not asked at all (not even for its rootDSE).
//
// A server that refuses a definitions search has those names typed by
// their content, with a warning; a server failure during it is raised like
// any other (ServerFailure), so the call fails over.
//
// Thread safety: SchemaCovering may be called from any number of threads;
// one of them at a time reads definitions from a server.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_SCHEMA_READER_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_SCHEMA_READER_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/ldap_value_typing.h"

namespace directory::ldap_backend_internal {

struct Session;

// Where a server keeps its attribute type definitions; worked out from its
// rootDSE on first contact.
struct SchemaSource {
  enum class Kind {
    kUnread,             // the rootDSE was not read yet
    kSchemaObjects,      // attributeSchema objects below `dn`, the schema naming context
    kFilteredSubschema,  // the subschema entry `dn`, its values filtered by the server
    kWholeSubschema,     // the subschema entry `dn`, read whole
    kNone,               // no schema to read: values are typed by their content
  };
  Kind kind = Kind::kUnread;
  std::string dn;
};

// OID of the values return filter control (RFC 3876).
inline constexpr char kValuesReturnFilterOid[] = "1.2.826.0.1.3344810.2.3";

// The types of the session's server, covering every name of `names` (as
// requested or returned, without options; any case): what was read before,
// plus what is read now for the names it does not cover yet. Never null.
std::shared_ptr<const Schema> SchemaCovering(const Session& session, const std::vector<std::string_view>& names);

// Whether `name` can name an attribute type: a keystring (a letter, then
// letters, digits and '-') or a numeric OID.
bool IsAttributeTypeName(std::string_view name);

// The BER value of a values return filter control that keeps, of the
// attribute `attribute`, the values equal to one of `assertions`:
// SEQUENCE OF equalityMatch [3] { attribute, assertion }.
std::string EncodeValuesReturnFilter(std::string_view attribute, const std::vector<std::string>& assertions);

// The LDAP syntax Active Directory shows in its subschema entry for an
// attribute of `attribute_syntax` (2.5.5.x) and `om_syntax` (a number):
// 2.5.5.9 becomes INTEGER, 2.5.5.16 large integer, 2.5.5.8 Boolean,
// 2.5.5.10 and 2.5.5.17 octet string, and so on. An attribute syntax not in
// Active Directory's table is returned as it is.
std::string_view LdapSyntaxOf(std::string_view attribute_syntax, std::string_view om_syntax);

// The attribute type description that stands for an attributeSchema object
// of Active Directory: "( oid NAME 'name' SYNTAX syntax )".
std::string DescriptionOfSchemaObject(std::string_view oid, std::string_view name, std::string_view attribute_syntax,
                                      std::string_view om_syntax);

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_SCHEMA_READER_H_
