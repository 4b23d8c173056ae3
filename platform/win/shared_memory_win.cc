// Named shared memory on Windows: pagefile-backed file mappings in the
// kernel's object namespace.
//
// A segment is created as "Global\<name>" (visible from every session, so
// that a reader in a user's session sees a service's counters; creating there
// needs SeCreateGlobalPrivilege, which services have) and, when that is not
// allowed, as "Local\<name>" (the creator's session). Readers look in the
// same two places, Global first. The mapping's security descriptor gives the
// creator's user and SYSTEM full access and the local users group read
// access only.
//
// The kernel removes a name when the last handle to it is closed. The
// creating process keeps its handle (in a table of this file) until
// Remove() names the segment or the process ends, which is when POSIX
// segments live too, except that a segment never outlives its creator here:
// there are no stale segments to clean up. Readers close their handle once
// the view is mapped.
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/ascii.h"
#include "platform/log.h"
#include "platform/module.h"
#include "platform/shared_memory.h"
#include "platform/utf8.h"

namespace platform {
namespace {

constexpr char kSource[] = "platform_SharedMemory";
constexpr size_t kMaxNameLength = 200;
constexpr wchar_t kGlobalNamespace[] = L"Global\\";
constexpr wchar_t kLocalNamespace[] = L"Local\\";
// The object directories those prefixes name, for listing.
constexpr wchar_t kGlobalDirectory[] = L"\\BaseNamedObjects";
constexpr wchar_t kSessionDirectoryFormat[] = L"\\Sessions\\%lu\\BaseNamedObjects";
constexpr wchar_t kSectionTypeName[] = L"Section";

bool IsValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..") return false;
  for (const char c : name) {
    const bool ok = IsAsciiAlphanumeric(c) || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::wstring KernelName(const wchar_t* name_space, const std::string& name) {
  return name_space + Utf8ToWide(name);
}

HRESULT FromWin32(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return kSharedMemoryNotFound;
    case ERROR_ACCESS_DENIED: return E_ACCESSDENIED;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
    case ERROR_DISK_FULL: return E_OUTOFMEMORY;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER: return E_INVALIDARG;
    default: return E_FAIL;
  }
}

// Logs a failed system call on `name` and returns its HRESULT.
HRESULT LogFailure(const char* call, const std::wstring& name, DWORD error) {
  DBG::DebugLogEx(CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__, L"%S(%s) failed: error %lu", call,
                  name.c_str(), static_cast<unsigned long>(error));
  return FromWin32(error);
}

// The handles of the segments this process created, by portable name, held
// until Remove() or the end of the process.
class CreatedSegments {
 public:
  static CreatedSegments& Get() {
    static CreatedSegments* const segments = new CreatedSegments;  // never destroyed: used until exit
    return *segments;
  }
  void Add(const std::string& name, HANDLE handle) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto [it, added] = handles_.emplace(name, handle);
    if (!added) {
      CloseHandle(it->second);
      it->second = handle;
    }
  }
  // Closes the handle of `name`; false when this process holds none.
  bool Close(const std::string& name) {
    HANDLE handle = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const auto it = handles_.find(name);
      if (it == handles_.end()) return false;
      handle = it->second;
      handles_.erase(it);
    }
    CloseHandle(handle);
    return true;
  }

 private:
  std::mutex mu_;
  std::map<std::string, HANDLE> handles_;
};

