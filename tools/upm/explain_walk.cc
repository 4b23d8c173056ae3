#include "tools/upm/explain_walk.h"

#include <chrono>
#include <cstdint>

#include "tools/upm/exit_codes.h"

namespace upm {
namespace {

using Clock = std::chrono::steady_clock;

// VARIANT types the walk tells apart.
constexpr uint16_t kVtEmpty = 0;
constexpr uint16_t kVtBstr = 8;

// As the library's walk: groups without a GUID passed through on one branch
// before it stops.
constexpr int kMaxGroupsWithoutGuid = 512;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The branch being walked: each group's DN and GUID, outermost first.
struct Ancestor {
  std::string dn;
  std::string guid;
};

class Walker {
 public:
  explicit Walker(ExplainResult* result) : result_(result) {}

  // Looks `key` up with `manager` into `node`; false when the lookup failed
  // (the node then says why).
  bool LookUp(up_manager manager, const std::string& key, ExplainNode* node, Record* record) {
    node->key = key;
    const Clock::time_point start = Clock::now();
    CallError error;
    const int status = GetRecord(manager, key, record, &node->from_directory, &error);
    node->milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (status == UP_NOT_FOUND) {
      record->properties.clear();
      return true;
    }
    if (status != UP_OK) {
      node->end = BranchEnd::kFailed;
      node->error = error;
      exit_code_.Add(ExitCodeForStatus(status));
      return false;
    }
    if (const Value* dn = record->First("distinguishedName"); dn != nullptr && dn->vartype == kVtBstr) {
      node->dn = dn->text;
    }
    if (const Value* name = record->First("name"); name != nullptr && name->vartype == kVtBstr) {
      node->name = name->text;
    }
    if (const Value* guid = record->First("objectGUID"); guid != nullptr && guid->vartype == kVtBstr) {
      node->guid = guid->text;
    }
    return true;
  }

  // The groups of `record`'s memberOf, as children of `node`.
  void WalkMemberOf(const Record& record, ExplainNode* node) {
    const Property* member_of = record.Find("memberOf");
    if (member_of == nullptr) return;
    for (const Value& value : member_of->values) {
      if (value.vartype != kVtBstr) continue;
      node->member_of.push_back(WalkGroup(value.text));
    }
  }

  void List(ExplainNode* node) {
    node->listed = true;
    result_->guids.push_back(node->guid);
  }

  int exit_code() const { return exit_code_.result(); }

 private:
  ExplainNode WalkGroup(const std::string& dn) {
    ExplainNode node;
    node.role = NodeRole::kGroup;
    Record record;
    path_.push_back(Ancestor{dn, ""});
    const bool ok = LookUp(UP_MANAGER_GROUP, dn, &node, &record);
    if (node.dn.empty()) node.dn = dn;
    if (node.name.empty()) node.name = FirstRdnValue(node.dn);
    if (ok) Visit(dn, record, &node);
    path_.pop_back();
    return node;
  }

  void Visit(const std::string& dn, const Record& record, ExplainNode* node) {
    if (record.properties.empty()) node->end = BranchEnd::kNotFound;
    bool without_guid = false;
    if (!node->guid.empty()) {
      if (IsListed(node->guid)) {
        node->end = IsAncestorGuid(node->guid) ? BranchEnd::kCycle : BranchEnd::kDuplicate;
        return;
      }
      path_.back().guid = node->guid;
      List(node);
    } else {
      if (IsAncestorDn(dn)) {
        node->end = BranchEnd::kCycle;
        return;
      }
      without_guid = true;
      if (++groups_without_guid_ > kMaxGroupsWithoutGuid) {
        node->end = BranchEnd::kDepthLimit;
        --groups_without_guid_;
        return;
      }
    }
    WalkMemberOf(record, node);
    if (without_guid) --groups_without_guid_;
  }

  bool IsListed(const std::string& guid) const {
    for (const std::string& listed : result_->guids) {
      if (EqualsIgnoringAsciiCase(listed, guid)) return true;
    }
    return false;
  }

  // Ancestors only: the last path entry is the group being visited.
  bool IsAncestorGuid(const std::string& guid) const {
    for (size_t i = 0; i + 1 < path_.size(); ++i) {
      if (!path_[i].guid.empty() && EqualsIgnoringAsciiCase(path_[i].guid, guid)) return true;
    }
    return false;
  }
  bool IsAncestorDn(const std::string& dn) const {
    for (size_t i = 0; i + 1 < path_.size(); ++i) {
      if (EqualsIgnoringAsciiCase(path_[i].dn, dn)) return true;
    }
    return false;
  }

