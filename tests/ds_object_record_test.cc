// The directory object record: sharing, lazy creation, ordering, index
// errors and handle copies across threads.
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dsobject/ds_object_info.h"
#include "dsobject/ds_object_property.h"
#include "dsobject/user_policy_manager_exception.h"
#include "platform/crt.h"

namespace {

int ErrorCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CUserPolicyManagerException& e) {
    return e.GetErrorCode();
  }
  return 0;
}

CDSObjectProperty StringProperty(const wchar_t* name, std::initializer_list<const wchar_t*> values) {
  CDSObjectProperty property(name);
  for (const wchar_t* text : values) {
    _variant_t value(text);
    property.AddValue(value);
  }
  return property;
}

TEST(DSObjectProperty, EmptyHandleBehavesLikeUnnamedPropertyWithoutValues) {
  CDSObjectProperty empty;
  CDSObjectProperty copy(empty);  // copying an empty handle creates nothing
  EXPECT_EQ(empty.GetValueCount(), 0);
  EXPECT_EQ(empty.GetName(), nullptr);
  EXPECT_EQ(ErrorCodeOf([&] { copy.GetValue(0); }), EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE);
  // Lazy creation gave each handle its own implementation.
  copy.SetName(L"only-copy");
  EXPECT_EQ(empty.GetName(), nullptr);
}

TEST(DSObjectProperty, IndexChecksAtBothEnds) {
  CDSObjectProperty property = StringProperty(L"mail", {L"a@x", L"b@x"});
  EXPECT_STREQ(static_cast<const wchar_t*>(_bstr_t(property.GetValue(1))), L"b@x");
  EXPECT_EQ(ErrorCodeOf([&] { property.GetValue(2); }), EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE);
  EXPECT_EQ(ErrorCodeOf([&] { property.GetValue(-1); }), EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE);
  try {
    property.GetValue(2);
  } catch (const CUserPolicyManagerException& e) {
    EXPECT_STREQ(e.GetSource(), "serv_UserPolicyDSObjectProperty");
  }
}

TEST(DSObjectProperty, StoredValuesAreDeepCopies) {
  CDSObjectProperty property(L"proxyAddresses");
  _variant_t value(L"SMTP:a@example.test");
  property.AddValue(value);
  value = L"changed";
  value.Clear();
  EXPECT_EQ(property.GetValue(0).vt, VT_BSTR);
  EXPECT_STREQ(property.GetValue(0).bstrVal, L"SMTP:a@example.test");

  // A change through the returned reference is seen through every handle.
  CDSObjectProperty other = property;
  property.GetValue(0) = L"SMTP:b@example.test";
  EXPECT_STREQ(other.GetValue(0).bstrVal, L"SMTP:b@example.test");
}

TEST(DSObjectProperty, SetNameWithItsOwnPointerKeepsTheName) {
  CDSObjectProperty property(L"memberOf");
  property.SetName(property.GetName());
  EXPECT_STREQ(property.GetName(), L"memberOf");
  property.SetName(nullptr);
  EXPECT_EQ(property.GetName(), nullptr);
  CDSObjectProperty unnamed(nullptr);
  EXPECT_EQ(unnamed.GetName(), nullptr);
}

