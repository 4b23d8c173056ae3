// The file that keeps attribute type definitions between processes: its
// text and what is not its text, which server's definitions a load returns
// and for how long, what a store keeps, and the settings key that moves or
// drops it. (private_file_posix_test and windows/private_file_win_test
// check the files themselves; ldap_backend_test that a backend types with
// what it finds there exactly as with what the server says.)
#include "platform/directory/ldap_schema_cache.h"

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/directory/directory_config.h"
#include "platform/private_file.h"
#include "tests/support/scoped_settings_file.h"
#include "tests/support/scoped_temporary_folder.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr int64_t kNow = 1796601600;  // 2026-12-07 UTC
const std::vector<std::string> kGuidAndGroupType = {
    "( 1.2.840.113556.1.4.2 NAME 'objectGUID' SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 )",
    "( 1.2.840.113556.1.4.750 NAME 'groupType' SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE )"};
const std::vector<std::string> kMail = {
    "( 0.9.2342.19200300.100.1.3 NAME ( 'mail' 'rfc822Mailbox' ) SYNTAX 1.3.6.1.4.1.1466.115.121.1.26{256} )"};

std::vector<std::string> ServersIn(const std::vector<CachedDefinitions>& servers) {
  std::vector<std::string> names;
  for (const CachedDefinitions& server : servers) names.push_back(server.server);
  return names;
}

class SchemaCacheFileTest : public ::testing::Test {
 protected:

  void Store(const std::string& server, int64_t read_at, const std::vector<std::string>& descriptions) {
    std::string error;
    ASSERT_TRUE(StoreCachedDefinitions(file_, {server, read_at, descriptions}, &error)) << error;
  }
  std::vector<CachedDefinitions> Stored() {
    std::string text;
    EXPECT_TRUE(platform::ReadPrivateFile(file_, kSchemaCacheMaxBytes, &text));
    return ParseSchemaCache(text).value_or(std::vector<CachedDefinitions>{});
  }

  userpolicy::testing::ScopedTemporaryFolder folder_;
  const std::string file_ = (folder_.path() / "cache" / "attribute-types").string();
};

TEST(SchemaCacheText, ReadsBackWhatItWritesAndNothingElse) {
  const std::vector<CachedDefinitions> servers = {{"gc1.example.test:3268", kNow, kGuidAndGroupType},
                                                  {"[::1]:3268", kNow - 60, kMail}};
  const std::string text = FormatSchemaCache(servers);
  EXPECT_EQ(text.substr(0, text.find('\n')), "userpolicy attribute types 1");
  const auto parsed = ParseSchemaCache(text);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->size(), 2u);
  EXPECT_EQ((*parsed)[0].server, "gc1.example.test:3268");
  EXPECT_EQ((*parsed)[0].read_at, kNow);
  EXPECT_EQ((*parsed)[0].descriptions, kGuidAndGroupType);
  EXPECT_EQ((*parsed)[1].server, "[::1]:3268");
  EXPECT_EQ((*parsed)[1].descriptions, kMail);

  // A definition that spans lines would end the file's shape: it is left out.
  const auto without = ParseSchemaCache(FormatSchemaCache({{"gc:3268", kNow, {"( 1.2 NAME 'a'\n SYNTAX 1.3 )"}}}));
  ASSERT_TRUE(without);
  EXPECT_TRUE(without->front().descriptions.empty());

  const std::string header = "userpolicy attribute types 1\n";
  for (const std::string& broken : {std::string(), std::string("userpolicy attribute types 2\n"),
                                    header + "server gc:3268 1796601600",               // cut short
                                    header + "type ( 1.2 NAME 'a' )\n",                  // no server yet
                                    header + "server gc:3268\n",                         // no time
                                    header + "server gc:3268 yesterday\n",
                                    header + "server gc:3268 1796601600\nsyntax 1.3\n",  // no such line
                                    header + "server gc:3268 1796601600\ntype ( 1.2 NAME 'a' )\r\n",
                                    "server gc:3268 1796601600\n" + header}) {
    EXPECT_FALSE(ParseSchemaCache(broken)) << broken;
  }
}