// The security descriptor of a new segment: full access for SYSTEM and the
// creator's user, read access for the local users group. Owns its memory.
class SegmentSecurity {
 public:
  SegmentSecurity() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    wchar_t* user_sid = nullptr;
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &user_sid)) {
      const std::wstring sddl =
          std::wstring(L"D:P(A;;GA;;;SY)(A;;GA;;;") + user_sid + L")(A;;GR;;;BU)";
      ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr);
      LocalFree(user_sid);
    }
    CloseHandle(token);
  }
  ~SegmentSecurity() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
  }
  SegmentSecurity(const SegmentSecurity&) = delete;
  SegmentSecurity& operator=(const SegmentSecurity&) = delete;

  bool ok() const { return descriptor_ != nullptr; }
  SECURITY_ATTRIBUTES* attributes() {
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
    return &attributes_;
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

// Creates a mapping of `size` bytes named `kernel_name`; null with
// *error set on failure (ERROR_ALREADY_EXISTS when the name is taken).
HANDLE CreateMapping(const std::wstring& kernel_name, size_t size, SECURITY_ATTRIBUTES* security, DWORD* error) {
  const auto size64 = static_cast<ULONGLONG>(size);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, security, PAGE_READWRITE | SEC_COMMIT,
                                      static_cast<DWORD>(size64 >> 32), static_cast<DWORD>(size64 & 0xFFFFFFFFu),
                                      kernel_name.c_str());
  *error = GetLastError();
  if (mapping != nullptr && *error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mapping);
    return nullptr;
  }
  return mapping;
}

// The NT object-directory calls that list a namespace. Not in the SDK's
// user-mode headers; ntdll exports them on every Windows version (and wine).
struct UnicodeString {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
struct ObjectAttributes {
  ULONG Length;
  HANDLE RootDirectory;
  UnicodeString* ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
struct DirectoryEntry {
  UnicodeString Name;
  UnicodeString TypeName;
};
using NtOpenDirectoryObjectFunction = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, ObjectAttributes*);
using NtQueryDirectoryObjectFunction = LONG(WINAPI*)(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, ULONG*, ULONG*);
constexpr ACCESS_MASK kDirectoryQuery = 0x0001;
constexpr LONG kStatusSuccess = 0;
// Room for one entry: two names of at most 32767 characters.
constexpr ULONG kListBufferSize = 2 * sizeof(DirectoryEntry) + 4 * 32768;

template <typename Function>
Function NtFunction(const char* name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr ? nullptr : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

// Appends the names of the sections in object directory `path` that start
// with `prefix` and are valid segment names.
void ListDirectory(const std::wstring& path, const std::string& prefix, std::vector<std::string>* names) {
  static const auto open_directory = NtFunction<NtOpenDirectoryObjectFunction>("NtOpenDirectoryObject");
  static const auto query_directory = NtFunction<NtQueryDirectoryObjectFunction>("NtQueryDirectoryObject");
  if (open_directory == nullptr || query_directory == nullptr) return;
  std::wstring path_copy = path;
  UnicodeString name{static_cast<USHORT>(path_copy.size() * sizeof(wchar_t)),
                     static_cast<USHORT>(path_copy.size() * sizeof(wchar_t)), path_copy.data()};
  ObjectAttributes attributes{sizeof(ObjectAttributes), nullptr, &name, 0, nullptr, nullptr};
  HANDLE directory = nullptr;
  if (open_directory(&directory, kDirectoryQuery, &attributes) != kStatusSuccess) return;
  // One entry per call: wine answers nothing else, and a directory of
  // named objects is small.
  std::string buffer(kListBufferSize, '\0');
  ULONG context = 0;
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    ULONG returned = 0;
    const LONG status = query_directory(directory, buffer.data(), kListBufferSize, /*ReturnSingleEntry=*/TRUE,
                                        restart, &context, &returned);
    if (status != kStatusSuccess) break;
    const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer.data());
    const std::wstring_view type(entry->TypeName.Buffer, entry->TypeName.Length / sizeof(wchar_t));
    if (type != kSectionTypeName) continue;
    const std::string entry_name =
        WideToUtf8(std::wstring_view(entry->Name.Buffer, entry->Name.Length / sizeof(wchar_t)));
    if (entry_name.starts_with(prefix) && IsValidName(entry_name)) names->push_back(entry_name);
  }
  CloseHandle(directory);
}

}  // namespace

SharedMemory::SharedMemory(std::string name, void* data, size_t size, bool writable)
    : name_(std::move(name)), data_(data), size_(size), writable_(writable) {}

