#include "manager/lookup_key.h"

#include <cwchar>

#include "platform/crt.h"

std::wstring_view NormaliseKey(const wchar_t* key, wchar_t (&buffer)[kKeyBufferLength]) {
  const size_t length = wcsnlen(key, kKeyBufferLength - 1);
  wmemcpy(buffer, key, length);
  buffer[length] = L'\0';
  _wcsupr(buffer);
  return std::wstring_view(buffer, length);
}

std::wstring NormaliseKey(const wchar_t* key) {
  wchar_t buffer[kKeyBufferLength];
  return std::wstring(NormaliseKey(key, buffer));
}

CStringW EscapeFilterValue(const wchar_t* key) {
  // Order matters: see the header.
  static constexpr struct {
    const wchar_t* from;
    const wchar_t* to;
  } kReplacements[] = {
      {L"\\", L"\\5C"}, {L"(", L"\\28"}, {L")", L"\\29"}, {L"*", L"\\2A"}, {L"/", L"\\2f"},
  };
  CStringW value(key);
  for (const auto& replacement : kReplacements) value.Replace(replacement.from, replacement.to);
  return value;
}

void EscapeSlashes(const wchar_t* text, size_t length, OS::x_wstring& out) {
  out = L"";
  if (text == nullptr) return;
  static constexpr wchar_t kEscapedSlash[] = L"\\2f";
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == L'/') {
      out += kEscapedSlash;
    } else {
      out += text[i];
    }
  }
}