TEST_F(SchemaCacheFileTest, LoadsOnlyTheServersDefinitionsOfTheLastDay) {
  EXPECT_FALSE(LoadCachedDefinitions(file_, "gc1:3268", kNow));  // no file yet
  Store("gc1:3268", kNow, kGuidAndGroupType);
  Store("gc2:3268", kNow, kMail);

  const auto loaded = LoadCachedDefinitions(file_, "gc1:3268", kNow + 3600);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->descriptions, kGuidAndGroupType);
  EXPECT_EQ(loaded->read_at, kNow);
  EXPECT_EQ(LoadCachedDefinitions(file_, "gc2:3268", kNow)->descriptions, kMail);
  EXPECT_FALSE(LoadCachedDefinitions(file_, "gc3:3268", kNow));
  EXPECT_FALSE(LoadCachedDefinitions(file_, "GC1:3268", kNow));  // names as the settings write them

  const int64_t day = kSchemaCacheMaxAge.count();
  EXPECT_TRUE(LoadCachedDefinitions(file_, "gc1:3268", kNow + day - 1));
  EXPECT_FALSE(LoadCachedDefinitions(file_, "gc1:3268", kNow + day));
  EXPECT_FALSE(LoadCachedDefinitions(file_, "gc1:3268", kNow - 1));  // read "in the future": the clock was set back
}

TEST_F(SchemaCacheFileTest, AStoreReplacesItsServersDefinitionsAndKeepsTheMostRecentServers) {
  Store("gc1:3268", kNow, kGuidAndGroupType);
  Store("gc2:3268", kNow + 1, kMail);
  std::vector<std::string> both = kGuidAndGroupType;
  both.insert(both.end(), kMail.begin(), kMail.end());
  Store("gc1:3268", kNow, both);
  std::vector<CachedDefinitions> stored = Stored();
  EXPECT_EQ(ServersIn(stored), (std::vector<std::string>{"gc2:3268", "gc1:3268"}));
  EXPECT_EQ(stored.back().descriptions, both);

  for (int i = 0; i < static_cast<int>(kSchemaCacheMaxServers) + 5; ++i) {
    Store("server" + std::to_string(i) + ":3268", kNow + 10 + i, kMail);
  }
  stored = Stored();
  ASSERT_EQ(stored.size(), kSchemaCacheMaxServers);
  EXPECT_EQ(stored.front().server, "server" + std::to_string(kSchemaCacheMaxServers + 4) + ":3268");
  EXPECT_EQ(stored.back().server, "server5:3268");  // the oldest went first: gc1, gc2, server0..4

  // A file that is not the cache's text is not read, and replaced by a store.
  std::ofstream(file_, std::ios::trunc) << "not a cache\n";
  EXPECT_FALSE(LoadCachedDefinitions(file_, "server5:3268", kNow));
  Store("gc1:3268", kNow, kMail);
  EXPECT_EQ(ServersIn(Stored()), std::vector<std::string>{"gc1:3268"});
}

TEST_F(SchemaCacheFileTest, ThreadsStoringAtOnceLoseNoServer) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([this, i] {
      std::string error;
      EXPECT_TRUE(StoreCachedDefinitions(file_, {"gc" + std::to_string(i) + ":3268", kNow + i, kMail}, &error)) << error;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(Stored().size(), 8u);
}

TEST(SchemaCacheSetting, MovesOrDropsTheFile) {
  {
    userpolicy::testing::ScopedSettingsFile settings("[DirectoryAccess.DEFAULT]\n");
    EXPECT_EQ(DirectoryConfig::Load().schema_cache_file, DefaultSchemaCacheFile());
    EXPECT_EQ(DefaultSchemaCacheFile(), platform::UserCacheFile("attribute-types"));
  }
  {
    userpolicy::testing::ScopedSettingsFile settings("[DirectoryAccess.DEFAULT]\nSchemaCacheFile = \"/srv/types\"\n");
    EXPECT_EQ(DirectoryConfig::Load().schema_cache_file, "/srv/types");
  }
  userpolicy::testing::ScopedSettingsFile settings("[DirectoryAccess.DEFAULT]\nSchemaCacheFile = \"\"\n");
  EXPECT_EQ(DirectoryConfig::Load().schema_cache_file, "");
}

}  // namespace
}  // namespace directory::ldap_backend_internal
