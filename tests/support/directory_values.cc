#include "tests/support/directory_values.h"

#include "platform/utf8.h"

namespace userpolicy::testing {
namespace {

std::string Hex(const unsigned char* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < count; ++i) {
    hex.push_back(kDigits[bytes[i] >> 4]);
    hex.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return hex;
}

}  // namespace

std::string DescribeValue(const _variant_t& v) {
  if (v.vt == VT_I4) return "I4:" + std::to_string(v.lVal);
  if (v.vt == VT_I8) return "I8:" + std::to_string(v.llVal);
  if (v.vt == VT_BOOL) return v.boolVal == VARIANT_TRUE ? "BOOL:TRUE" : "BOOL:FALSE";
  if (v.vt == VT_BSTR) return "BSTR:" + platform::WideToUtf8(std::wstring(v.bstrVal, SysStringLen(v.bstrVal)));
  if (v.vt != (VT_ARRAY | VT_UI1)) return "VT:" + std::to_string(v.vt);
  return "BYTES:" + Hex(static_cast<const unsigned char*>(v.parray->pvData), v.parray->rgsabound[0].cElements);
}

std::vector<std::string> DumpValues(const directory::DirectoryObject& object) {
  std::vector<std::string> lines;
  for (const directory::DirectoryAttribute& attribute : object.attributes) {
    for (const _variant_t& value : attribute.values) {
      lines.push_back(platform::WideToUtf8(attribute.name) + " " + DescribeValue(value));
    }
  }
  return lines;
}

std::wstring ContextOf(const CDirectoryException& error, const wchar_t* name) {
  const std::wstring* value = error.FindContext(name);
  return value != nullptr ? *value : L"<none>";
}

}  // namespace userpolicy::testing
