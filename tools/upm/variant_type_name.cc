#include "tools/upm/variant_type_name.h"

namespace upm {
namespace {

constexpr uint16_t kVtVector = 0x1000;
constexpr uint16_t kVtArray = 0x2000;
constexpr uint16_t kVtByRef = 0x4000;
constexpr uint16_t kTypeMask = 0x0fff;

const char* BaseTypeName(uint16_t type) {
  switch (type) {
    case 0: return "VT_EMPTY";
    case 1: return "VT_NULL";
    case 2: return "VT_I2";
    case 3: return "VT_I4";
    case 4: return "VT_R4";
    case 5: return "VT_R8";
    case 6: return "VT_CY";
    case 7: return "VT_DATE";
    case 8: return "VT_BSTR";
    case 9: return "VT_DISPATCH";
    case 10: return "VT_ERROR";
    case 11: return "VT_BOOL";
    case 12: return "VT_VARIANT";
    case 13: return "VT_UNKNOWN";
    case 14: return "VT_DECIMAL";
    case 16: return "VT_I1";
    case 17: return "VT_UI1";
    case 18: return "VT_UI2";
    case 19: return "VT_UI4";
    case 20: return "VT_I8";
    case 21: return "VT_UI8";
    case 22: return "VT_INT";
    case 23: return "VT_UINT";
    case 24: return "VT_VOID";
    case 25: return "VT_HRESULT";
    case 30: return "VT_LPSTR";
    case 31: return "VT_LPWSTR";
    default: return nullptr;
  }
}

}  // namespace

std::string VariantTypeName(uint16_t vartype) {
  std::string name;
  if (vartype & kVtVector) name += "VT_VECTOR|";
  if (vartype & kVtArray) name += "VT_ARRAY|";
  if (vartype & kVtByRef) name += "VT_BYREF|";
  const uint16_t base = vartype & kTypeMask;
  const char* base_name = BaseTypeName(base);
  name += base_name != nullptr ? std::string(base_name) : "VT_" + std::to_string(base);
  return name;
}

}  // namespace upm
