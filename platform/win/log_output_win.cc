// Log destinations on Windows: the standard error handle, a file opened for
// appending, and the debugger's output (the destination the log calls
// "syslog": what a service's developer watches with a debugger or DebugView).
#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/log_output.h"
#include "platform/utf8.h"

namespace platform {
namespace {

// Windows error `error` as one line of text (no trailing line break).
std::string SystemErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
      reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring text = length > 0 ? std::wstring(buffer, length) : L"error " + std::to_wstring(error);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return WideToUtf8(text);
}

// Writes each line with one WriteFile call; a file opened with
// FILE_APPEND_DATA only receives every such write whole at its end, so lines
// of concurrent writers (also of other processes) never interleave.
class HandleOutput final : public LogOutput {
 public:
  // Takes ownership of `handle` when `owned`.
  HandleOutput(HANDLE handle, bool owned) : handle_(handle), owned_(owned) {}
  ~HandleOutput() override {
    if (owned_) CloseHandle(handle_);
  }
  HandleOutput(const HandleOutput&) = delete;
  HandleOutput& operator=(const HandleOutput&) = delete;

  void Write(const LogLine& line) override {
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) return;  // a service has no stderr
    std::string_view text = line.text;
    while (!text.empty()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size(), MAXDWORD));
      if (!WriteFile(handle_, text.data(), chunk, &written, nullptr) || written == 0) return;
      text.remove_prefix(written);
    }
  }

 private:
  const HANDLE handle_;
  const bool owned_;
};

class DebuggerOutput final : public LogOutput {
 public:
  void Write(const LogLine& line) override {
    // The debugger stamps nothing: the line keeps its time.
    OutputDebugStringW(Utf8ToWide(line.text).c_str());
  }
};

}  // namespace

std::unique_ptr<LogOutput> LogOutput::OpenStderr() {
  return std::make_unique<HandleOutput>(GetStdHandle(STD_ERROR_HANDLE), /*owned=*/false);
}

std::unique_ptr<LogOutput> LogOutput::Open(const DBG::LogOptions& options, std::string* error) {
  switch (options.destination) {
    case DBG::Destination::kStderr:
      return OpenStderr();
    case DBG::Destination::kSyslog:
      return std::make_unique<DebuggerOutput>();
    case DBG::Destination::kFile: {
      if (options.file_path.empty()) {
        *error = "no log file path given";
        return nullptr;
      }
      // A narrow path is in the ANSI code page, as the C runtime's fopen
      // reads the module's other paths.
      const HANDLE file = CreateFileA(options.file_path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot open log file " + options.file_path + ": " + SystemErrorText(GetLastError());
        return nullptr;
      }
      return std::make_unique<HandleOutput>(file, /*owned=*/true);
    }
  }
  *error = "unknown log destination";
  return nullptr;
}

}  // namespace platform
