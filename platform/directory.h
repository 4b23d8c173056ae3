// The directory-access library: reads objects of an LDAP directory — an
// Active Directory Global Catalog, or any LDAP server that holds the same
// attributes — by bind path or by filtered search, and a few helpers that
// find the Global Catalog and convert SIDs and GUIDs.
//
// Paths have the usual directory-services form:
//   GC://host[:port]                      the whole forest (a search root)
//   GC://host[:port]/<distinguished name> one object; "/" inside the DN is
//                                         escaped as \2f (RFC 4514 hex pair)
//   GC://host[:port]/<GUID=hex32>         one object by objectGUID
//   LDAP://host[:port][/...]              the same against a domain controller
// A path without a host ("GC://DC=example,DC=test", or the bare object
// "DC=example,DC=test" or "<GUID=hex32>") uses the configured servers. Servers, credentials, TLS, timeouts and the connection pool are
// configured in the settings table [DirectoryAccess.DEFAULT] (see
// platform/directory/directory_config.h).
//
// Values are typed from the server's schema as a Windows directory client
// types them: strings and DNs VT_BSTR, INTEGER VT_I4, large integers VT_I8,
// booleans VT_BOOL, octet strings (objectGUID, objectSid) VT_ARRAY|VT_UI1.
// Every value of a multi-valued attribute is returned, also beyond a
// server's per-attribute limit (ranged retrieval is followed transparently).
//
// Failures raise CDirectoryException (platform/directory/directory_error.h),
// derived from OS::CException, with a stable code and the server, operation,
// target and LDAP result as context; a bind to a path that names no object
// is such a failure. A search that matches nothing is not: its result has no
// properties.
//
// Thread safety: the classes are stack objects used by one thread; any
// number of threads may use their own objects at once (connections come from
// a thread-safe pool). Results and properties share immutable data and stay
// valid after the entry or searcher that made them is gone.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_H_
#define USERPOLICY_PLATFORM_DIRECTORY_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/types.h"

namespace directory {
struct DirectoryObject;
struct DirectoryPath;
}  // namespace directory

// Scopes of a search, with their LDAP values.
enum DirectorySearchScope : int {
  kDirectoryScopeBase = 0,
  kDirectoryScopeOneLevel = 1,
  kDirectoryScopeSubtree = 2,
};

// An owned list of wide strings (attribute names).
class CStringCollection {
 public:
  // Copies `count` strings from `strings`. A count that cannot be an
  // attribute list (above kMaxCount, e.g. a negative count widened to 64
  // bits) raises CDirectoryException kDirectoryInvalidArgument.
  CStringCollection(const wchar_t** strings, unsigned long long count);
  ~CStringCollection();

  static constexpr unsigned long long kMaxCount = 4096;

  size_t GetCount() const { return strings_.size(); }
  // REQUIRES: index < GetCount().
  const wchar_t* GetAt(size_t index) const { return strings_[index].c_str(); }
  const std::vector<std::wstring>& strings() const { return strings_; }

 private:
  std::vector<std::wstring> strings_;
};

namespace directory {

// One attribute of a bound object or of a search result: a view that shares
// the object's data. CDirectoryProperty and CSearchResultProperty are its
// two names.
class AttributeView {
 public:
  // REQUIRES: index < the object's attribute count (else raises
  // CDirectoryException kDirectoryInvalidArgument).
  AttributeView(std::shared_ptr<const DirectoryObject> object, size_t index);
  ~AttributeView();
  // The attribute's name as the caller asked for it; valid while this
  // view (or any other view of the same object) lives.
  const wchar_t* GetName() const;
  size_t GetValueCount() const;
  // A copy of value `index`; an index outside [0, GetValueCount()) raises
  // CDirectoryException kDirectoryInvalidArgument.
  const _variant_t GetValue(size_t index) const;

 private:
  std::shared_ptr<const DirectoryObject> object_;
  size_t index_;
};

}  // namespace directory

// An attribute of an object bound by path (CDirectoryEntry).
class CDirectoryProperty : public directory::AttributeView {
 public:
  using AttributeView::AttributeView;
};

// An attribute of a search result (CSearchResult).
class CSearchResultProperty : public directory::AttributeView {
 public:
  using AttributeView::AttributeView;
};

