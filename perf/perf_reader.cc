#include "perf/perf_reader.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string_view>

#include "perf/perf_object.h"
#include "perf/perf_segment.h"
#include "platform/shared_memory.h"

namespace perf {
namespace {

// More categories than any segment could sensibly register: a bound for
// the table-size arithmetic.
constexpr uint32_t kMaxCategories = 64;
constexpr char kMetricPrefix[] = "userpolicy_";

HRESULT Fail(HRESULT hr, std::string* error, std::string message) {
  *error = std::move(message);
  return hr;
}

// The text of a fixed field; false when it has no terminating NUL.
template <size_t N>
bool FieldText(const char (&field)[N], std::string* text) {
  const void* end = std::memchr(field, '\0', N);
  if (end == nullptr) return false;
  text->assign(field, static_cast<const char*>(end));
  return true;
}

bool IsMetricKey(std::string_view key) {
  if (key.empty() || key.front() < 'a' || key.front() > 'z') return false;
  return std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// True when [offset, offset + count * size) lies within `limit`.
bool RegionFits(uint64_t offset, uint64_t count, uint64_t size, uint64_t limit) {
  return offset <= limit && count * size <= limit - offset;
}

// Reads the names and layout of one category into *sample (values 0) and
// the checked offset of each counter into *offsets.
HRESULT ParseCategory(const CategoryRecord& record, CounterSample* sample,
                      std::vector<uint32_t>* offsets, std::string* error) {
  const uint32_t counter_count = LoadShared(&record.counter_count);
  const uint32_t object_size = LoadShared(&record.object_size);
  if (counter_count > kMaxCountersPerCategory) {
    return Fail(kSegmentInvalid, error,
                "category " + std::to_string(record.id) + " lists " +
                    std::to_string(counter_count) + " counters");
  }
  if (object_size < sizeof(CPerfObject) || object_size > kMaxObjectSize) {
    return Fail(kSegmentInvalid, error,
                "category " + std::to_string(record.id) + " has objects of " +
                    std::to_string(object_size) + " bytes");
  }
  if (!FieldText(record.name, &sample->category_name) ||
      !FieldText(record.help, &sample->category_help)) {
    return Fail(kSegmentInvalid, error, "a category name or help text is not terminated");
  }
  sample->category_id = record.id;
  sample->counters.clear();
  for (uint32_t i = 0; i < counter_count; ++i) {
    const CounterRecord& counter = record.counters[i];
    CounterValue value;
    const std::string where =
        "counter " + std::to_string(i) + " of category " + std::to_string(record.id);
    if (!FieldText(counter.key, &value.key) || !FieldText(counter.name, &value.name) ||
        !FieldText(counter.help, &value.help)) {
      return Fail(kSegmentInvalid, error, where + ": a text is not terminated");
    }
    if (!IsMetricKey(value.key)) {
      return Fail(kSegmentInvalid, error, where + ": bad key \"" + value.key + "\"");
    }
    const uint32_t type = LoadShared(&counter.type);
    if (type != static_cast<uint32_t>(CounterType::kCount) &&
        type != static_cast<uint32_t>(CounterType::kMilliseconds)) {
      return Fail(kSegmentInvalid, error, where + ": unknown type " + std::to_string(type));
    }
    value.type = static_cast<CounterType>(type);
    const uint32_t size = LoadShared(&counter.size);
    const uint32_t offset = LoadShared(&counter.offset);
    if (size != CounterSize(value.type) || offset < sizeof(CPerfObject) || offset % size != 0 ||
        !RegionFits(offset, 1, size, object_size)) {
      return Fail(kSegmentInvalid, error,
                  where + ": " + std::to_string(size) + " bytes at offset " +
                      std::to_string(offset) + " do not fit the object");
    }
    sample->counters.push_back(std::move(value));
    offsets->push_back(offset);
  }
  return S_OK;
}

// The counter values of a live object.
void ReadValues(const std::vector<uint32_t>& offsets, const unsigned char* object,
                CounterSample* sample) {
  for (size_t i = 0; i < sample->counters.size(); ++i) {
    const unsigned char* at = object + offsets[i];
    CounterValue& value = sample->counters[i];
    if (value.type == CounterType::kCount) {
      value.value = LoadShared(reinterpret_cast<const uint32_t*>(at));
    } else {
      value.value = LoadShared(reinterpret_cast<const int64_t*>(at));
    }
  }
}

std::string Title(const CounterSample& sample) {
  return "Process " + std::to_string(sample.pid) + ": " + sample.category_name + " (category " +
         std::to_string(sample.category_id) + ")\n";
}

size_t NameWidth(const CounterSample& sample) {
  size_t width = 0;
  for (const CounterValue& counter : sample.counters) width = std::max(width, counter.name.size());
  return width;
}

std::string PrometheusName(const CounterValue& counter) {
  return kMetricPrefix + counter.key +
         (counter.type == CounterType::kCount ? "_total" : "_milliseconds_total");
}

// HELP text escaping of the exposition format: backslash and line feed.
std::string EscapeHelp(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace

HRESULT ParseSegment(const void* data, size_t size, DWORD category_id, CounterSample* sample,
                     std::string* error) {
  *sample = CounterSample();
  error->clear();
  if (size < sizeof(SegmentHeader)) {
    return Fail(kSegmentInvalid, error, "the segment has only " + std::to_string(size) + " bytes");
  }
  const auto* base = static_cast<const unsigned char*>(data);
  const auto* header = static_cast<const SegmentHeader*>(data);
  const uint64_t magic = LoadShared(&header->magic);
  if (magic == 0) return Fail(kSegmentNotReady, error, "the segment is not set up yet");
  if (magic != kSegmentMagic) return Fail(kSegmentInvalid, error, "not a counter segment");
  if (header->version != kSegmentVersion) {
    return Fail(kSegmentInvalid, error,
                "layout version " + std::to_string(header->version) + ", this reader knows " +
                    std::to_string(kSegmentVersion));
  }
  if (header->header_size != sizeof(SegmentHeader) ||
      header->category_size != sizeof(CategoryRecord) || header->slot_size != sizeof(SlotRecord)) {
    return Fail(kSegmentInvalid, error, "unexpected record sizes");
  }
  if (header->segment_size > size) {
    return Fail(kSegmentInvalid, error,
                "the segment claims " + std::to_string(header->segment_size) + " bytes but has " +
                    std::to_string(size));
  }
  const uint64_t limit = header->segment_size;
  if (header->category_count > kMaxCategories || header->category_offset < sizeof(SegmentHeader) ||
      header->category_offset % alignof(CategoryRecord) != 0 ||
      !RegionFits(header->category_offset, header->category_count, sizeof(CategoryRecord), limit) ||
      header->slot_offset < sizeof(SegmentHeader) ||
      header->slot_offset % alignof(SlotRecord) != 0 ||
      !RegionFits(header->slot_offset, header->slot_count, sizeof(SlotRecord), limit)) {
    return Fail(kSegmentInvalid, error, "a table lies outside the segment");
  }
  sample->pid = header->owner_pid;

  const auto* categories = reinterpret_cast<const CategoryRecord*>(base + header->category_offset);
  const CategoryRecord* record = nullptr;
  for (uint32_t i = 0; i < header->category_count && record == nullptr; ++i) {
    if (categories[i].id == category_id) record = &categories[i];
  }
  if (record == nullptr) {
    return Fail(kCategoryNotPublished, error,
                "category " + std::to_string(category_id) + " is not registered");
  }
  std::vector<uint32_t> offsets;
  const HRESULT hr = ParseCategory(*record, sample, &offsets, error);
  if (FAILED(hr)) return hr;

  const auto* slots = reinterpret_cast<const SlotRecord*>(base + header->slot_offset);
  for (uint32_t i = 0; i < header->slot_count; ++i) {
    if (LoadShared(&slots[i].state) != kSlotInUse) continue;
    const unsigned char* object = slots[i].object;
    if (LoadShared(reinterpret_cast<const uint32_t*>(
            object + offsetof(CPerfObject, m_dwCategoryId))) != category_id) {
      continue;
    }
    ReadValues(offsets, object, sample);
    return S_OK;
  }
  return Fail(kCategoryNotPublished, error,
              "process " + std::to_string(sample->pid) + " has no object of category " +
                  std::to_string(category_id));
}

HRESULT ReadCountersFromSegment(const std::string& segment_name, DWORD category_id,
                                CounterSample* sample, std::string* error) {
  std::unique_ptr<platform::SharedMemory> segment;
  const HRESULT hr = platform::SharedMemory::OpenReadOnly(segment_name, &segment);
  if (hr == platform::kSharedMemoryNotFound) {
    return Fail(hr, error, "no counter segment \"" + segment_name + "\"");
  }
  if (hr == E_ACCESSDENIED) {
    return Fail(hr, error, "not allowed to read counter segment \"" + segment_name + "\"");
  }
  if (FAILED(hr)) {
    // An empty segment is one whose creator has not sized it yet.
    return Fail(kSegmentNotReady, error, "counter segment \"" + segment_name + "\" is not ready");
  }
  return ParseSegment(segment->data(), segment->size(), category_id, sample, error);
}

HRESULT ReadCounters(DWORD pid, DWORD category_id, CounterSample* sample, std::string* error) {
  const HRESULT hr =
      ReadCountersFromSegment(SegmentNameForProcess(pid), category_id, sample, error);
  if (hr == platform::kSharedMemoryNotFound) {
    *error = "process " + std::to_string(pid) + " publishes no counters";
  } else if (SUCCEEDED(hr) && sample->pid != pid) {
    return Fail(kSegmentInvalid, error,
                "the segment of process " + std::to_string(pid) + " names process " +
                    std::to_string(sample->pid));
  }
  return hr;
}

std::vector<DWORD> ListPublishingProcesses() {
  std::vector<DWORD> pids;
  for (const std::string& name : platform::SharedMemory::List(kSegmentNamePrefix)) {
    DWORD pid = 0;
    if (ProcessOfSegmentName(name, &pid)) pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

int RemoveStaleSegments() {
  int removed = 0;
  for (const DWORD pid : ListPublishingProcesses()) {
    if (platform::ProcessExists(pid)) continue;
    if (platform::SharedMemory::Remove(SegmentNameForProcess(pid)) == S_OK) ++removed;
  }
  return removed;
}

std::string FormatTable(const CounterSample& sample) {
  std::ostringstream out;
  out << Title(sample);
  const size_t width = NameWidth(sample);
  for (const CounterValue& counter : sample.counters) {
    out << "  " << std::left << std::setw(static_cast<int>(width)) << counter.name << "  "
        << std::right << std::setw(14) << counter.value << "\n";
  }
  return out.str();
}

std::string FormatWatch(const CounterSample& previous, const CounterSample& current,
                        double seconds) {
  std::ostringstream out;
  out << Title(current);
  const size_t width = NameWidth(current);
  out << "  " << std::left << std::setw(static_cast<int>(width)) << "counter"
      << "  " << std::right << std::setw(14) << "value"
      << "  " << std::setw(12) << "per second"
      << "\n";
  for (const CounterValue& counter : current.counters) {
    const auto before = std::find_if(previous.counters.begin(), previous.counters.end(),
                                     [&counter](const CounterValue& old) {
                                       return old.key == counter.key && old.type == counter.type;
                                     });
    std::string rate = "-";
    if (before != previous.counters.end() && seconds > 0) {
      const int64_t delta =
          counter.type == CounterType::kCount
              ? static_cast<int64_t>(static_cast<uint32_t>(counter.value - before->value))
              : counter.value - before->value;
      std::ostringstream text;
      text << std::fixed << std::setprecision(1) << static_cast<double>(delta) / seconds;
      rate = text.str();
    }
    out << "  " << std::left << std::setw(static_cast<int>(width)) << counter.name << "  "
        << std::right << std::setw(14) << counter.value << "  " << std::setw(12) << rate << "\n";
  }
  return out.str();
}

std::string FormatPrometheus(const CounterSample& sample) {
  std::ostringstream out;
  const std::string labels = "{pid=\"" + std::to_string(sample.pid) + "\"}";
  for (const CounterValue& counter : sample.counters) {
    const std::string name = PrometheusName(counter);
    out << "# HELP " << name << " " << EscapeHelp(counter.help) << "\n";
    out << "# TYPE " << name << " counter\n";
    out << name << labels << " " << counter.value << "\n";
  }
  return out.str();
}

}  // namespace perf