  ExplainResult* result_;
  std::vector<Ancestor> path_;
  int groups_without_guid_ = 0;
  ExitCodeCombiner exit_code_;
};

// The primary group's key from the user's record; "" with *note saying why
// there is none.
std::string PrimaryGroupKeyOf(const Record& user, std::string* note) {
  const Value* sid = user.First("objectSid");
  if (sid == nullptr) {
    *note = "the user has no objectSid";
    return "";
  }
  if (sid->vartype != kVtBstr) {
    *note = "the user's objectSid is not a string";
    return "";
  }
  const Value* group_id = user.First("primaryGroupID");
  if (group_id == nullptr || group_id->vartype == kVtEmpty) {
    *note = "the user has no primaryGroupID";
    return "";
  }
  std::string key;
  CallError error;
  if (PrimaryGroupKey(sid->text, static_cast<int32_t>(group_id->integer), &key, &error) != UP_OK) {
    *note = "no key for objectSid " + sid->text + ": " + error.message;
    return "";
  }
  return key;
}

}  // namespace

const char* RoleName(NodeRole role) {
  switch (role) {
    case NodeRole::kUser:
      return "user";
    case NodeRole::kPrimaryGroup:
      return "primary_group";
    case NodeRole::kGroup:
      break;
  }
  return "group";
}

const char* BranchEndName(BranchEnd end) {
  switch (end) {
    case BranchEnd::kNone:
      return "";
    case BranchEnd::kDuplicate:
      return "duplicate";
    case BranchEnd::kCycle:
      return "cycle";
    case BranchEnd::kDepthLimit:
      return "depth_limit";
    case BranchEnd::kNotFound:
      return "not_found";
    case BranchEnd::kFailed:
      break;
  }
  return "failed";
}

std::string FirstRdnValue(const std::string& dn) {
  const size_t equals = dn.find('=');
  if (equals == std::string::npos) return dn;
  std::string value;
  for (size_t i = equals + 1; i < dn.size(); ++i) {
    const char c = dn[i];
    if (c == ',' || c == '+') break;
    if (c != '\\' || i + 1 >= dn.size()) {
      value += c;
      continue;
    }
    const int high = HexDigit(dn[i + 1]);
    const int low = i + 2 < dn.size() ? HexDigit(dn[i + 2]) : -1;
    if (high >= 0 && low >= 0) {
      value += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      value += dn[++i];
    }
  }
  return value;
}

ExplainResult Explain(const std::string& sip) {
  const Clock::time_point start = Clock::now();
  ExplainResult result;
  result.sip = sip;
  Walker walker(&result);

  ExplainNode& user = result.user;
  user.role = NodeRole::kUser;
  Record user_record;
  if (!walker.LookUp(UP_MANAGER_USER, sip, &user, &user_record)) {
    result.outcome = Outcome::kFailed;
    result.error = user.error;
  } else if (user_record.properties.empty()) {
    result.outcome = Outcome::kNotFound;
    user.end = BranchEnd::kNotFound;
  } else {
    result.outcome = Outcome::kFound;
    if (user.name.empty()) user.name = FirstRdnValue(user.dn);
    if (!user.guid.empty()) walker.List(&user);

    Record group_record;
    const std::string key = PrimaryGroupKeyOf(user_record, &result.primary_group_note);
    if (!key.empty()) {
      ExplainNode& group = result.primary_group.emplace();
      group.role = NodeRole::kPrimaryGroup;
      if (walker.LookUp(UP_MANAGER_PRIMARY_GROUP, key, &group, &group_record)) {
        if (group_record.properties.empty()) group.end = BranchEnd::kNotFound;
        if (group.name.empty()) group.name = FirstRdnValue(group.dn);
        if (!group.guid.empty()) walker.List(&group);
        walker.WalkMemberOf(group_record, &group);
      }
    }
    walker.WalkMemberOf(user_record, &user);
  }
  result.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  switch (result.outcome) {
    case Outcome::kFound:
      result.exit_code = walker.exit_code();
      break;
    case Outcome::kNotFound:
      result.exit_code = kExitNotFound;
      break;
    case Outcome::kFailed:
      result.exit_code = ExitCodeForStatus(result.error.status);
      break;
  }
  return result;
}

}  // namespace upm
