#include "testing/upm/fake_userpolicy.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace upm_fake {
namespace {

std::string Folded(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

struct Failure {
  int status;
  int code;
  std::string message;
};

struct State {
  std::mutex mutex;
  bool started = false;
  std::optional<StartOptions> start_options;
  std::optional<StartOptions> discover_options;
  std::optional<Failure> start_failure;
  std::map<std::pair<int, std::string>, FakeRecord> records;
  std::map<std::pair<int, std::string>, int> record_reads;
  std::map<std::string, std::vector<std::string>> guids;
  std::map<std::string, std::string> emails;
  std::map<std::string, Failure> failures;
  std::vector<std::string> discovery_steps;
  std::optional<std::string> gc_path;
  std::map<int, up_counters> counters;
  std::function<void(const std::string&)> hook;
  std::vector<std::string> record_calls;
};

State& TheState() {
  static State state;
  return state;
}

std::atomic<int> g_outstanding{0};

char* Copy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

int Fail(up_error** error, int status, int code, const std::string& message) {
  if (error != nullptr) {
    auto* made = static_cast<up_error*>(std::calloc(1, sizeof(up_error)));
    made->status = status;
    made->code = code;
    made->message = Copy(message);
    *error = made;
    ++g_outstanding;
  }
  return status;
}

// The injected failure of `key`, if any. REQUIRES: the state's lock held.
const Failure* FailureOf(State& state, const std::string& key) {
  auto it = state.failures.find(Folded(key));
  return it != state.failures.end() ? &it->second : nullptr;
}

up_string_list* MakeList(const std::vector<std::string>& items) {
  auto* list = static_cast<up_string_list*>(std::calloc(1, sizeof(up_string_list)));
  list->count = items.size();
  list->items = static_cast<char**>(std::calloc(items.size() + 1, sizeof(char*)));
  for (size_t i = 0; i < items.size(); ++i) list->items[i] = Copy(items[i]);
  ++g_outstanding;
  return list;
}

StartOptions Recorded(const up_options* options, const up_bind_options* bind = nullptr) {
  StartOptions recorded;
  auto text = [](const char* value) { return std::string(value != nullptr ? value : ""); };
  if (options != nullptr) {
    recorded.settings_file = text(options->settings_file);
    recorded.server = text(options->server);
    recorded.log_level = text(options->log_level);
    recorded.log_file = text(options->log_file);
  }
  recorded.with_bind = bind != nullptr;
  if (bind != nullptr) {
    recorded.bind_method = text(bind->method);
    recorded.keytab = text(bind->keytab);
    recorded.principal = text(bind->principal);
  }
  return recorded;
}

// The sixteen counters, named as the library names them: per kind of
// lookup its directory count and time, then its cache count and time.
struct FakeCounter {
  std::string field, key, name, help;
  up_counter_info info{};
  uint32_t up_counters::*count = nullptr;
  int64_t up_counters::*time = nullptr;
};

const std::vector<FakeCounter>& FakeCounters() {
  static const std::vector<FakeCounter> counters = [] {
    struct Kind {
      const char* key;
      const char* name;
      uint32_t up_counters::*count;
      int64_t up_counters::*time;
    };
    const Kind kinds[] = {
        {"total_ds_access", "Total DS Access", &up_counters::total_ds_access, &up_counters::total_ds_access_time_ms},
        {"total_cache_access", "Total Cache Access", &up_counters::total_cache_access,
         &up_counters::total_cache_access_time_ms},
        {"user_ds_access", "User DS Access", &up_counters::user_ds_access, &up_counters::user_ds_access_time_ms},
        {"user_cache_access", "User Cache Access", &up_counters::user_cache_access,
         &up_counters::user_cache_access_time_ms},
        {"pgroup_ds_access", "PGroup DS Access", &up_counters::pgroup_ds_access,
         &up_counters::pgroup_ds_access_time_ms},
        {"pgroup_cache_access", "PGroup Cache Access", &up_counters::pgroup_cache_access,
         &up_counters::pgroup_cache_access_time_ms},
        {"ngroup_ds_access", "NGroup DS Access", &up_counters::ngroup_ds_access,
         &up_counters::ngroup_ds_access_time_ms},
        {"ngroup_cache_access", "NGroup Cache Access", &up_counters::ngroup_cache_access,
         &up_counters::ngroup_cache_access_time_ms},
    };
    std::vector<FakeCounter> built;
    built.reserve(2 * std::size(kinds));
    for (const Kind& kind : kinds) {
      FakeCounter& count = built.emplace_back();
      count.field = count.key = kind.key;
      count.name = kind.name;
      count.help = std::string("Help of ") + kind.name + ".";
      count.count = kind.count;
      FakeCounter& time = built.emplace_back();
      time.field = std::string(kind.key) + "_time_ms";
      time.key = kind.key;
      time.name = std::string(kind.name) + " Time";
      time.help = "Help of " + time.name + ".";
      time.time = kind.time;
    }
    for (FakeCounter& counter : built) {
      counter.info = {counter.field.c_str(), counter.key.c_str(), counter.name.c_str(), counter.help.c_str(),
                      counter.time != nullptr ? 1 : 0};
    }
    return built;
  }();
  return counters;
}

void RunHook(const char* sip) {
  std::function<void(const std::string&)> hook;
  {
    State& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    hook = state.hook;
  }
  if (hook && sip != nullptr) hook(sip);
}

}  // namespace

std::vector<FakeValue> Strings(const std::vector<std::string>& texts) {
  std::vector<FakeValue> values;
  for (const std::string& text : texts) values.push_back(FakeValue{kVtBstr, text, 0});
  return values;
}

std::vector<FakeValue> Integer(int64_t value) { return {FakeValue{kVtI4, std::to_string(value), value}}; }

void Reset() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.started = false;
  state.start_options.reset();
  state.discover_options.reset();
  state.start_failure.reset();
  state.records.clear();
  state.record_reads.clear();
  state.guids.clear();
  state.emails.clear();
  state.failures.clear();
  state.discovery_steps.clear();
  state.gc_path.reset();
  state.counters.clear();
  state.hook = nullptr;
  state.record_calls.clear();
}

