// Self-test of the Samba domain controller fixture: the directory it serves
// on the Global Catalog port must show every trait of Active Directory the
// library's lookups depend on.

#include "tests/support/samba_dc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/slapd_server.h"

namespace userpolicy::testing {
namespace {

constexpr size_t kGuidBytes = 16;
constexpr size_t kRangePage = 1500;

class SambaEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // The project's install step installs Samba: a machine without it is
    // misconfigured, and the tests say so instead of passing quietly.
    if (!SambaDomainController::Available()) {
      FAIL() << "the Samba AD DC packages (samba, samba-ad-dc, samba-ad-provision) are not installed; "
                "run ./run deps";
    }
    try {
      dc_ = SambaDomainController::Start();
    } catch (const std::exception& e) {
      FAIL() << "cannot start the domain controller: " << e.what();
    }
  }
  void TearDown() override { dc_.reset(); }
  SambaDomainController* dc() const { return dc_.get(); }

 private:
  std::unique_ptr<SambaDomainController> dc_;
};

SambaEnvironment* const g_samba =
    static_cast<SambaEnvironment*>(::testing::AddGlobalTestEnvironment(
        std::make_unique<SambaEnvironment>().release()));

class SambaDcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(g_samba->dc(), nullptr) << "no domain controller (see the environment's failure above)";
  }
  const SambaDomainController& dc() const { return *g_samba->dc(); }
  std::string Ou() const { return dc().test_ou(); }

  // The one entry `filter` finds under the test OU on the Global Catalog.
  LdifEntry One(const std::string& filter,
                const std::vector<std::string>& attrs) const {
    std::vector<LdifEntry> found = ParseLdif(dc().Search(Ou(), filter, attrs));
    if (found.size() != 1) {
      ADD_FAILURE() << filter << " found " << found.size() << " entries";
      return {};
    }
    return found[0];
  }
  LdifEntry ByDn(const std::string& dn,
                 const std::vector<std::string>& attrs) const {
    std::vector<LdifEntry> found =
        ParseLdif(dc().Search(dn, "(objectClass=*)", attrs, "base"));
    if (found.size() != 1) {
      ADD_FAILURE() << dn << " found " << found.size() << " entries";
      return {};
    }
    return found[0];
  }
};

std::string FilterEscape(const std::string& bytes) {
  std::string out;
  char hex[4];
  for (unsigned char c : bytes) {
    std::snprintf(hex, sizeof(hex), "\\%02x", c);
    out += hex;
  }
  return out;
}

// The textual form of a binary objectGUID (first three fields little-endian).
std::string GuidString(const std::string& b) {
  static constexpr int kOrder[kGuidBytes] = {3, 2, 1,  0,  5,  4,  7,  6,
                                             8, 9, 10, 11, 12, 13, 14, 15};
  std::string out;
  char hex[3];
  for (size_t i = 0; i < kGuidBytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    std::snprintf(hex, sizeof(hex), "%02x",
                  static_cast<unsigned char>(b[kOrder[i]]));
    out += hex;
  }
  return out;
}

bool Contains(const std::vector<std::string>& values, const std::string& v) {
  return std::find(values.begin(), values.end(), v) != values.end();
}

TEST_F(SambaDcTest, ServesGlobalCatalogOnLoopbackWithPrivatePasswordFile) {
  EXPECT_EQ(dc().gc_host_port(), "127.0.0.1:3268");
  EXPECT_TRUE(dc().running());
  struct stat st {};
  ASSERT_EQ(::stat(dc().service_password_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::vector<LdifEntry> root = ParseLdif(
      dc().Search("", "(objectClass=*)",
                  {"defaultNamingContext", "isGlobalCatalogReady"}, "base"));
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0].Get("defaultNamingContext"),
            std::vector<std::string>{dc().base_dn()});
  EXPECT_EQ(root[0].Get("isGlobalCatalogReady"),
            std::vector<std::string>{"TRUE"});
}

