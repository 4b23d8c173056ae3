// A test double of the library's C interface (every up_* function of
// capi/userpolicy.h) for the unit tests of upm's logic: an in-memory table
// of records per manager and key, answers per SIP address, injected
// failures, discovery steps and counters. Linked instead of
// libuserpolicy.so; it never reads a directory.
//
// Keys are compared ignoring ASCII letter case, as the managers normalise
// them. The first up_get_record of a key on a manager reports that it read
// the directory, later ones that a cache answered. Everything it hands out
// is heap memory freed by its up_free_* functions, so the sanitizer builds
// catch a leak or a double free in upm.
//
// Thread safety: the up_* functions may be called from any number of
// threads; configure the fake (the functions below) only while no up_*
// call runs.
#ifndef USERPOLICY_TESTING_UPM_FAKE_USERPOLICY_H_
#define USERPOLICY_TESTING_UPM_FAKE_USERPOLICY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capi/userpolicy.h"

namespace upm_fake {

inline constexpr uint16_t kVtI4 = 3;
inline constexpr uint16_t kVtBstr = 8;
inline constexpr uint16_t kVtBytes = 8209;  // VT_ARRAY|VT_UI1

struct FakeValue {
  uint16_t vartype = kVtBstr;
  std::string text;
  int64_t integer = 0;
};
using FakeRecord = std::vector<std::pair<std::string, std::vector<FakeValue>>>;

// Strings as VT_BSTR values; a number as a VT_I4 value.
std::vector<FakeValue> Strings(const std::vector<std::string>& texts);
std::vector<FakeValue> Integer(int64_t value);

// Forgets everything: no records, answers, failures, calls; not started.
void Reset();

// What up_get_record(manager, key) returns.
void SetRecord(up_manager manager, const std::string& key, FakeRecord record);
// What up_get_guids / up_get_email return for `sip` (else UP_NOT_FOUND).
void SetGuids(const std::string& sip, std::vector<std::string> guids);
void SetEmail(const std::string& sip, const std::string& email);
// Every call with `key` (a SIP address, a record key) fails so.
void FailKey(const std::string& key, int status, int code, const std::string& message);
// up_start fails so.
void FailStart(int status, const std::string& message);
// up_discover's (and up_discover_with_options') answer.
void SetDiscovery(std::vector<std::string> steps, std::optional<std::string> gc_path);
// up_get_counters(pid) returns these (else UP_NOT_FOUND); the pids set so
// are the processes up_list_counter_processes lists. The counters' names
// are the library's, with help texts "Help of <name>.".
void SetCounters(int pid, const up_counters& counters);
// Called with the address at the start of every up_get_guids and
// up_get_email, outside the fake's lock (to hold a lookup back).
void SetLookupHook(std::function<void(const std::string& sip)> hook);

// The key up_primary_group_key gives for the user SID `sid` and the
// primary group `rid`: "PG:" + the SID's domain part + "-" + rid.
std::string PrimaryGroupKeyFor(const std::string& sid, int32_t rid);

// The up_get_record calls so far, "manager:key" each, in call order.
std::vector<std::string> RecordCalls();
// The options of the last up_start or up_start_with_bind (empty strings for
// nulls; `with_bind` tells which was called).
struct StartOptions {
  std::string settings_file;
  std::string server;
  std::string log_level;
  std::string log_file;
  bool with_bind = false;
  std::string bind_method;
  std::string keytab;
  std::string principal;
};
std::optional<StartOptions> LastStartOptions();
// The options of the last up_discover_with_options or up_discover_with_bind.
std::optional<StartOptions> LastDiscoverOptions();
bool Started();
// How many up_* calls handed something out that is not freed yet.
int OutstandingAllocations();

}  // namespace upm_fake

#endif  // USERPOLICY_TESTING_UPM_FAKE_USERPOLICY_H_
