// `upm explain`'s walk over the test double's managers: the GUIDs it lists
// in walk order, where and why branches end, the order of the lookups, LDAP
// against cache, failures, and the text, JSON and Graphviz forms.
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testing/upm/fake_sample_directory.h"
#include "testing/upm/fake_userpolicy.h"
#include "tools/upm/answer_writer.h"
#include "tools/upm/explain_dot.h"
#include "tools/upm/explain_walk.h"

namespace upm {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using upm_fake::GroupDn;
using upm_fake::SampleGuid;

class ExplainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    users_ = upm_fake::LoadSampleDirectory();
    ASSERT_EQ(up_start(nullptr, nullptr), UP_OK);
  }
  void TearDown() override {
    up_stop(nullptr);
    EXPECT_EQ(upm_fake::OutstandingAllocations(), 0) << "something up_* handed out was not freed";
  }

  std::vector<upm_fake::SampleUser> users_;
};

// Every node in walk order (user, primary group and its groups, the user's
// groups), depth first.
void Flatten(const ExplainNode& node, std::vector<const ExplainNode*>* nodes) {
  nodes->push_back(&node);
  for (const ExplainNode& child : node.member_of) Flatten(child, nodes);
}
std::vector<const ExplainNode*> WalkOrder(const ExplainResult& result) {
  std::vector<const ExplainNode*> nodes = {&result.user};
  if (result.primary_group) Flatten(*result.primary_group, &nodes);
  for (const ExplainNode& child : result.user.member_of) Flatten(child, &nodes);
  return nodes;
}

TEST_F(ExplainTest, ListedGuidsInWalkOrderAreTheUsersGuidList) {
  for (const upm_fake::SampleUser& user : users_) {
    const ExplainResult result = Explain(user.sip);
    ASSERT_EQ(result.outcome, Outcome::kFound) << user.sip;
    EXPECT_EQ(result.guids, user.guids) << user.sip;
    std::vector<std::string> listed;
    for (const ExplainNode* node : WalkOrder(result)) {
      if (node->listed) listed.push_back(node->guid);
    }
    EXPECT_EQ(listed, user.guids) << user.sip << ": the tree's listed nodes";
    EXPECT_EQ(result.exit_code, user.walk_fails ? 3 : 0) << user.sip;
  }
}

TEST_F(ExplainTest, LooksUpUserThenPrimaryGroupThenItsGroupsThenTheUsersGroups) {
  Explain("sip:bob@example.test");
  EXPECT_THAT(upm_fake::RecordCalls(),
              ElementsAre("0:sip:bob@example.test",
                          "1:" + upm_fake::PrimaryGroupKeyFor(std::string(upm_fake::kDomainSid) + "-1102", 1105),
                          "2:" + GroupDn("All Staff"),  // above the primary group
                          "2:" + GroupDn("Team Leads"), "2:" + GroupDn("Engineering"),
                          "2:" + GroupDn("Research and Development"), "2:" + GroupDn("All Staff")));
}

TEST_F(ExplainTest, BranchEndsSayDuplicateOrCycle) {
  struct Case {
    std::string sip;
    std::vector<std::string> ends;  // "DN why" of each node whose branch ends, in walk order
  };
  const Case cases[] = {
      {"sip:alice@example.test", {}},
      {"sip:bob@example.test", {GroupDn("Team Leads") + " duplicate", GroupDn("All Staff") + " duplicate"}},
      {"sip:carol@example.test", {GroupDn("Research and Development") + " duplicate"}},
      {"sip:dave@example.test", {GroupDn("Cycle A") + " cycle"}},
      {"sip:erin@example.test", {GroupDn("Mirror") + " cycle"}},
      {"sip:ivy@example.test", {GroupDn("Loop Without Guid") + " cycle"}},
      {"sip:frank@example.test", {GroupDn("Hex Upper") + " duplicate"}},
      {"sip:judy@example.test", {GroupDn("Broken") + " failed"}},
  };
  for (const Case& c : cases) {
    const ExplainResult result = Explain(c.sip);
    std::vector<std::string> ended;
    for (const ExplainNode* node : WalkOrder(result)) {
      if (node->end != BranchEnd::kNone) ended.push_back(node->dn + " " + BranchEndName(node->end));
    }
    EXPECT_EQ(ended, c.ends) << c.sip;
  }
}

