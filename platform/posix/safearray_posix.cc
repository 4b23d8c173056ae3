// SAFEARRAY. The descriptor is allocated with 16 spare bytes in front, as on
// Windows; the element VARTYPE is kept in the last 4 of them
// (FADF_HAVEVARTYPE). The data block is a separate zero-filled allocation.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/com.h"
#include "platform/posix/vartype_posix.h"

namespace {

using platform::com_internal::ValueSize;

// Bytes reserved in front of the descriptor.
constexpr size_t kHiddenBytes = 16;
// The element type occupies the 4 bytes right before the descriptor.
constexpr size_t kVartypeBytes = sizeof(DWORD);
// Windows refuses more simultaneous locks than this.
constexpr ULONG kMaxLocks = 0xFFFF;
// Largest dimension count a USHORT cDims can describe.
constexpr UINT kMaxDims = 0xFFFF;
// Features that describe storage of the original, not of a copy.
constexpr USHORT kStorageFeatures = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;

// rgsabound holds cDims entries; index through a pointer, not the [1] array.
SAFEARRAYBOUND* Bounds(SAFEARRAY* psa) { return psa->rgsabound; }

size_t DescriptorBytes(UINT dims) {
  return offsetof(SAFEARRAY, rgsabound) + size_t{dims} * sizeof(SAFEARRAYBOUND);
}

SAFEARRAY* AllocateDescriptor(UINT dims) {
  char* block = static_cast<char*>(std::calloc(1, kHiddenBytes + DescriptorBytes(dims)));
  if (block == nullptr) return nullptr;
  SAFEARRAY* psa = reinterpret_cast<SAFEARRAY*>(block + kHiddenBytes);
  psa->cDims = static_cast<USHORT>(dims);
  return psa;
}

void FreeDescriptor(SAFEARRAY* psa) { std::free(reinterpret_cast<char*>(psa) - kHiddenBytes); }

void StoreVartype(SAFEARRAY* psa, VARTYPE vt) {
  const DWORD stored = vt;
  std::memcpy(reinterpret_cast<char*>(psa) - kVartypeBytes, &stored, kVartypeBytes);
}

VARTYPE LoadVartype(SAFEARRAY* psa) {
  DWORD stored;
  std::memcpy(&stored, reinterpret_cast<const char*>(psa) - kVartypeBytes, kVartypeBytes);
  return static_cast<VARTYPE>(stored);
}

std::atomic_ref<ULONG> LockCount(SAFEARRAY* psa) { return std::atomic_ref<ULONG>(psa->cLocks); }

// Number of elements, or false if the product overflows.
bool CellCount(SAFEARRAY* psa, size_t* cells) {
  size_t count = 1;
  const SAFEARRAYBOUND* bounds = Bounds(psa);
  for (UINT d = 0; d < psa->cDims; ++d) {
    if (__builtin_mul_overflow(count, size_t{bounds[d].cElements}, &count)) return false;
  }
  *cells = count;
  return true;
}

// Allocates zero-filled data for `cells` elements (at least one byte, so that
// pvData is never null for a live array).
bool AllocateData(SAFEARRAY* psa, size_t cells) {
  size_t bytes;
  if (__builtin_mul_overflow(cells, size_t{psa->cbElements}, &bytes)) return false;
  psa->pvData = std::calloc(std::max<size_t>(bytes, 1), 1);
  return psa->pvData != nullptr;
}

// Releases the owned elements (BSTR, VARIANT); the data block stays.
void ReleaseElements(SAFEARRAY* psa) {
  size_t cells = 0;
  if (psa->pvData == nullptr || !CellCount(psa, &cells)) return;
  if (psa->fFeatures & FADF_BSTR) {
    BSTR* strings = static_cast<BSTR*>(psa->pvData);
    for (size_t i = 0; i < cells; ++i) SysFreeString(strings[i]);
  } else if (psa->fFeatures & FADF_VARIANT) {
    VARIANT* variants = static_cast<VARIANT*>(psa->pvData);
    for (size_t i = 0; i < cells; ++i) VariantClear(&variants[i]);
  }
}

// Copies every element of `from` into the zero-filled `to` (same shape).
HRESULT CopyElements(SAFEARRAY* from, SAFEARRAY* to, size_t cells) {
  if (from->fFeatures & FADF_BSTR) {
    const BSTR* source = static_cast<const BSTR*>(from->pvData);
    BSTR* target = static_cast<BSTR*>(to->pvData);
    for (size_t i = 0; i < cells; ++i) {
      if (source[i] == nullptr) continue;
      target[i] = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source[i]),
                                        SysStringByteLen(source[i]));
      if (target[i] == nullptr) return E_OUTOFMEMORY;
    }
  } else if (from->fFeatures & FADF_VARIANT) {
    const VARIANT* source = static_cast<const VARIANT*>(from->pvData);
    VARIANT* target = static_cast<VARIANT*>(to->pvData);
    for (size_t i = 0; i < cells; ++i) {
      const HRESULT hr = VariantCopy(&target[i], &source[i]);
      if (FAILED(hr)) return hr;
    }
  } else if (cells != 0) {
    std::memcpy(to->pvData, from->pvData, cells * from->cbElements);
  }
  return S_OK;
}

