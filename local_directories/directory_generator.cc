#include "local_directories/directory_generator.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <stdexcept>
#include <string_view>

namespace userpolicy::local_directories {
namespace {

// Share of the ordinary groups on each nesting level, lowest (users' own
// groups) first.  Six levels give a nesting depth of up to 6.
constexpr std::array<double, 6> kLevelShare = {0.50,   0.25,   0.125,
                                               0.0625, 0.0375, 0.025};
constexpr int kTopLevel = static_cast<int>(kLevelShare.size()) - 1;
// Out of kChanceScale: a group below the top has a second parent.
constexpr uint64_t kChanceScale = 100;
constexpr uint64_t kSecondParentChance = 15;
// Where a user's direct groups lie: level 0, 1 or 2 (cumulative chances).
constexpr uint64_t kDirectLevel0Chance = 70;
constexpr uint64_t kDirectLevel1Chance = 90;
constexpr int kMinDirectGroups = 3;
constexpr int kDirectGroupSpread = 3;  // 3, 4 or 5 direct groups
// Top-level groups made members of one of their grandchildren.
constexpr int kCycleCount = 4;
constexpr int kMinGroupCount = 100;

constexpr uint32_t kFirstGroupRid = 1100;
constexpr uint32_t kFirstUserRid = 20000;
constexpr int32_t kGlobalSecurityGroup = -2147483646;
constexpr int32_t kDomainLocalSecurityGroup = -2147483644;
constexpr int32_t kUniversalSecurityGroup = -2147483640;

constexpr uint8_t kSidRevision = 1;
constexpr uint8_t kNtAuthority = 5;
constexpr uint32_t kNonUniqueSubAuthority = 21;
constexpr size_t kSidAuthorityBytes = 6;

// The "eleven" structure: group k of the 11 is a member of the groups listed
// for it.  Users are direct members of groups 0 and 5.
//   0 -> 1 -> 2 -> 3 -> 4          a chain
//   5 -> 6 -> 7, 8 -> 9            a diamond
//   9 -> 10 -> 9                   a cycle
constexpr std::array<std::array<int, 2>, kElevenGroupCount> kElevenParents = {{
    {1, -1},
    {2, -1},
    {3, -1},
    {4, -1},
    {-1, -1},
    {6, -1},
    {7, 8},
    {9, -1},
    {9, -1},
    {10, -1},
    {9, -1},
}};
constexpr std::array<int, 2> kElevenEntryGroups = {0, 5};

// SplitMix64: small, fast and identical on every platform (unlike the
// distributions of <random>).
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, n) for test data.  REQUIRES: n > 0.
  uint64_t Below(uint64_t n) { return Next() % n; }

 private:
  uint64_t state_;
};

// 16 bytes derived from `dn` alone, laid out as a version 4 GUID.
std::array<uint8_t, 16> GuidOf(std::string_view dn) {
  constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
  constexpr uint64_t kFnvPrime = 0x100000001b3ull;
  uint64_t hash = kFnvOffset;
  for (char c : dn) {
    hash = (hash ^ static_cast<uint8_t>(c)) * kFnvPrime;
  }
  Rng rng(hash);
  std::array<uint8_t, 16> guid{};
  for (size_t half = 0; half < 2; ++half) {
    uint64_t bits = rng.Next();
    for (size_t i = 0; i < 8; ++i) {
      guid[half * 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
    }
  }
  guid[7] = static_cast<uint8_t>((guid[7] & 0x0f) | 0x40);  // version 4
  guid[8] = static_cast<uint8_t>((guid[8] & 0x3f) | 0x80);  // RFC variant
  return guid;
}

std::string Base64(const uint8_t* data, size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < size; i += 3) {
    uint32_t chunk = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < size) chunk |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < size) chunk |= data[i + 2];
    out.push_back(kAlphabet[(chunk >> 18) & 63]);
    out.push_back(kAlphabet[(chunk >> 12) & 63]);
    out.push_back(i + 1 < size ? kAlphabet[(chunk >> 6) & 63] : '=');
    out.push_back(i + 2 < size ? kAlphabet[chunk & 63] : '=');
  }
  return out;
}

