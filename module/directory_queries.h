// What the module's managers ask the directory: the search filter templates
// (one %s each) and the attribute lists, in the order the records hold them.
#ifndef USERPOLICY_MODULE_DIRECTORY_QUERIES_H_
#define USERPOLICY_MODULE_DIRECTORY_QUERIES_H_

// Users and contacts by SIP address.
inline constexpr wchar_t kUserFilter[] =
    L"(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))"
    L"(msRTCSIP-PrimaryUserAddress=%s))";
// A group by its objectSid, given as an escaped binary filter value.
inline constexpr wchar_t kGroupBySidFilter[] = L"(&(objectClass=group)(objectSid=%s))";

inline constexpr int kUserAttributeCount = 8;
inline constexpr int kGroupAttributeCount = 4;
// Non-const pointers: the manager's constructors take `const wchar_t**`.
inline const wchar_t* kUserAttributes[kUserAttributeCount] = {
    L"objectGUID", L"name", L"distinguishedName", L"memberOf", L"primaryGroupID", L"objectSid", L"proxyAddresses",
    L"mail"};
inline const wchar_t* kGroupAttributes[kGroupAttributeCount] = {L"objectGUID", L"distinguishedName", L"memberOf",
                                                                L"groupType"};
// Objects of any kind, by GUID or by path: the user's attributes, then the
// group's that are not among them.
inline constexpr int kObjectAttributeCount = 9;
inline const wchar_t* kObjectAttributes[kObjectAttributeCount] = {
    L"objectGUID",     L"name",      L"distinguishedName", L"memberOf", L"primaryGroupID",
    L"objectSid",      L"proxyAddresses", L"mail",          L"groupType"};

#endif  // USERPOLICY_MODULE_DIRECTORY_QUERIES_H_