void SetRecord(up_manager manager, const std::string& key, FakeRecord record) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.records[{manager, Folded(key)}] = std::move(record);
}

void SetGuids(const std::string& sip, std::vector<std::string> guids) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.guids[Folded(sip)] = std::move(guids);
}

void SetEmail(const std::string& sip, const std::string& email) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.emails[Folded(sip)] = email;
}

void FailKey(const std::string& key, int status, int code, const std::string& message) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.failures[Folded(key)] = Failure{status, code, message};
}

void FailStart(int status, const std::string& message) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.start_failure = Failure{status, 0, message};
}

void SetDiscovery(std::vector<std::string> steps, std::optional<std::string> gc_path) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.discovery_steps = std::move(steps);
  state.gc_path = std::move(gc_path);
}

void SetCounters(int pid, const up_counters& counters) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.counters[pid] = counters;
}

void SetLookupHook(std::function<void(const std::string& sip)> hook) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.hook = std::move(hook);
}

std::string PrimaryGroupKeyFor(const std::string& sid, int32_t rid) {
  return "PG:" + sid.substr(0, sid.rfind('-')) + "-" + std::to_string(rid);
}

std::vector<std::string> RecordCalls() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.record_calls;
}

std::optional<StartOptions> LastDiscoverOptions() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.discover_options;
}

std::optional<StartOptions> LastStartOptions() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.start_options;
}

bool Started() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.started;
}

int OutstandingAllocations() { return g_outstanding.load(); }

}  // namespace upm_fake

using upm_fake::Copy;
using upm_fake::Fail;
using upm_fake::FailureOf;
using upm_fake::Folded;
using upm_fake::TheState;

