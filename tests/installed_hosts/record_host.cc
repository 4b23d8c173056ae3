// A host of the installed library, built through pkg-config: starts the
// module and, for each SIP address given on the command line, prints the
// user's e-mail address and the record the user-identity manager holds for
// the address; then shows that values and exceptions of the library reach
// the host as its own types.
//
//   record_host SIP_ADDRESS...
//
// Output lines:
//   email <address> <e-mail>           "-" when the lookup gave E_FAIL
//   value <address> <attribute> <vt> <text>
//                                      one per value of the record: strings
//                                      as UTF-8, numbers in decimal, byte
//                                      arrays as lower-case hex
//   error index <code>                 the code of the exception an index
//                                      past the record's end raised
//   error convert <hresult> <message>  the _com_error of converting text
//                                      to a number: its code (hexadecimal)
//                                      and its message
//   bytes <hex>                        a byte array stored in a property
//                                      and read back from it
// Exit status 0, or 1 when the module did not start or stop cleanly or an
// exception escaped.
#include <cstdio>
#include <string>

#include "dsobject/user_policy_manager_exception.h"
#include "module/manager_factories.h"
#include "module/module_entry.h"
#include "resolve/proxy_address_ds_access_helper.h"

namespace {

constexpr unsigned long kEmailCapacity = 256;

std::string Hex(SAFEARRAY* array) {
  static constexpr char kDigits[] = "0123456789abcdef";
  LONG lower = 0;
  LONG upper = -1;
  void* data = nullptr;
  if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)) ||
      FAILED(SafeArrayAccessData(array, &data))) {
    return "?";
  }
  std::string hex;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (LONG i = 0; i <= upper - lower; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0f];
  }
  SafeArrayUnaccessData(array);
  return hex;
}

std::string Text(const _variant_t& value) {
  switch (value.vt) {
    case VT_BSTR:
      return static_cast<const char*>(_bstr_t(value));
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
      return std::to_string(static_cast<long long>(value));
    case VT_BOOL:
      return value.boolVal ? "TRUE" : "FALSE";
    case VT_ARRAY | VT_UI1:
      return Hex(value.parray);
    default:
      return "?";
  }
}

void PrintRecord(const char* sip_address) {
  wchar_t email[kEmailCapacity] = {};
  const _bstr_t key(sip_address);
  const long hr = CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(key, email, kEmailCapacity);
  std::printf("email %s %s\n", sip_address, SUCCEEDED(hr) ? static_cast<const char*>(_bstr_t(email)) : "-");

  CUserPolicyManager users = UserPolicy_GetUserIdentityManager();
  bool fetched = false;
  CDSObjectInfo record = users.GetDSObjectInfo(key, fetched);
  for (int i = 0; i < record.GetPropertyCount(); ++i) {
    CDSObjectProperty property = record.GetProperty(i);
    const _bstr_t name(property.GetName());
    for (int j = 0; j < property.GetValueCount(); ++j) {
      const _variant_t& value = property.GetValue(j);
      std::printf("value %s %s %d %s\n", sip_address, static_cast<const char*>(name), value.vt, Text(value).c_str());
    }
  }
  try {
    record.GetProperty(record.GetPropertyCount());
  } catch (const CUserPolicyManagerException& e) {
    std::printf("error index %d\n", e.GetErrorCode());
  }
}

// A byte array the host builds with the library's SAFEARRAY functions,
// stored (as a copy) in a property and read back after the host's own
// array is gone.
void PrintStoredBytes() {
  static constexpr unsigned char kBytes[] = {0x00, 0x7f, 0x80, 0xff};
  CDSObjectProperty property(L"bytes");
  {
    VARIANT raw;
    VariantInit(&raw);
    raw.vt = VT_ARRAY | VT_UI1;
    raw.parray = SafeArrayCreateVector(VT_UI1, 0, sizeof kBytes);
    void* data = nullptr;
    if (raw.parray == nullptr || FAILED(SafeArrayAccessData(raw.parray, &data))) return;
    for (size_t i = 0; i < sizeof kBytes; ++i) static_cast<unsigned char*>(data)[i] = kBytes[i];
    SafeArrayUnaccessData(raw.parray);
    _variant_t value(raw, /*fCopy=*/false);
    property.AddValue(value);
  }
  std::printf("bytes %s\n", Text(property.GetValue(0)).c_str());
}

void PrintConversionError() {
  const _variant_t text(L"not a number");
  try {
    std::printf("no error %ld\n", static_cast<long>(text));
  } catch (const _com_error& e) {
    std::printf("error convert %08x %s\n", static_cast<unsigned>(e.Error()),
                static_cast<const char*>(_bstr_t(e.ErrorMessage())));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (IPC_SERVER_Init() != 0) {
    std::fprintf(stderr, "IPC_SERVER_Init failed\n");
    return 1;
  }
  try {
    for (int i = 1; i < argc; ++i) PrintRecord(argv[i]);
    PrintStoredBytes();
    PrintConversionError();
  } catch (const OS::CException& e) {
    std::fprintf(stderr, "%ls\n", e.GetErrorMsgEx().c_str());
    IPC_SERVER_Deinit();
    return 1;
  }
  if (IPC_SERVER_Deinit() != 0) {
    std::fprintf(stderr, "IPC_SERVER_Deinit failed\n");
    return 1;
  }
  return 0;
}