TEST(DSObjectInfo, PropertiesKeepTheirOrderAndFirstNameWins) {
  CDSObjectInfo record;
  const wchar_t* names[] = {L"objectGUID", L"name", L"memberOf", L"name", L"mail"};
  for (const wchar_t* name : names) {
    CDSObjectProperty property = StringProperty(name, {name});
    record.AddProperty(property);
  }
  CDSObjectProperty second_name = record.GetProperty(3);
  second_name.SetName(L"NAME");
  ASSERT_EQ(record.GetPropertyCount(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(_wcsicmp(record.GetProperty(i).GetName(), names[i]), 0) << i;
  }
  // Case-insensitive lookup; the property added first wins.
  EXPECT_STREQ(record.GetProperty(L"NAME").GetValue(0).bstrVal, L"name");
  EXPECT_STREQ(record.GetProperty(L"MemberOF").GetName(), L"memberOf");
  // A missing name, or a null one, gives an empty property, not an error.
  EXPECT_EQ(record.GetProperty(L"proxyAddresses").GetValueCount(), 0);
  EXPECT_EQ(record.GetProperty(static_cast<const wchar_t*>(nullptr)).GetValueCount(), 0);
  EXPECT_EQ(ErrorCodeOf([&] { record.GetProperty(5); }), EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE);
  EXPECT_EQ(ErrorCodeOf([&] { record.GetProperty(-1); }), EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE);
}

TEST(DSObjectInfo, AddedPropertyIsSharedWithTheCallersHandle) {
  CDSObjectInfo record;
  CDSObjectProperty property(L"memberOf");
  record.AddProperty(property);
  _variant_t later(L"CN=Late,DC=example,DC=test");
  property.AddValue(later);
  EXPECT_EQ(record.GetProperty(L"memberOf").GetValueCount(), 1);

  // An empty handle is appended as an empty handle and never matches a name.
  CDSObjectProperty empty;
  record.AddProperty(empty);
  EXPECT_EQ(record.GetPropertyCount(), 2);
  EXPECT_EQ(record.GetProperty(L"").GetValueCount(), 0);
}

TEST(DSObjectInfo, AssignmentReleasesAndSelfAssignmentKeeps) {
  CDSObjectProperty kept;
  {
    CDSObjectInfo a;
    CDSObjectProperty property = StringProperty(L"mail", {L"m@example.test"});
    a.AddProperty(property);
    CDSObjectInfo& self = a;
    a = self;
    EXPECT_EQ(a.GetPropertyCount(), 1);
    kept = a.GetProperty(0);
    CDSObjectInfo b;
    a = b;  // releases the first record; its property lives on in `kept`
    EXPECT_EQ(a.GetPropertyCount(), 0);
  }
  // The record is gone; the property taken from it is still readable.
  EXPECT_STREQ(kept.GetValue(0).bstrVal, L"m@example.test");
}

TEST(DSObjectInfo, HandlesSharedAcrossThreadsAreFreedExactlyOnce) {
  // Every thread owns one share of the same record; the main thread lets go
  // of its own first, so the last release happens on whichever thread ends
  // last. ASan reports a double free, TSan a racy count.
  constexpr int kThreads = 8;
  constexpr int kCopiesPerThread = 500;
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> reads{0};
    std::vector<std::thread> threads;
    {
      CDSObjectInfo record;
      CDSObjectProperty property = StringProperty(L"objectGUID", {L"0123456789abcdef"});
      record.AddProperty(property);
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&reads, mine = record]() mutable {
          CDSObjectInfo other;
          for (int i = 0; i < kCopiesPerThread; ++i) {
            CDSObjectInfo again(mine);
            other = again;
            if (other.GetProperty(L"objectGUID").GetValueCount() == 1) {
              reads.fetch_add(1, std::memory_order_relaxed);
            }
          }
        });
      }
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(reads.load(), kThreads * kCopiesPerThread);
  }
}

TEST(UserPolicyManagerException, CarriesCodeSourceLineAndDescription) {
  CUserPolicyManagerException e(EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND, "serv_UserPolicyManager", 42);
  OS::CException& base = e;
  EXPECT_EQ(base.GetErrorCode(), -91008);
  EXPECT_STREQ(base.GetErrorMsg().c_str(), L"the directory object was not found");
  const std::wstring ex = base.GetErrorMsgEx().c_str();
  EXPECT_NE(ex.find(L"-91008"), std::wstring::npos) << ex;
  EXPECT_NE(ex.find(L"serv_UserPolicyManager:42"), std::wstring::npos) << ex;
  CUserPolicyManagerException copy = e;
  EXPECT_EQ(copy.GetLine(), 42);
}

}  // namespace
