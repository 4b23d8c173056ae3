// Deterministic generator of a large directory for benchmarks: users with
// SIP addresses, nested groups (chains, diamonds, cycles) and the primary
// group Domain Users, written as LDIF for the test slapd (see
// local_directories/slapd_server.h and testdata/schema/ad-subset.schema).
//
// The same options give byte-for-byte the same LDIF on every run and
// platform: all choices come from a fixed-seed generator of our own.
//
// Shape with the default options:
//  - 10,000 users cn=User NNNNN,ou=People with SIP address
//    sip:userNNNNN@example.test (NNNNN from 00001), primary group Domain
//    Users (RID 513, lists no members);
//  - 2,000 groups cn=Group NNNNN,ou=Groups on six levels; users are direct
//    members of 3 to 5 groups of the lower levels, each group is a member of
//    one or two groups of the level above, so a user reaches about 30 groups
//    through memberOf (direct and nested), up to 6 levels deep, with
//    diamonds and a few cycles between the upper levels;
//  - the last users (5 by default), sip:eleven00001@example.test and on,
//    reach exactly 11 groups through memberOf (a chain, a diamond and a
//    cycle of their own groups "Eleven Group NN"); the primary group comes
//    on top of those 11.
//
// Thread safety: all functions are pure; call them from any thread.

#ifndef USERPOLICY_LOCAL_DIRECTORIES_DIRECTORY_GENERATOR_H_
#define USERPOLICY_LOCAL_DIRECTORIES_DIRECTORY_GENERATOR_H_

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace userpolicy::local_directories {

struct GeneratorOptions {
  int user_count = 10000;     // all users, the "eleven" users included
  int group_count = 2000;     // all groups, Domain Users included
  int eleven_user_count = 5;  // users reaching exactly 11 groups; may be 0
  uint64_t seed = 0x5eed2024;
  std::string base_dn = "dc=example,dc=test";
  std::string mail_domain = "example.test";  // also the SIP domain
  // Write the base entry and the OUs; false when another LDIF has them.
  bool write_containers = true;
};

// RID of the Domain Users group, every generated user's primary group.
inline constexpr uint32_t kDomainUsersRid = 513;
// The domain SID of generated objects: S-1-5-21-<these>-RID.
inline constexpr std::array<uint32_t, 3> kGeneratedDomainSubAuthorities = {
    3623811015u, 3361044348u, 30300820u};
// Number of groups every "eleven" user reaches through memberOf.
inline constexpr int kElevenGroupCount = 11;

struct GeneratedUser {
  std::string dn;
  std::string name;         // cn and name
  std::string sip_address;  // with the "sip:" prefix
  std::string mail;
  uint32_t rid = 0;
  std::array<uint8_t, 16> guid{};
  std::vector<uint8_t> sid;
  std::vector<int> groups;  // indices into GeneratedDirectory::groups (direct)
};

struct GeneratedGroup {
  std::string dn;
  std::string name;
  uint32_t rid = 0;
  int32_t group_type = 0;
  std::array<uint8_t, 16> guid{};
  std::vector<uint8_t> sid;
  std::vector<int> member_users;   // indices into users
  std::vector<int> member_groups;  // indices into groups (nested groups)
  std::vector<int> parents;        // groups listing this one in member
};

struct GeneratedDirectory {
  std::vector<GeneratedUser> users;
  std::vector<GeneratedGroup> groups;
  int domain_users = 0;  // index of Domain Users in groups
};

// Builds the directory model.  REQUIRES: the counts leave room for the
// structure (user_count > eleven_user_count >= 0, group_count >= 100).
// Throws std::invalid_argument otherwise.
GeneratedDirectory GenerateDirectory(const GeneratorOptions& options);

// Writes `directory` as LDIF content records (parents before children, no
// memberOf: the server computes it).
void WriteLdif(std::ostream& out, const GeneratedDirectory& directory,
               const GeneratorOptions& options);

// GenerateDirectory + WriteLdif.
void WriteGeneratedDirectory(std::ostream& out,
                             const GeneratorOptions& options);

// Indices of all groups `user` reaches through memberOf, directly or nested,
// sorted; the primary group is not among them (it lists nobody).
std::vector<int> TransitiveGroups(const GeneratedDirectory& directory,
                                  int user);

// SIP address of the n-th ordinary user (1-based) and of the n-th "eleven"
// user (1-based), as the generator writes them.
std::string UserSipAddress(int n, const GeneratorOptions& options);
std::string ElevenSipAddress(int n, const GeneratorOptions& options);

// Binary SID S-1-5-21-<kGeneratedDomainSubAuthorities>-rid.
std::vector<uint8_t> GeneratedSid(uint32_t rid);

}  // namespace userpolicy::local_directories

#endif  // USERPOLICY_LOCAL_DIRECTORIES_DIRECTORY_GENERATOR_H_
