#include "manager/attribute_conversion.h"

#include <cstring>

#include "platform/directory.h"

namespace {

constexpr size_t kGuidBytesBufferSize = 256;
constexpr size_t kGuidBytes = 16;
constexpr unsigned long kGuidTextLength = 260;
constexpr unsigned long kSidTextLength = 512;

}  // namespace

std::optional<std::wstring> BindableGuidOf(_variant_t value) {
  BYTE bytes[kGuidBytesBufferSize];
  unsigned long size = kGuidBytesBufferSize;
  if (FAILED(CDirectoryHelper::VariantArrayToBytesWithBuffer(value, bytes, &size)) || size < kGuidBytes) {
    return std::nullopt;
  }
  GUID guid;
  std::memcpy(&guid, bytes, kGuidBytes);
  wchar_t text[kGuidTextLength] = {};
  if (FAILED(CDirectoryHelper::GUIDtoBindableString(&guid, text, kGuidTextLength))) return std::nullopt;
  return std::wstring(text);
}

std::optional<std::wstring> SidStringOf(_variant_t value) {
  wchar_t text[kSidTextLength] = {};
  if (FAILED(CDirectoryHelper::GetSIDStringFromVariant(value, text, kSidTextLength))) return std::nullopt;
  return std::wstring(text);
}
