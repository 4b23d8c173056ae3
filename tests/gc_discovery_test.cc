// Global Catalog discovery: configured servers win over DNS, SRV records
// are ordered by priority and weight (repeatably under a fixed seed), no
// server at all is E_FAIL, and DNS answers are parsed from the wire format.
#include <cstdint>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/directory/gc_discovery.h"

namespace {

using directory::DirectoryConfig;
using directory::SrvRecord;
using directory::testing::ScopedSrvResolver;

SrvRecord Srv(uint16_t priority, uint16_t weight, uint16_t port, const char* target) {
  SrvRecord record;
  record.priority = priority;
  record.weight = weight;
  record.port = port;
  record.target = target;
  return record;
}

DirectoryConfig ForestConfig() {
  DirectoryConfig config;
  config.forest = L"example.test";
  return config;
}

std::wstring Discover(const DirectoryConfig& config, HRESULT* hr) {
  std::wstring path = L"left over";
  *hr = directory::DiscoverGlobalCatalog(config, &path);
  return path;
}

TEST(GlobalCatalogDiscovery, ConfiguredServersWinOverDns) {
  int queries = 0;
  ScopedSrvResolver resolver([&](const std::string&) {
    ++queries;
    return std::vector<SrvRecord>{Srv(0, 0, 3268, "dns.example.test")};
  });
  DirectoryConfig config = ForestConfig();
  config.global_catalog_servers = {L" gc1.example.test:3269", L"gc2.example.test", L"[::1]"};

  HRESULT hr = E_FAIL;
  EXPECT_EQ(Discover(config, &hr), L"GC://gc1.example.test:3269");
  EXPECT_EQ(hr, S_OK);
  std::vector<std::wstring> servers;
  EXPECT_EQ(directory::DiscoverGlobalCatalogServers(config, &servers), S_OK);
  EXPECT_EQ(servers, (std::vector<std::wstring>{L"gc1.example.test:3269", L"gc2.example.test:3268", L"[::1]:3268"}));
  EXPECT_EQ(queries, 0);
}

TEST(GlobalCatalogDiscovery, InvalidConfiguredEntriesAreSkipped) {
  ScopedSrvResolver resolver([](const std::string&) {
    return std::vector<SrvRecord>{Srv(0, 0, 3268, "dns.example.test")};
  });
  DirectoryConfig config = ForestConfig();
  config.global_catalog_servers = {L"", L"bad host:1", L"gc3:99999", L"gc3"};
  HRESULT hr = E_FAIL;
  EXPECT_EQ(Discover(config, &hr), L"GC://gc3:3268");

  // When none is usable, DNS is asked.
  config.global_catalog_servers = {L"bad host", L"GC://gc1/DC=x"};
  EXPECT_EQ(Discover(config, &hr), L"GC://dns.example.test:3268");
  EXPECT_EQ(hr, S_OK);
}

TEST(GlobalCatalogDiscovery, AsksForTheForestsGcServiceRecords) {
  std::vector<std::string> names;
  ScopedSrvResolver resolver([&](const std::string& name) {
    names.push_back(name);
    return std::vector<SrvRecord>{Srv(0, 0, 3268, "gc.example.test.")};
  });
  HRESULT hr = E_FAIL;
  EXPECT_EQ(Discover(ForestConfig(), &hr), L"GC://gc.example.test:3268");  // trailing dot dropped
  EXPECT_EQ(names, std::vector<std::string>{"_gc._tcp.example.test"});
}

TEST(GlobalCatalogDiscovery, NothingToFindIsEFail) {
  HRESULT hr = S_OK;
  {
    int queries = 0;
    ScopedSrvResolver resolver([&](const std::string&) {
      ++queries;
      return std::vector<SrvRecord>{Srv(0, 0, 3268, "gc.example.test")};
    });
    EXPECT_EQ(Discover(DirectoryConfig(), &hr), L"");  // no servers, no forest
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(queries, 0);
  }
  {
    ScopedSrvResolver resolver([](const std::string&) { return std::vector<SrvRecord>{}; });
    EXPECT_EQ(Discover(ForestConfig(), &hr), L"");
    EXPECT_EQ(hr, E_FAIL);
  }
  {
    // "." is the DNS way of saying there is no such service.
    ScopedSrvResolver resolver([](const std::string&) { return std::vector<SrvRecord>{Srv(0, 0, 0, ".")}; });
    EXPECT_EQ(Discover(ForestConfig(), &hr), L"");
    EXPECT_EQ(hr, E_FAIL);
  }
  {
    ScopedSrvResolver resolver([](const std::string&) -> std::vector<SrvRecord> {
      throw std::runtime_error("resolver down");
    });
    EXPECT_EQ(Discover(ForestConfig(), &hr), L"");
    EXPECT_EQ(hr, E_FAIL);
  }
  EXPECT_EQ(directory::DiscoverGlobalCatalog(ForestConfig(), nullptr), E_INVALIDARG);
  EXPECT_EQ(directory::DiscoverGlobalCatalogServers(ForestConfig(), nullptr), E_INVALIDARG);
}

TEST(SrvOrdering, LowerPriorityAlwaysComesFirst) {
  const std::vector<SrvRecord> records = {Srv(20, 100, 1, "b"), Srv(10, 1, 2, "a"), Srv(30, 65535, 3, "c"),
                                          Srv(10, 0, 4, "a0"), Srv(20, 0, 5, "b0")};
  for (uint64_t seed = 1; seed <= 50; ++seed) {
    std::mt19937_64 random(seed);
    const std::vector<SrvRecord> ordered = directory::OrderSrvRecords(records, &random);
    ASSERT_EQ(ordered.size(), records.size());
    for (size_t i = 1; i < ordered.size(); ++i) EXPECT_LE(ordered[i - 1].priority, ordered[i].priority) << seed;
    EXPECT_EQ(ordered.back().target, "c");
  }
}

// How often each target comes first over `rounds` discoveries under one seed.
std::map<std::wstring, int> FirstChoices(const std::vector<SrvRecord>& records, int rounds, uint64_t seed) {
  ScopedSrvResolver resolver([&](const std::string&) { return records; }, seed);
  std::map<std::wstring, int> firsts;
  for (int i = 0; i < rounds; ++i) {
    HRESULT hr = E_FAIL;
    ++firsts[Discover(ForestConfig(), &hr)];
  }
  return firsts;
}

TEST(SrvOrdering, WeightsShareTheLoadWithinAPriority) {
  constexpr int kRounds = 4000;
  // Weight 300 against weight 100: first about three times in four.
  std::map<std::wstring, int> firsts =
      FirstChoices({Srv(0, 100, 3268, "light"), Srv(0, 300, 3268, "heavy"), Srv(5, 1000, 3268, "backup")}, kRounds,
                   ScopedSrvResolver::kDefaultSeed);
  EXPECT_GT(firsts[L"GC://heavy:3268"], kRounds * 72 / 100);
  EXPECT_LT(firsts[L"GC://heavy:3268"], kRounds * 78 / 100);
  EXPECT_EQ(firsts[L"GC://light:3268"], kRounds - firsts[L"GC://heavy:3268"]);
  EXPECT_EQ(firsts.count(L"GC://backup:3268"), 0u);

  // Weight 0 beside a weighted record is picked first only by rare chance.
  firsts = FirstChoices({Srv(0, 0, 3268, "zero"), Srv(0, 1000, 3268, "heavy")}, kRounds, 7);
  EXPECT_LT(firsts[L"GC://zero:3268"], kRounds / 100);

  // All of weight 0: every record gets its share.
  firsts = FirstChoices({Srv(0, 0, 1, "x"), Srv(0, 0, 1, "y"), Srv(0, 0, 1, "z")}, kRounds, 11);
  for (const wchar_t* server : {L"GC://x:1", L"GC://y:1", L"GC://z:1"}) {
    EXPECT_GT(firsts[server], kRounds / 4) << server;
  }
}

TEST(SrvOrdering, TheSameSeedGivesTheSameOrders) {
  const std::vector<SrvRecord> records = {Srv(0, 10, 1, "a"), Srv(0, 20, 1, "b"), Srv(0, 30, 1, "c"),
                                          Srv(0, 40, 1, "d")};
  auto sequence = [&](uint64_t seed) {
    ScopedSrvResolver resolver([&](const std::string&) { return records; }, seed);
    std::vector<std::vector<std::wstring>> orders;
    for (int i = 0; i < 20; ++i) {
      orders.emplace_back();
      EXPECT_EQ(directory::DiscoverGlobalCatalogServers(ForestConfig(), &orders.back()), S_OK);
      EXPECT_EQ(orders.back().size(), records.size());
    }
    return orders;
  };
  EXPECT_EQ(sequence(42), sequence(42));
  EXPECT_NE(sequence(42), sequence(43));
}

// A DNS response message for _gc._tcp.example.test with, in its answer
// section, an SRV record whose target is compressed, an A record, and an
// SRV record whose target is written out.
std::vector<unsigned char> SampleResponse() {
  std::vector<unsigned char> m = {
      0x12, 0x34, 0x81, 0x80, 0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00,  // header: 1 question, 3 answers
  };
  auto label = [&m](const char* text) {
    m.push_back(static_cast<unsigned char>(std::string(text).size()));
    for (const char* c = text; *c != '\0'; ++c) m.push_back(static_cast<unsigned char>(*c));
  };
  label("_gc");
  label("_tcp");
  label("example");  // at offset 12 + 4 + 5 = 21
  label("test");
  m.push_back(0);
  m.insert(m.end(), {0x00, 0x21, 0x00, 0x01});  // SRV, IN
  // SRV 10 100 3268 gc1.example.test (target "gc1" + pointer to "example").
  m.insert(m.end(), {0xc0, 0x0c, 0x00, 0x21, 0x00, 0x01, 0x00, 0x00, 0x02, 0x58, 0x00, 0x0c,
                     0x00, 0x0a, 0x00, 0x64, 0x0c, 0xc4, 0x03, 'g', 'c', '1', 0xc0, 0x15});
  // A 127.0.0.1
  m.insert(m.end(), {0xc0, 0x0c, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x58, 0x00, 0x04, 127, 0, 0, 1});
  // SRV 20 0 3269 gc2.example.test
  m.insert(m.end(), {0xc0, 0x0c, 0x00, 0x21, 0x00, 0x01, 0x00, 0x00, 0x02, 0x58, 0x00, 0x18,
                     0x00, 0x14, 0x00, 0x00, 0x0c, 0xc5});
  label("gc2");
  label("example");
  label("test");
  m.push_back(0);
  return m;
}

TEST(SrvWireFormat, ParsesTheAnswerSection) {
  const std::vector<unsigned char> message = SampleResponse();
  const std::vector<SrvRecord> records = directory::ParseSrvResponse(message.data(), message.size());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].priority, 10);
  EXPECT_EQ(records[0].weight, 100);
  EXPECT_EQ(records[0].port, 3268);
  EXPECT_EQ(records[0].target, "gc1.example.test");
  EXPECT_EQ(records[1].priority, 20);
  EXPECT_EQ(records[1].weight, 0);
  EXPECT_EQ(records[1].port, 3269);
  EXPECT_EQ(records[1].target, "gc2.example.test");
}

TEST(SrvWireFormat, MalformedMessagesGiveNothing) {
  const std::vector<unsigned char> message = SampleResponse();
  for (size_t cut : {size_t{0}, size_t{5}, size_t{11}, size_t{40}, message.size() - 1}) {
    EXPECT_TRUE(directory::ParseSrvResponse(message.data(), cut).empty()) << cut;
  }
  // A compression pointer past the end of the message.
  std::vector<unsigned char> bad_pointer = message;
  const size_t pointer = 12 + 23 + 4 + 23;  // the second byte of the first SRV target's pointer
  ASSERT_EQ(bad_pointer[pointer], 0x15);
  bad_pointer[pointer] = 0xff;
  bad_pointer[pointer - 1] = 0xc3;
  EXPECT_TRUE(directory::ParseSrvResponse(bad_pointer.data(), bad_pointer.size()).empty());
  EXPECT_TRUE(directory::ParseSrvResponse(nullptr, 0).empty());
}

}  // namespace