// Attributes the library reads must come back from the Global Catalog, also
// for names that need escaping or are not ASCII.
TEST_F(SambaDcTest, GlobalCatalogCarriesAddressAttributes) {
  struct Case {
    std::string filter;
    std::string cn;
    std::string sip;
    std::vector<std::string> mail;
    std::vector<std::string> proxy;
  };
  const std::vector<Case> cases = {
      {"(sAMAccountName=alice)",
       "Alice Archer",
       "sip:alice@userpolicy.test",
       {"alice@userpolicy.test"},
       {"SMTP:alice@userpolicy.test", "smtp:a.archer@userpolicy.test",
        "sip:alice@userpolicy.test"}},
      {"(cn=Bob/Builder \\28Ops\\2a\\29)",
       "Bob/Builder (Ops*)",
       "sip:bob@userpolicy.test",
       {"bob@userpolicy.test"},
       {}},
      {"(cn=Zo\\c3\\ab \\c3\\85ngstr\\c3\\b6m)",
       "Zoë Ångström",
       "sip:zoe@userpolicy.test",
       {},
       {}},
      {"(msRTCSIP-PrimaryUserAddress=sip:ext@partner.test)",
       "External Contact",
       "sip:ext@partner.test",
       {"ext@partner.test"},
       {"SMTP:ext@partner.test"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filter);
    LdifEntry e = One(c.filter, {"cn", "mail", "proxyAddresses",
                                 "msRTCSIP-PrimaryUserAddress"});
    EXPECT_EQ(e.Get("cn"), std::vector<std::string>{c.cn});
    EXPECT_EQ(e.dn, "CN=" + c.cn + "," + Ou());
    EXPECT_EQ(e.Get("msRTCSIP-PrimaryUserAddress"),
              std::vector<std::string>{c.sip});
    EXPECT_EQ(e.Get("mail"), c.mail);
    std::vector<std::string> proxy = e.Get("proxyAddresses");
    std::vector<std::string> want = c.proxy;
    std::sort(proxy.begin(), proxy.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(proxy, want);
  }
}

TEST_F(SambaDcTest, BinaryIdentifiersAreUsableAsBaseAndFilter) {
  LdifEntry alice = One("(sAMAccountName=alice)", {"objectGUID", "objectSid"});
  ASSERT_EQ(alice.Get("objectGUID").size(), 1u);
  ASSERT_EQ(alice.Get("objectSid").size(), 1u);
  EXPECT_TRUE(alice.IsBase64("objectGUID"));
  EXPECT_TRUE(alice.IsBase64("objectSid"));
  const std::string guid = alice.Get("objectGUID")[0];
  const std::string sid = alice.Get("objectSid")[0];
  ASSERT_EQ(guid.size(), kGuidBytes);
  // S-1-5-21-a-b-c-RID: revision 1, five sub-authorities.
  ASSERT_EQ(sid.size(), 28u);
  EXPECT_EQ(sid[0], 1);
  EXPECT_EQ(sid[1], 5);

  EXPECT_EQ(ByDn("<GUID=" + GuidString(guid) + ">", {"cn"}).dn, alice.dn);
  EXPECT_EQ(One("(objectSid=" + FilterEscape(sid) + ")", {"cn"}).dn, alice.dn);
  EXPECT_EQ(One("(objectGUID=" + FilterEscape(guid) + ")", {"cn"}).dn,
            alice.dn);
}

TEST_F(SambaDcTest, ObjectCategoryPersonMatchesUsersAndContactsOnly) {
  std::vector<LdifEntry> people = ParseLdif(dc().Search(
      Ou(), "(&(objectCategory=person)(msRTCSIP-PrimaryUserAddress=*))",
      {"cn"}));
  std::vector<std::string> cns;
  for (const LdifEntry& e : people) cns.push_back(e.Get("cn").at(0));
  std::sort(cns.begin(), cns.end());
  EXPECT_EQ(cns, (std::vector<std::string>{
                     "Alice Archer", "Bob/Builder (Ops*)", "Carol Primary",
                     "Dave Cycle", "External Contact", "Zoë Ångström"}));
  EXPECT_TRUE(
      ParseLdif(
          dc().Search(Ou(), "(&(objectCategory=person)(cn=Sales))", {"cn"}))
          .empty());
}

// memberOf is computed from member links, holds direct groups only, and
// leaves out the primary group (Domain Users for everyone but Carol).
TEST_F(SambaDcTest, MemberOfShowsDirectGroupsWithoutPrimaryGroup) {
  auto dn = [&](const std::string& cn) { return "CN=" + cn + "," + Ou(); };
  struct Case {
    std::string cn;
    std::vector<std::string> member_of;
  };
  const std::vector<Case> cases = {
      {"Alice Archer", {dn("Diamond Bottom"), dn("Sales")}},
      // Changing the primary group turned the old one, Domain Users, into
      // an ordinary membership, as Windows controllers do.
      {"Carol Primary", {"CN=Domain Users,CN=Users," + dc().base_dn()}},
      {"Dave Cycle", {dn("Cycle A")}},
      {"Cycle A", {dn("Cycle B")}},
      {"Cycle B", {dn("Cycle A")}},
      {"Diamond Bottom", {dn("Diamond Left"), dn("Diamond Right")}},
      {"Diamond Left", {dn("Diamond Top")}},
      {"Zoë Ångström", {dn("Grüppe (R/D*)")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cn);
    std::vector<std::string> got = ByDn(dn(c.cn), {"memberOf"}).Get("memberOf");
    std::vector<std::string> want = c.member_of;
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
  }

  LdifEntry sales = ByDn(dn("Sales"), {"objectSid", "member"});
  LdifEntry carol = ByDn(dn("Carol Primary"), {"primaryGroupID"});
  ASSERT_EQ(sales.Get("objectSid").size(), 1u);
  const std::string sid = sales.Get("objectSid")[0];
  uint32_t rid = 0;
  for (size_t i = 0; i < 4; ++i) {
    rid |= static_cast<uint32_t>(
               static_cast<unsigned char>(sid[sid.size() - 4 + i]))
           << (8 * i);
  }
  EXPECT_EQ(carol.Get("primaryGroupID"),
            std::vector<std::string>{std::to_string(rid)});
  EXPECT_FALSE(Contains(sales.Get("member"), dn("Carol Primary")));
  EXPECT_TRUE(Contains(sales.Get("member"), dn("Alice Archer")));
}

// Samba answers member;range=... requests page by page but, unlike a
// default Windows controller, returns a plain `member` request whole.
TEST_F(SambaDcTest, LargeGroupAnswersRangedRequests) {
  const std::string big = "CN=Big Group," + Ou();
  const size_t total = 1600;
  struct Case {
    std::string request;
    size_t values;
  };
  const std::vector<Case> cases = {
      {"member", total},
      {"member;range=0-1499", kRangePage},
      {"member;range=1500-*", total - kRangePage},
      {"member;range=0-9", 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    LdifEntry e = ByDn(big, {c.request});
    EXPECT_EQ(e.Get(c.request).size(), c.values);
  }
  std::vector<std::string> first =
      ByDn(big, {"member;range=0-1499"}).Get("member;range=0-1499");
  std::vector<std::string> rest =
      ByDn(big, {"member;range=1500-*"}).Get("member;range=1500-*");
  first.insert(first.end(), rest.begin(), rest.end());
  std::sort(first.begin(), first.end());
  EXPECT_EQ(std::unique(first.begin(), first.end()), first.end());
  EXPECT_EQ(first.size(), total);
  EXPECT_TRUE(Contains(first, "CN=bulk1599," + Ou()));
}

}  // namespace
}  // namespace userpolicy::testing
