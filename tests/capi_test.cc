// The C interface (capi/userpolicy.h) against a real slapd holding the
// sample directory: every sample user's GUID list and e-mail address as the
// C++ helpers and ldapsearch give them, records with their variant types,
// each failure's status, code and message, many threads at once and a stop
// racing them, the counters with their names and the processes that publish
// them, discovery with and without options, and allocation failures at
// every step of building a result.
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capi/call_gate.h"
#include "capi/result_conversion.h"
#include "capi/userpolicy.h"
#include "dsobject/ds_object_info.h"
#include "local_directories/slapd_server.h"
#include "manager/user_policy_manager.h"
#include "module/manager_factories.h"
#include "perf/ds_access_perf_object.h"
#include "perf/perf_segment.h"
#include "platform/com.h"
#include "platform/log.h"
#include "platform/settings.h"
#include "platform/shared_memory.h"
#include "platform/utf8.h"
#include "testing/scoped_allocation_failure.h"
#include "tests/support/directory_truth.h"
#include "tests/support/keytab_file.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using userpolicy::local_directories::ParseLdif;
using userpolicy::local_directories::SlapdServer;
using userpolicy::testing::DirectorySettings;
using userpolicy::testing::DirectoryTruth;
using userpolicy::testing::ScopedEnvironment;
using userpolicy::testing::ScopedSettingsFile;

constexpr char kUnknownSip[] = "sip:nobody@example.test";
constexpr int kManagerNotFound = -91008;
constexpr int kDirectoryNotFound = -92001;
constexpr int kServerDown = -92003;
constexpr int kNoServer = -92008;
constexpr uint16_t kVtBstr = 8;
constexpr uint16_t kVtI4 = 3;
constexpr uint16_t kVtBool = 11;
constexpr uint16_t kVtI8 = 20;
constexpr uint16_t kVtBytes = 0x2011;

