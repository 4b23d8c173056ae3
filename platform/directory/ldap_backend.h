// The directory backend that reads real servers over LDAP
// (platform/ldap_api.h): an Active Directory Global Catalog or domain
// controller, or any LDAP server that holds the same attributes.
//
// Servers. A path's host is tried first; GC:// paths then fail over to the
// configured Global Catalog servers in order (or, when none is configured,
// to the ones DNS SRV discovery finds), LDAP:// paths to the domain
// controller and then to the Global Catalog hosts on the LDAP port. Default
// ports: GC 3268 (3269 with Tls = ldaps), LDAP 389 (636). A configured
// server with a port other than those keeps it for both schemes (a test
// server that answers on one port). A server that failed is skipped for a
// back-off period (FailureBackoffMs, doubling up to MaxFailureBackoffMs
// while it keeps failing) except by one probing call at a time; when every
// server is being skipped, a call fails at once with the latest failure.
//
// Objects. A root path searches the whole directory from the configured
// SearchBase, or from the empty base "" (which a Global Catalog, and a slapd
// with `defaultsearchbase`, accepts). A DN path is read with a base-scope
// search, the DN passed to the server as written (escapes such as \2f
// included). A <GUID=hex> path is read as the base DN "<GUID=hex>" where
// the server supports that form, otherwise by a subtree search for
// (objectGUID=\xx...) from the root; which form works is remembered per
// server.
//
// Values are typed from the server's schema: the definitions of the
// attributes a call needs, read from the server the first time they are
// needed and kept for the life of the backend (ldap_schema_reader.h), so
// that first contact costs a search of a few entries, not the whole schema;
// and kept in SchemaCacheFile for later processes, which then ask nothing.
// INTEGER is VT_I4 (VT_I8 when a value does not fit 32 bits), large integer
// VT_I8, boolean VT_BOOL, octet string and the binary syntaxes
// VT_ARRAY|VT_UI1, everything else VT_BSTR. An attribute the schema does not know is VT_BSTR when its values
// are printable UTF-8 text, bytes otherwise.
//
// Attributes. With an attribute list, a result holds exactly the attributes
// asked for that the object has, in the server's order, named as the caller
// spelled them; attributes the server adds (subtypes of an attribute asked
// for, such as cn for name on slapd) are dropped. distinguishedName, when
// asked for and not stored by the server, is added last from the entry's
// name. An attribute returned in ranges (member;range=0-1499) is completed
// by further reads until its last range and returned under its plain name.
//
// Connections. A pool per server holds at most PoolSize bound connections,
// reused across calls; a call waits up to the operation timeout for one.
// Every LDAP request is bounded by the operation timeout and connecting by
// the connect timeout. When a reused connection turns out to be dead (the
// server restarted or dropped it) the call is retried once on a fresh
// connection; when a server cannot be reached, does not answer in time, or
// refuses service (busy, unavailable), the call moves to the next server.
// The bind password is read from PasswordFile for each new connection and
// is never logged or put into an error. With BindMethod = gssapi the
// connections bind with Kerberos instead (ldap_kerberos_bind.h): signed or
// sealed, with the library's own credentials from the keytab.
//
// Failures raise CDirectoryException (directory_error.h) with the server,
// the operation, the target and the LDAP result.
//
// Thread safety: every member may be called from any number of threads.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_BACKEND_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_BACKEND_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_config.h"

namespace directory {

class LdapBackend : public DirectoryBackend {
 public:
  using ConfigSource = std::function<DirectoryConfig()>;

  // Continuation reads of one ranged attribute before giving up.
  static constexpr int kMaxRangeReads = 10000;

  // Takes its configuration from `source` now, and again at every
  // GetRootGCPath and GetGCFromRootDSE so that changed settings apply
  // without a restart of the process. When its bind settings cannot be used
  // (CheckBindSettings), both discovery calls fail and log why, once, and
  // every read fails with kDirectoryConfigError naming the key.
  explicit LdapBackend(ConfigSource source = &DirectoryConfig::Load);
  ~LdapBackend() override;
  LdapBackend(const LdapBackend&) = delete;
  LdapBackend& operator=(const LdapBackend&) = delete;

  std::shared_ptr<const DirectoryObject> ReadObject(const DirectoryPath& path,
                                                    const std::vector<std::wstring>& attributes) override;
  std::shared_ptr<const DirectoryObject> SearchOne(const DirectoryPath& root, const std::wstring& filter,
                                                   const std::vector<std::wstring>& attributes, int scope) override;
  // "GC://host:port" of the best configured or discovered Global Catalog.
  HRESULT GetRootGCPath(std::wstring* path) override;
  // "GC://<dnsHostName>" from the rootDSE of the domain controller (or,
  // when none is configured, the first Global Catalog host on the LDAP
  // port), when its isGlobalCatalogReady is TRUE; a non-standard port of
  // that server (a test server) is kept in the path. E_FAIL otherwise.
  HRESULT GetGCFromRootDSE(std::wstring* path) override;
  // Takes a connection to the first server of `path` that answers, as a
  // read does (binding a new one as configured), and reports its bind.
  BindReport DescribeBind(const DirectoryPath& path) override;

  // Applies `config` to the calls that start from now on. Pooled
  // connections made with other connection settings are closed.
  void Reconfigure(DirectoryConfig config);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_BACKEND_H_
