// Which VARTYPEs the non-Windows VARIANT and SAFEARRAY implementation
// supports, shared by variant_posix.cc and safearray_posix.cc. Internal to
// platform/posix.
#ifndef USERPOLICY_PLATFORM_POSIX_VARTYPE_POSIX_H_
#define USERPOLICY_PLATFORM_POSIX_VARTYPE_POSIX_H_

#include <cstddef>

#include "platform/posix/com_posix.h"

namespace platform {
namespace com_internal {

// Bytes a value of type `vt` occupies as an array element or behind
// VT_BYREF; 0 if `vt` is not such a type here (VT_EMPTY and VT_NULL hold no
// value and give 0).
inline size_t ValueSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

// True for a type a VARIANT may hold directly (no VT_ARRAY/VT_BYREF bit).
inline bool IsScalarType(VARTYPE vt) {
  return vt == VT_EMPTY || vt == VT_NULL || (vt != VT_VARIANT && ValueSize(vt) != 0);
}

// True for every `vt` a VARIANT may carry here.
inline bool IsSupportedVariantType(VARTYPE vt) {
  const VARTYPE base = vt & VT_TYPEMASK;
  switch (vt & ~VT_TYPEMASK) {
    case 0:
      return IsScalarType(base);
    case VT_ARRAY:
    case VT_BYREF:
    case VT_BYREF | VT_ARRAY:
      return ValueSize(base) != 0;
    default:
      return false;
  }
}

}  // namespace com_internal
}  // namespace platform

#endif  // USERPOLICY_PLATFORM_POSIX_VARTYPE_POSIX_H_
