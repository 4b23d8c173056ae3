// The library's C++ results as the C types of capi/userpolicy.h: GUID lists
// as string lists, records as up_record with each value's variant type and
// its text, bytes and number (see up_value).
//
// Each function returns an owner of the whole result (capi/result_memory.h)
// and raises std::bad_alloc, or what the record's accessors raise, with
// nothing left allocated.
//
// Thread safety: each call reads only its arguments; a record must not be
// changed while it is converted (cached records never are).
#ifndef USERPOLICY_CAPI_RESULT_CONVERSION_H_
#define USERPOLICY_CAPI_RESULT_CONVERSION_H_

#include <vector>

#include "capi/result_memory.h"
#include "dsobject/ds_object_info.h"
#include "platform/com.h"

namespace capi {

// The strings of `texts`, in order, as UTF-8.
StringListOwner ToStringList(const std::vector<_bstr_t>& texts);

// Every property of `record` in order, every value of each.
RecordOwner ToRecord(CDSObjectInfo& record);

// Fills `*out` (zeroed) from `value`: vartype, text and, by type, bytes or
// integer. Values of types a directory record does not hold (floating
// point, dates, ...) get the text VariantChangeType gives them, or ""
// when it gives none.
void FillValue(const VARIANT& value, up_value* out);

}  // namespace capi

#endif  // USERPOLICY_CAPI_RESULT_CONVERSION_H_