TEST_F(ExplainTest, SecondLookupOfAGroupComesFromTheCache) {
  const ExplainResult result = Explain("sip:carol@example.test");
  std::vector<std::string> sources;
  for (const ExplainNode* node : WalkOrder(result)) {
    if (node->dn == GroupDn("Research and Development")) sources.push_back(node->from_directory ? "LDAP" : "cache");
  }
  EXPECT_THAT(sources, ElementsAre("LDAP", "cache"));
}

TEST_F(ExplainTest, GroupWithoutGuidIsWalkedThroughButNotListed) {
  const ExplainResult result = Explain("sip:ivy@example.test");
  ASSERT_EQ(result.user.member_of.size(), 2u);
  const ExplainNode& no_guid = result.user.member_of[0];
  EXPECT_EQ(no_guid.name, "No Guid");
  EXPECT_FALSE(no_guid.listed);
  EXPECT_EQ(no_guid.end, BranchEnd::kNone);
  ASSERT_EQ(no_guid.member_of.size(), 1u);
  EXPECT_EQ(no_guid.member_of[0].guid, SampleGuid("1203"));
  EXPECT_TRUE(no_guid.member_of[0].listed);
}

TEST_F(ExplainTest, FailedLookupEndsItsBranchAndNamesTheServer) {
  const ExplainResult result = Explain("sip:judy@example.test");
  ASSERT_EQ(result.user.member_of.size(), 2u);
  const ExplainNode& broken = result.user.member_of[0];
  EXPECT_EQ(broken.end, BranchEnd::kFailed);
  EXPECT_EQ(broken.error.status, UP_DIRECTORY_ERROR);
  EXPECT_THAT(broken.error.message, HasSubstr("127.0.0.1:3268"));
  EXPECT_EQ(broken.name, "Broken") << "named after its DN, which the walk knows";
  EXPECT_EQ(result.user.member_of[1].name, "Engineering Backend") << "the next branch is still walked";
}

TEST_F(ExplainTest, ContactWithoutSidHasNoPrimaryGroupAndSaysWhy) {
  const ExplainResult result = Explain("sip:karl@partner.example");
  EXPECT_FALSE(result.primary_group.has_value());
  EXPECT_THAT(result.primary_group_note, HasSubstr("objectSid"));
  EXPECT_EQ(result.user.name, "Karl Klein");
}

TEST_F(ExplainTest, UnknownUserIsNotFoundAndFailingUserFails) {
  const ExplainResult nobody = Explain("sip:nobody@example.test");
  EXPECT_EQ(nobody.outcome, Outcome::kNotFound);
  EXPECT_EQ(nobody.exit_code, 1);
  EXPECT_TRUE(nobody.guids.empty());

  upm_fake::FailKey("sip:down@example.test", UP_DIRECTORY_ERROR, 81, "127.0.0.1:1: Can't contact LDAP server");
  const ExplainResult down = Explain("sip:down@example.test");
  EXPECT_EQ(down.outcome, Outcome::kFailed);
  EXPECT_EQ(down.exit_code, 3);
  EXPECT_EQ(down.error.code, 81);
}

TEST_F(ExplainTest, LongRunOfGroupsWithoutGuidStopsAfter512) {
  constexpr int kLevels = 600;
  for (int i = 0; i < kLevels; ++i) {
    upm_fake::SetRecord(UP_MANAGER_GROUP, GroupDn("N" + std::to_string(i)),
                        {{"memberOf", upm_fake::Strings({GroupDn("N" + std::to_string(i + 1))})}});
  }
  upm_fake::SetRecord(UP_MANAGER_USER, "sip:deep@example.test",
                      {{"objectGUID", upm_fake::Strings({SampleGuid("7701")})},
                       {"memberOf", upm_fake::Strings({GroupDn("N0")})}});
  const ExplainResult result = Explain("sip:deep@example.test");
  int depth = 0;
  const ExplainNode* node = &result.user;
  while (!node->member_of.empty()) {
    node = &node->member_of.front();
    ++depth;
  }
  EXPECT_EQ(depth, 513);
  EXPECT_EQ(node->end, BranchEnd::kDepthLimit);
  EXPECT_EQ(result.guids, (std::vector<std::string>{SampleGuid("7701")}));
}

