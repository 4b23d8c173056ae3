// Reading the range option of attribute names as servers write them. The
// continuation reads themselves run against a server in ldap_backend_test.cc.
#include "platform/directory/ldap_ranged_attributes.h"

#include <optional>
#include <string_view>

#include <gtest/gtest.h>

namespace directory::ldap_backend_internal {
namespace {

TEST(LdapRanges, NamesGiveTheirBaseAndTheEndOfTheirRange) {
  const struct {
    std::string_view name;
    std::string_view base;
    std::optional<std::string_view> end;
  } cases[] = {
      {"member;range=0-1499", "member", "1499"},
      {"member;range=1500-*", "member", "*"},
      {"member;Range=0-2", "member", "2"},                // option names in any case
      {"member;RANGE=0-2", "member", "2"},
      {"userCertificate;binary;range=0-9", "userCertificate", "9"},  // not the first option
      {"member;range=0-9;x-extra", "member", "9"},
      {"member", "member", std::nullopt},
      {"member;binary", "member", std::nullopt},
      {"member;range=5", "member", std::nullopt},         // no '-'
      {"member;ranged=0-9", "member", std::nullopt},      // another option
      {"member;x-range=0-9", "member", std::nullopt},
      {"", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BaseName(c.name), c.base) << c.name;
    EXPECT_EQ(RangeEnd(c.name), c.end) << c.name;
  }
}

}  // namespace
}  // namespace directory::ldap_backend_internal
