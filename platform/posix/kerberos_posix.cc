// "platform/kerberos.h" over MIT Kerberos: the keytab read with the krb5
// API, the credentials acquired with gss_acquire_cred_from into a MEMORY:
// cache made for them (krb5_cc_new_unique), never the default cache.
#include "platform/posix/kerberos_posix.h"

#include <fcntl.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/clock.h"

namespace platform::kerberos {
namespace {

constexpr char kKeytabPrefix[] = "FILE:";
constexpr char kMemoryCacheType[] = "MEMORY";

// krb5 objects that free themselves.
struct ContextFree {
  void operator()(krb5_context context) const { krb5_free_context(context); }
};
using Context = std::unique_ptr<std::remove_pointer_t<krb5_context>, ContextFree>;

class Krb5 {
 public:
  // Opens a context; on failure returns false with *problem set.
  bool Open(std::string* problem) {
    krb5_context raw = nullptr;
    const krb5_error_code code = krb5_init_context(&raw);
    if (code != 0) {
      // No context to describe the code with.
      *problem = "cannot set up Kerberos (its configuration cannot be read: error " + std::to_string(code) + ")";
      return false;
    }
    context_.reset(raw);
    return true;
  }
  krb5_context get() const { return context_.get(); }
  krb5_context release() { return context_.release(); }

  // The text of `code`, as krb5 describes it with what it recorded.
  std::string Text(krb5_error_code code) const {
    const char* message = krb5_get_error_message(context_.get(), code);
    std::string text = message != nullptr ? message : "error " + std::to_string(code);
    krb5_free_error_message(context_.get(), message);
    return text;
  }

 private:
  Context context_;
};

class Principal {
 public:
  explicit Principal(krb5_context context) : context_(context) {}
  ~Principal() {
    if (principal_ != nullptr) krb5_free_principal(context_, principal_);
  }
  Principal(const Principal&) = delete;
  Principal& operator=(const Principal&) = delete;
  krb5_principal* out() { return &principal_; }
  krb5_principal get() const { return principal_; }

 private:
  krb5_context context_;
  krb5_principal principal_ = nullptr;
};

class Keytab {
 public:
  explicit Keytab(krb5_context context) : context_(context) {}
  ~Keytab() {
    if (cursor_open_) krb5_kt_end_seq_get(context_, keytab_, &cursor_);
    if (keytab_ != nullptr) krb5_kt_close(context_, keytab_);
  }
  Keytab(const Keytab&) = delete;
  Keytab& operator=(const Keytab&) = delete;

  krb5_error_code Open(const std::string& path) {
    const std::string name = kKeytabPrefix + path;
    return krb5_kt_resolve(context_, name.c_str(), &keytab_);
  }
  krb5_error_code StartReading() {
    const krb5_error_code code = krb5_kt_start_seq_get(context_, keytab_, &cursor_);
    cursor_open_ = code == 0;
    return code;
  }
  // 0 with *entry filled, KRB5_KT_END after the last entry, else an error.
  krb5_error_code Next(krb5_keytab_entry* entry) { return krb5_kt_next_entry(context_, keytab_, entry, &cursor_); }

