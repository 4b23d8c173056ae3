// Where the settings file lives when nothing names another, on Windows: in
// the machine's program-data folder, where a service keeps its settings.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <string>

#include "platform/settings.h"

namespace {

constexpr char kFallbackFolder[] = "C:\\ProgramData";
constexpr char kRelativePath[] = "\\userpolicy\\settings.toml";

// `text` in the ANSI code page, as the narrow file functions read paths.
std::string ToAnsi(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.pop_back();  // the terminator
  return out;
}

}  // namespace

std::string DefaultSettingsPath() {
  wchar_t* folder = nullptr;
  std::string path;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder))) path = ToAnsi(folder);
  CoTaskMemFree(folder);
  if (path.empty()) path = kFallbackFolder;
  return path + kRelativePath;
}
