// The names of VARIANT types, as `upm object` shows each value's type.
#ifndef USERPOLICY_TOOLS_UPM_VARIANT_TYPE_NAME_H_
#define USERPOLICY_TOOLS_UPM_VARIANT_TYPE_NAME_H_

#include <cstdint>
#include <string>

namespace upm {

// "VT_BSTR" for 8, "VT_I4" for 3, "VT_ARRAY|VT_UI1" for 8209; the flags
// VT_VECTOR, VT_ARRAY and VT_BYREF are written before the base type. A base
// type without a name is written as a number: "VT_ARRAY|VT_99".
std::string VariantTypeName(uint16_t vartype);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_VARIANT_TYPE_NAME_H_
