// `upm explain`: how the library arrives at a user's GUID list, walked by
// upm itself through the three managers (up_get_record) and
// up_primary_group_key, in the order and with the rules of up_get_guids:
//   1. the user (user manager, by SIP address): its objectGUID when that is
//      a string;
//   2. the primary group (primary-group manager, by the key made from the
//      user's objectSid and primaryGroupID): its objectGUID;
//   3. depth first and pre-order, every group reached through the primary
//      group's memberOf, then through the user's memberOf (group manager, by
//      distinguished name). A group whose GUID is already listed (letter
//      case ignored) ends its branch: a "cycle" when it is one of the
//      branch's own ancestors, else a "duplicate". A group without a GUID is
//      walked through; met again on its own branch it ends it as a cycle,
//      and more than 512 of them on one branch end it too.
//   A lookup that fails ends only its branch, as in the library.
// So the GUIDs of the nodes marked `listed`, in walk order, are the list
// up_get_guids gives for the same directory.
//
// Thread safety: Explain may be called from any thread once the library is
// started.
#ifndef USERPOLICY_TOOLS_UPM_EXPLAIN_WALK_H_
#define USERPOLICY_TOOLS_UPM_EXPLAIN_WALK_H_

#include <optional>
#include <string>
#include <vector>

#include "tools/upm/lookup_answer.h"
#include "tools/upm/userpolicy_library.h"

namespace upm {

enum class NodeRole { kUser, kPrimaryGroup, kGroup };

// Why a node's branch ended there (kNone: it did not; its memberOf groups
// are its children).
enum class BranchEnd { kNone, kDuplicate, kCycle, kDepthLimit, kNotFound, kFailed };

// "user", "primary_group", "group"; "duplicate", "cycle", "depth_limit",
// "not_found", "failed" (kNone: "").
const char* RoleName(NodeRole role);
const char* BranchEndName(BranchEnd end);

struct ExplainNode {
  NodeRole role = NodeRole::kGroup;
  std::string key;   // what the manager was asked
  std::string name;  // the record's name, else the first value of its DN
  std::string dn;    // distinguishedName, else (groups) the key
  std::string guid;  // objectGUID as the record holds it; "" when none
  bool listed = false;          // its GUID went into the list
  bool from_directory = false;  // "LDAP" when true, else "cache"
  double milliseconds = 0;      // the lookup's wall time
  BranchEnd end = BranchEnd::kNone;
  CallError error;                   // end == kFailed
  std::vector<ExplainNode> member_of;  // the groups walked from here, in order
};

struct ExplainResult {
  std::string sip;
  Outcome outcome = Outcome::kFailed;  // of the user's lookup
  CallError error;                     // outcome == kFailed
  ExplainNode user;                    // outcome != kFailed
  std::optional<ExplainNode> primary_group;
  std::string primary_group_note;  // why there is none, when the user has one
  std::vector<std::string> guids;  // the listed GUIDs in walk order
  double milliseconds = 0;         // the whole walk
  int exit_code = 0;               // 0; 1 when the user is not found; else the first failure's
};

// Walks the user `sip` as described above.
ExplainResult Explain(const std::string& sip);

// The value of the first relative distinguished name of `dn`, its escapes
// ("\," and hex pairs such as "\2C") undone: "Smith, Jones" for
// "cn=Smith\2C Jones,ou=Groups,dc=example,dc=test". `dn` itself when it has
// no "=".
std::string FirstRdnValue(const std::string& dn);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_EXPLAIN_WALK_H_