std::string Padded(int number, int width) {
  std::string text = std::to_string(number);
  if (static_cast<int>(text.size()) < width) {
    text.insert(0, static_cast<size_t>(width) - text.size(), '0');
  }
  return text;
}

constexpr int kNumberWidth = 5;

void AddMembership(GeneratedDirectory* dir, int child, int parent) {
  GeneratedGroup& group = dir->groups[static_cast<size_t>(parent)];
  if (std::find(group.member_groups.begin(), group.member_groups.end(),
                child) != group.member_groups.end()) {
    return;
  }
  group.member_groups.push_back(child);
  dir->groups[static_cast<size_t>(child)].parents.push_back(parent);
}

int AddGroup(GeneratedDirectory* dir, const std::string& name, uint32_t rid,
             int32_t group_type, const GeneratorOptions& options) {
  GeneratedGroup group;
  group.name = name;
  group.dn = "cn=" + name + ",ou=Groups," + options.base_dn;
  group.rid = rid;
  group.group_type = group_type;
  group.guid = GuidOf(group.dn);
  group.sid = GeneratedSid(rid);
  dir->groups.push_back(std::move(group));
  return static_cast<int>(dir->groups.size()) - 1;
}

void WriteContainers(std::ostream& out, const GeneratorOptions& options) {
  const std::string& base = options.base_dn;
  size_t equals = base.find('=');
  size_t comma = base.find(',');
  if (base.rfind("dc=", 0) != 0 || equals == std::string::npos) {
    throw std::invalid_argument("base DN must start with dc=: " + base);
  }
  std::string dc =
      base.substr(equals + 1, comma == std::string::npos ? std::string::npos
                                                         : comma - equals - 1);
  out << "dn: " << base << "\nobjectClass: top\nobjectClass: domain\ndc: " << dc
      << "\n\n";
  for (const char* ou : {"People", "Groups"}) {
    out << "dn: ou=" << ou << "," << base
        << "\nobjectClass: top\nobjectClass: organizationalUnit\nou: " << ou
        << "\n\n";
  }
}

}  // namespace

std::vector<uint8_t> GeneratedSid(uint32_t rid) {
  std::vector<uint32_t> sub = {kNonUniqueSubAuthority};
  sub.insert(sub.end(), kGeneratedDomainSubAuthorities.begin(),
             kGeneratedDomainSubAuthorities.end());
  sub.push_back(rid);
  std::vector<uint8_t> sid = {kSidRevision, static_cast<uint8_t>(sub.size())};
  for (size_t i = 0; i + 1 < kSidAuthorityBytes; ++i) sid.push_back(0);
  sid.push_back(kNtAuthority);
  for (uint32_t value : sub) {
    for (int shift = 0; shift < 32; shift += 8) {
      sid.push_back(static_cast<uint8_t>(value >> shift));
    }
  }
  return sid;
}

std::string UserSipAddress(int n, const GeneratorOptions& options) {
  return "sip:user" + Padded(n, kNumberWidth) + "@" + options.mail_domain;
}

std::string ElevenSipAddress(int n, const GeneratorOptions& options) {
  return "sip:eleven" + Padded(n, kNumberWidth) + "@" + options.mail_domain;
}

