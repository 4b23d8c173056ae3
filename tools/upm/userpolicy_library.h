// The library's C interface (capi/userpolicy.h) in C++ terms, for upm: what
// the library hands out is copied into standard containers and freed at
// once, and a failure becomes a CallError. This is the only part of upm that
// calls up_* functions.
//
// Thread safety: as the C interface: after Start, any number of threads may
// call every function at once; Start and Stop belong to one thread.
#ifndef USERPOLICY_TOOLS_UPM_USERPOLICY_LIBRARY_H_
#define USERPOLICY_TOOLS_UPM_USERPOLICY_LIBRARY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capi/userpolicy.h"

namespace upm {

// A failed call: the up_status, the library's own code and its one-line
// message (which names the key, the server or the LDAP result).
struct CallError {
  int status = UP_OK;
  int code = 0;
  std::string message;
};

struct Value {
  uint16_t vartype = 0;
  std::string text;
  int64_t integer = 0;
};

struct Property {
  std::string name;
  std::vector<Value> values;
};

// The record a manager returns; an empty one means the directory holds no
// such object.
struct Record {
  std::vector<Property> properties;

  // The property named `name` (ASCII letter case ignored), or null.
  const Property* Find(const std::string& name) const;
  // The first value of `name`, or null when it has none.
  const Value* First(const std::string& name) const;
};

// One of the counters, as the library names it (up_counter_info).
struct CounterInfo {
  std::string field;  // the up_counters member and JSON key
  std::string key;    // shared by a count and its time
  std::string name;
  std::string help;
  bool milliseconds = false;
};

// What up_start takes; empty strings leave the library's default. The bind
// fields, when any is set, go to up_start_with_bind (up_discover_with_bind).
struct LibraryOptions {
  std::string settings_file;
  std::string server;
  std::string log_level;
  std::string log_file;
  std::string bind_method;
  std::string keytab;
  std::string principal;
};

// Each returns an up_status (UP_OK is 0) and, on failure, fills *error when
// it is not null; outputs are only written on success.
int StartLibrary(const LibraryOptions& options, CallError* error);
int StopLibrary(CallError* error);
int GetGuids(const std::string& sip, std::vector<std::string>* guids, CallError* error);
int GetEmail(const std::string& sip, std::string* email, CallError* error);
int GetRecord(up_manager manager, const std::string& key, Record* record, bool* from_directory, CallError* error);
int PrimaryGroupKey(const std::string& user_sid, int32_t primary_group_id, std::string* key, CallError* error);
// With the settings file, server and bind of `options` for this discovery
// only (up_discover_with_options, or up_discover_with_bind when a bind
// field is set). On UP_DIRECTORY_ERROR *steps is still filled in.
int Discover(const LibraryOptions& options, std::optional<std::string>* gc_path, std::vector<std::string>* steps,
             CallError* error);
int GetCounters(int pid, up_counters* counters, CallError* error);
// The running processes that publish counters, ascending.
int ListCounterProcesses(std::vector<int>* pids, CallError* error);
// The counters in the library's order, and the value of the one at `index`.
std::vector<CounterInfo> CounterInfos();
int64_t CounterValue(const up_counters& counters, size_t index);

std::string StatusName(int status);
std::string LibraryVersion();

// Starts the library and stops it again when it goes out of scope.
class LibrarySession {
 public:
  LibrarySession() = default;
  ~LibrarySession();
  LibrarySession(const LibrarySession&) = delete;
  LibrarySession& operator=(const LibrarySession&) = delete;

  // As StartLibrary. REQUIRES: not started yet.
  int Start(const LibraryOptions& options, CallError* error);

 private:
  bool started_ = false;
};

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_USERPOLICY_LIBRARY_H_