// Owners of what the C interface hands out.
struct Free {
  void operator()(up_error* p) const { up_free_error(p); }
  void operator()(up_string_list* p) const { up_free_string_list(p); }
  void operator()(up_record* p) const { up_free_record(p); }
  void operator()(char* p) const { up_free_string(p); }
  void operator()(up_process_list* p) const { up_free_process_list(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

// A call's outcome: its status and what its error said.
struct Outcome {
  int status = UP_OK;
  int error_status = UP_OK;  // of the up_error; UP_OK when none was handed out
  int code = 0;
  std::string message;
};

// The outcome of a call that returned `status` and handed out `raw`
// (taken over here).
Outcome OutcomeOf(int status, up_error* raw) {
  Owned<up_error> error(raw);
  Outcome outcome;
  outcome.status = status;
  if (error != nullptr) {
    outcome.error_status = error->status;
    outcome.code = error->code;
    outcome.message = error->message != nullptr ? error->message : "";
  }
  return outcome;
}

// Runs `call` with an error object to fill.
template <class Call>
Outcome Capture(const Call& call) {
  up_error* raw = nullptr;
  const int status = call(&raw);
  return OutcomeOf(status, raw);
}

std::vector<std::string> Items(const up_string_list* list) {
  std::vector<std::string> items;
  for (size_t i = 0; list != nullptr && i < list->count; ++i) items.push_back(list->items[i]);
  return items;
}

// What the C interface says about one address.
struct CAnswer {
  int guids_status = -1;
  std::vector<std::string> guids;
  int email_status = -1;
  std::string email;
  bool operator==(const CAnswer&) const = default;
};

CAnswer AskC(const std::string& sip) {
  CAnswer answer;
  up_string_list* raw_guids = nullptr;
  answer.guids_status = up_get_guids(sip.c_str(), &raw_guids, nullptr);
  Owned<up_string_list> guids(raw_guids);
  answer.guids = Items(guids.get());
  char* raw_email = nullptr;
  answer.email_status = up_get_email(sip.c_str(), &raw_email, nullptr);
  Owned<char> email(raw_email);
  if (email != nullptr) answer.email = email.get();
  return answer;
}

// The property `name` of `record`, or null.
const up_property* Property(const up_record& record, const std::string& name) {
  for (size_t i = 0; i < record.property_count; ++i) {
    if (name == record.properties[i].name) return &record.properties[i];
  }
  return nullptr;
}

class CInterface : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = SlapdServer::Start();
    settings_ = std::make_unique<ScopedSettingsFile>(
        DirectorySettings(server_->host_port(), server_->service_dn(), server_->service_password_file()));
    // The tests name the file through up_options only.
    userpolicy::testing::SetEnvironment(kSettingsPathVariable, std::nullopt);
    sips_ = userpolicy::testing::SipAddressesOf(*server_, server_->base_dn());
    truth_ = std::make_unique<DirectoryTruth>(userpolicy::testing::TruthOf(*server_));
  }
  static void TearDownTestSuite() {
    truth_.reset();
    sips_.clear();
    settings_.reset();
    server_.reset();
  }
  void TearDown() override { up_stop(nullptr); }

  static up_options Options() { return up_options{settings_->path().c_str(), nullptr, nullptr, nullptr}; }

  static Outcome StartWith(const up_options& options) {
    up_error* error = nullptr;
    const int status = up_start(&options, &error);
    return OutcomeOf(status, error);
  }

  static std::unique_ptr<SlapdServer> server_;
  static std::unique_ptr<ScopedSettingsFile> settings_;
  static std::vector<std::string> sips_;
  static std::unique_ptr<DirectoryTruth> truth_;
};

std::unique_ptr<SlapdServer> CInterface::server_;
std::unique_ptr<ScopedSettingsFile> CInterface::settings_;
std::vector<std::string> CInterface::sips_;
std::unique_ptr<DirectoryTruth> CInterface::truth_;

// The C++ helpers' answers against the directory are end_to_end_slapd_test's.
TEST_F(CInterface, EverySampleUserAnswersAsTheDirectory) {
  ASSERT_GE(sips_.size(), 10u);
  const Outcome started = StartWith(Options());
  ASSERT_EQ(started.status, UP_OK) << started.message;
  std::vector<std::string> addresses = sips_;
  addresses.push_back(kUnknownSip);
  for (const std::string& sip : addresses) {
    SCOPED_TRACE(sip);
    const CAnswer c = AskC(sip);
    const auto user = truth_->User(sip);
    const std::vector<std::string> expected_guids = user ? truth_->Guids(*user) : std::vector<std::string>{};
    const std::string expected_email = user ? DirectoryTruth::Email(*user) : "";
    EXPECT_EQ(c.guids_status, expected_guids.empty() ? UP_NOT_FOUND : UP_OK);
    EXPECT_EQ(c.guids, expected_guids);
    EXPECT_EQ(c.email_status, expected_email.empty() ? UP_NOT_FOUND : UP_OK);
    EXPECT_EQ(c.email, expected_email);
  }
  // At least one user of each kind of answer is in the sample.
  EXPECT_EQ(AskC(kUnknownSip).guids_status, UP_NOT_FOUND);
  EXPECT_EQ(AskC("sip:erin@example.test").email_status, UP_NOT_FOUND);  // neither mail nor SMTP:
}

// A record as comparable values: each property's name and each value's
// variant type and text.
using Flat = std::vector<std::pair<std::string, std::vector<std::pair<int, std::string>>>>;

Flat Flatten(const up_record& record) {
  Flat flat;
  for (size_t p = 0; p < record.property_count; ++p) {
    const up_property& property = record.properties[p];
    auto& values = flat.emplace_back(property.name, std::vector<std::pair<int, std::string>>()).second;
    for (size_t v = 0; v < property.value_count; ++v) {
      values.emplace_back(property.values[v].vartype, property.values[v].text);
    }
  }
  return flat;
}

// The same record read through the C++ manager, its values written out here.
Flat FlattenCpp(CDSObjectInfo record) {
  Flat flat;
  for (int p = 0; p < record.GetPropertyCount(); ++p) {
    CDSObjectProperty property = record.GetProperty(p);
    auto& values =
        flat.emplace_back(platform::WideToUtf8(property.GetName()), std::vector<std::pair<int, std::string>>()).second;
    for (int v = 0; v < property.GetValueCount(); ++v) {
      const _variant_t& value = property.GetValue(v);
      std::string text;
      if (value.vt == VT_BSTR) text = platform::WideToUtf8(value.bstrVal);
      if (value.vt == VT_I4) text = std::to_string(value.lVal);
      values.emplace_back(value.vt, text);
    }
  }
  return flat;
}

struct RecordAnswer {
  Outcome outcome;
  Owned<up_record> record;
  int from_directory = -1;
};

RecordAnswer AskRecord(int manager, const std::string& key) {
  RecordAnswer answer;
  up_record* record = nullptr;
  answer.outcome =
      Capture([&](up_error** e) { return up_get_record(manager, key.c_str(), &record, &answer.from_directory, e); });
  answer.record.reset(record);
  return answer;
}

std::string PrimaryGroupKey(const up_record& user) {
  const up_property* sid = Property(user, "objectSid");
  const up_property* id = Property(user, "primaryGroupID");
  if (sid == nullptr || id == nullptr) return "";
  char* key = nullptr;
  EXPECT_EQ(up_primary_group_key(sid->values[0].text, static_cast<int32_t>(id->values[0].integer), &key, nullptr),
            UP_OK);
  Owned<char> owned(key);
  return owned != nullptr ? owned.get() : "";
}

TEST_F(CInterface, RecordsOfEachManagerCarryTheManagersValuesWithTheirVariantTypes) {
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  CUserPolicyManager users = UserPolicy_GetUserIdentityManager();
  CUserPolicyManager primary_groups = UserPolicy_GetPrimaryGroupIDTOGroupManager();
  CUserPolicyManager groups = UserPolicy_GetGroupMemeberShipManager();
  std::map<int, CUserPolicyManager*> managers = {
      {UP_MANAGER_USER, &users}, {UP_MANAGER_PRIMARY_GROUP, &primary_groups}, {UP_MANAGER_GROUP, &groups}};
  int group_records = 0;
  int primary_group_records = 0;
  for (const std::string& sip : sips_) {
    SCOPED_TRACE(sip);
    RecordAnswer user = AskRecord(UP_MANAGER_USER, sip);
    ASSERT_EQ(user.outcome.status, UP_OK) << user.outcome.message;
    EXPECT_EQ(user.from_directory, 1);
    const auto entry = truth_->User(sip);
    if (!entry) {  // a SIP address the user filter does not match (a computer)
      EXPECT_EQ(user.record->property_count, 0u);
      continue;
    }
    const std::vector<std::string> guids = truth_->Guids(*entry);
    const up_property* guid = Property(*user.record, "objectGUID");
    ASSERT_NE(guid, nullptr);
    EXPECT_EQ(guid->values[0].vartype, kVtBstr);
    EXPECT_EQ(guid->values[0].text, guids[0]);

    // Every record the resolution of this user reads, through C and C++.
    std::vector<std::pair<int, std::string>> keys = {{UP_MANAGER_USER, sip}};
    const std::string primary_key = PrimaryGroupKey(*user.record);
    if (!primary_key.empty()) keys.emplace_back(UP_MANAGER_PRIMARY_GROUP, primary_key);
    if (const up_property* member_of = Property(*user.record, "memberOf")) {
      for (size_t i = 0; i < member_of->value_count; ++i) {
        keys.emplace_back(UP_MANAGER_GROUP, member_of->values[i].text);
      }
    }
    for (const auto& [manager, key] : keys) {
      SCOPED_TRACE(key);
      RecordAnswer c = AskRecord(manager, key);
      ASSERT_EQ(c.outcome.status, UP_OK) << c.outcome.message;
      bool fetched = true;
      EXPECT_EQ(Flatten(*c.record), FlattenCpp(managers[manager]->GetDSObjectInfo(
                                        platform::Utf8ToWide(key).c_str(), fetched)));
      EXPECT_FALSE(fetched);  // the C call left it in the cache
      EXPECT_EQ(AskRecord(manager, key).from_directory, 0);
      if (manager == UP_MANAGER_PRIMARY_GROUP) {
        ++primary_group_records;
        EXPECT_EQ(Property(*c.record, "objectGUID")->values[0].text, guids[1]);
        const up_property* type = Property(*c.record, "groupType");
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->values[0].vartype, kVtI4);
        EXPECT_EQ(type->values[0].integer, std::stoll(type->values[0].text));
      }
      if (manager == UP_MANAGER_GROUP) ++group_records;
    }
  }
  EXPECT_GT(primary_group_records, 0);
  EXPECT_GT(group_records, 0);

  // Alice's primaryGroupID as a number, and her primary group's key.
  RecordAnswer alice = AskRecord(UP_MANAGER_USER, "sip:alice@example.test");
  const up_property* id = Property(*alice.record, "primaryGroupID");
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(id->values[0].vartype, kVtI4);
  EXPECT_EQ(id->values[0].integer, 513);
  EXPECT_STREQ(id->values[0].text, "513");
  EXPECT_EQ(PrimaryGroupKey(*alice.record).size(), 28u * 3);  // \xx for each byte of a 28-byte SID
}