GeneratedDirectory GenerateDirectory(const GeneratorOptions& options) {
  if (options.eleven_user_count < 0 ||
      options.user_count <= options.eleven_user_count ||
      options.group_count < kMinGroupCount) {
    throw std::invalid_argument("generator options leave no room");
  }
  Rng rng(options.seed);
  GeneratedDirectory dir;

  dir.domain_users = AddGroup(&dir, "Domain Users", kDomainUsersRid,
                              kGlobalSecurityGroup, options);
  std::vector<int> eleven_groups;
  if (options.eleven_user_count > 0) {
    for (int k = 0; k < kElevenGroupCount; ++k) {
      eleven_groups.push_back(
          AddGroup(&dir, "Eleven Group " + Padded(k, 2),
                   kFirstGroupRid + static_cast<uint32_t>(dir.groups.size()),
                   kGlobalSecurityGroup, options));
    }
    for (int k = 0; k < kElevenGroupCount; ++k) {
      for (int parent : kElevenParents[static_cast<size_t>(k)]) {
        if (parent >= 0) {
          AddMembership(&dir, eleven_groups[static_cast<size_t>(k)],
                        eleven_groups[static_cast<size_t>(parent)]);
        }
      }
    }
  }

  // Ordinary groups, level by level.
  const int ordinary =
      options.group_count - static_cast<int>(dir.groups.size());
  std::array<std::vector<int>, kLevelShare.size()> levels;
  std::array<int, kLevelShare.size()> sizes{};
  int assigned = 0;
  for (size_t level = 1; level < kLevelShare.size(); ++level) {
    sizes[level] = std::max(1, static_cast<int>(ordinary * kLevelShare[level]));
    assigned += sizes[level];
  }
  sizes[0] = ordinary - assigned;
  int number = 0;
  for (size_t level = 0; level < kLevelShare.size(); ++level) {
    for (int i = 0; i < sizes[level]; ++i) {
      int32_t type = level >= 3          ? kUniversalSecurityGroup
                     : rng.Below(4) == 0 ? kDomainLocalSecurityGroup
                                         : kGlobalSecurityGroup;
      levels[level].push_back(
          AddGroup(&dir, "Group " + Padded(++number, kNumberWidth),
                   kFirstGroupRid + static_cast<uint32_t>(dir.groups.size()),
                   type, options));
    }
  }
  for (size_t level = 0; level < static_cast<size_t>(kTopLevel); ++level) {
    const std::vector<int>& above = levels[level + 1];
    for (int group : levels[level]) {
      int first = above[rng.Below(above.size())];
      AddMembership(&dir, group, first);
      if (rng.Below(kChanceScale) < kSecondParentChance && above.size() > 1) {
        int second;
        do {
          second = above[rng.Below(above.size())];
        } while (second == first);
        AddMembership(&dir, group, second);
      }
    }
  }
  // Cycles: a top group becomes a member of one of its grandchildren.
  const std::vector<int>& top = levels[kTopLevel];
  for (int c = 0; c < kCycleCount && c < static_cast<int>(top.size()); ++c) {
    int top_group = top[static_cast<size_t>(c) * top.size() / kCycleCount];
    const std::vector<int>& children =
        dir.groups[static_cast<size_t>(top_group)].member_groups;
    if (children.empty()) continue;
    const std::vector<int>& grandchildren =
        dir.groups[static_cast<size_t>(children.front())].member_groups;
    if (grandchildren.empty()) continue;
    AddMembership(&dir, top_group, grandchildren.front());
  }

  // Users.
  const int ordinary_users = options.user_count - options.eleven_user_count;
  for (int i = 0; i < options.user_count; ++i) {
    const bool eleven = i >= ordinary_users;
    const int n = eleven ? i - ordinary_users + 1 : i + 1;
    GeneratedUser user;
    user.name = (eleven ? "Eleven " : "User ") + Padded(n, kNumberWidth);
    user.dn = "cn=" + user.name + ",ou=People," + options.base_dn;
    user.sip_address =
        eleven ? ElevenSipAddress(n, options) : UserSipAddress(n, options);
    user.mail = user.sip_address.substr(4);  // without "sip:"
    user.rid = kFirstUserRid + static_cast<uint32_t>(i);
    user.guid = GuidOf(user.dn);
    user.sid = GeneratedSid(user.rid);
    if (eleven) {
      for (int k : kElevenEntryGroups) {
        user.groups.push_back(eleven_groups[static_cast<size_t>(k)]);
      }
    } else {
      const int count =
          kMinDirectGroups + static_cast<int>(rng.Below(kDirectGroupSpread));
      while (static_cast<int>(user.groups.size()) < count) {
        uint64_t chance = rng.Below(kChanceScale);
        const std::vector<int>& level = chance < kDirectLevel0Chance ? levels[0]
                                        : chance < kDirectLevel1Chance
                                            ? levels[1]
                                            : levels[2];
        int group = level[rng.Below(level.size())];
        if (std::find(user.groups.begin(), user.groups.end(), group) ==
            user.groups.end()) {
          user.groups.push_back(group);
        }
      }
    }
    for (int group : user.groups) {
      dir.groups[static_cast<size_t>(group)].member_users.push_back(i);
    }
    dir.users.push_back(std::move(user));
  }
  return dir;
}