SharedMemory::~SharedMemory() {
  if (!keep_mapped_) UnmapViewOfFile(data_);
}

HRESULT SharedMemory::Create(const std::string& name, size_t size, std::unique_ptr<SharedMemory>* segment) {
  segment->reset();
  if (!IsValidName(name) || size == 0) return E_INVALIDARG;
  // An earlier segment of this process under the same name is replaced.
  CreatedSegments::Get().Close(name);

  SegmentSecurity security;
  if (!security.ok()) return LogFailure("ConvertStringSecurityDescriptorToSecurityDescriptorW", L"", GetLastError());
  std::wstring kernel_name = KernelName(kGlobalNamespace, name);
  DWORD error = ERROR_SUCCESS;
  HANDLE mapping = CreateMapping(kernel_name, size, security.attributes(), &error);
  if (mapping == nullptr && error == ERROR_ACCESS_DENIED) {
    kernel_name = KernelName(kLocalNamespace, name);
    mapping = CreateMapping(kernel_name, size, security.attributes(), &error);
  }
  if (mapping == nullptr) {
    // Taken: another process holds a segment of that name open.
    if (error == ERROR_ALREADY_EXISTS) error = ERROR_ACCESS_DENIED;
    return LogFailure("CreateFileMappingW", kernel_name, error);
  }
  void* data = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
  if (data == nullptr) {
    const DWORD map_error = GetLastError();
    CloseHandle(mapping);
    return LogFailure("MapViewOfFile", kernel_name, map_error);
  }
  CreatedSegments::Get().Add(name, mapping);
  segment->reset(new SharedMemory(name, data, size, /*writable=*/true));
  return S_OK;
}

HRESULT SharedMemory::OpenReadOnly(const std::string& name, std::unique_ptr<SharedMemory>* segment) {
  segment->reset();
  if (!IsValidName(name)) return E_INVALIDARG;
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, KernelName(kGlobalNamespace, name).c_str());
  if (mapping == nullptr) mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, KernelName(kLocalNamespace, name).c_str());
  if (mapping == nullptr) return FromWin32(GetLastError());
  void* data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  const DWORD error = GetLastError();
  CloseHandle(mapping);  // the view keeps the mapping
  if (data == nullptr) return FromWin32(error);
  // The view's size: the segment's, rounded up to whole pages.
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(data, &region, sizeof(region)) == 0) {
    UnmapViewOfFile(data);
    return E_FAIL;
  }
  segment->reset(new SharedMemory(name, data, region.RegionSize, /*writable=*/false));
  return S_OK;
}

HRESULT SharedMemory::Remove(const std::string& name) {
  if (!IsValidName(name)) return E_INVALIDARG;
  if (CreatedSegments::Get().Close(name)) return S_OK;
  // Another process's segment lives as long as that process holds it.
  std::unique_ptr<SharedMemory> other;
  const HRESULT hr = OpenReadOnly(name, &other);
  if (hr == kSharedMemoryNotFound) return S_FALSE;
  return SUCCEEDED(hr) ? E_ACCESSDENIED : hr;
}

std::vector<std::string> SharedMemory::List(const std::string& prefix) {
  std::vector<std::string> names;
  ListDirectory(kGlobalDirectory, prefix, &names);
  DWORD session = 0;
  if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
    wchar_t path[64];
    _snwprintf(path, sizeof(path) / sizeof(path[0]), kSessionDirectoryFormat, static_cast<unsigned long>(session));
    path[sizeof(path) / sizeof(path[0]) - 1] = L'\0';
    ListDirectory(path, prefix, &names);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

DWORD CurrentProcessId() { return GetCurrentProcessId(); }

bool ProcessExists(DWORD pid) {
  if (pid == 0) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD exit_code = 0;
  const bool running = GetExitCodeProcess(process, &exit_code) && exit_code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

}  // namespace platform