TEST_F(CInterface, ObjectsTheDirectoryDoesNotHold) {
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  // The search managers cache an empty record; the group manager binds the
  // name and the directory says there is no such object.
  RecordAnswer user = AskRecord(UP_MANAGER_USER, kUnknownSip);
  EXPECT_EQ(user.outcome.status, UP_OK);
  EXPECT_EQ(user.record->property_count, 0u);
  char* key = nullptr;
  ASSERT_EQ(up_primary_group_key("S-1-5-21-1004336348-1177238915-682003330-1101", 999, &key, nullptr), UP_OK);
  Owned<char> owned_key(key);
  RecordAnswer primary = AskRecord(UP_MANAGER_PRIMARY_GROUP, key);
  EXPECT_EQ(primary.outcome.status, UP_OK);
  EXPECT_EQ(primary.record->property_count, 0u);

  const std::string missing = "CN=No Such Group,OU=Groups," + server_->base_dn();
  RecordAnswer group = AskRecord(UP_MANAGER_GROUP, missing);
  EXPECT_EQ(group.outcome.status, UP_NOT_FOUND);
  EXPECT_EQ(group.outcome.code, kDirectoryNotFound);
  EXPECT_THAT(group.outcome.message, HasSubstr(missing));
  EXPECT_EQ(group.record, nullptr);
  EXPECT_EQ(group.from_directory, 0);
  // So do the GUID and path managers.
  for (const auto& [manager, key] : std::vector<std::pair<int, std::string>>{
           {UP_MANAGER_GUID, "fe" + std::string(30, '0')}, {UP_MANAGER_PATH, missing}}) {
    SCOPED_TRACE(key);
    RecordAnswer object = AskRecord(manager, key);
    EXPECT_EQ(object.outcome.status, UP_NOT_FOUND);
    EXPECT_EQ(object.outcome.code, kDirectoryNotFound);
    EXPECT_EQ(object.record, nullptr);
  }
}

up_counters Counters(int pid = 0) {
  up_counters counters{};
  EXPECT_EQ(up_get_counters(pid, &counters, nullptr), UP_OK);
  return counters;
}

// The properties of `record` that `names` lists, in the record's order.
Flat Only(const Flat& record, const std::vector<std::string>& names) {
  Flat kept;
  for (const auto& property : record) {
    if (std::find(names.begin(), names.end(), property.first) != names.end()) kept.push_back(property);
  }
  return kept;
}

TEST_F(CInterface, GuidAndPathManagersBindUsersAndGroupsByTheirGuidAndDn) {
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  const std::vector<std::string> group_attributes = {"objectGUID", "distinguishedName", "memberOf", "groupType"};
  std::set<std::string> groups;
  int users = 0;
  for (const std::string& sip : sips_) {
    RecordAnswer user = AskRecord(UP_MANAGER_USER, sip);
    if (user.record == nullptr || user.record->property_count == 0) continue;
    ++users;
    const std::string guid = Property(*user.record, "objectGUID")->values[0].text;
    const std::string dn = Property(*user.record, "distinguishedName")->values[0].text;
    SCOPED_TRACE(sip + " " + dn);
    // The user's own attributes, by GUID and by path alike.
    RecordAnswer by_guid = AskRecord(UP_MANAGER_GUID, guid);
    RecordAnswer by_path = AskRecord(UP_MANAGER_PATH, dn);
    ASSERT_EQ(by_guid.outcome.status, UP_OK) << by_guid.outcome.message;
    ASSERT_EQ(by_path.outcome.status, UP_OK) << by_path.outcome.message;
    EXPECT_EQ(Flatten(*by_guid.record), Flatten(*user.record));
    EXPECT_EQ(Flatten(*by_path.record), Flatten(*user.record));
    EXPECT_EQ(by_guid.from_directory, 1);
    EXPECT_EQ(AskRecord(UP_MANAGER_GUID, guid).from_directory, 0);
    if (const up_property* member_of = Property(*user.record, "memberOf")) {
      for (size_t i = 0; i < member_of->value_count; ++i) groups.insert(member_of->values[i].text);
    }
  }
  EXPECT_GT(users, 5);
  ASSERT_GT(groups.size(), 3u);
  for (const std::string& dn : groups) {
    SCOPED_TRACE(dn);
    RecordAnswer group = AskRecord(UP_MANAGER_GROUP, dn);
    ASSERT_EQ(group.outcome.status, UP_OK) << group.outcome.message;
    const std::string guid = Property(*group.record, "objectGUID")->values[0].text;
    const up_counters before = Counters();
    RecordAnswer by_guid = AskRecord(UP_MANAGER_GUID, guid);
    RecordAnswer by_path = AskRecord(UP_MANAGER_PATH, dn);
    const up_counters after = Counters();
    ASSERT_EQ(by_guid.outcome.status, UP_OK) << by_guid.outcome.message;
    ASSERT_EQ(by_path.outcome.status, UP_OK) << by_path.outcome.message;
    EXPECT_EQ(Only(Flatten(*by_guid.record), group_attributes), Flatten(*group.record));
    EXPECT_EQ(Flatten(*by_path.record), Flatten(*by_guid.record));
    // Counted in the totals, as directory reads, and nowhere else.
    EXPECT_EQ(after.total_ds_access, before.total_ds_access + 2);
    EXPECT_EQ(after.ngroup_ds_access + after.ngroup_cache_access, before.ngroup_ds_access + before.ngroup_cache_access);
  }
  // A new start reads them again.
  ASSERT_EQ(up_stop(nullptr), UP_OK);
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  EXPECT_EQ(AskRecord(UP_MANAGER_PATH, *groups.begin()).from_directory, 1);
}

TEST_F(CInterface, NotFoundSaysWhetherTheUserOrTheAddressIsMissing) {
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  up_string_list* list = nullptr;
  Outcome nobody = Capture([&](up_error** e) { return up_get_guids(kUnknownSip, &list, e); });
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(nobody.status, UP_NOT_FOUND);
  EXPECT_EQ(nobody.error_status, UP_NOT_FOUND);
  EXPECT_EQ(nobody.code, kManagerNotFound);
  EXPECT_THAT(nobody.message, HasSubstr(kUnknownSip));

  char* email = nullptr;
  Outcome no_user = Capture([&](up_error** e) { return up_get_email(kUnknownSip, &email, e); });
  EXPECT_EQ(email, nullptr);
  EXPECT_EQ(no_user.status, UP_NOT_FOUND);
  EXPECT_EQ(no_user.code, kManagerNotFound);
  EXPECT_THAT(no_user.message, HasSubstr("no user"));

  Outcome no_address = Capture([&](up_error** e) { return up_get_email("sip:erin@example.test", &email, e); });
  EXPECT_EQ(email, nullptr);
  EXPECT_EQ(no_address.status, UP_NOT_FOUND);
  EXPECT_EQ(no_address.code, 0);
  EXPECT_THAT(no_address.message, HasSubstr("no SMTP address"));
}

// One call of each kind, with arguments the test chooses.
struct Call {
  std::string what;
  std::function<Outcome()> run;
};

Outcome CallGuids(const char* sip, bool with_out = true) {
  up_string_list* list = nullptr;
  up_error* error = nullptr;
  const int status = up_get_guids(sip, with_out ? &list : nullptr, &error);
  EXPECT_EQ(list, nullptr);
  up_free_string_list(list);
  return OutcomeOf(status, error);
}

Outcome CallEmail(const char* sip, bool with_out = true) {
  char* email = nullptr;
  up_error* error = nullptr;
  const int status = up_get_email(sip, with_out ? &email : nullptr, &error);
  EXPECT_EQ(email, nullptr);
  up_free_string(email);
  return OutcomeOf(status, error);
}

