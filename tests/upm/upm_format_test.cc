// upm's pure parts: percentiles, the progress line, durations, variant type
// names, DN values, the --file list, exit codes, counter formats, object
// keys.

#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/upm/counters_format.h"
#include "tools/upm/exit_codes.h"
#include "tools/upm/explain_dot.h"
#include "tools/upm/explain_walk.h"
#include "tools/upm/latency_summary.h"
#include "tools/upm/object_lookup.h"
#include "tools/upm/progress_bar.h"
#include "tools/upm/sip_list.h"
#include "tools/upm/variant_type_name.h"

namespace upm {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(LatencySummary, NearestRankPercentiles) {
  struct Case {
    std::vector<double> sorted;
    double p;
    double expected;
  };
  const std::vector<double> ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const Case cases[] = {
      {ten, 50, 5},  {ten, 90, 9},  {ten, 99, 10}, {ten, 100, 10}, {ten, 10, 1}, {ten, 11, 2},
      {{7}, 50, 7},  {{7}, 99, 7},  {{1, 2}, 50, 1}, {{1, 2}, 51, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NearestRankPercentile(c.sorted, c.p), c.expected) << "p" << c.p << " of " << c.sorted.size();
  }
}

TEST(LatencySummary, SortsItsInputAndFindsTheMaximum) {
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);  // descending on purpose
  const LatencySummary summary = SummariseLatencies(hundred);
  EXPECT_EQ(summary.count, 100u);
  EXPECT_EQ(summary.p50, 50);
  EXPECT_EQ(summary.p90, 90);
  EXPECT_EQ(summary.p99, 99);
  EXPECT_EQ(summary.max, 100);

  const LatencySummary empty = SummariseLatencies({});
  EXPECT_EQ(empty.count, 0u);
  EXPECT_EQ(empty.max, 0);
}

