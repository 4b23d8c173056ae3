#include "testing/upm/fake_sample_directory.h"

#include "testing/upm/fake_userpolicy.h"

namespace upm_fake {
namespace {

void AddGroup(const std::string& cn, const std::string& guid_hex4, const std::vector<std::string>& member_of) {
  FakeRecord record = {{"distinguishedName", Strings({GroupDn(cn)})}};
  if (!guid_hex4.empty()) record.insert(record.begin(), {"objectGUID", Strings({SampleGuid(guid_hex4)})});
  std::vector<std::string> parents;
  for (const std::string& parent : member_of) parents.push_back(GroupDn(parent));
  if (!parents.empty()) record.push_back({"memberOf", Strings(parents)});
  record.push_back({"groupType", Integer(-2147483646)});
  SetRecord(UP_MANAGER_GROUP, GroupDn(cn), record);
  SetRecord(UP_MANAGER_PATH, GroupDn(cn), record);
  if (!guid_hex4.empty()) SetRecord(UP_MANAGER_GUID, SampleGuid(guid_hex4), record);
}

void AddPrimaryGroup(int rid, const std::string& cn, const std::string& guid_hex4,
                     const std::vector<std::string>& member_of) {
  AddGroup(cn, guid_hex4, member_of);
  FakeRecord record = {{"objectGUID", Strings({SampleGuid(guid_hex4)})},
                       {"distinguishedName", Strings({GroupDn(cn)})}};
  std::vector<std::string> parents;
  for (const std::string& parent : member_of) parents.push_back(GroupDn(parent));
  if (!parents.empty()) record.push_back({"memberOf", Strings(parents)});
  SetRecord(UP_MANAGER_PRIMARY_GROUP, PrimaryGroupKeyFor(std::string(kDomainSid) + "-1", rid), record);
}

// A user with a SID (RID `rid`) and primary group `primary_rid`, or a
// contact without either when rid is 0.
void AddUser(const SampleUser& user, const std::string& name, int rid, int primary_rid,
             const std::vector<std::string>& member_of) {
  FakeRecord record = {{"objectGUID", Strings({user.guids.front()})},
                       {"name", Strings({name})},
                       {"distinguishedName", Strings({"cn=" + name + ",ou=People,dc=example,dc=test"})}};
  std::vector<std::string> parents;
  for (const std::string& parent : member_of) parents.push_back(GroupDn(parent));
  if (!parents.empty()) record.push_back({"memberOf", Strings(parents)});
  if (rid != 0) {
    record.push_back({"primaryGroupID", Integer(primary_rid)});
    record.push_back({"objectSid", Strings({std::string(kDomainSid) + "-" + std::to_string(rid)})});
  }
  if (!user.email.empty()) record.push_back({"mail", Strings({user.email})});
  SetRecord(UP_MANAGER_USER, user.sip, record);
  SetGuids(user.sip, user.guids);
  if (!user.email.empty()) SetEmail(user.sip, user.email);
}

}  // namespace

std::string SampleGuid(const std::string& hex4) { return hex4 + std::string(28, '0'); }

std::string GroupDn(const std::string& cn) { return "cn=" + cn + ",ou=Groups,dc=example,dc=test"; }

std::vector<SampleUser> LoadSampleDirectory() {
  Reset();
  AddPrimaryGroup(513, "Domain Users", "0103", {});
  AddPrimaryGroup(1105, "Team Leads", "0503", {"All Staff"});
  AddGroup("All Staff", "1003", {});
  AddGroup("Research and Development", "1103", {"All Staff"});
  AddGroup("Engineering", "1203", {"Research and Development"});
  AddGroup("Engineering Backend", "1303", {"Engineering"});
  AddGroup("Design", "1403", {"Research and Development"});
  AddGroup("Web Team", "1503", {"Engineering", "Design"});
  AddGroup("Cycle A", "1603", {"Cycle B"});
  AddGroup("Cycle B", "1703", {"Cycle A"});
  AddGroup("Mirror", "2903", {"Mirror"});
  AddGroup("Partners", "2303", {});
  AddGroup("No Guid", "", {"Engineering"});
  AddGroup("Loop Without Guid", "", {"Loop Without Guid"});
  AddGroup("Hex Lower", "ab03", {});
  SetRecord(UP_MANAGER_GROUP, GroupDn("Hex Upper"),
            {{"objectGUID", Strings({"AB03" + std::string(28, '0')})},
             {"distinguishedName", Strings({GroupDn("Hex Upper")})}});
  FailKey(GroupDn("Broken"), UP_DIRECTORY_ERROR, -2147016646,
          "read " + GroupDn("Broken") + " on 127.0.0.1:3268: Can't contact LDAP server");

  const std::string all = SampleGuid("1003"), rd = SampleGuid("1103"), eng = SampleGuid("1203");
  const std::string du = SampleGuid("0103");
  std::vector<SampleUser> users = {
      // The chain of four.
      {"sip:alice@example.test", {SampleGuid("0101"), du, SampleGuid("1303"), eng, rd, all}, "alice@example.test"},
      // Primary group Team Leads (above it All Staff), also in memberOf.
      {"sip:bob@example.test", {SampleGuid("0201"), SampleGuid("0503"), all, eng, rd}, "bob@example.test"},
      // The diamond: Research and Development only once.
      {"sip:carol@example.test", {SampleGuid("0301"), du, SampleGuid("1503"), eng, rd, all, SampleGuid("1403")}, ""},
      // The cycle, and the group that is its own member.
      {"sip:dave@example.test", {SampleGuid("0401"), du, SampleGuid("1603"), SampleGuid("1703")}, "dave@example.test"},
      {"sip:erin@example.test", {SampleGuid("0601"), du, SampleGuid("2903")}, ""},
      // A contact: no SID, no primary group.
      {"sip:karl@partner.example", {SampleGuid("0102"), SampleGuid("2303")}, "karl@partner.example"},
      // Groups without a GUID are walked through; one that is its own member ends.
      {"sip:ivy@example.test", {SampleGuid("0a01"), du, eng, rd, all}, "ivy@example.test"},
      // One GUID in two letter cases is one group.
      {"sip:frank@example.test", {SampleGuid("0701"), du, SampleGuid("ab03")}, "frank@example.test"},
      // A failing group ends only its own branch.
      {"sip:judy@example.test", {SampleGuid("3101"), du, SampleGuid("1303"), eng, rd, all}, "judy@example.test",
       true},
  };
  AddUser(users[0], "Alice Anderson", 1101, 513, {"Engineering Backend"});
  AddUser(users[1], "Bob Brown", 1102, 1105, {"Team Leads", "Engineering"});
  AddUser(users[2], "Carol Clark", 1103, 513, {"Web Team"});
  AddUser(users[3], "Dave Davis", 1104, 513, {"Cycle A"});
  AddUser(users[4], "Erin Evans", 1106, 513, {"Mirror"});
  AddUser(users[5], "Karl Klein", 0, 0, {"Partners"});
  AddUser(users[6], "Ivy Irving", 1110, 513, {"No Guid", "Loop Without Guid"});
  AddUser(users[7], "Frank Fischer", 1107, 513, {"Hex Lower", "Hex Upper"});
  AddUser(users[8], "Judy Jones", 1111, 513, {"Broken", "Engineering Backend"});
  return users;
}

}  // namespace upm_fake
