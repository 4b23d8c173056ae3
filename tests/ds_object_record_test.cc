// The directory object record: sharing, lazy creation, ordering, index
// errors and handle copies across threads.
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dsobject/ds_object_info.h"
#include "dsobject/ds_object_property.h"
#include "dsobject/shared_property_names.h"
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

CDSObjectProperty StringProperty(const wchar_t* name,
                                 std::initializer_list<const wchar_t*> values) {
  CDSObjectProperty property(name);
  for (const wchar_t* text : values) {
    _variant_t value(text);
    property.AddValue(value);
  }
  return property;
}

TEST(DSObjectProperty, SharingLazyCreationIndexChecksAndDeepCopies) {
  CDSObjectProperty empty;
  CDSObjectProperty empty_copy(empty);  // copying an empty handle creates nothing
  EXPECT_EQ(empty.GetValueCount(), 0);
  EXPECT_EQ(empty.GetName(), nullptr);
  empty_copy.SetName(L"only-copy");  // lazy creation gave each handle its own
  EXPECT_EQ(empty.GetName(), nullptr);

  CDSObjectProperty property(L"proxyAddresses");
  _variant_t value(L"SMTP:a@example.test");
  property.AddValue(value);
  value = L"changed";  // the stored value is a deep copy
  value.Clear();
  EXPECT_STREQ(property.GetValue(0).bstrVal, L"SMTP:a@example.test");
  CDSObjectProperty other = property;  // changes through the reference show in every handle
  property.GetValue(0) = L"SMTP:b@example.test";
  EXPECT_STREQ(other.GetValue(0).bstrVal, L"SMTP:b@example.test");
  for (int index : {1, -1}) {
    EXPECT_EQ(ErrorCodeOf([&] { property.GetValue(index); }),
              EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE);
  }
  property.SetName(property.GetName());  // its own pointer keeps the name
  EXPECT_STREQ(property.GetName(), L"proxyAddresses");
}

TEST(DSObjectProperty, NamesReadBackExactlyWhetherSharedOrNot) {
  // Equal names share one copy of the text; names that only share a prefix
  // must not be mistaken for each other.
  CDSObjectProperty first(L"memberOf");
  CDSObjectProperty second;
  second.SetName(L"memberOf");
  EXPECT_EQ(first.GetName(), second.GetName());
  CDSObjectProperty prefix(L"member");
  CDSObjectProperty longer(L"memberOfX");
  EXPECT_STREQ(prefix.GetName(), L"member");
  EXPECT_STREQ(longer.GetName(), L"memberOfX");
  second.SetName(nullptr);
  EXPECT_EQ(second.GetName(), nullptr);
  EXPECT_STREQ(first.GetName(), L"memberOf");  // another property's release keeps the shared text

  // Past the table's limits (too long, table full) names are copies of their
  // own and read back just the same.
  const std::wstring long_name(kMaxSharedPropertyNameLength + 1, L'x');
  CDSObjectProperty too_long(long_name.c_str());
  EXPECT_EQ(too_long.GetName(), std::wstring_view(long_name));
  std::vector<CDSObjectProperty> many;
  for (size_t i = 0; i < kMaxSharedPropertyNames + 8; ++i) {
    many.emplace_back((L"attribute" + std::to_wstring(i)).c_str());
  }
  for (size_t i = 0; i < many.size(); ++i) EXPECT_EQ(many[i].GetName(), L"attribute" + std::to_wstring(i));

  // Threads naming properties at once (run under the thread sanitizer too).
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        CDSObjectProperty property;
        property.SetName(i % 2 == 0 ? L"objectGUID" : L"distinguishedName");
        ASSERT_STREQ(property.GetName(), i % 2 == 0 ? L"objectGUID" : L"distinguishedName");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(DSObjectInfo, OrderFirstNameWinsAndSharing) {
  CDSObjectInfo record;
  const wchar_t* names[] = {L"objectGUID", L"name", L"memberOf", L"name", L"mail"};
  for (const wchar_t* name : names) {
    CDSObjectProperty property = StringProperty(name, {name});
    record.AddProperty(property);
  }
  CDSObjectProperty second_name = record.GetProperty(3);
  second_name.SetName(L"NAME");
  ASSERT_EQ(record.GetPropertyCount(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(_wcsicmp(record.GetProperty(i).GetName(), names[i]), 0);
  // Case-insensitive lookup; the property added first wins.
  EXPECT_STREQ(record.GetProperty(L"NAME").GetValue(0).bstrVal, L"name");
  EXPECT_STREQ(record.GetProperty(L"MemberOF").GetName(), L"memberOf");
  // A missing name, or a null one, gives an empty property, not an error.
  EXPECT_EQ(record.GetProperty(L"proxyAddresses").GetValueCount(), 0);
  EXPECT_EQ(record.GetProperty(static_cast<const wchar_t*>(nullptr)).GetValueCount(), 0);
  for (int index : {5, -1}) {
    EXPECT_EQ(ErrorCodeOf([&] { record.GetProperty(index); }),
              EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE);
  }

  // An added property is shared with the caller's handle; an empty one never matches.
  CDSObjectInfo shared;
  CDSObjectProperty property(L"memberOf");
  shared.AddProperty(property);
  _variant_t later(L"CN=Late,DC=example,DC=test");
  property.AddValue(later);
  EXPECT_EQ(shared.GetProperty(L"memberOf").GetValueCount(), 1);
  CDSObjectProperty empty;
  shared.AddProperty(empty);
  EXPECT_EQ(shared.GetPropertyCount(), 2);
  EXPECT_EQ(shared.GetProperty(L"").GetValueCount(), 0);

  // Self-assignment keeps the record; assignment releases it, not properties taken from it.
  CDSObjectInfo& self = shared;
  shared = self;
  CDSObjectProperty kept = shared.GetProperty(0);
  shared = CDSObjectInfo();
  EXPECT_EQ(shared.GetPropertyCount(), 0);
  EXPECT_STREQ(kept.GetValue(0).bstrVal, L"CN=Late,DC=example,DC=test");
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

}  // namespace