Outcome CallRecord(int manager, const char* key, bool with_out = true) {
  up_record* record = nullptr;
  up_error* error = nullptr;
  int from_directory = -1;
  const int status = up_get_record(manager, key, with_out ? &record : nullptr, &from_directory, &error);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(from_directory, 0);
  up_free_record(record);
  return OutcomeOf(status, error);
}

Outcome CallKey(const char* sid, int32_t id, bool with_out = true) {
  char* key = nullptr;
  up_error* error = nullptr;
  const int status = up_primary_group_key(sid, id, with_out ? &key : nullptr, &error);
  EXPECT_EQ(key, nullptr);
  up_free_string(key);
  return OutcomeOf(status, error);
}

Outcome CallCounters(int pid, bool with_out = true) {
  up_counters counters;
  return Capture([&](up_error** e) { return up_get_counters(pid, with_out ? &counters : nullptr, e); });
}

void ExpectFailure(const Outcome& outcome, int status, const std::string& says) {
  EXPECT_EQ(outcome.status, status) << outcome.message;
  EXPECT_EQ(outcome.error_status, status);
  EXPECT_THAT(outcome.message, HasSubstr(says));
  EXPECT_THAT(outcome.message, Not(HasSubstr("\n")));
}

TEST_F(CInterface, LookupsBeforeStartAndAfterStopAreRefused) {
  const std::vector<Call> calls = {
      {"guids", [] { return CallGuids("sip:alice@example.test"); }},
      {"email", [] { return CallEmail("sip:alice@example.test"); }},
      {"record", [] { return CallRecord(UP_MANAGER_USER, "sip:alice@example.test"); }},
  };
  for (int round = 0; round < 2; ++round) {
    for (const Call& call : calls) {
      SCOPED_TRACE(call.what + (round == 0 ? " before start" : " after stop"));
      ExpectFailure(call.run(), UP_NOT_STARTED, "not started");
    }
    if (round == 0) {
      ASSERT_EQ(StartWith(Options()).status, UP_OK);
      ASSERT_EQ(CallRecord(UP_MANAGER_USER, "sip:alice@example.test", /*with_out=*/false).status,
                UP_INVALID_ARGUMENT);
      ASSERT_EQ(up_stop(nullptr), UP_OK);
    }
  }
  ExpectFailure(Capture([&](up_error** e) { return up_stop(e); }), UP_NOT_STARTED, "not started");
  // Counters need no start: all zero.
  up_counters counters;
  counters.user_ds_access = 7;
  EXPECT_EQ(up_get_counters(0, &counters, nullptr), UP_OK);
  EXPECT_EQ(counters.user_ds_access, 0u);
  EXPECT_EQ(counters.total_cache_access, 0u);
}

TEST_F(CInterface, MalformedArgumentsAreRefusedNamingTheArgument) {
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  const std::vector<Call> calls = {
      {"sip_address is null", [] { return CallGuids(nullptr); }},
      {"sip_address is empty", [] { return CallGuids(""); }},
      {"sip_address is not UTF-8", [] { return CallGuids("sip:\xff\xfe@example.test"); }},
      {"guids is null", [] { return CallGuids("sip:alice@example.test", false); }},
      {"sip_address is null", [] { return CallEmail(nullptr); }},
      {"email is null", [] { return CallEmail("sip:alice@example.test", false); }},
      {"key is null", [] { return CallRecord(UP_MANAGER_GROUP, nullptr); }},
      {"record is null", [] { return CallRecord(UP_MANAGER_USER, "sip:alice@example.test", false); }},
      {"manager 5 is not 0 to 4", [] { return CallRecord(5, "sip:alice@example.test"); }},
      {"manager -1 is not 0 to 4", [] { return CallRecord(-1, "sip:alice@example.test"); }},
      {"key is not a GUID", [] { return CallRecord(UP_MANAGER_GUID, "<GUID=01010000000000000000000000000000>"); }},
      {"key is not a GUID", [] { return CallRecord(UP_MANAGER_GUID, "0101000000000000000000000000000g"); }},
      {"key names a server", [] { return CallRecord(UP_MANAGER_PATH, "GC://127.0.0.1:3268/dc=example,dc=test"); }},
      {"user_sid is null", [] { return CallKey(nullptr, 513); }},
      {"user_sid is not a SID", [] { return CallKey("S-1-banana", 513); }},
      {"primary_group_id is negative", [] { return CallKey("S-1-5-21-1-2-3-1104", -1); }},
      {"key is null", [] { return CallKey("S-1-5-21-1-2-3-1104", 513, false); }},
      {"counters is null", [] { return CallCounters(0, false); }},
      {"pid is negative", [] { return CallCounters(-5); }},
      {"processes is null", [] { return Capture([](up_error** e) { return up_list_counter_processes(nullptr, e); }); }},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.what);
    ExpectFailure(call.run(), UP_INVALID_ARGUMENT, call.what);
  }
  char* path = nullptr;
  ExpectFailure(Capture([&](up_error** e) { return up_discover(&path, nullptr, e); }), UP_INVALID_ARGUMENT,
                "must not be null");
  ExpectFailure(Capture([&](up_error** e) { return up_discover_with_options(nullptr, &path, nullptr, e); }),
                UP_INVALID_ARGUMENT, "must not be null");
  // Without an error object the status still tells.
  EXPECT_EQ(up_get_guids(nullptr, nullptr, nullptr), UP_INVALID_ARGUMENT);
}