void WriteLdif(std::ostream& out, const GeneratedDirectory& dir,
               const GeneratorOptions& options) {
  if (options.write_containers) WriteContainers(out, options);
  for (const GeneratedUser& user : dir.users) {
    out << "dn: " << user.dn
        << "\nobjectClass: top\nobjectClass: person"
           "\nobjectClass: organizationalPerson\nobjectClass: inetOrgPerson"
           "\nobjectClass: user\ncn: "
        << user.name << "\nsn: " << user.name.substr(user.name.find(' ') + 1)
        << "\nname: " << user.name << "\nobjectCategory: person"
        << "\nobjectGUID:: " << Base64(user.guid.data(), user.guid.size())
        << "\nobjectSid:: " << Base64(user.sid.data(), user.sid.size())
        << "\nprimaryGroupID: " << kDomainUsersRid
        << "\nmsRTCSIP-PrimaryUserAddress: " << user.sip_address
        << "\nmail: " << user.mail << "\nproxyAddresses: SMTP:" << user.mail
        << "\nproxyAddresses: SIP:" << user.mail << "\n\n";
  }
  for (const GeneratedGroup& group : dir.groups) {
    out << "dn: " << group.dn
        << "\nobjectClass: top\nobjectClass: group\ncn: " << group.name
        << "\nname: " << group.name
        << "\nobjectCategory: group\ngroupType: " << group.group_type
        << "\nobjectGUID:: " << Base64(group.guid.data(), group.guid.size())
        << "\nobjectSid:: " << Base64(group.sid.data(), group.sid.size())
        << "\n";
    for (int user : group.member_users) {
      out << "member: " << dir.users[static_cast<size_t>(user)].dn << "\n";
    }
    for (int child : group.member_groups) {
      out << "member: " << dir.groups[static_cast<size_t>(child)].dn << "\n";
    }
    out << "\n";
  }
}

void WriteGeneratedDirectory(std::ostream& out,
                             const GeneratorOptions& options) {
  WriteLdif(out, GenerateDirectory(options), options);
}

std::vector<int> TransitiveGroups(const GeneratedDirectory& dir, int user) {
  std::vector<bool> seen(dir.groups.size(), false);
  std::deque<int> pending(dir.users[static_cast<size_t>(user)].groups.begin(),
                          dir.users[static_cast<size_t>(user)].groups.end());
  std::vector<int> reached;
  while (!pending.empty()) {
    int group = pending.front();
    pending.pop_front();
    if (seen[static_cast<size_t>(group)]) continue;
    seen[static_cast<size_t>(group)] = true;
    reached.push_back(group);
    for (int parent : dir.groups[static_cast<size_t>(group)].parents) {
      pending.push_back(parent);
    }
  }
  std::sort(reached.begin(), reached.end());
  return reached;
}

}  // namespace userpolicy::local_directories
