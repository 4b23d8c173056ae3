#include "tests/support/directory_truth.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include <gtest/gtest.h>

#include "platform/com.h"
#include "platform/utf8.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"

namespace userpolicy::testing {
namespace {

using local_directories::LdifEntry;
using local_directories::ParseLdif;

constexpr char kSipAttribute[] = "msRTCSIP-PrimaryUserAddress";
constexpr size_t kRidBytes = 4;
constexpr size_t kPrefixLength = 5;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Every value of `attribute`, also when the server sent it in ranges
// ("member;range=0-1499").
std::vector<std::string> AllValues(const LdifEntry& entry, const std::string& attribute) {
  std::vector<std::string> values;
  for (const LdifEntry::Value& value : entry.values) {
    const std::string name = Lower(value.attribute);
    if (name == Lower(attribute) || name.rfind(Lower(attribute) + ";range=", 0) == 0) values.push_back(value.value);
  }
  return values;
}

}  // namespace

DirectoryTruth::DirectoryTruth(LdapSearchFunction search, std::string base)
    : search_(std::move(search)), base_(std::move(base)) {}

std::string DirectoryTruth::Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 0x0f];
  }
  return hex;
}

std::optional<LdifEntry> DirectoryTruth::User(const std::string& sip) const {
  const std::string filter =
      "(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))(" +
      std::string(kSipAttribute) + "=" + sip + "))";
  std::vector<LdifEntry> users =
      ParseLdif(search_(base_, filter, {"objectGUID", "objectSid", "primaryGroupID", "memberOf", "proxyAddresses",
                                        "mail"},
                        "sub"));
  if (users.size() != 1) return std::nullopt;
  return users[0];
}

std::vector<std::string> DirectoryTruth::Guids(const LdifEntry& user) const {
  std::vector<std::string> guids;
  guids.push_back(Hex(user.Get("objectGUID").at(0)));
  std::vector<std::string> primary_member_of;
  const auto sid = user.Get("objectSid");
  const auto group_id = user.Get("primaryGroupID");
  if (!sid.empty() && !group_id.empty() && sid[0].size() > kRidBytes) {
    std::string group_sid = sid[0].substr(0, sid[0].size() - kRidBytes);
    const uint32_t rid = static_cast<uint32_t>(std::stoul(group_id[0]));
    for (size_t i = 0; i < kRidBytes; ++i) group_sid += static_cast<char>((rid >> (8 * i)) & 0xff);
    std::string filter = "(&(objectClass=group)(objectSid=";
    const std::string hex = Hex(group_sid);
    for (size_t i = 0; i < hex.size(); i += 2) filter += "\\" + hex.substr(i, 2);
    filter += "))";
    const auto groups = ParseLdif(search_(base_, filter, {"objectGUID", "memberOf"}, "sub"));
    if (groups.size() == 1) {
      guids.push_back(Hex(groups[0].Get("objectGUID").at(0)));
      primary_member_of = AllValues(groups[0], "memberOf");
    }
  }
  for (const std::string& dn : primary_member_of) Walk(dn, &guids);
  for (const std::string& dn : AllValues(user, "memberOf")) Walk(dn, &guids);
  return guids;
}

void DirectoryTruth::Walk(const std::string& dn, std::vector<std::string>* guids) const {
  const auto found = ParseLdif(search_(dn, "(objectClass=*)", {"objectGUID", "memberOf"}, "base"));
  if (found.empty()) return;
  const std::string guid = Hex(found[0].Get("objectGUID").at(0));
  if (std::find(guids->begin(), guids->end(), guid) != guids->end()) return;
  guids->push_back(guid);
  for (const std::string& parent : AllValues(found[0], "memberOf")) Walk(parent, guids);
}

std::string DirectoryTruth::Email(const LdifEntry& user) {
  std::string secondary;
  for (const std::string& value : user.Get("proxyAddresses")) {
    if (value.size() <= kPrefixLength) continue;
    if (value.compare(0, kPrefixLength, "SMTP:") == 0) return value.substr(kPrefixLength);
    if (secondary.empty() && Lower(value.substr(0, kPrefixLength)) == "smtp:") secondary = value.substr(kPrefixLength);
  }
  if (!secondary.empty()) return secondary;
  const auto mail = user.Get("mail");
  return mail.empty() ? std::string() : mail[0];
}

void ExpectLibraryAgreesWithDirectory(const DirectoryTruth& truth, const std::vector<std::string>& sips) {
  constexpr unsigned long kCapacity = 256;
  constexpr wchar_t kUntouched = L'#';
  for (const std::string& sip : sips) {
    SCOPED_TRACE(sip);
    const std::optional<LdifEntry> user = truth.User(sip);
    const std::wstring key = platform::Utf8ToWide(sip);

    std::vector<_bstr_t> guids;
    EXPECT_TRUE(CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(key.c_str(), guids));
    std::vector<std::string> got;
    for (const _bstr_t& guid : guids) got.push_back(platform::WideToUtf8(static_cast<const wchar_t*>(guid)));
    EXPECT_EQ(got, user ? truth.Guids(*user) : std::vector<std::string>{});

    wchar_t email[kCapacity];
    std::fill(std::begin(email), std::end(email), kUntouched);
    const long hr = CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(key.c_str(), email, kCapacity);
    const std::string expected = user ? DirectoryTruth::Email(*user) : std::string();
    if (expected.empty()) {
      EXPECT_EQ(hr, E_FAIL);
      EXPECT_EQ(email[0], kUntouched);
    } else {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(platform::WideToUtf8(email), expected);
    }
  }
}

}  // namespace userpolicy::testing
