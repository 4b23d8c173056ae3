// Typing LDAP values without a server: attribute type descriptions as
// slapd and Active Directory write them parsed into a schema (syntaxes
// inherited along SUP chains, loops and malformed descriptions survived,
// names and OIDs in any case), a schema read a part at a time, the requests
// that read those parts (their control's encoding is compared with libldap's
// in ldap_backend_test), and raw values turned into the variant type their
// syntax asks for.
#include "platform/directory/ldap_value_typing.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/directory/ldap_schema_reader.h"
#include "tests/support/directory_values.h"

namespace directory::ldap_backend_internal {
namespace {

// A schema in the forms servers write: slapd's unquoted syntaxes with
// length suffixes, Active Directory's quoted ones, names in lists, types
// that take their syntax from a superior declared before or after them.
const std::vector<std::string> kDescriptions = {
    "( 2.5.4.41 NAME 'name' EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch "
    "SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{32768} )",
    "( 2.5.4.3 NAME ( 'cn' 'commonName' ) DESC 'RFC4519: common name(s) for which the entity is known by' "
    "SUP name )",
    "( 1.2.840.113556.1.4.98 NAME 'primaryGroupID' SYNTAX '1.3.6.1.4.1.1466.115.121.1.27' SINGLE-VALUE )",
    "( 1.2.840.113556.1.4.159 NAME 'accountExpires' SYNTAX '1.2.840.113556.1.4.906' SINGLE-VALUE )",
    "( 2.5.18.9 NAME 'hasSubordinates' EQUALITY booleanMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.7 "
    "SINGLE-VALUE NO-USER-MODIFICATION USAGE directoryOperation )",
    "( 1.3.6.1.4.1.4203.666.1.90 NAME 'objectGUID' SYNTAX 1.3.6.1.4.1.1466.115.121.1.40{16} SINGLE-VALUE )",
    "( 1.2.840.113556.1.4.146 NAME 'objectSid' SYNTAX '2.5.5.17' SINGLE-VALUE )",
    "( 2.5.4.36 NAME 'userCertificate' DESC 'X.509 certificate' SYNTAX 1.3.6.1.4.1.1466.115.121.1.8 )",
    // Spread over lines, with an extension whose argument is a list.
    "(\t9.9.9.10\n NAME 'x-count'\r\n X-ORIGIN ( 'test' $ 'suite' ) SUP x-base )",
    "( 9.9.9.11 NAME 'x-base' SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 )",
    "( 9.9.9.12 NAME 'x-grandchild' SUP X-COUNT )",
    "( 9.9.9.20 NAME 'x-loop-a' SUP x-loop-b )",
    "( 9.9.9.21 NAME 'x-loop-b' SUP x-loop-a )",
    "( 9.9.9.22 NAME 'x-orphan' SUP x-missing )",
    "( 9.9.9.23 NAME 'x-plain' )",
    // Not descriptions: skipped without harm to the others.
    "",
    "9.9.9.30 NAME 'x-bare' SYNTAX 1.3.6.1.4.1.1466.115.121.1.27",
    "( 9.9.9.31 NAME 'x-unclosed' SYNTAX 1.3.6.1.4.1.1466.115.121.1.27",
    "()",
    "( 9.9.9.32 NAME 'x-unterminated-quote SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 )",
};

const Schema& Parsed() {
  static const std::shared_ptr<const Schema> schema = Schema::Parse(kDescriptions);
  return *schema;
}

ValueKind KindOf(std::string_view name) {
  const Schema::Type* type = Parsed().Find(name);
  return type != nullptr ? type->kind : ValueKind::kUnknown;
}

TEST(LdapSchema, TypesAttributesByTheirOwnOrTheirSuperiorsSyntax) {
  const std::pair<const char*, ValueKind> cases[] = {
      {"name", ValueKind::kText},                // {32768} suffix dropped
      {"cn", ValueKind::kText},                  // from name
      {"primaryGroupID", ValueKind::kInteger},   // quoted syntax
      {"accountExpires", ValueKind::kLargeInteger},
      {"hasSubordinates", ValueKind::kBoolean},
      {"objectGUID", ValueKind::kBytes},         // {16} suffix dropped
      {"objectSid", ValueKind::kBytes},
      {"userCertificate", ValueKind::kBytes},
      {"x-count", ValueKind::kInteger},          // superior declared after it
      {"x-grandchild", ValueKind::kInteger},     // two steps, superior named in capitals
      {"x-loop-a", ValueKind::kUnknown},         // a loop ends without a syntax
      {"x-loop-b", ValueKind::kUnknown},
      {"x-orphan", ValueKind::kUnknown},         // superior not in the schema
      {"x-plain", ValueKind::kUnknown},          // neither syntax nor superior
  };
  for (const auto& [name, kind] : cases) {
    ASSERT_NE(Parsed().Find(name), nullptr) << name;
    EXPECT_EQ(KindOf(name), kind) << name;
  }
  // Every well-formed description, and nothing else.
  EXPECT_EQ(Parsed().size(), 15u);
  for (const char* skipped : {"x-bare", "x-unclosed", "x-unterminated-quote", "9.9.9.30", "9.9.9.31"}) {
    EXPECT_EQ(Parsed().Find(skipped), nullptr) << skipped;
  }
  EXPECT_EQ(Schema::Parse({})->size(), 0u);
}

TEST(LdapSchema, FindsATypeByAnyNameOrItsOidInAnyCase) {
  const Schema::Type* cn = Parsed().Find("cn");
  ASSERT_NE(cn, nullptr);
  for (const char* spelling : {"CN", "commonName", "COMMONNAME", "2.5.4.3"}) {
    EXPECT_EQ(Parsed().Find(spelling), cn) << spelling;
  }
  EXPECT_NE(Parsed().Find("name"), cn);
  EXPECT_EQ(Parsed().Find("PRIMARYGROUPID"), Parsed().Find("1.2.840.113556.1.4.98"));
  for (const char* unknown : {"", "c", "cn;range=0-1", "commonNames", "2.5.4"}) {
    EXPECT_EQ(Parsed().Find(unknown), nullptr) << unknown;
  }
}

TEST(LdapSchema, ExtendedOnlyCoversWhatWasReadOrFoundUndefined) {
  const std::shared_ptr<const Schema> empty = Schema::Empty();
  EXPECT_FALSE(empty->Covers("cn"));
  EXPECT_TRUE(Parsed().Covers("anything"));  // a whole schema covers every name

  // cn inherits its syntax from name, which is not read yet.
  const auto with_cn = empty->Extended({kDescriptions[1]}, {"x-absent"});
  EXPECT_TRUE(with_cn->Covers("COMMONNAME"));
  EXPECT_TRUE(with_cn->Covers("2.5.4.3"));
  EXPECT_TRUE(with_cn->Covers("x-absent"));
  EXPECT_EQ(with_cn->Find("x-absent"), nullptr);
  EXPECT_FALSE(with_cn->Covers("name"));
  EXPECT_EQ(with_cn->Find("cn")->kind, ValueKind::kUnknown);
  EXPECT_EQ(with_cn->MissingSuperiors(), std::vector<std::string>{"name"});

  const auto with_name = with_cn->Extended({kDescriptions[0]}, {});
  EXPECT_EQ(with_name->Find("cn")->kind, ValueKind::kText);
  EXPECT_TRUE(with_name->MissingSuperiors().empty());
  EXPECT_EQ(with_name->size(), 2u);
  EXPECT_EQ(with_cn->Find("cn")->kind, ValueKind::kUnknown);  // a schema never changes

  // A superior the server does not define ends the chain, as in a whole schema.
  const auto orphan = empty->Extended({"( 9.9.9.22 NAME 'x-orphan' SUP x-missing )"}, {"x-missing"});
  EXPECT_TRUE(orphan->MissingSuperiors().empty());
  EXPECT_EQ(orphan->Find("x-orphan")->kind, ValueKind::kUnknown);
}

TEST(LdapSchemaReader, AsksOnlyForNamesThatCanBeAttributeTypes) {
  for (const char* name : {"cn", "msRTCSIP-PrimaryUserAddress", "x2", "2.5.4.3", "1.1"}) {
    EXPECT_TRUE(IsAttributeTypeName(name)) << name;
  }
  for (const char* name : {"", "*", "+", "member;range=0-*", "2cn", "-cn", "cn)", "2..5", "2.5.", ".2", "a b"}) {
    EXPECT_FALSE(IsAttributeTypeName(name)) << name;
  }
}

TEST(LdapSchemaReader, ActiveDirectorySchemaObjectsTypeAsItsSubschemaShows) {
  const struct {
    const char* attribute_syntax;
    const char* om_syntax;
    ValueKind kind;
  } cases[] = {
      {"2.5.5.9", "2", ValueKind::kInteger},          {"2.5.5.9", "10", ValueKind::kInteger},  // enumeration
      {"2.5.5.16", "65", ValueKind::kLargeInteger},   {"2.5.5.8", "1", ValueKind::kBoolean},
      {"2.5.5.10", "4", ValueKind::kBytes},           {"2.5.5.10", "127", ValueKind::kBytes},  // replica link
      {"2.5.5.17", "4", ValueKind::kBytes},           {"2.5.5.15", "66", ValueKind::kBytes},
      {"2.5.5.1", "127", ValueKind::kText},           {"2.5.5.12", "64", ValueKind::kText},
      {"2.5.5.5", "22", ValueKind::kText},            {"2.5.5.11", "24", ValueKind::kText},
      {"2.5.5.7", "127", ValueKind::kText},           {"2.5.5.99", "2", ValueKind::kText},  // unknown: text
  };
  for (const auto& c : cases) {
    const auto schema =
        Schema::Parse({DescriptionOfSchemaObject("1.2.840.113556.9", "x-attr", c.attribute_syntax, c.om_syntax)});
    ASSERT_NE(schema->Find("X-ATTR"), nullptr) << c.attribute_syntax;
    EXPECT_EQ(schema->Find("1.2.840.113556.9"), schema->Find("x-attr"));
    EXPECT_EQ(schema->Find("x-attr")->kind, c.kind) << c.attribute_syntax << "/" << c.om_syntax;
  }
  EXPECT_EQ(LdapSyntaxOf("2.5.5.5", "22"), "1.3.6.1.4.1.1466.115.121.1.26");  // IA5
  EXPECT_EQ(LdapSyntaxOf("2.5.5.5", "19"), "1.3.6.1.4.1.1466.115.121.1.44");  // printable
  EXPECT_EQ(LdapSyntaxOf("2.5.5.11", "23"), "1.3.6.1.4.1.1466.115.121.1.53");  // UTC time
}

TEST(LdapSchema, SyntaxOidsDecideTheKind) {
  const std::pair<const char*, ValueKind> cases[] = {
      {"", ValueKind::kUnknown},
      {"1.3.6.1.4.1.1466.115.121.1.27", ValueKind::kInteger},
      {"1.2.840.113556.1.4.906", ValueKind::kLargeInteger},
      {"1.3.6.1.4.1.1466.115.121.1.7", ValueKind::kBoolean},
      {"1.3.6.1.4.1.1466.115.121.1.40", ValueKind::kBytes},
      {"1.3.6.1.4.1.1466.115.121.1.5", ValueKind::kBytes},
      {"1.3.6.1.4.1.1466.115.121.1.28", ValueKind::kBytes},
      {"1.2.840.113556.1.4.907", ValueKind::kBytes},
      {"2.5.5.10", ValueKind::kBytes},
      {"2.5.5.17", ValueKind::kBytes},
      {"1.3.6.1.4.1.1466.115.121.1.15", ValueKind::kText},
      {"1.3.6.1.4.1.1466.115.121.1.12", ValueKind::kText},   // DN
      {"1.3.6.1.4.1.1466.115.121.1.270", ValueKind::kText},  // no prefix matching
  };
  for (const auto& [syntax, kind] : cases) EXPECT_EQ(KindOfSyntax(syntax), kind) << syntax;
}

TEST(LdapValues, BecomeTheVariantTheirKindAsksFor) {
  const struct {
    ValueKind kind;
    std::string raw;
    std::string typed;
  } cases[] = {
      {ValueKind::kInteger, "513", "I4:513"},
      {ValueKind::kInteger, "-2147483648", "I4:-2147483648"},
      {ValueKind::kInteger, "2147483647", "I4:2147483647"},
      {ValueKind::kInteger, "2147483648", "I8:2147483648"},  // beyond 32 bits: widened
      {ValueKind::kInteger, "-2147483649", "I8:-2147483649"},
      {ValueKind::kInteger, "9223372036854775807", "I8:9223372036854775807"},
      {ValueKind::kInteger, "9223372036854775808", "BSTR:9223372036854775808"},  // beyond 64 bits
      {ValueKind::kInteger, "12x", "BSTR:12x"},
      {ValueKind::kInteger, "+5", "BSTR:+5"},
      {ValueKind::kInteger, " 5", "BSTR: 5"},
      {ValueKind::kInteger, "", "BSTR:"},
      {ValueKind::kLargeInteger, "5", "I8:5"},  // never VT_I4
      {ValueKind::kLargeInteger, "-9223372036854775808", "I8:-9223372036854775808"},
      {ValueKind::kLargeInteger, "never", "BSTR:never"},
      {ValueKind::kBoolean, "TRUE", "BOOL:TRUE"},
      {ValueKind::kBoolean, "FALSE", "BOOL:FALSE"},
      {ValueKind::kBoolean, "true", "BSTR:true"},  // LDAP writes Booleans in capitals
      {ValueKind::kBoolean, "1", "BSTR:1"},
      {ValueKind::kBytes, std::string("\x01\x00\xff", 3), "BYTES:0100ff"},
      {ValueKind::kBytes, "plain", "BYTES:706c61696e"},
      {ValueKind::kBytes, "", "BYTES:"},
      {ValueKind::kText, "Z\xC3\xBCrich", "BSTR:Z\xC3\xBCrich"},
      {ValueKind::kText, "\xff", "BSTR:\xEF\xBF\xBD"},  // invalid UTF-8 is replaced, not refused
      {ValueKind::kText, std::string("a\0b", 3), std::string("BSTR:a\0b", 8)},
      // Unknown to the schema: text when printable, bytes otherwise.
      {ValueKind::kUnknown, "plain text", "BSTR:plain text"},
      {ValueKind::kUnknown, "Z\xC3\xBCrich\tand\r\nmore", "BSTR:Z\xC3\xBCrich\tand\r\nmore"},
      {ValueKind::kUnknown, "", "BSTR:"},
      {ValueKind::kUnknown, std::string("\x01\x01\0\0", 4), "BYTES:01010000"},
      {ValueKind::kUnknown, "a\x7f", "BYTES:617f"},
      {ValueKind::kUnknown, "\xC3\x28", "BYTES:c328"},
      {ValueKind::kUnknown, "\xED\xA0\x80", "BYTES:eda080"},  // an encoded surrogate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(userpolicy::testing::DescribeValue(ToVariant(c.raw, c.kind)), c.typed) << static_cast<int>(c.kind) << " " << c.raw;
  }
}

}  // namespace
}  // namespace directory::ldap_backend_internal
