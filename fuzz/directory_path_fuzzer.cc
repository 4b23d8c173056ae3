// Directory paths (platform/directory/directory_path.h): GC:// and LDAP://,
// host[:port] and [v6]:port, <GUID=...>, distinguished names with escapes.
//
// The input is the path, as UTF-8 with raw code units (fuzz/fuzz_text.h).
// Properties:
//  - Parse either returns or raises CDirectoryException kDirectoryInvalidPath
//    (nothing else, no crash);
//  - a parsed path is one the header allows: a host of DNS labels or an
//    IPv6 address, a port of 0 (default) or 1-65535, a DN only for
//    kDistinguishedName, with no "/" in it;
//  - the canonical text parses back to the same path, and is its own
//    canonical text;
//  - Server() is empty exactly when the host is, and names the effective
//    port.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_logging.h"
#include "fuzz/fuzz_text.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"

namespace {

using directory::DirectoryPath;
using fuzz::Printable;

bool SamePath(const DirectoryPath& a, const DirectoryPath& b) {
  return a.scheme == b.scheme && a.host == b.host && a.port == b.port && a.kind == b.kind && a.dn == b.dn &&
         (a.kind != DirectoryPath::Kind::kGuid || a.guid == b.guid);
}

// Parses `text`; false when it is refused as a malformed path.
bool TryParse(std::wstring_view text, DirectoryPath* path) {
  try {
    *path = DirectoryPath::Parse(text);
    return true;
  } catch (const CDirectoryException& e) {
    FUZZ_CHECK(e.GetErrorCode() == kDirectoryInvalidPath)
        << "code " << e.GetErrorCode() << " for " << Printable(text);
    return false;
  }
}

void CheckShape(const DirectoryPath& path, std::wstring_view text) {
  FUZZ_CHECK(path.port >= 0 && path.port <= 65535) << "port " << path.port << " from " << Printable(text);
  FUZZ_CHECK(path.port == 0 || !path.host.empty()) << "a port without a host from " << Printable(text);
  FUZZ_CHECK(path.host.size() <= 253) << "host of " << path.host.size() << " from " << Printable(text);
  for (wchar_t c : path.host) {
    const bool allowed = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                         c == L'-' || c == L'_' || c == L'.' || c == L':';
    FUZZ_CHECK(allowed) << "host " << Printable(path.host) << " from " << Printable(text);
  }
  FUZZ_CHECK((path.kind == DirectoryPath::Kind::kDistinguishedName) == !path.dn.empty())
      << "DN " << Printable(path.dn) << " of kind " << static_cast<int>(path.kind) << " from " << Printable(text);
  FUZZ_CHECK(path.dn.find_first_of(std::wstring_view(L"/\0", 2)) == std::wstring::npos)
      << "DN " << Printable(path.dn) << " from " << Printable(text);
}

void CheckServer(const DirectoryPath& path) {
  const std::wstring server = path.Server();
  FUZZ_CHECK(server.empty() == path.host.empty()) << Printable(server);
  if (server.empty()) return;
  const std::wstring port_suffix = L":" + std::to_wstring(path.EffectivePort());
  FUZZ_CHECK(server.size() > port_suffix.size() &&
             server.compare(server.size() - port_suffix.size(), port_suffix.size(), port_suffix) == 0)
      << Printable(server) << " does not end in the port " << path.EffectivePort();
  // The server name is a path authority of its own.
  DirectoryPath from_server;
  FUZZ_CHECK(TryParse(L"LDAP://" + server, &from_server) && from_server.host == path.host &&
             from_server.port == path.EffectivePort())
      << "server " << Printable(server) << " does not parse back";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LogToDevNull();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text = fuzz::WideText(std::string_view(reinterpret_cast<const char*>(data), size));
  DirectoryPath path;
  if (!TryParse(text, &path)) return 0;
  CheckShape(path, text);
  CheckServer(path);

  const std::wstring canonical = path.ToString();
  DirectoryPath reparsed;
  FUZZ_CHECK(TryParse(canonical, &reparsed)) << Printable(text) << " gave " << Printable(canonical);
  FUZZ_CHECK(SamePath(path, reparsed)) << Printable(text) << " gave " << Printable(canonical)
                                       << ", which parses to " << Printable(reparsed.ToString());
  FUZZ_CHECK(reparsed.ToString() == canonical) << Printable(canonical) << " vs " << Printable(reparsed.ToString());
  return 0;
}
