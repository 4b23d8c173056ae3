// Private files on Windows: the account's local application data folder,
// whose access rules already keep other accounts out; replaced by
// MoveFileExW with MOVEFILE_REPLACE_EXISTING.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <string>

#include "platform/private_file.h"
#include "platform/utf8.h"

namespace platform {
namespace {

constexpr char kFolderName[] = "\\userpolicy";

// Closes a handle when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

std::wstring Wide(const std::string& utf8) { return Utf8ToWide(utf8); }

std::string Describe(const char* step, const std::string& path) {
  return std::string(step) + " " + path + ": error " + std::to_string(GetLastError());
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Creates every missing folder of `folder`.
bool MakeFolders(const std::wstring& folder, const std::string& utf8, std::string* error) {
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i < folder.size() && !IsSeparator(folder[i])) continue;
    const std::wstring prefix = folder.substr(0, i);
    if (prefix.size() == 2 && prefix[1] == L':') continue;  // a drive, "C:"
    if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = Describe("cannot create the folders of", utf8);
      return false;
    }
  }
  return true;
}

}  // namespace

std::string UserCacheFile(std::string_view name) {
  wchar_t* folder = nullptr;
  std::string path;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder)) && folder != nullptr) {
    path = WideToUtf8(folder);
  }
  CoTaskMemFree(folder);
  return path.empty() ? path : path + kFolderName + "\\" + std::string(name);
}

bool ReadPrivateFile(const std::string& path, size_t max_bytes, std::string* contents) {
  contents->clear();
  const Handle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > max_bytes) {
    return false;
  }
  std::string text(static_cast<size_t>(size.QuadPart), '\0');
  size_t done = 0;
  while (done < text.size()) {
    DWORD got = 0;
    if (!ReadFile(file.get(), text.data() + done, static_cast<DWORD>(text.size() - done), &got, nullptr) || got == 0) {
      return false;
    }
    done += got;
  }
  *contents = std::move(text);
  return true;
}

bool ReplacePrivateFile(const std::string& path, std::string_view contents, std::string* error) {
  const std::wstring wide = Wide(path);
  const size_t slash = wide.find_last_of(L"\\/");
  if (slash != std::wstring::npos && slash > 0 && !MakeFolders(wide.substr(0, slash), path, error)) return false;
  const std::wstring temporary = wide + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                                 std::to_wstring(GetCurrentThreadId()) + L".tmp";
  bool written = false;
  {
    const Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
      *error = Describe("cannot create a file beside", path);
      return false;
    }
    DWORD wrote = 0;
    written = WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &wrote, nullptr) &&
              wrote == contents.size();
    if (!written) *error = Describe("cannot write a file beside", path);
  }
  if (!written) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  if (!MoveFileExW(temporary.c_str(), wide.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = Describe("cannot replace", path);
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
