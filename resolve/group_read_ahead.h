// The group walk of CPolicyFilterDSAccessHelper as the directory library's
// read-ahead sees it (platform/directory/read_ahead.h): groups are read with
// the nested-group manager's attributes from the paths its fetch binds,
// except those its cache holds or another thread reads; the walk goes on
// above a group unless the group's GUID is in the list already (so also
// above a group without a usable GUID), and a group's parents are the
// values of its memberOf. A user record leads to the search for its primary
// group, with the key the resolution makes from the user's objectSid and
// primaryGroupID and the primary-group manager's filter, unless that
// manager holds the group or reads it now.
//
// Thread safety: belongs to the thread of one resolution, like its list.
#ifndef USERPOLICY_RESOLVE_GROUP_READ_AHEAD_H_
#define USERPOLICY_RESOLVE_GROUP_READ_AHEAD_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manager/user_policy_manager.h"
#include "platform/com.h"
#include "platform/directory/read_ahead.h"

class NestedGroupReadAhead final : public directory::GroupWalk {
 public:
  // `guids` is the resolution's list, read here and appended to by the
  // walk; it must outlive this object.
  explicit NestedGroupReadAhead(const std::vector<_bstr_t>& guids) : guids_(guids) {}
  NestedGroupReadAhead(const NestedGroupReadAhead&) = delete;
  NestedGroupReadAhead& operator=(const NestedGroupReadAhead&) = delete;

  const std::vector<std::wstring>& GroupAttributes() override;
  std::wstring_view ParentAttribute() override { return L"memberOf"; }
  std::optional<std::wstring> PathToRead(std::wstring_view dn) override;
  bool WalksAbove(const directory::DirectoryObject& object) override;
  std::optional<Search> SearchAfter(const directory::DirectoryObject& object) override;

 private:
  // The nested-group manager, taken from its factory on first need (the
  // walk takes it too); null when there is none.
  class CUserPolicyManagerImpl* Manager();

  const std::vector<_bstr_t>& guids_;
  std::optional<CUserPolicyManager> manager_;
  bool no_manager_ = false;  // the factory failed
  std::optional<CUserPolicyManager> primary_group_manager_;
  const std::vector<std::wstring> no_attributes_;
};

#endif  // USERPOLICY_RESOLVE_GROUP_READ_AHEAD_H_