 private:
  krb5_context context_;
  krb5_keytab keytab_ = nullptr;
  krb5_kt_cursor cursor_{};
  bool cursor_open_ = false;
};

std::string FullName(krb5_context context, krb5_const_principal principal) {
  char* name = nullptr;
  if (krb5_unparse_name(context, principal, &name) != 0 || name == nullptr) return "";
  std::string text = name;
  krb5_free_unparsed_name(context, name);
  return text;
}

// The texts of a GSS-API status of one kind, joined.
std::string StatusText(OM_uint32 code, int type) {
  std::string text;
  OM_uint32 context = 0;
  do {
    OM_uint32 minor = 0;
    gss_buffer_desc buffer = GSS_C_EMPTY_BUFFER;
    if (GSS_ERROR(gss_display_status(&minor, code, type, gss_mech_krb5, &context, &buffer))) break;
    if (!text.empty()) text += "; ";
    text.append(static_cast<const char*>(buffer.value), buffer.length);
    gss_release_buffer(&minor, &buffer);
  } while (context != 0);
  return text;
}

// Kerberos's own reason when it gave one, else the GSS-API's.
std::string GssProblem(OM_uint32 major, OM_uint32 minor) {
  std::string text = minor != 0 ? StatusText(minor, GSS_C_MECH_CODE) : "";
  if (text.empty()) text = StatusText(major, GSS_C_GSS_CODE);
  return text;
}

struct NameRelease {
  void operator()(gss_name_t name) const {
    OM_uint32 minor = 0;
    gss_release_name(&minor, &name);
  }
};
using Name = std::unique_ptr<std::remove_pointer_t<gss_name_t>, NameRelease>;

}  // namespace

bool CredentialsFromKeytab() { return true; }

std::string MechanismName() { return "SASL GSSAPI"; }

std::string MissingMechanismAdvice() {
  return "install libsasl2-modules-gssapi-mit (Cyrus SASL's GSSAPI plugin)";
}

bool FindKeytabPrincipal(const std::string& keytab, const std::string& principal, std::string* found,
                         std::string* problem) {
  found->clear();
  // The system's reason for a file that cannot be read is clearer than
  // the keytab library's.
  const int fd = ::open(keytab.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *problem = "cannot open the keytab " + keytab + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  Krb5 krb5;
  if (!krb5.Open(problem)) return false;
  Principal wanted(krb5.get());
  if (!principal.empty()) {
    const krb5_error_code code = krb5_parse_name(krb5.get(), principal.c_str(), wanted.out());
    if (code != 0) {
      *problem = principal + " is not a Kerberos principal name (" + krb5.Text(code) + ")";
      return false;
    }
  }
  Keytab table(krb5.get());
  krb5_error_code code = table.Open(keytab);
  if (code == 0) code = table.StartReading();
  if (code == KRB5_KT_END) {
    *problem = "the keytab " + keytab + " holds no keys";
    return false;
  }
  if (code != 0) {
    *problem = keytab + " is not a keytab (" + krb5.Text(code) + ")";
    return false;
  }
  bool any = false;
  krb5_keytab_entry entry{};
  while ((code = table.Next(&entry)) == 0) {
    any = true;
    if (wanted.get() == nullptr || krb5_principal_compare(krb5.get(), wanted.get(), entry.principal)) {
      *found = FullName(krb5.get(), entry.principal);
    }
    krb5_free_keytab_entry_contents(krb5.get(), &entry);
    if (!found->empty()) return true;
  }
  if (code != KRB5_KT_END) {
    *problem = "cannot read the keytab " + keytab + " (" + krb5.Text(code) + ")";
  } else if (!any) {
    *problem = "the keytab " + keytab + " holds no keys";
  } else {
    *problem = "the keytab " + keytab + " holds no keys of " + FullName(krb5.get(), wanted.get());
  }
  return false;
}

bool ClientCredentials::Acquire(const std::string& keytab, const std::string& principal,
                                std::shared_ptr<const ClientCredentials>* credentials, std::string* problem) {
  credentials->reset();
  Krb5 krb5;
  if (!krb5.Open(problem)) return false;
  std::unique_ptr<NativeCredentials, NativeDeleter> native(std::make_unique<NativeCredentials>().release());
  krb5_error_code code = krb5_cc_new_unique(krb5.get(), kMemoryCacheType, nullptr, &native->cache);
  if (code != 0) {
    *problem = "cannot make a memory credential cache (" + krb5.Text(code) + ")";
    return false;
  }
  native->context = krb5.release();  // destroys the cache with it
  char* cache_name = nullptr;
  code = krb5_cc_get_full_name(native->context, native->cache, &cache_name);
  if (code != 0) {
    *problem = "cannot name the memory credential cache";
    return false;
  }
  const std::string cache(cache_name);
  krb5_free_string(native->context, cache_name);

  OM_uint32 minor = 0;
  gss_buffer_desc name_text{principal.size(), const_cast<char*>(principal.data())};
  gss_name_t raw_name = GSS_C_NO_NAME;
  OM_uint32 major = gss_import_name(&minor, &name_text, GSS_KRB5_NT_PRINCIPAL_NAME, &raw_name);
  if (GSS_ERROR(major)) {
    *problem = principal + " is not a Kerberos principal name (" + GssProblem(major, minor) + ")";
    return false;
  }
  const Name name(raw_name);
  const std::string keytab_name = kKeytabPrefix + keytab;
  gss_key_value_element_desc elements[] = {{"client_keytab", keytab_name.c_str()}, {"ccache", cache.c_str()}};
  const gss_key_value_set_desc store{sizeof(elements) / sizeof(elements[0]), elements};
  gss_OID_set_desc mechanisms{1, const_cast<gss_OID>(gss_mech_krb5)};
  OM_uint32 lifetime = 0;
  major = gss_acquire_cred_from(&minor, name.get(), GSS_C_INDEFINITE, &mechanisms, GSS_C_INITIATE, &store,
                                &native->credential, nullptr, &lifetime);
  if (GSS_ERROR(major)) {
    *problem = GssProblem(major, minor);
    return false;
  }
  auto made = std::make_shared<ClientCredentials>(PrivateTag{});
  made->principal_ = principal;
  made->acquired_at_ = _time64(nullptr);
  made->expires_at_ = made->acquired_at_ + static_cast<__time64_t>(lifetime);
  made->native_ = std::move(native);
  *credentials = std::move(made);
  return true;
}

ClientCredentials::~ClientCredentials() = default;

void ClientCredentials::NativeDeleter::operator()(NativeCredentials* native) const {
  std::default_delete<NativeCredentials>()(native);
}

NativeCredentials::~NativeCredentials() {
  if (credential != GSS_C_NO_CREDENTIAL) {
    OM_uint32 minor = 0;
    gss_release_cred(&minor, &credential);
  }
  if (cache != nullptr) krb5_cc_destroy(context, cache);
  if (context != nullptr) krb5_free_context(context);
}

}  // namespace platform::kerberos