// The first object a search found, or nothing.
class CSearchResult {
 public:
  explicit CSearchResult(std::shared_ptr<const directory::DirectoryObject> object);
  ~CSearchResult();
  // 0 when the search matched nothing.
  size_t GetPropertyCount() const;
  // REQUIRES nothing: an index outside the count raises
  // CDirectoryException kDirectoryInvalidArgument.
  CSearchResultProperty GetProperty(size_t index) const;
  // The distinguished name of the object found; empty when nothing matched.
  const wchar_t* GetDistinguishedName() const;

 private:
  std::shared_ptr<const directory::DirectoryObject> object_;
};

class CDirectoryEntry {
 public:
  // A search root. Only parses the path (a malformed one raises
  // kDirectoryInvalidPath); nothing is read until a searcher uses it.
  explicit CDirectoryEntry(const wchar_t* path);
  // Binds the object `path` names and loads `attributes` (null: every
  // attribute the server returns by default). Raises kDirectoryNotFound
  // when the path names no object.
  CDirectoryEntry(const wchar_t* path, CStringCollection* attributes);
  ~CDirectoryEntry();
  CDirectoryEntry(const CDirectoryEntry&) = delete;
  CDirectoryEntry& operator=(const CDirectoryEntry&) = delete;

  // Properties of a bound object, in the server's order; 0 for a root.
  size_t GetPropertyCount() const;
  CDirectoryProperty GetProperty(size_t index) const;

  const directory::DirectoryPath& path() const { return *path_; }

 private:
  std::unique_ptr<directory::DirectoryPath> path_;
  std::shared_ptr<const directory::DirectoryObject> object_;
};

class CDirectorySearcher {
 public:
  // Searches below `root` with `filter` (at most kMaxFilterLength
  // characters, RFC 4515), loading `attributes` (null: all), in `scope`
  // (a DirectorySearchScope). `root` must outlive the searcher.
  CDirectorySearcher(CDirectoryEntry& root, const wchar_t* filter, CStringCollection* attributes, int scope);
  ~CDirectorySearcher();
  CDirectorySearcher(const CDirectorySearcher&) = delete;
  CDirectorySearcher& operator=(const CDirectorySearcher&) = delete;

  static constexpr size_t kMaxFilterLength = 2047;

  // The first match; a result without properties when nothing matches.
  CSearchResult FindOne();

 private:
  CDirectoryEntry& root_;
  std::wstring filter_;
  std::vector<std::wstring> attributes_;
  int scope_;
};

// Stateless helpers. Sizes count wide characters unless said otherwise;
// results are HRESULTs, negative on failure (E_INVALIDARG for a null or
// malformed argument, E_NOT_SUFFICIENT_BUFFER-style HRESULT_FROM_WIN32(
// ERROR_INSUFFICIENT_BUFFER) when the output does not fit, E_FAIL when no
// Global Catalog can be found).
class CDirectoryHelper {
 public:
  // The Global Catalog path ("GC://host:port") from the configured Global
  // Catalog servers, else from the DNS SRV records _gc._tcp.<forest>
  // (priority, then weight honoured).
  static HRESULT GetRootGCPath(wchar_t* path, unsigned long size);
  // The Global Catalog path from the rootDSE of the configured (or default)
  // domain controller: its dnsHostName when isGlobalCatalogReady is TRUE.
  static HRESULT GetGCFromRootDSE(wchar_t* path, unsigned long size);
  // The escaped binary form (\01\05\00...) that an LDAP filter on objectSid
  // matches, of the SID made of the user's domain SID (`user_sid` without
  // its last sub-authority) and `primary_group_id` as the last one.
  static HRESULT GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(const wchar_t* user_sid, int primary_group_id,
                                                                  wchar_t* search_string, unsigned long size);
  // Copies the bytes of a VT_ARRAY|VT_UI1 value into `bytes`; `*size` holds
  // the capacity in bytes on entry and the number of bytes on return.
  static HRESULT VariantArrayToBytesWithBuffer(VARIANT& value, BYTE* bytes, unsigned long* size);
  // The GUID as the 32 hex digits, in its byte order, that <GUID=...> takes.
  static HRESULT GUIDtoBindableString(GUID* guid, wchar_t* text, unsigned long size);
  // A binary objectSid value (VT_ARRAY|VT_UI1) as "S-1-5-21-...".
  static HRESULT GetSIDStringFromVariant(VARIANT& value, wchar_t* text, unsigned long size);
};

#endif  // USERPOLICY_PLATFORM_DIRECTORY_H_