TEST_F(CInterface, UnusableStartOptionsAreConfigErrorsAndStartNothing) {
  ScopedSettingsFile broken("[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"a\nb\"\n");
  ScopedSettingsFile no_keytab("[DirectoryAccess.DEFAULT]\nBindMethod = \"gssapi\"\n"
                               "KeytabFile = \"/nonexistent/svc.keytab\"\n");
  userpolicy::testing::SetEnvironment(kSettingsPathVariable, std::nullopt);
  const std::string missing_file = settings_->path() + ".missing";
  struct Case {
    up_options options;
    std::string says;
  };
  const std::string settings = settings_->path();
  const std::vector<Case> cases = {
      {{settings.c_str(), nullptr, "loud", nullptr}, "log_level \"loud\" is not one of"},
      {{settings.c_str(), nullptr, nullptr, ""}, "log_file is empty"},
      {{settings.c_str(), nullptr, nullptr, "/nonexistent-dir/userpolicy.log"},
       "cannot open log file /nonexistent-dir/userpolicy.log: No such file or directory"},
      {{settings.c_str(), nullptr, "off", "/nonexistent-dir/userpolicy.log"}, "/nonexistent-dir/userpolicy.log"},
      {{settings.c_str(), "bad host:1", nullptr, nullptr}, "server \"bad host:1\" is not host[:port]"},
      {{settings.c_str(), "127.0.0.1:0", nullptr, nullptr}, "server \"127.0.0.1:0\""},
      {{settings.c_str(), "ldaps://127.0.0.1:636", nullptr, nullptr}, "server \"ldaps://127.0.0.1:636\""},
      {{missing_file.c_str(), nullptr, nullptr, nullptr}, missing_file + " cannot be read"},
      {{"", nullptr, nullptr, nullptr}, "settings_file is empty"},
      {{broken.path().c_str(), nullptr, nullptr, nullptr}, broken.path() + " does not parse at line 2"},
      {{no_keytab.path().c_str(), nullptr, nullptr, nullptr},
       "KeytabFile: cannot open the keytab /nonexistent/svc.keytab"},
  };
  const DBG::LogOptions log_before = DBG::GetOptions();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    ExpectFailure(StartWith(c.options), UP_CONFIG_ERROR, c.says);
    EXPECT_EQ(CallGuids("sip:alice@example.test").status, UP_NOT_STARTED);
    EXPECT_EQ(DBG::GetOptions().threshold, log_before.threshold);
    EXPECT_EQ(DBG::GetOptions().destination, log_before.destination);
  }
  // The environment's log file is opened too when no log_file is given.
  {
    ScopedEnvironment log(ScopedEnvironment::Values{{DBG::kLogDestinationVariable, "/nonexistent-dir/from-environment.log"}});
    ExpectFailure(StartWith(Options()), UP_CONFIG_ERROR,
                  "cannot open log file /nonexistent-dir/from-environment.log");
    EXPECT_EQ(DBG::GetOptions().destination, log_before.destination);
  }
  // The environment's settings file is checked too when no file is given.
  {
    ScopedEnvironment environment({{kSettingsPathVariable, broken.path()}});
    up_options none{nullptr, nullptr, nullptr, nullptr};
    ExpectFailure(StartWith(none), UP_CONFIG_ERROR, "does not parse");
  }

  // Bind options, each field named when it is at fault.
  const std::string keytab = settings + ".keytab";
  userpolicy::testing::WriteKeytab(keytab, {"svc@EXAMPLE.TEST"});
  struct BindCase {
    up_bind_options bind;
    std::string says;
  };
  const std::vector<BindCase> binds = {
      {{"kerberos", nullptr, nullptr}, "bind method \"kerberos\" is not one of simple, gssapi"},
      {{"simple", keytab.c_str(), nullptr}, "a keytab and a principal are for the gssapi bind method"},
      {{"gssapi", "/nonexistent/svc.keytab", nullptr}, "keytab: cannot open the keytab /nonexistent/svc.keytab"},
      {{"gssapi", keytab.c_str(), "nobody@EXAMPLE.TEST"},
       "principal: the keytab " + keytab + " holds no keys of nobody@EXAMPLE.TEST"},
      // The settings file has no KeytabFile to fall back on.
      {{"gssapi", nullptr, nullptr}, "KeytabFile is needed with BindMethod = \"gssapi\""},
  };
  const up_options options = Options();
  for (const BindCase& c : binds) {
    SCOPED_TRACE(c.says);
    up_error* error = nullptr;
    const int status = up_start_with_bind(&options, &c.bind, &error);
    ExpectFailure(OutcomeOf(status, error), UP_CONFIG_ERROR, c.says);
    EXPECT_EQ(CallGuids("sip:alice@example.test").status, UP_NOT_STARTED);
  }
  // A refused start leaves no override behind: the file's (simple) bind
  // applies to the next start; a simple bind option starts as the file says.
  const auto alice_resolves = [] {
    up_string_list* guids = nullptr;
    const int status = up_get_guids("sip:alice@example.test", &guids, nullptr);
    up_free_string_list(guids);
    return status == UP_OK;
  };
  ASSERT_EQ(StartWith(options).status, UP_OK);
  EXPECT_TRUE(alice_resolves());
  ASSERT_EQ(up_stop(nullptr), UP_OK);
  const up_bind_options simple{"simple", nullptr, nullptr};
  ASSERT_EQ(up_start_with_bind(&options, &simple, nullptr), UP_OK);
  EXPECT_TRUE(alice_resolves());
  ASSERT_EQ(up_stop(nullptr), UP_OK);
  std::remove(keytab.c_str());
}

TEST_F(CInterface, AnUnreachableServerIsADirectoryErrorNamingServerAndKey) {
  const std::string closed =  // nothing listens there
      "127.0.0.1:" + std::to_string(userpolicy::local_directories::PickFreeLoopbackPort());
  up_options options = Options();
  options.server = closed.c_str();
  ASSERT_EQ(StartWith(options).status, UP_OK);
  const std::string sip = "sip:alice@example.test";
  const std::vector<Call> calls = {
      {"guids", [&] { return CallGuids(sip.c_str()); }},
      {"email", [&] { return CallEmail(sip.c_str()); }},
      {"record", [&] { return CallRecord(UP_MANAGER_USER, sip.c_str()); }},
  };
  const std::string password = server_->service_password();
  for (const Call& call : calls) {
    SCOPED_TRACE(call.what);
    const Outcome outcome = call.run();
    ExpectFailure(outcome, UP_DIRECTORY_ERROR, closed);
    EXPECT_EQ(outcome.code, kServerDown);
    EXPECT_THAT(outcome.message, HasSubstr(sip));
    EXPECT_THAT(outcome.message, Not(HasSubstr(password)));
  }
}

TEST_F(CInterface, TheServerOptionReplacesTheConfiguredServers) {
  // The file names a closed port; the option names the real server.
  const std::string closed =  // nothing listens there
      "127.0.0.1:" + std::to_string(userpolicy::local_directories::PickFreeLoopbackPort());
  ScopedSettingsFile elsewhere(DirectorySettings(closed, server_->service_dn(), server_->service_password_file()));
  userpolicy::testing::SetEnvironment(kSettingsPathVariable, std::nullopt);
  for (const std::string& server : {server_->host_port(), server_->url(), "GC://" + server_->host_port() + "/"}) {
    SCOPED_TRACE(server);
    up_options options{elsewhere.path().c_str(), server.c_str(), nullptr, nullptr};
    const Outcome started = StartWith(options);
    ASSERT_EQ(started.status, UP_OK) << started.message;
    EXPECT_EQ(AskC("sip:alice@example.test").guids, truth_->Guids(*truth_->User("sip:alice@example.test")));
    EXPECT_EQ(AskC("sip:alice@example.test").guids_status, UP_OK);
    ASSERT_EQ(up_stop(nullptr), UP_OK);
  }
  // Without the option the file's server applies again.
  up_options options{elsewhere.path().c_str(), nullptr, nullptr, nullptr};
  ASSERT_EQ(StartWith(options).status, UP_OK);
  EXPECT_EQ(AskC("sip:alice@example.test").guids_status, UP_DIRECTORY_ERROR);
}

