// CProxyAddressDSAccessHelper: a SIP user's SMTP e-mail address.
//
// The user is read through the user-identity manager (so usually from its
// cache). The address is the primary "SMTP:" value of proxyAddresses (the
// prefix matched case-sensitively; the first one wins), else the first
// secondary value whose prefix is "smtp:" in any other case, else the first
// value of mail, taken as it is (an empty string included). Prefixes are
// removed; values of other kinds (SIP:, X500:, a bare "SMTP:") never count.
//
// Results (HRESULT): S_OK with the address copied into the buffer (cut to
// capacity - 1 characters; the rest of the buffer zeroed); E_INVALIDARG for a
// null address or buffer (nothing logged), or a capacity of 0 (nothing
// written); E_FAIL when the user has no usable address or the lookup failed,
// with the buffer untouched (a LookupFailureRecorder, see
// resolve/lookup_failure_recorder.h, tells the two apart).
//
// Thread safety: stateless; any number of threads may call at once.
#ifndef USERPOLICY_RESOLVE_PROXY_ADDRESS_DS_ACCESS_HELPER_H_
#define USERPOLICY_RESOLVE_PROXY_ADDRESS_DS_ACCESS_HELPER_H_

#include "platform/export.h"

class USERPOLICY_EXPORT CProxyAddressDSAccessHelper {
 public:
  CProxyAddressDSAccessHelper();
  ~CProxyAddressDSAccessHelper();
  CProxyAddressDSAccessHelper& operator=(const CProxyAddressDSAccessHelper& other);

  // `capacity` is the buffer's size in wide characters, the terminating zero
  // included.
  static long GetEMailAddressBySipAddress(const wchar_t* szSipAddress, wchar_t* buffer, unsigned long capacity);
};

#endif  // USERPOLICY_RESOLVE_PROXY_ADDRESS_DS_ACCESS_HELPER_H_
