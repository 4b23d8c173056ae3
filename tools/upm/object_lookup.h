// `upm object KEY --as KIND`: the record one of the module's managers
// returns for a key.
//
//   --as user           the user manager, KEY a SIP address
//   --as primary-group  the primary-group manager, KEY its search string
//                       (the objectSid as escaped bytes), or a group SID
//                       "S-1-5-21-...-RID", turned into that search string
//                       by up_primary_group_key
//   --as group          the group manager, KEY a distinguished name
//   --as guid           the GUID manager (UP_MANAGER_GUID), KEY 32 hex
//                       digits (as `upm guids` prints them) or
//                       "<GUID=...>", asked with the 32 digits
//   --as path           the path manager (UP_MANAGER_PATH), KEY
//                       "GC://host[:port]/OBJECT" or
//                       "LDAP://host[:port]/OBJECT" (OBJECT a DN or
//                       <GUID=...>), or a path without a host; the manager
//                       binds OBJECT through the servers the library uses,
//                       so upm starts the library with the path's server
//                       (port 3268 for GC://, 389 for LDAP:// when none is
//                       given)
//
// Thread safety: LookUpObject may be called from any thread once the
// library is started.
#ifndef USERPOLICY_TOOLS_UPM_OBJECT_LOOKUP_H_
#define USERPOLICY_TOOLS_UPM_OBJECT_LOOKUP_H_

#include <optional>
#include <string>

#include "tools/upm/lookup_answer.h"
#include "tools/upm/userpolicy_library.h"

namespace upm {

enum class ObjectKind { kUser, kPrimaryGroup, kGroup, kGuid, kPath };

// "user", "primary-group", "group", "guid", "path" (the --as values).
const char* ObjectKindName(ObjectKind kind);
// The kind --as `name` names, or nullopt.
std::optional<ObjectKind> ObjectKindFromName(const std::string& name);
// "user", "primary_group", "group", "guid", "path".
const char* ManagerName(up_manager manager);

struct ObjectQuery {
  ObjectKind kind = ObjectKind::kUser;
  std::string key;  // as given
  up_manager manager = UP_MANAGER_USER;
  std::string lookup_key;  // what the manager is asked (kPrimaryGroup by SID: "" until looked up)
  std::string group_sid;   // kPrimaryGroup given as a SID
  std::string server;      // kPath with a host: "host:port", else ""
};

// Builds the query for `key` as `kind`; false with *problem saying what is
// wrong with the key (a usage error).
bool ParseObjectQuery(ObjectKind kind, const std::string& key, ObjectQuery* query, std::string* problem);

struct ObjectAnswer {
  ObjectQuery query;
  Outcome outcome = Outcome::kFailed;  // kNotFound: an empty record
  Record record;
  bool from_directory = false;
  double milliseconds = 0;
  CallError error;  // outcome == kFailed
};

// Asks the query's manager (making the primary-group key from a SID first).
ObjectAnswer LookUpObject(const ObjectQuery& query);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_OBJECT_LOOKUP_H_