TEST_F(CInterface, StartingTwiceIsRefusedAndTheLogGoesWhereTheOptionsSay) {
  const std::string log_file = settings_->path() + ".log";
  const DBG::LogOptions log_before = DBG::GetOptions();
  up_options options = Options();
  options.log_level = "info";
  options.log_file = log_file.c_str();
  ASSERT_EQ(StartWith(options).status, UP_OK);
  ExpectFailure(StartWith(Options()), UP_INVALID_ARGUMENT, "started already");
  ASSERT_EQ(up_stop(nullptr), UP_OK);
  DBG::Configure(log_before);
  std::ifstream file(log_file);
  std::stringstream text;
  text << file.rdbuf();
  std::remove(log_file.c_str());
  EXPECT_THAT(text.str(), HasSubstr("Global Catalog = GC://" + server_->host_port()));
}

TEST_F(CInterface, NoGlobalCatalogIsADirectoryErrorAndDiscoverySaysWhy) {
  ScopedSettingsFile nowhere("[DirectoryAccess.DEFAULT]\nBindDN = \"cn=nobody\"\n");
  userpolicy::testing::SetEnvironment(kSettingsPathVariable, std::nullopt);
  up_options options{nowhere.path().c_str(), nullptr, nullptr, nullptr};
  const Outcome started = StartWith(options);
  ExpectFailure(started, UP_DIRECTORY_ERROR, "no Global Catalog found");
  EXPECT_EQ(started.code, kNoServer);
  EXPECT_THAT(started.message, HasSubstr("no Forest configured"));
  EXPECT_EQ(CallGuids("sip:alice@example.test").status, UP_NOT_STARTED);

  // Discovery reads the same settings without a start; the environment names the file here.
  ScopedEnvironment environment({{kSettingsPathVariable, nowhere.path()}});
  char* path = nullptr;
  up_string_list* steps = nullptr;
  const Outcome discovered = Capture([&](up_error** e) { return up_discover(&path, &steps, e); });
  Owned<up_string_list> owned_steps(steps);
  EXPECT_EQ(path, nullptr);
  ExpectFailure(discovered, UP_DIRECTORY_ERROR, "no Global Catalog found");
  EXPECT_EQ(discovered.code, kNoServer);
  EXPECT_EQ(Items(steps), (std::vector<std::string>{"settings file " + nowhere.path() + ": read",
                                                    "configured Global Catalog servers: none",
                                                    "DNS SRV: no Forest configured",
                                                    "rootDSE: no DomainController configured"}));
}

TEST_F(CInterface, DiscoveryFindsTheServerTheStartWasGiven) {
  up_options options = Options();
  const std::string server = server_->host_port();
  options.server = server.c_str();
  ASSERT_EQ(StartWith(options).status, UP_OK);
  char* path = nullptr;
  up_string_list* steps = nullptr;
  ASSERT_EQ(up_discover(&path, &steps, nullptr), UP_OK);
  Owned<char> owned_path(path);
  Owned<up_string_list> owned_steps(steps);
  EXPECT_EQ(std::string(path), "GC://" + server);
  EXPECT_EQ(Items(steps), (std::vector<std::string>{"settings file " + settings_->path() + ": read",
                                                    "configured Global Catalog servers: " + server,
                                                    "DNS SRV: not asked (a configured server comes first)",
                                                    "rootDSE: not asked (a server was found)",
                                                    "bind to " + server + ": simple as " + server_->service_dn() +
                                                        ", no security layer"}));
}

struct Discovery {
  Outcome outcome;
  std::optional<std::string> path;
  std::vector<std::string> steps;
};

Discovery DiscoverWith(const up_options* options) {
  Discovery discovery;
  char* path = nullptr;
  up_string_list* steps = nullptr;
  discovery.outcome = Capture([&](up_error** e) { return up_discover_with_options(options, &path, &steps, e); });
  Owned<char> owned_path(path);
  Owned<up_string_list> owned_steps(steps);
  if (path != nullptr) discovery.path = path;
  discovery.steps = Items(steps);
  return discovery;
}

TEST_F(CInterface, DiscoveryWithOptionsUsesTheirSettingsAndServerForThatCallOnly) {
  ScopedSettingsFile nowhere("[DirectoryAccess.DEFAULT]\nBindDN = \"cn=nobody\"\n");
  const std::string server = server_->host_port();
  up_options file_only{nowhere.path().c_str(), nullptr, nullptr, nullptr};
  const Discovery none = DiscoverWith(&file_only);
  ExpectFailure(none.outcome, UP_DIRECTORY_ERROR, "no Global Catalog found");
  EXPECT_EQ(none.steps.front(), "settings file " + nowhere.path() + ": read");

  up_options with_server{nowhere.path().c_str(), server.c_str(), nullptr, nullptr};
  const Discovery found = DiscoverWith(&with_server);
  ASSERT_EQ(found.outcome.status, UP_OK) << found.outcome.message;
  EXPECT_EQ(found.path, "GC://" + server);
  EXPECT_EQ(found.steps.at(1), "configured Global Catalog servers: " + server);

  // Neither stays: the next discovery reads the settings the environment names.
  ScopedEnvironment environment({{kSettingsPathVariable, settings_->path()}});
  const Discovery plain = DiscoverWith(nullptr);
  EXPECT_EQ(plain.steps.front(), "settings file " + settings_->path() + ": read");
  EXPECT_EQ(plain.path, "GC://" + server);

  // Unusable options are refused as up_start refuses them.
  up_options bad_server{nullptr, "bad host", nullptr, nullptr};
  ExpectFailure(DiscoverWith(&bad_server).outcome, UP_CONFIG_ERROR, "server \"bad host\"");

  // While started, the module's settings and servers apply.
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  ExpectFailure(DiscoverWith(&with_server).outcome, UP_INVALID_ARGUMENT, "the module is started");
  const DBG::LogOptions log_before = DBG::GetOptions();
  up_options level_only{nullptr, nullptr, "error", nullptr};
  EXPECT_EQ(DiscoverWith(&level_only).outcome.status, UP_OK);
  EXPECT_EQ(DBG::GetOptions().threshold, DBG::Severity::kError);
  DBG::Configure(log_before);
}