TEST(ProgressBar, RendersBarCountRateAndEta) {
  struct Case {
    size_t done, total;
    double elapsed;
    std::string expected;
  };
  const Case cases[] = {
      {0, 10, 0.0, "[----------]   0/10  -/s  ETA -"},
      {0, 10, 3.0, "[----------]   0/10  -/s  ETA -"},
      {5, 10, 2.0, "[#####-----]   5/10  2.5/s  ETA 0:02"},
      {3, 10, 1.0, "[###-------]   3/10  3.0/s  ETA 0:03"},  // 7 left at 3/s: 2.33 s, rounded up
      {10, 10, 4.0, "[##########]  10/10  2.5/s  ETA 0:00"},
      {1, 7201, 1.0, "[----------]     1/7201  1.0/s  ETA 2:00:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RenderProgress(c.done, c.total, c.elapsed, 10), c.expected) << c.done << "/" << c.total;
  }
}

TEST(ProgressBar, DrawsInPlaceAndClearsWhatItDrew) {
  std::ostringstream out;
  {
    ProgressBar bar(out, 4);
    bar.Clear();
    EXPECT_EQ(out.str(), "") << "nothing drawn, nothing to clear";
    bar.Draw(2, 1.0);
  }
  EXPECT_EQ(out.str(), "\r\033[K" + RenderProgress(2, 4, 1.0, 30) + "\r\033[K");
}

TEST(ProgressBar, Durations) {
  const std::pair<double, const char*> cases[] = {
      {0, "0:00"}, {0.2, "0:01"}, {59, "0:59"}, {61, "1:01"}, {3599, "59:59"}, {3600, "1:00:00"}, {-5, "0:00"},
  };
  for (const auto& [seconds, expected] : cases) EXPECT_EQ(FormatDuration(seconds), expected) << seconds;
}

TEST(VariantTypeName, BaseTypesAndFlags) {
  const std::pair<uint16_t, const char*> cases[] = {
      {0, "VT_EMPTY"},           {3, "VT_I4"},       {8, "VT_BSTR"},          {11, "VT_BOOL"},
      {20, "VT_I8"},             {19, "VT_UI4"},     {8209, "VT_ARRAY|VT_UI1"}, {0x2008, "VT_ARRAY|VT_BSTR"},
      {0x400C, "VT_BYREF|VT_VARIANT"}, {99, "VT_99"}, {0x2063, "VT_ARRAY|VT_99"},
  };
  for (const auto& [type, name] : cases) EXPECT_EQ(VariantTypeName(type), name) << type;
}

TEST(ExplainWalk, FirstRdnValueUndoesEscapes) {
  const std::pair<const char*, const char*> cases[] = {
      {"cn=Engineering,ou=Groups,dc=example,dc=test", "Engineering"},
      {"CN=Smith\\, Jones and Partners,OU=Groups", "Smith, Jones and Partners"},
      {"cn=Smith\\2C Jones and Partners,ou=Groups", "Smith, Jones and Partners"},
      {"cn=Sales/Marketing (EMEA),ou=Groups", "Sales/Marketing (EMEA)"},
      {"cn=\\C3\\89quipe Z\\C3\\BCrich,ou=Groups", "\xC3\x89quipe Z\xC3\xBCrich"},
      {"cn=a+sn=b,dc=x", "a"},
      {"no equals sign", "no equals sign"},
  };
  for (const auto& [dn, value] : cases) EXPECT_EQ(FirstRdnValue(dn), value) << dn;
}

TEST(SipList, OneAddressPerLineWithoutBlanksAndComments) {
  std::istringstream in("sip:a@x\r\n\n   sip:b@x  \n# a comment\n\t\nsip:c@x");
  std::vector<std::string> sips = {"sip:first@x"};
  ASSERT_TRUE(ReadSipList(in, &sips));
  EXPECT_EQ(sips, (std::vector<std::string>{"sip:first@x", "sip:a@x", "sip:b@x", "sip:c@x"}));
}

TEST(ExitCodes, FromStatus) {
  const std::pair<int, int> cases[] = {
      {UP_OK, 0},           {UP_NOT_FOUND, 1},    {UP_INVALID_ARGUMENT, 2}, {UP_DIRECTORY_ERROR, 3},
      {UP_CONFIG_ERROR, 4}, {UP_NOT_STARTED, 6},  {UP_OUT_OF_MEMORY, 6},    {UP_INTERNAL_ERROR, 6},
      {42, 6},
  };
  for (const auto& [status, code] : cases) EXPECT_EQ(ExitCodeForStatus(status), code) << status;
}

TEST(ExitCodes, FirstFailureWinsThenNotFound) {
  struct Case {
    std::vector<int> codes;
    int expected;
  };
  const Case cases[] = {
      {{}, 0},        {{0, 0}, 0},       {{0, 1, 0}, 1},    {{1, 3, 0}, 3},
      {{0, 4, 3}, 4}, {{3, 4, 1}, 3},    {{1, 1}, 1},       {{6, 1}, 6},
  };
  for (const Case& c : cases) {
    ExitCodeCombiner combiner;
    for (int code : c.codes) combiner.Add(code);
    EXPECT_EQ(combiner.result(), c.expected) << ::testing::PrintToString(c.codes);
  }
}

TEST(ExitCodes, TableNamesEveryCode) {
  const std::string table = ExitCodeTable();
  for (int code : {kExitFound, kExitNotFound, kExitUsage, kExitUnreachable, kExitConfiguration, kExitInput,
                   kExitInternal}) {
    EXPECT_THAT(table, HasSubstr("  " + std::to_string(code) + "  ")) << code;
  }
}

up_counters SampleCounters() {
  up_counters counters = {};
  counters.total_ds_access = 12;
  counters.total_ds_access_time_ms = 340;
  counters.user_cache_access = 7;
  counters.ngroup_ds_access_time_ms = 99;
  return counters;
}

TEST(CountersFormat, TableShowsEveryCounterWithItsValue) {
  const std::string table = FormatCounterTable(4242, SampleCounters());
  EXPECT_THAT(table, HasSubstr("Process 4242"));
  EXPECT_THAT(table, ::testing::ContainsRegex("Total DS Access +12\n"));
  EXPECT_THAT(table, ::testing::ContainsRegex("Total DS Access Time +340\n"));
  EXPECT_THAT(table, ::testing::ContainsRegex("User Cache Access +7\n"));
  EXPECT_THAT(table, ::testing::ContainsRegex("NGroup DS Access Time +99\n"));
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 17);  // title and sixteen counters
}