extern "C" {

const char* up_version(void) { return "0.0.0-fake"; }

const char* up_status_name(int status) {
  switch (status) {
    case UP_OK: return "UP_OK";
    case UP_NOT_FOUND: return "UP_NOT_FOUND";
    case UP_INVALID_ARGUMENT: return "UP_INVALID_ARGUMENT";
    case UP_NOT_STARTED: return "UP_NOT_STARTED";
    case UP_DIRECTORY_ERROR: return "UP_DIRECTORY_ERROR";
    case UP_CONFIG_ERROR: return "UP_CONFIG_ERROR";
    case UP_OUT_OF_MEMORY: return "UP_OUT_OF_MEMORY";
    case UP_INTERNAL_ERROR: return "UP_INTERNAL_ERROR";
    default: return "UP_UNKNOWN";
  }
}

int up_start_with_bind(const up_options* options, const up_bind_options* bind, up_error** error) {
  auto& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.start_options = upm_fake::Recorded(options, bind);
  if (state.start_failure) {
    return Fail(error, state.start_failure->status, 0, state.start_failure->message);
  }
  state.started = true;
  return UP_OK;
}

int up_start(const up_options* options, up_error** error) { return up_start_with_bind(options, nullptr, error); }

int up_stop(up_error** error) {
  auto& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.started) return Fail(error, UP_NOT_STARTED, 0, "not started");
  state.started = false;
  return UP_OK;
}

int up_get_guids(const char* sip_address, up_string_list** guids, up_error** error) {
  if (guids != nullptr) *guids = nullptr;
  upm_fake::RunHook(sip_address);
  auto& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (sip_address == nullptr || guids == nullptr) return Fail(error, UP_INVALID_ARGUMENT, 0, "null argument");
  if (!state.started) return Fail(error, UP_NOT_STARTED, 0, "not started");
  if (const auto* failure = FailureOf(state, sip_address)) {
    return Fail(error, failure->status, failure->code, failure->message);
  }
  auto it = state.guids.find(Folded(sip_address));
  if (it == state.guids.end()) {
    return Fail(error, UP_NOT_FOUND, -91008, std::string("no user ") + sip_address);
  }
  *guids = upm_fake::MakeList(it->second);
  return UP_OK;
}

int up_get_email(const char* sip_address, char** email, up_error** error) {
  if (email != nullptr) *email = nullptr;
  upm_fake::RunHook(sip_address);
  auto& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (sip_address == nullptr || email == nullptr) return Fail(error, UP_INVALID_ARGUMENT, 0, "null argument");
  if (!state.started) return Fail(error, UP_NOT_STARTED, 0, "not started");
  if (const auto* failure = FailureOf(state, sip_address)) {
    return Fail(error, failure->status, failure->code, failure->message);
  }
  auto it = state.emails.find(Folded(sip_address));
  if (it == state.emails.end()) {
    return Fail(error, UP_NOT_FOUND, -91008, std::string("no e-mail address for ") + sip_address);
  }
  *email = Copy(it->second);
  ++upm_fake::g_outstanding;
  return UP_OK;
}

int up_get_record(int manager, const char* key, up_record** record, int* from_directory, up_error** error) {
  if (record != nullptr) *record = nullptr;
  if (from_directory != nullptr) *from_directory = 0;
  auto& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (key == nullptr || record == nullptr || manager < UP_MANAGER_USER || manager > UP_MANAGER_PATH) {
    return Fail(error, UP_INVALID_ARGUMENT, 0, "bad argument");
  }
  if (!state.started) return Fail(error, UP_NOT_STARTED, 0, "not started");
  state.record_calls.push_back(std::to_string(manager) + ":" + key);
  if (const auto* failure = FailureOf(state, key)) {
    return Fail(error, failure->status, failure->code, failure->message);
  }
  const std::pair<int, std::string> id{manager, Folded(key)};
  const int reads = state.record_reads[id]++;
  if (from_directory != nullptr) *from_directory = reads == 0 ? 1 : 0;
  auto* made = static_cast<up_record*>(std::calloc(1, sizeof(up_record)));
  auto it = state.records.find(id);
  if (it != state.records.end()) {
    const upm_fake::FakeRecord& source = it->second;
    made->property_count = source.size();
    made->properties = static_cast<up_property*>(std::calloc(source.size() + 1, sizeof(up_property)));
    for (size_t i = 0; i < source.size(); ++i) {
      up_property& property = made->properties[i];
      property.name = Copy(source[i].first);
      property.value_count = source[i].second.size();
      property.values = static_cast<up_value*>(std::calloc(source[i].second.size() + 1, sizeof(up_value)));
      for (size_t j = 0; j < source[i].second.size(); ++j) {
        property.values[j].vartype = source[i].second[j].vartype;
        property.values[j].text = Copy(source[i].second[j].text);
        property.values[j].integer = source[i].second[j].integer;
      }
    }
  }
  *record = made;
  ++upm_fake::g_outstanding;
  return UP_OK;
}

