// Global Catalog discovery: configured servers win over DNS, SRV records
// are ordered by priority and weight, no server at all is E_FAIL, and DNS
// answers are parsed from the wire format.
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/directory/gc_discovery.h"
#include "testing/scoped_srv_resolver.h"

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

DirectoryConfig ForestConfig(std::vector<std::wstring> servers = {}) {
  DirectoryConfig config;
  config.forest = L"example.test";
  config.global_catalog_servers = std::move(servers);
  return config;
}

std::wstring Discover(const DirectoryConfig& config, HRESULT* hr) {
  std::wstring path = L"left over";
  *hr = directory::DiscoverGlobalCatalog(config, &path);
  return path;
}

TEST(GlobalCatalogDiscovery, ConfiguredServersWinOverTheForestsSrvRecordsAndNothingIsEFail) {
  HRESULT hr = E_FAIL;
  std::vector<std::string> names;
  {
    ScopedSrvResolver resolver([&](const std::string& name) {
      names.push_back(name);
      return std::vector<SrvRecord>{Srv(0, 0, 3268, "dns.example.test.")};
    });
    const DirectoryConfig config = ForestConfig({L" gc1.example.test:3269", L"gc2.example.test", L"[::1]"});
    EXPECT_EQ(Discover(config, &hr), L"GC://gc1.example.test:3269");
    EXPECT_EQ(hr, S_OK);
    std::vector<std::wstring> servers;
    EXPECT_EQ(directory::DiscoverGlobalCatalogServers(config, &servers), S_OK);
    EXPECT_EQ(servers, (std::vector<std::wstring>{L"gc1.example.test:3269", L"gc2.example.test:3268", L"[::1]:3268"}));
    // Invalid entries are skipped.
    EXPECT_EQ(Discover(ForestConfig({L"", L"bad host:1", L"gc3:99999", L"gc3"}), &hr), L"GC://gc3:3268");
    EXPECT_TRUE(names.empty());

    // When none is usable, DNS is asked for the forest's _gc records; the
    // target's trailing dot is dropped.
    EXPECT_EQ(Discover(ForestConfig({L"bad host", L"GC://gc1/DC=x"}), &hr), L"GC://dns.example.test:3268");
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(names, std::vector<std::string>{"_gc._tcp.example.test"});
  }

  // Nothing to find is E_FAIL.
  int queries = 0;
  const std::function<std::vector<SrvRecord>(const std::string&)> resolvers[] = {
      [&](const std::string&) {
        ++queries;
        return std::vector<SrvRecord>{};
      },
      // "." is the DNS way of saying there is no such service.
      [](const std::string&) { return std::vector<SrvRecord>{Srv(0, 0, 0, ".")}; },
      [](const std::string&) -> std::vector<SrvRecord> { throw std::runtime_error("resolver down"); },
  };
  for (const auto& answer : resolvers) {
    ScopedSrvResolver scoped(answer);
    hr = S_OK;
    EXPECT_EQ(Discover(ForestConfig(), &hr), L"");
    EXPECT_EQ(hr, E_FAIL);
    // No servers and no forest: DNS is not asked.
    EXPECT_EQ(Discover(DirectoryConfig(), &hr), L"");
    EXPECT_EQ(hr, E_FAIL);
  }
  EXPECT_EQ(queries, 1);
  EXPECT_EQ(directory::DiscoverGlobalCatalog(ForestConfig(), nullptr), E_INVALIDARG);
  EXPECT_EQ(directory::DiscoverGlobalCatalogServers(ForestConfig(), nullptr), E_INVALIDARG);
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

TEST(SrvOrdering, PriorityFirstThenWeightsShareTheLoad) {
  const std::vector<SrvRecord> mixed = {Srv(20, 100, 1, "b"), Srv(10, 1, 2, "a"), Srv(30, 65535, 3, "c"),
                                        Srv(10, 0, 4, "a0"), Srv(20, 0, 5, "b0")};
  for (uint64_t seed = 1; seed <= 50; ++seed) {
    std::mt19937_64 random(seed);
    const std::vector<SrvRecord> ordered = directory::OrderSrvRecords(mixed, &random);
    ASSERT_EQ(ordered.size(), mixed.size());
    for (size_t i = 1; i < ordered.size(); ++i) EXPECT_LE(ordered[i - 1].priority, ordered[i].priority) << seed;
    EXPECT_EQ(ordered.back().target, "c");
  }

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
  for (const wchar_t* server : {L"GC://x:1", L"GC://y:1", L"GC://z:1"}) EXPECT_GT(firsts[server], kRounds / 4) << server;
}

// A DNS response message for _gc._tcp.example.test with, in its answer
// section, an SRV record whose target is compressed, an A record, and an
// SRV record whose target is written out.
std::vector<unsigned char> SampleResponse() {
  const std::string hex =
      "123481800001000300000000"                            // header: 1 question, 3 answers
      "035f6763045f746370076578616d706c650474657374000021"  // _gc._tcp.example.test ("example" at 21), SRV
      "0001"                                                // IN
      "c00c0021000100000258000c000a00640cc403676331c015"    // SRV 10 100 3268 "gc1" + pointer to 21
      "c00c000100010000025800047f000001"                    // A 127.0.0.1
      "c00c00210001000002580018001400000cc5"                // SRV 20 0 3269
      "03676332076578616d706c65047465737400";               // gc2.example.test
  std::vector<unsigned char> message;
  for (size_t i = 0; i < hex.size(); i += 2) message.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
  return message;
}

TEST(SrvWireFormat, ParsesTheAnswerSectionAndNothingFromMalformedMessages) {
  const std::vector<unsigned char> message = SampleResponse();
  std::vector<std::string> parsed;  // "priority weight port target"
  for (const SrvRecord& r : directory::ParseSrvResponse(message.data(), message.size())) {
    parsed.push_back(std::to_string(r.priority) + " " + std::to_string(r.weight) + " " + std::to_string(r.port) + " " +
                     r.target);
  }
  EXPECT_EQ(parsed, (std::vector<std::string>{"10 100 3268 gc1.example.test", "20 0 3269 gc2.example.test"}));

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