// Threads on cold caches, meeting in the managers' reads, answer as one
// thread did, a whole round each, until a stop refuses them.
TEST_F(CInterface, ManyThreadsAnswerAsOneThreadDidUntilAStopRefusesThem) {
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  std::map<std::string, CAnswer> expected;
  for (const std::string& sip : sips_) expected[sip] = AskC(sip);
  ASSERT_EQ(up_stop(nullptr), UP_OK);
  ASSERT_EQ(StartWith(Options()).status, UP_OK);

  constexpr int kThreads = 8;
  std::atomic<int> started_threads{0};
  std::atomic<bool> stopped{false};
  std::vector<std::vector<std::string>> wrong(kThreads);
  std::vector<int> refused_after_stop(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      bool counted = false;
      for (size_t i = 0;; ++i) {
        const bool stop_seen = stopped.load();
        const std::string& sip = sips_[(i + static_cast<size_t>(t)) % sips_.size()];
        const CAnswer answer = AskC(sip);
        if (!counted && i + 1 == sips_.size()) {
          counted = true;
          started_threads.fetch_add(1);
        }
        const bool refused = answer.guids_status == UP_NOT_STARTED && answer.email_status == UP_NOT_STARTED;
        if (!refused && !(answer == expected.at(sip))) {
          // A call may also have got in before the stop and its e-mail
          // lookup refused after it.
          if (!(answer.guids_status == expected.at(sip).guids_status && answer.guids == expected.at(sip).guids &&
                answer.email_status == UP_NOT_STARTED)) {
            wrong[t].push_back(sip + " " + std::to_string(answer.guids_status) + "/" +
                               std::to_string(answer.email_status) + " " + std::to_string(answer.guids.size()));
          }
        }
        if (stop_seen) {
          // Begun after the stop returned: must be refused.
          if (refused) ++refused_after_stop[t];
          break;
        }
      }
    });
  }
  while (started_threads.load() < kThreads) std::this_thread::yield();
  ASSERT_EQ(up_stop(nullptr), UP_OK);
  stopped.store(true);
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_THAT(wrong[t], ::testing::IsEmpty()) << "thread " << t;
    EXPECT_EQ(refused_after_stop[t], 1) << "thread " << t;
  }
  // Nothing a late call did survives into the next start: the caches start empty.
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  for (const std::string& sip : sips_) EXPECT_EQ(AskRecord(UP_MANAGER_USER, sip).from_directory, 1) << sip;
}

TEST_F(CInterface, AStopLetsACallInsideFinishFirst) {
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  // The directory stops answering, so that a lookup stays inside.
  server_->Pause();
  int status = -1;
  std::vector<std::string> guids;
  std::thread caller([&] {
    up_string_list* list = nullptr;
    status = up_get_guids("sip:bob@example.test", &list, nullptr);
    guids = Items(list);
    up_free_string_list(list);
  });
  while (capi::ModuleGate().calls_inside() == 0) std::this_thread::yield();
  std::atomic<bool> stop_returned{false};
  int inside_when_stop_returned = -1;
  std::thread stopper([&] {
    EXPECT_EQ(up_stop(nullptr), UP_OK);
    inside_when_stop_returned = capi::ModuleGate().calls_inside();
    stop_returned.store(true);
  });
  while (capi::ModuleGate().is_open()) std::this_thread::yield();
  // Closed: a new call is refused at once, while the one inside goes on and
  // the stop waits for it.
  EXPECT_EQ(CallGuids("sip:alice@example.test").status, UP_NOT_STARTED);
  EXPECT_FALSE(stop_returned.load());
  server_->Resume();
  caller.join();
  stopper.join();
  EXPECT_EQ(inside_when_stop_returned, 0);
  const auto user = truth_->User("sip:bob@example.test");
  EXPECT_EQ(status, UP_OK);
  EXPECT_EQ(guids, truth_->Guids(*user));
}

// How each lookup moves the counters is end_to_end_slapd_test's (the
// module's object); here every counter reaches the caller as that object
// holds it, for this process and as another process reads it.
TEST_F(CInterface, CountersAreTheModulesForThisProcessAndByProcessId) {
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  const up_counters zero = Counters();
  EXPECT_EQ(zero.total_ds_access + zero.total_cache_access, 0u);

  const std::string sip = "sip:carol@example.test";  // primary group and five nested groups
  ASSERT_EQ(AskC(sip).guids_status, UP_OK);
  const up_counters cold = Counters();
  RecordAnswer record = AskRecord(UP_MANAGER_USER, sip);
  const up_counters mine = Counters();
  EXPECT_EQ(mine.user_cache_access, cold.user_cache_access + 1);  // a record is a counted lookup too
  const up_counters published = Counters(static_cast<int>(getpid()));
  const CDSAccessPerfObject& o = *g_pDSAccessPerfObject;
  const int64_t held[] = {
      o.m_nTotalDSAccess,  o.m_nTotalDSAccessTime,  o.m_nTotalCacheAccess,  o.m_nTotalCacheAccessTime,
      o.m_nUserDSAccess,   o.m_nUserDSAccessTime,   o.m_nUserCacheAccess,   o.m_nUserCacheAccessTime,
      o.m_nPGroupDSAccess, o.m_nPGroupDSAccessTime, o.m_nPGroupCacheAccess, o.m_nPGroupCacheAccessTime,
      o.m_nNGroupDSAccess, o.m_nNGroupDSAccessTime, o.m_nNGroupCacheAccess, o.m_nNGroupCacheAccessTime};
  ASSERT_EQ(std::size(held), up_counter_count());
  for (size_t i = 0; i < up_counter_count(); ++i) {
    SCOPED_TRACE(up_counter_info_at(i)->field);
    EXPECT_EQ(up_counter_value(&mine, i), held[i]);
    EXPECT_EQ(up_counter_value(&published, i), held[i]);
  }
  EXPECT_GT(mine.ngroup_ds_access, 0u);

  up_counters none;
  const Outcome absent = Capture([&](up_error** e) { return up_get_counters(0x3ffffffe, &none, e); });
  ExpectFailure(absent, UP_NOT_FOUND, "1073741822");
}

