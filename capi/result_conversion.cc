#include "capi/result_conversion.h"

#include <cstring>
#include <string>

#include "platform/directory.h"
#include "platform/utf8.h"

namespace capi {
namespace {

constexpr char kTrue[] = "TRUE";
constexpr char kFalse[] = "FALSE";
constexpr char kHexDigits[] = "0123456789abcdef";

char* CopyWide(const wchar_t* text, size_t length) {
  if (text == nullptr) return CopyString("");
  return CopyString(platform::WideToUtf8(std::wstring_view(text, length)));
}

void FillInteger(int64_t number, up_value* out) {
  out->integer = number;
  out->text = CopyString(std::to_string(number));
}

void FillBytes(const VARIANT& value, up_value* out) {
  VARIANT& source = const_cast<VARIANT&>(value);  // read only; the helper's signature is not const
  unsigned long size = 0;
  HRESULT hr = CDirectoryHelper::VariantArrayToBytesWithBuffer(source, nullptr, &size);
  if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)) {
    out->text = CopyString("");
    return;
  }
  out->bytes = static_cast<unsigned char*>(AllocateZeroed(size, 1));
  if (size > 0 && FAILED(CDirectoryHelper::VariantArrayToBytesWithBuffer(source, out->bytes, &size))) size = 0;
  out->byte_count = size;
  out->text = static_cast<char*>(AllocateZeroed(2 * size + 1, 1));
  for (size_t i = 0; i < size; ++i) {
    out->text[2 * i] = kHexDigits[out->bytes[i] >> 4];
    out->text[2 * i + 1] = kHexDigits[out->bytes[i] & 0x0f];
  }
}

// The text VariantChangeType gives, or "".
void FillOther(const VARIANT& value, up_value* out) {
  _variant_t text;
  // The source is only read; some SDKs (mingw-w64's) declare it non-const.
  if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR)) && text.vt == VT_BSTR) {
    out->text = CopyWide(text.bstrVal, text.bstrVal != nullptr ? SysStringLen(text.bstrVal) : 0);
  } else {
    out->text = CopyString("");
  }
}

}  // namespace

StringListOwner ToStringList(const std::vector<_bstr_t>& texts) {
  StringListOwner list = NewStringList(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    const wchar_t* text = static_cast<const wchar_t*>(texts[i]);
    list->items[i] = CopyWide(text, texts[i].length());
  }
  return list;
}

void FillValue(const VARIANT& value, up_value* out) {
  out->vartype = value.vt;
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      out->text = CopyString("");
      break;
    case VT_BSTR:
      out->text = CopyWide(value.bstrVal, value.bstrVal != nullptr ? SysStringLen(value.bstrVal) : 0);
      break;
    case VT_BOOL:
      out->integer = value.boolVal != VARIANT_FALSE ? 1 : 0;
      out->text = CopyString(out->integer != 0 ? kTrue : kFalse);
      break;
    case VT_I1: FillInteger(value.cVal, out); break;
    case VT_UI1: FillInteger(value.bVal, out); break;
    case VT_I2: FillInteger(value.iVal, out); break;
    case VT_UI2: FillInteger(value.uiVal, out); break;
    case VT_I4: FillInteger(value.lVal, out); break;
    case VT_UI4: FillInteger(value.ulVal, out); break;
    case VT_INT: FillInteger(value.intVal, out); break;
    case VT_UINT: FillInteger(value.uintVal, out); break;
    case VT_I8: FillInteger(value.llVal, out); break;
    case VT_UI8:
      // Above INT64_MAX the number wraps; the text stays exact.
      out->integer = static_cast<int64_t>(value.ullVal);
      out->text = CopyString(std::to_string(value.ullVal));
      break;
    case VT_ARRAY | VT_UI1:
      FillBytes(value, out);
      break;
    default:
      FillOther(value, out);
      break;
  }
}

RecordOwner ToRecord(CDSObjectInfo& record) {
  RecordOwner result(static_cast<up_record*>(AllocateZeroed(1, sizeof(up_record))));
  const int property_count = record.GetPropertyCount();
  if (property_count <= 0) return result;
  result->properties =
      static_cast<up_property*>(AllocateZeroed(static_cast<size_t>(property_count), sizeof(up_property)));
  result->property_count = static_cast<size_t>(property_count);
  for (int p = 0; p < property_count; ++p) {
    CDSObjectProperty property = record.GetProperty(p);
    up_property& out = result->properties[p];
    const wchar_t* name = property.GetName();
    out.name = CopyWide(name, name != nullptr ? std::wcslen(name) : 0);
    const int value_count = property.GetValueCount();
    if (value_count <= 0) continue;
    out.values = static_cast<up_value*>(AllocateZeroed(static_cast<size_t>(value_count), sizeof(up_value)));
    out.value_count = static_cast<size_t>(value_count);
    for (int v = 0; v < value_count; ++v) FillValue(property.GetValue(v), &out.values[v]);
  }
  return result;
}

}  // namespace capi