TEST(CountersFormat, WatchRatesWrapCountsButNotTimes) {
  up_counters previous = {};
  previous.total_ds_access = 4294967290u;  // wraps to 4: ten more
  previous.total_ds_access_time_ms = 500;  // a clock set back: times may go down
  up_counters current = {};
  current.total_ds_access = 4;
  current.total_ds_access_time_ms = 400;
  current.user_ds_access = 3;
  const std::string watch = FormatCounterWatch(1, previous, current, 2.0);
  EXPECT_THAT(watch, ::testing::ContainsRegex("Total DS Access +4 +5.0\n"));
  EXPECT_THAT(watch, ::testing::ContainsRegex("Total DS Access Time +400 +-50.0\n"));
  EXPECT_THAT(watch, ::testing::ContainsRegex("User DS Access +3 +1.5\n"));
  EXPECT_THAT(FormatCounterWatch(1, previous, current, 0), ::testing::ContainsRegex("User DS Access +3 +-\n"));
}

TEST(CountersFormat, PrometheusNamesAndLabels) {
  const std::string text = FormatCounterPrometheus(77, SampleCounters());
  EXPECT_THAT(text, HasSubstr("# TYPE userpolicy_total_ds_access_total counter\n"
                              "userpolicy_total_ds_access_total{pid=\"77\"} 12\n"));
  EXPECT_THAT(text, HasSubstr("userpolicy_total_ds_access_milliseconds_total{pid=\"77\"} 340\n"));
  EXPECT_THAT(text, HasSubstr("userpolicy_ngroup_ds_access_milliseconds_total{pid=\"77\"} 99\n"));
  EXPECT_THAT(text, HasSubstr("# HELP userpolicy_user_cache_access_total Help of User Cache Access.\n"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 48);  // HELP, TYPE and value of sixteen
}

TEST(CountersFormat, JsonHasEveryKeyAndRates) {
  up_counters previous = SampleCounters();
  up_counters current = SampleCounters();
  current.total_ds_access += 6;
  const auto json = nlohmann::json::parse(CountersJson(9, current, &previous, 3.0));
  EXPECT_EQ(json["pid"], 9);
  EXPECT_EQ(json["counters"].size(), 16u);
  EXPECT_EQ(json["counters"]["total_ds_access"], 18);
  EXPECT_EQ(json["counters"]["total_ds_access_time_ms"], 340);
  EXPECT_EQ(json["counters"]["ngroup_cache_access_time_ms"], 0);
  EXPECT_EQ(json["per_second"]["total_ds_access"], 2.0);
  EXPECT_EQ(json["per_second"]["user_cache_access"], 0.0);
  EXPECT_FALSE(nlohmann::json::parse(CountersJson(9, current, nullptr, 0)).contains("per_second"));
}

TEST(ObjectQuery, KeysOfEveryKind) {
  struct Case {
    ObjectKind kind;
    std::string key;
    up_manager manager;
    std::string lookup_key;
    std::string server;
    std::string group_sid;
  };
  const std::string dn = "cn=Engineering,ou=Groups,dc=example,dc=test";
  const std::string hex = "12030000000000000000000000000000";
  const Case cases[] = {
      {ObjectKind::kUser, "sip:alice@example.test", UP_MANAGER_USER, "sip:alice@example.test", "", ""},
      {ObjectKind::kPrimaryGroup, "\\01\\05", UP_MANAGER_PRIMARY_GROUP, "\\01\\05", "", ""},
      {ObjectKind::kPrimaryGroup, "S-1-5-21-1-2-3-513", UP_MANAGER_PRIMARY_GROUP, "", "", "S-1-5-21-1-2-3-513"},
      {ObjectKind::kGroup, dn, UP_MANAGER_GROUP, dn, "", ""},
      {ObjectKind::kGuid, hex, UP_MANAGER_GUID, hex, "", ""},
      {ObjectKind::kGuid, "<guid=" + hex + ">", UP_MANAGER_GUID, hex, "", ""},
      {ObjectKind::kPath, "GC://127.0.0.1/" + dn, UP_MANAGER_PATH, dn, "127.0.0.1:3268", ""},
      {ObjectKind::kPath, "ldap://127.0.0.1/" + dn, UP_MANAGER_PATH, dn, "127.0.0.1:389", ""},
      {ObjectKind::kPath, "GC://127.0.0.1:1389/<GUID=" + hex + ">", UP_MANAGER_PATH, "<GUID=" + hex + ">",
       "127.0.0.1:1389", ""},
      {ObjectKind::kPath, "GC://[::1]:1389/" + dn, UP_MANAGER_PATH, dn, "[::1]:1389", ""},
      {ObjectKind::kPath, "GC://" + dn, UP_MANAGER_PATH, dn, "", ""},
  };
  for (const Case& c : cases) {
    ObjectQuery query;
    std::string problem;
    ASSERT_TRUE(ParseObjectQuery(c.kind, c.key, &query, &problem)) << c.key << ": " << problem;
    EXPECT_EQ(query.manager, c.manager) << c.key;
    EXPECT_EQ(query.lookup_key, c.lookup_key) << c.key;
    EXPECT_EQ(query.server, c.server) << c.key;
    EXPECT_EQ(query.group_sid, c.group_sid) << c.key;
  }
}

TEST(ObjectQuery, MalformedKeysSayWhatIsWrong) {
  struct Case {
    ObjectKind kind;
    std::string key;
    std::string problem;
  };
  const Case cases[] = {
      {ObjectKind::kUser, "", "empty"},
      {ObjectKind::kGuid, "1203", "not a GUID"},
      {ObjectKind::kGuid, "<GUID=1203000000000000000000000000000x>", "not a GUID"},
      {ObjectKind::kPrimaryGroup, "S-1-5-21-x", "not a SID"},
      {ObjectKind::kPrimaryGroup, "S-1-5", "not a SID"},
      {ObjectKind::kPath, "cn=x,dc=y", "GC:// or LDAP://"},
      {ObjectKind::kPath, "GC://127.0.0.1", "names no object"},
      {ObjectKind::kPath, "GC://127.0.0.1:0/cn=x", "malformed host or port"},
      {ObjectKind::kPath, "GC://127.0.0.1:99999/cn=x", "malformed host or port"},
      {ObjectKind::kPath, "GC://127.0.0.1:/cn=x", "malformed host or port"},
      {ObjectKind::kPath, "GC://127.0.0.1/<GUID=12>", "malformed <GUID"},
      {ObjectKind::kPath, "GC://127.0.0.1/justaname", "no distinguished name"},
  };
  for (const Case& c : cases) {
    ObjectQuery query;
    std::string problem;
    EXPECT_FALSE(ParseObjectQuery(c.kind, c.key, &query, &problem)) << c.key;
    EXPECT_THAT(problem, HasSubstr(c.problem)) << c.key;
  }
}

TEST(ObjectQuery, KindNamesRoundTrip) {
  for (ObjectKind kind :
       {ObjectKind::kUser, ObjectKind::kPrimaryGroup, ObjectKind::kGroup, ObjectKind::kGuid, ObjectKind::kPath}) {
    EXPECT_EQ(ObjectKindFromName(ObjectKindName(kind)), kind);
  }
  EXPECT_FALSE(ObjectKindFromName("users").has_value());
}

TEST(ExplainDot, EscapesQuotesBackslashesAndNewlines) {
  EXPECT_EQ(DotEscape("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

}  // namespace
}  // namespace upm
