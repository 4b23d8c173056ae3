// The proof that reading attribute definitions on demand types values as
// the whole schema does: the kinds the backend's schema reader gives a set
// of names, against those of the server's whole subschema entry.
#ifndef USERPOLICY_TESTS_SUPPORT_SCHEMA_TYPING_H_
#define USERPOLICY_TESTS_SUPPORT_SCHEMA_TYPING_H_

#include <string>
#include <vector>

#include "module/directory_queries.h"
#include "platform/utf8.h"

namespace userpolicy::testing {

// How to reach a server as the library does.
struct ServerAccess {
  std::string host_port;
  std::string bind_dn;
  std::string password_file;
};

// Every attribute the module's managers ask for.
inline std::vector<std::string> ManagerAttributes() {
  std::vector<std::string> names;
  for (const wchar_t* name : kUserAttributes) names.push_back(platform::WideToUtf8(name));
  for (const wchar_t* name : kGroupAttributes) names.push_back(platform::WideToUtf8(name));
  return names;
}

// The NAMEs of the attribute type descriptions `descriptions`.
std::vector<std::string> NamesOfDescriptions(const std::vector<std::string>& descriptions);

// What a fresh schema reader (as on first contact with `server`), asked
// about all of `names` at once, reads, against Schema::Parse of `whole`
// (the server's whole attributeTypes).
struct OnDemandTyping {
  // "name: on demand K1, whole K2" for each name whose kinds differ.
  std::vector<std::string> differences;
  int searches = 0;       // the reader's searches, its rootDSE read included
  size_t types_read = 0;  // the attribute types it read
};
OnDemandTyping CompareOnDemandTyping(const ServerAccess& server, const std::vector<std::string>& whole,
                                     const std::vector<std::string>& names);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_SCHEMA_TYPING_H_