// Releases elements, data and descriptor of an unlocked array.
void DestroyUnlocked(SAFEARRAY* psa) {
  ReleaseElements(psa);
  std::free(psa->pvData);
  FreeDescriptor(psa);
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  const size_t element_size = ValueSize(vt);
  if (element_size == 0 || cDims == 0 || cDims > kMaxDims || rgsabound == nullptr) {
    return nullptr;
  }
  for (UINT d = 0; d < cDims; ++d) {
    const int64_t last = int64_t{rgsabound[d].lLbound} + rgsabound[d].cElements - 1;
    if (last > INT32_MAX) return nullptr;
  }
  SAFEARRAY* psa = AllocateDescriptor(cDims);
  if (psa == nullptr) return nullptr;
  psa->cbElements = static_cast<ULONG>(element_size);
  psa->fFeatures = FADF_HAVEVARTYPE;
  if (vt == VT_BSTR) psa->fFeatures |= FADF_BSTR;
  if (vt == VT_VARIANT) psa->fFeatures |= FADF_VARIANT;
  StoreVartype(psa, vt);
  // Windows keeps the bounds in reverse: the last dimension first.
  SAFEARRAYBOUND* bounds = Bounds(psa);
  for (UINT d = 0; d < cDims; ++d) bounds[d] = rgsabound[cDims - 1 - d];
  size_t cells = 0;
  if (!CellCount(psa, &cells) || !AllocateData(psa, cells)) {
    FreeDescriptor(psa);
    return nullptr;
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  if (LockCount(psa).load() > 0) return DISP_E_ARRAYISLOCKED;
  DestroyUnlocked(psa);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  if (psa->cbElements == 0 || psa->cDims == 0) return E_INVALIDARG;
  size_t cells = 0;
  if (!CellCount(psa, &cells)) return E_OUTOFMEMORY;
  SAFEARRAY* copy = AllocateDescriptor(psa->cDims);
  if (copy == nullptr) return E_OUTOFMEMORY;
  copy->fFeatures = psa->fFeatures & ~kStorageFeatures;
  copy->cbElements = psa->cbElements;
  std::memcpy(Bounds(copy), Bounds(psa), psa->cDims * sizeof(SAFEARRAYBOUND));
  if (psa->fFeatures & FADF_HAVEVARTYPE) StoreVartype(copy, LoadVartype(psa));
  if (!AllocateData(copy, cells)) {
    FreeDescriptor(copy);
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = psa->pvData == nullptr ? S_OK : CopyElements(psa, copy, cells);
  if (FAILED(hr)) {
    DestroyUnlocked(copy);
    return hr;
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  if (LockCount(psa).fetch_add(1) + 1 > kMaxLocks) {
    LockCount(psa).fetch_sub(1);
    return E_UNEXPECTED;
  }
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  ULONG locks = LockCount(psa).load();
  do {
    if (locks == 0) return E_UNEXPECTED;
  } while (!LockCount(psa).compare_exchange_weak(locks, locks - 1));
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
  return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = Bounds(psa)[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = Bounds(psa)[psa->cDims - nDim];
  *plUbound = static_cast<LONG>(int64_t{bound.lLbound} + bound.cElements - 1);
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cDims; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cbElements; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  if (psa->fFeatures & FADF_HAVEVARTYPE) {
    *pvt = LoadVartype(psa);
  } else if (psa->fFeatures & FADF_BSTR) {
    *pvt = VT_BSTR;
  } else if (psa->fFeatures & FADF_VARIANT) {
    *pvt = VT_VARIANT;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
  if (psa == nullptr || rgIndices == nullptr || ppvData == nullptr) return E_INVALIDARG;
  // rgIndices[i] is dimension i + 1, stored at Bounds()[cDims - 1 - i];
  // dimension 1 varies fastest.
  const SAFEARRAYBOUND* bounds = Bounds(psa);
  size_t cell = 0;
  size_t stride = 1;
  for (UINT i = 0; i < psa->cDims; ++i) {
    const SAFEARRAYBOUND& bound = bounds[psa->cDims - 1 - i];
    const int64_t offset = int64_t{rgIndices[i]} - bound.lLbound;
    if (offset < 0 || offset >= int64_t{bound.cElements}) return DISP_E_BADINDEX;
    cell += static_cast<size_t>(offset) * stride;
    stride *= bound.cElements;
  }
  *ppvData = static_cast<char*>(psa->pvData) + cell * psa->cbElements;
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  void* element = nullptr;
  hr = SafeArrayPtrOfIndex(psa, rgIndices, &element);
  if (SUCCEEDED(hr)) {
    if (psa->fFeatures & FADF_BSTR) {
      const BSTR source = *static_cast<BSTR*>(element);
      BSTR copy = nullptr;
      if (source != nullptr) {
        copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
        if (copy == nullptr) hr = E_OUTOFMEMORY;
      }
      if (SUCCEEDED(hr)) *static_cast<BSTR*>(pv) = copy;
    } else if (psa->fFeatures & FADF_VARIANT) {
      VARIANT* target = static_cast<VARIANT*>(pv);
      VariantInit(target);
      hr = VariantCopy(target, static_cast<VARIANT*>(element));
    } else {
      std::memcpy(pv, element, psa->cbElements);
    }
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr) return E_INVALIDARG;
  const bool pointer_is_value = (psa->fFeatures & FADF_BSTR) != 0;
  if (pv == nullptr && !pointer_is_value) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  void* element = nullptr;
  hr = SafeArrayPtrOfIndex(psa, rgIndices, &element);
  if (SUCCEEDED(hr)) {
    if (psa->fFeatures & FADF_BSTR) {
      const BSTR source = static_cast<BSTR>(pv);
      BSTR copy = nullptr;
      if (source != nullptr) {
        copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
        if (copy == nullptr) hr = E_OUTOFMEMORY;
      }
      if (SUCCEEDED(hr)) {
        BSTR* slot = static_cast<BSTR*>(element);
        SysFreeString(*slot);
        *slot = copy;
      }
    } else if (psa->fFeatures & FADF_VARIANT) {
      hr = VariantCopy(static_cast<VARIANT*>(element), static_cast<const VARIANT*>(pv));
    } else {
      std::memcpy(element, pv, psa->cbElements);
    }
  }
  SafeArrayUnlock(psa);
  return hr;
}
