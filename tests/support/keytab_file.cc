#include "tests/support/keytab_file.h"

#include <krb5.h>
#include <sys/stat.h>

#include <random>
#include <stdexcept>

namespace userpolicy::testing {
namespace {

constexpr size_t kAes256KeyBytes = 32;
constexpr krb5_kvno kKeyVersion = 1;

void Check(krb5_context context, krb5_error_code code, const std::string& what) {
  if (code == 0) return;
  const char* message = krb5_get_error_message(context, code);
  const std::string text = what + ": " + (message != nullptr ? message : "error");
  krb5_free_error_message(context, message);
  throw std::runtime_error(text);
}

}  // namespace

void WriteKeytab(const std::string& path, const std::vector<std::string>& principals) {
  krb5_context context = nullptr;
  if (krb5_init_context(&context) != 0) throw std::runtime_error("krb5_init_context failed");
  krb5_keytab keytab = nullptr;
  krb5_principal principal = nullptr;
  try {
    Check(context, krb5_kt_resolve(context, ("WRFILE:" + path).c_str(), &keytab), "opening " + path);
    std::random_device random;
    for (const std::string& name : principals) {
      Check(context, krb5_parse_name(context, name.c_str(), &principal), name);
      krb5_octet key[kAes256KeyBytes];
      for (krb5_octet& byte : key) byte = static_cast<krb5_octet>(random());
      krb5_keytab_entry entry{};
      entry.principal = principal;
      entry.vno = kKeyVersion;
      entry.key.enctype = ENCTYPE_AES256_CTS_HMAC_SHA1_96;
      entry.key.length = kAes256KeyBytes;
      entry.key.contents = key;
      Check(context, krb5_kt_add_entry(context, keytab, &entry), "adding " + name);
      krb5_free_principal(context, principal);
      principal = nullptr;
    }
  } catch (...) {
    if (principal != nullptr) krb5_free_principal(context, principal);
    if (keytab != nullptr) krb5_kt_close(context, keytab);
    krb5_free_context(context);
    throw;
  }
  krb5_kt_close(context, keytab);
  krb5_free_context(context);
  ::chmod(path.c_str(), 0600);
}

std::vector<std::string> KeytabKeys(const std::string& path) {
  krb5_context context = nullptr;
  if (krb5_init_context(&context) != 0) throw std::runtime_error("krb5_init_context failed");
  krb5_keytab keytab = nullptr;
  krb5_kt_cursor cursor{};
  bool reading = false;
  std::vector<std::string> keys;
  try {
    Check(context, krb5_kt_resolve(context, ("FILE:" + path).c_str(), &keytab), "opening " + path);
    Check(context, krb5_kt_start_seq_get(context, keytab, &cursor), "reading " + path);
    reading = true;
    krb5_keytab_entry entry{};
    while (krb5_kt_next_entry(context, keytab, &entry, &cursor) == 0) {
      keys.emplace_back(reinterpret_cast<const char*>(entry.key.contents), entry.key.length);
      krb5_free_keytab_entry_contents(context, &entry);
    }
  } catch (...) {
    if (reading) krb5_kt_end_seq_get(context, keytab, &cursor);
    if (keytab != nullptr) krb5_kt_close(context, keytab);
    krb5_free_context(context);
    throw;
  }
  krb5_kt_end_seq_get(context, keytab, &cursor);
  krb5_kt_close(context, keytab);
  krb5_free_context(context);
  return keys;
}

}  // namespace userpolicy::testing