int up_primary_group_key(const char* user_sid, int32_t primary_group_id, char** key, up_error** error) {
  if (key != nullptr) *key = nullptr;
  if (user_sid == nullptr || key == nullptr || std::strncmp(user_sid, "S-1-", 4) != 0) {
    return Fail(error, UP_INVALID_ARGUMENT, 0, std::string("malformed SID ") + (user_sid ? user_sid : "(null)"));
  }
  *key = Copy(upm_fake::PrimaryGroupKeyFor(user_sid, primary_group_id));
  ++upm_fake::g_outstanding;
  return UP_OK;
}

int up_discover_with_bind(const up_options* options, const up_bind_options* bind, char** gc_path,
                          up_string_list** steps, up_error** error) {
  {
    auto& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.discover_options = upm_fake::Recorded(options, bind);
  }
  return up_discover(gc_path, steps, error);
}

int up_discover_with_options(const up_options* options, char** gc_path, up_string_list** steps, up_error** error) {
  return up_discover_with_bind(options, nullptr, gc_path, steps, error);
}

int up_discover(char** gc_path, up_string_list** steps, up_error** error) {
  auto& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (gc_path != nullptr) *gc_path = nullptr;
  if (steps != nullptr) *steps = upm_fake::MakeList(state.discovery_steps);
  if (!state.gc_path) return Fail(error, UP_DIRECTORY_ERROR, 0, "no Global Catalog found");
  if (gc_path != nullptr) {
    *gc_path = Copy(*state.gc_path);
    ++upm_fake::g_outstanding;
  }
  return UP_OK;
}

int up_get_counters(int pid, up_counters* counters, up_error** error) {
  auto& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto it = state.counters.find(pid);
  if (it == state.counters.end()) {
    return Fail(error, UP_NOT_FOUND, 0, "process " + std::to_string(pid) + " publishes no counters");
  }
  *counters = it->second;
  return UP_OK;
}

size_t up_counter_count(void) { return upm_fake::FakeCounters().size(); }

const up_counter_info* up_counter_info_at(size_t index) {
  const auto& counters = upm_fake::FakeCounters();
  return index < counters.size() ? &counters[index].info : nullptr;
}

int64_t up_counter_value(const up_counters* counters, size_t index) {
  const auto& all = upm_fake::FakeCounters();
  if (counters == nullptr || index >= all.size()) return 0;
  const auto& counter = all[index];
  return counter.time != nullptr ? counters->*counter.time : static_cast<int64_t>(counters->*counter.count);
}

int up_list_counter_processes(up_process_list** processes, up_error** error) {
  auto& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (processes == nullptr) return Fail(error, UP_INVALID_ARGUMENT, 0, "processes is null");
  auto* list = static_cast<up_process_list*>(std::calloc(1, sizeof(up_process_list)));
  list->pids = static_cast<int*>(std::calloc(state.counters.size() + 1, sizeof(int)));
  for (const auto& [pid, counters] : state.counters) list->pids[list->count++] = pid;
  *processes = list;
  ++upm_fake::g_outstanding;
  return UP_OK;
}

void up_free_process_list(up_process_list* list) {
  if (list == nullptr) return;
  --upm_fake::g_outstanding;
  std::free(list->pids);
  std::free(list);
}

void up_free_string(char* text) {
  if (text == nullptr) return;
  --upm_fake::g_outstanding;
  std::free(text);
}

void up_free_string_list(up_string_list* list) {
  if (list == nullptr) return;
  --upm_fake::g_outstanding;
  for (size_t i = 0; i < list->count; ++i) std::free(list->items[i]);
  std::free(list->items);
  std::free(list);
}

void up_free_record(up_record* record) {
  if (record == nullptr) return;
  --upm_fake::g_outstanding;
  for (size_t i = 0; i < record->property_count; ++i) {
    up_property& property = record->properties[i];
    for (size_t j = 0; j < property.value_count; ++j) std::free(property.values[j].text);
    std::free(property.values);
    std::free(property.name);
  }
  std::free(record->properties);
  std::free(record);
}

void up_free_error(up_error* error) {
  if (error == nullptr) return;
  --upm_fake::g_outstanding;
  std::free(error->message);
  std::free(error);
}

}  // extern "C"