TEST(CInterfaceCounters, NamedAsTheModulePublishesThemInTheOrderOfUpCounters) {
  const auto& definitions = CDSAccessPerfObject::Category().counters;
  ASSERT_EQ(up_counter_count(), definitions.size());
  // up_counters lists the counters in the module's order: member i holds i + 1.
  const up_counters numbered{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (size_t i = 0; i < up_counter_count(); ++i) {
    const up_counter_info* info = up_counter_info_at(i);
    ASSERT_NE(info, nullptr);
    SCOPED_TRACE(info->field);
    const bool time = definitions[i].type == perf::CounterType::kMilliseconds;
    EXPECT_STREQ(info->key, definitions[i].key);
    EXPECT_STREQ(info->name, definitions[i].name);
    EXPECT_STREQ(info->help, definitions[i].help);
    EXPECT_EQ(info->milliseconds, time ? 1 : 0);
    EXPECT_EQ(std::string(info->field), std::string(info->key) + (time ? "_time_ms" : ""));
    EXPECT_EQ(up_counter_value(&numbered, i), static_cast<int64_t>(i + 1));
  }
  EXPECT_STREQ(up_counter_info_at(5)->field, "user_ds_access_time_ms");
  EXPECT_EQ(up_counter_info_at(up_counter_count()), nullptr);
  EXPECT_EQ(up_counter_value(&numbered, up_counter_count()), 0);
  EXPECT_EQ(up_counter_value(nullptr, 0), 0);
  // A count is unsigned 32 bits, a time signed 64.
  up_counters extremes{};
  extremes.total_ds_access = 4294967295u;
  extremes.total_ds_access_time_ms = -5;
  EXPECT_EQ(up_counter_value(&extremes, 0), 4294967295LL);
  EXPECT_EQ(up_counter_value(&extremes, 1), -5);
}

std::vector<int> CounterProcesses() {
  up_process_list* raw = nullptr;
  EXPECT_EQ(up_list_counter_processes(&raw, nullptr), UP_OK);
  Owned<up_process_list> list(raw);
  return list != nullptr ? std::vector<int>(list->pids, list->pids + list->count) : std::vector<int>{};
}

TEST_F(CInterface, TheProcessesThatPublishCountersAreTheLiveOnes) {
  // What a process left behind under its name when it ended (no counters
  // in it).
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  const std::string stale = perf::SegmentNameForProcess(static_cast<DWORD>(gone));
  std::unique_ptr<platform::SharedMemory> segment;
  ASSERT_EQ(platform::SharedMemory::Create(stale, 4096, &segment), S_OK);

  const int self = static_cast<int>(getpid());
  EXPECT_THAT(CounterProcesses(), Not(::testing::Contains(self)));
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  const std::vector<int> started = CounterProcesses();
  EXPECT_THAT(started, ::testing::Contains(self));
  EXPECT_THAT(started, Not(::testing::Contains(static_cast<int>(gone))));
  EXPECT_TRUE(std::is_sorted(started.begin(), started.end()));
  ASSERT_EQ(up_stop(nullptr), UP_OK);
  EXPECT_THAT(CounterProcesses(), Not(::testing::Contains(self)));
  segment.reset();
  platform::SharedMemory::Remove(stale);
}

// Runs `call` with each of its allocations failing in turn until it no
// longer allocates that many; each failure must be UP_OUT_OF_MEMORY with
// nothing handed out (the sanitizer build's leak check sees anything kept).
template <class Call>
int FailEachAllocation(const Call& call) {
  for (int n = 1;; ++n) {
    capi::testing::ScopedAllocationFailure fail(n);
    up_error* error = nullptr;
    const int status = call(&error);
    if (fail.allocations() < n) {
      EXPECT_EQ(status, UP_OK);
      return n - 1;
    }
    Owned<up_error> owned(error);
    EXPECT_EQ(status, UP_OUT_OF_MEMORY) << "allocation " << n;
    if (error == nullptr) {
      ADD_FAILURE() << "no error object for allocation " << n;
    } else {
      EXPECT_EQ(error->status, UP_OUT_OF_MEMORY);
    }
  }
}

TEST_F(CInterface, EveryAllocationFailureIsOutOfMemoryWithNothingHandedOut) {
  ASSERT_EQ(StartWith(Options()).status, UP_OK);
  const char* sip = "sip:alice@example.test";
  int allocations = FailEachAllocation([&](up_error** error) {
    up_record* record = nullptr;
    const int status = up_get_record(UP_MANAGER_USER, sip, &record, nullptr, error);
    if (status != UP_OK) {
      EXPECT_EQ(record, nullptr);
    }
    up_free_record(record);
    return status;
  });
  EXPECT_GT(allocations, 10);
  allocations = FailEachAllocation([&](up_error** error) {
    up_string_list* guids = nullptr;
    const int status = up_get_guids(sip, &guids, error);
    if (status != UP_OK) {
      EXPECT_EQ(guids, nullptr);
    }
    up_free_string_list(guids);
    return status;
  });
  EXPECT_EQ(allocations, 2 + static_cast<int>(truth_->Guids(*truth_->User(sip)).size()));
  FailEachAllocation([&](up_error** error) {
    char* path = nullptr;
    up_string_list* steps = nullptr;
    const int status = up_discover(&path, &steps, error);
    if (status != UP_OK) {
      EXPECT_EQ(path, nullptr);
      EXPECT_EQ(steps, nullptr);
    }
    up_free_string(path);
    up_free_string_list(steps);
    return status;
  });
}

TEST(CInterfaceValues, EachVariantTypeGivesItsTextBytesAndNumber) {
  struct Case {
    _variant_t value;
    uint16_t vartype;
    std::string text;
    int64_t integer;
    std::vector<unsigned char> bytes;
  };
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 3);
  unsigned char* data = nullptr;
  SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
  data[0] = 0x01;
  data[1] = 0xab;
  data[2] = 0x00;
  SafeArrayUnaccessData(array);
  _variant_t bytes;
  bytes.vt = VT_ARRAY | VT_UI1;
  bytes.parray = array;
  _variant_t big;
  big.vt = VT_I8;
  big.llVal = -5000000000LL;
  _variant_t huge;
  huge.vt = VT_UI8;
  huge.ullVal = 18446744073709551615ULL;
  const std::vector<Case> cases = {
      {_variant_t(L"Zürich"), kVtBstr, "Z\xc3\xbcrich", 0, {}},
      {_variant_t(-2147483646L), kVtI4, "-2147483646", -2147483646, {}},
      {big, kVtI8, "-5000000000", -5000000000LL, {}},
      {huge, 21, "18446744073709551615", -1, {}},
      {_variant_t(true), kVtBool, "TRUE", 1, {}},
      {_variant_t(false), kVtBool, "FALSE", 0, {}},
      {bytes, kVtBytes, "01ab00", 0, {0x01, 0xab, 0x00}},
      {_variant_t(0.5), 5, "0.5", 0, {}},
      {_variant_t(), 0, "", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    up_record record{};
    record.properties = static_cast<up_property*>(calloc(1, sizeof(up_property)));
    record.property_count = 1;
    record.properties[0].values = static_cast<up_value*>(calloc(1, sizeof(up_value)));
    record.properties[0].value_count = 1;
    up_value& value = record.properties[0].values[0];
    capi::FillValue(c.value, &value);
    EXPECT_EQ(value.vartype, c.vartype);
    EXPECT_EQ(std::string(value.text), c.text);
    EXPECT_EQ(value.integer, c.integer);
    EXPECT_EQ(std::vector<unsigned char>(value.bytes, value.bytes + value.byte_count), c.bytes);
    if (c.bytes.empty()) {
      EXPECT_EQ(value.bytes, nullptr);
    }
    // up_free_record frees what FillValue allocated; the record itself is ours.
    up_record* heap = static_cast<up_record*>(calloc(1, sizeof(up_record)));
    *heap = record;
    up_free_record(heap);
  }
}

TEST(CInterfaceNames, StatusNamesAndVersion) {
  const std::vector<std::pair<int, std::string>> names = {
      {UP_OK, "UP_OK"},
      {UP_NOT_FOUND, "UP_NOT_FOUND"},
      {UP_INVALID_ARGUMENT, "UP_INVALID_ARGUMENT"},
      {UP_NOT_STARTED, "UP_NOT_STARTED"},
      {UP_DIRECTORY_ERROR, "UP_DIRECTORY_ERROR"},
      {UP_CONFIG_ERROR, "UP_CONFIG_ERROR"},
      {UP_OUT_OF_MEMORY, "UP_OUT_OF_MEMORY"},
      {UP_INTERNAL_ERROR, "UP_INTERNAL_ERROR"},
      {8, "UP_UNKNOWN"},
      {-1, "UP_UNKNOWN"},
  };
  for (const auto& [status, name] : names) EXPECT_EQ(up_status_name(status), name);
  EXPECT_THAT(up_version(), ::testing::MatchesRegex("[0-9]+\\.[0-9]+\\.[0-9]+"));
}

}  // namespace
