#include "tools/upm/userpolicy_library.h"

#include <memory>

namespace upm {
namespace {

struct ErrorFree {
  void operator()(up_error* error) const { up_free_error(error); }
};
struct StringFree {
  void operator()(char* text) const { up_free_string(text); }
};
struct StringListFree {
  void operator()(up_string_list* list) const { up_free_string_list(list); }
};
struct RecordFree {
  void operator()(up_record* record) const { up_free_record(record); }
};
struct ProcessListFree {
  void operator()(up_process_list* list) const { up_free_process_list(list); }
};
using ErrorPtr = std::unique_ptr<up_error, ErrorFree>;
using StringPtr = std::unique_ptr<char, StringFree>;
using StringListPtr = std::unique_ptr<up_string_list, StringListFree>;
using RecordPtr = std::unique_ptr<up_record, RecordFree>;
using ProcessListPtr = std::unique_ptr<up_process_list, ProcessListFree>;

// Takes ownership of what a call left in `raw` and reports it in *error.
// A failure without an up_error still gets a message naming its status.
void Report(int status, up_error* raw, CallError* error) {
  ErrorPtr owned(raw);
  if (status == UP_OK || error == nullptr) return;
  error->status = status;
  error->code = owned != nullptr ? owned->code : 0;
  error->message = owned != nullptr && owned->message != nullptr ? owned->message : "";
  if (error->message.empty()) error->message = StatusName(status);
}

std::string Text(const char* text) { return text != nullptr ? text : ""; }

std::vector<std::string> Strings(const up_string_list* list) {
  std::vector<std::string> strings;
  if (list == nullptr) return strings;
  strings.reserve(list->count);
  for (size_t i = 0; i < list->count; ++i) strings.push_back(Text(list->items[i]));
  return strings;
}

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// What up_start and up_discover_with_options take; points into `options`.
up_options RawOptions(const LibraryOptions& options) {
  up_options raw = {};
  raw.settings_file = OrNull(options.settings_file);
  raw.server = OrNull(options.server);
  raw.log_level = OrNull(options.log_level);
  raw.log_file = OrNull(options.log_file);
  return raw;
}

// What up_start_with_bind and up_discover_with_bind take; points into
// `options`.
up_bind_options RawBindOptions(const LibraryOptions& options) {
  up_bind_options bind = {};
  bind.method = OrNull(options.bind_method);
  bind.keytab = OrNull(options.keytab);
  bind.principal = OrNull(options.principal);
  return bind;
}

bool BindsOtherwise(const up_bind_options& bind) {
  return bind.method != nullptr || bind.keytab != nullptr || bind.principal != nullptr;
}

}  // namespace

const Property* Record::Find(const std::string& name) const {
  for (const Property& property : properties) {
    if (EqualsIgnoringAsciiCase(property.name, name)) return &property;
  }
  return nullptr;
}

const Value* Record::First(const std::string& name) const {
  const Property* property = Find(name);
  return property != nullptr && !property->values.empty() ? &property->values.front() : nullptr;
}

int StartLibrary(const LibraryOptions& options, CallError* error) {
  const up_options raw = RawOptions(options);
  const up_bind_options bind = RawBindOptions(options);
  up_error* failure = nullptr;
  const int status = BindsOtherwise(bind) ? up_start_with_bind(&raw, &bind, &failure) : up_start(&raw, &failure);
  Report(status, failure, error);
  return status;
}

int StopLibrary(CallError* error) {
  up_error* failure = nullptr;
  const int status = up_stop(&failure);
  Report(status, failure, error);
  return status;
}

int GetGuids(const std::string& sip, std::vector<std::string>* guids, CallError* error) {
  up_string_list* raw = nullptr;
  up_error* failure = nullptr;
  const int status = up_get_guids(sip.c_str(), &raw, &failure);
  StringListPtr list(raw);
  Report(status, failure, error);
  if (status == UP_OK) *guids = Strings(list.get());
  return status;
}

int GetEmail(const std::string& sip, std::string* email, CallError* error) {
  char* raw = nullptr;
  up_error* failure = nullptr;
  const int status = up_get_email(sip.c_str(), &raw, &failure);
  StringPtr text(raw);
  Report(status, failure, error);
  if (status == UP_OK) *email = Text(text.get());
  return status;
}

int GetRecord(up_manager manager, const std::string& key, Record* record, bool* from_directory, CallError* error) {
  up_record* raw = nullptr;
  int fetched = 0;
  up_error* failure = nullptr;
  const int status = up_get_record(manager, key.c_str(), &raw, &fetched, &failure);
  RecordPtr owned(raw);
  Report(status, failure, error);
  if (status != UP_OK) return status;
  record->properties.clear();
  if (owned != nullptr) {
    record->properties.reserve(owned->property_count);
    for (size_t i = 0; i < owned->property_count; ++i) {
      const up_property& source = owned->properties[i];
      Property property;
      property.name = Text(source.name);
      property.values.reserve(source.value_count);
      for (size_t j = 0; j < source.value_count; ++j) {
        const up_value& value = source.values[j];
        property.values.push_back(Value{value.vartype, Text(value.text), value.integer});
      }
      record->properties.push_back(std::move(property));
    }
  }
  if (from_directory != nullptr) *from_directory = fetched != 0;
  return status;
}

int PrimaryGroupKey(const std::string& user_sid, int32_t primary_group_id, std::string* key, CallError* error) {
  char* raw = nullptr;
  up_error* failure = nullptr;
  const int status = up_primary_group_key(user_sid.c_str(), primary_group_id, &raw, &failure);
  StringPtr text(raw);
  Report(status, failure, error);
  if (status == UP_OK) *key = Text(text.get());
  return status;
}

int Discover(const LibraryOptions& options, std::optional<std::string>* gc_path, std::vector<std::string>* steps,
             CallError* error) {
  const up_options raw = RawOptions(options);
  const up_bind_options bind = RawBindOptions(options);
  char* raw_path = nullptr;
  up_string_list* raw_steps = nullptr;
  up_error* failure = nullptr;
  const int status = BindsOtherwise(bind) ? up_discover_with_bind(&raw, &bind, &raw_path, &raw_steps, &failure)
                                          : up_discover_with_options(&raw, &raw_path, &raw_steps, &failure);
  StringPtr path(raw_path);
  StringListPtr list(raw_steps);
  Report(status, failure, error);
  *steps = Strings(list.get());
  if (path != nullptr) {
    *gc_path = Text(path.get());
  } else {
    gc_path->reset();
  }
  return status;
}

int GetCounters(int pid, up_counters* counters, CallError* error) {
  up_counters values = {};
  up_error* failure = nullptr;
  const int status = up_get_counters(pid, &values, &failure);
  Report(status, failure, error);
  if (status == UP_OK) *counters = values;
  return status;
}

int ListCounterProcesses(std::vector<int>* pids, CallError* error) {
  up_process_list* raw = nullptr;
  up_error* failure = nullptr;
  const int status = up_list_counter_processes(&raw, &failure);
  ProcessListPtr list(raw);
  Report(status, failure, error);
  if (status != UP_OK) return status;
  pids->clear();
  if (list != nullptr) pids->assign(list->pids, list->pids + list->count);
  return status;
}

std::vector<CounterInfo> CounterInfos() {
  std::vector<CounterInfo> infos;
  const size_t count = up_counter_count();
  infos.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const up_counter_info* info = up_counter_info_at(i);
    if (info == nullptr) break;
    infos.push_back(CounterInfo{Text(info->field), Text(info->key), Text(info->name), Text(info->help),
                                info->milliseconds != 0});
  }
  return infos;
}

int64_t CounterValue(const up_counters& counters, size_t index) { return up_counter_value(&counters, index); }

std::string StatusName(int status) { return Text(up_status_name(status)); }

std::string LibraryVersion() { return Text(up_version()); }

LibrarySession::~LibrarySession() {
  if (started_) StopLibrary(nullptr);
}

int LibrarySession::Start(const LibraryOptions& options, CallError* error) {
  const int status = StartLibrary(options, error);
  started_ = status == UP_OK;
  return status;
}

}  // namespace upm