// The text tree with the times taken out.
std::string TextOf(const ExplainResult& result) {
  std::ostringstream out, err;
  MakeTextWriter(out, err)->Explain(result);
  return std::regex_replace(out.str(), std::regex(R"([0-9]+\.[0-9]{2} ms)"), "T");
}

TEST_F(ExplainTest, TextTreeShowsNestingSourcesAndEnds) {
  const std::string g = std::string(28, '0');
  EXPECT_EQ(TextOf(Explain("sip:carol@example.test")),
            "sip:carol@example.test: 7 GUIDs in T\n"
            "Carol Clark (user)  0301" + g + "  LDAP T  cn=Carol Clark,ou=People,dc=example,dc=test\n"
            "|-- Domain Users (primary group)  0103" + g + "  LDAP T  " + GroupDn("Domain Users") + "\n"
            "`-- Web Team  1503" + g + "  LDAP T  " + GroupDn("Web Team") + "\n"
            "    |-- Engineering  1203" + g + "  LDAP T  " + GroupDn("Engineering") + "\n"
            "    |   `-- Research and Development  1103" + g + "  LDAP T  " + GroupDn("Research and Development") +
                "\n"
            "    |       `-- All Staff  1003" + g + "  LDAP T  " + GroupDn("All Staff") + "\n"
            "    `-- Design  1403" + g + "  LDAP T  " + GroupDn("Design") + "\n"
            "        `-- Research and Development  1103" + g + "  cache T  " + GroupDn("Research and Development") +
                "  [duplicate: GUID already listed, branch ends]\n");
}

TEST_F(ExplainTest, TextTreeOfAContactSaysWhyThereIsNoPrimaryGroup) {
  EXPECT_THAT(TextOf(Explain("sip:karl@partner.example")),
              HasSubstr("|-- (no primary group: the user has no objectSid)\n`-- Partners  2303"));
}

TEST_F(ExplainTest, JsonTreeNestsMemberOfAndMarksEnds) {
  std::ostringstream out, err;
  MakeJsonWriter(out, err)->Explain(Explain("sip:bob@example.test"));
  const auto json = nlohmann::json::parse(out.str());
  EXPECT_EQ(json["status"], "found");
  EXPECT_EQ(json["guids"].size(), 5u);
  EXPECT_EQ(json["user"]["role"], "user");
  EXPECT_EQ(json["user"]["source"], "LDAP");
  EXPECT_EQ(json["primary_group"]["role"], "primary_group");
  EXPECT_EQ(json["primary_group"]["member_of"][0]["name"], "All Staff");
  const auto& team_leads = json["user"]["member_of"][0];
  EXPECT_EQ(team_leads["name"], "Team Leads");
  EXPECT_EQ(team_leads["end"], "duplicate");
  EXPECT_EQ(team_leads["listed"], false);
  EXPECT_EQ(team_leads["source"], "LDAP") << "the group manager had not read it yet";
  EXPECT_EQ(json["user"]["member_of"][1]["member_of"][0]["member_of"][0]["end"], "duplicate");
  EXPECT_FALSE(json["user"].contains("end"));
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(ExplainTest, DotGraphHasOneNodePerGroupAndDashedEdgesWhereBranchesEnded) {
  const std::string carol = ExplainToDot(Explain("sip:carol@example.test"));
  EXPECT_EQ(carol.rfind("digraph \"upm explain sip:carol@example.test\" {\n", 0), 0u);
  EXPECT_EQ(Count(carol, "[label=\"Research and Development\\n"), 1) << carol;
  EXPECT_EQ(Count(carol, " -> "), 7) << carol;  // primary group, six memberOf edges
  EXPECT_EQ(Count(carol, "style=dashed, label=\"duplicate\""), 1) << carol;
  EXPECT_EQ(Count(carol, "label=\"primary group\""), 1) << carol;

  const std::string dave = ExplainToDot(Explain("sip:dave@example.test"));
  EXPECT_EQ(Count(dave, "style=dashed, label=\"cycle\""), 1) << dave;
  EXPECT_EQ(Count(dave, "[label=\"Cycle A\\n"), 1) << dave;
}

TEST_F(ExplainTest, DotGraphOfAnUnknownUserSaysNotFound) {
  EXPECT_THAT(ExplainToDot(Explain("sip:nobody@example.test")), HasSubstr("sip:nobody@example.test\\nnot found"));
}

}  // namespace
}  // namespace upm
