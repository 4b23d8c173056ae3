// Attributes a server returns in ranges.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files and their tests.
//
// Active Directory returns at most a page of a large multi-valued attribute
// (member, memberOf) at a time, naming what it returned with a range
// option: "member;range=0-1499". The rest is read by asking for
// "member;range=1500-*" and so on, until the server names the last range
// with "*" ("member;range=3000-*").
//
// Thread safety: pure functions; CompleteRange uses the session of the call
// that runs it.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_RANGED_ATTRIBUTES_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_RANGED_ATTRIBUTES_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ascii.h"
#include "platform/directory/ldap_failover.h"

namespace directory::ldap_backend_internal {

// The option that names a range, and the end of the last range.
inline constexpr std::string_view kRangeOption = "range=";
inline constexpr std::string_view kRangeEndless = "*";

// `name` without its options: "member;range=0-1499" -> "member".
inline std::string_view BaseName(std::string_view name) { return name.substr(0, name.find(';')); }

// The end of the range option of `name` ("member;range=0-1499" -> "1499",
// "member;Range=1500-*" -> "*"); nullopt when no option of `name` is a range
// or the range has no '-'. The option name is compared without regard to
// case; the end is returned as written.
inline std::optional<std::string_view> RangeEnd(std::string_view name) {
  size_t at = name.find(';');
  while (at != std::string_view::npos) {
    const size_t next = name.find(';', at + 1);
    const std::string_view option = name.substr(at + 1, next == std::string_view::npos ? next : next - at - 1);
    if (platform::StartsWithIgnoringAsciiCase(option, kRangeOption)) {
      const size_t dash = option.find('-');
      if (dash == std::string_view::npos) return std::nullopt;
      return option.substr(dash + 1);
    }
    at = next;
  }
  return std::nullopt;
}

// Reads the values of the ranged attribute `base_name` of the entry `dn`
// after `end` (the end of the range returned so far) and appends them to
// *values, until the server names the last range with "*" or returns no
// further range. Raises CDirectoryException kDirectoryProtocolError when a
// range end is malformed, does not advance, or the attribute takes more than
// `max_reads` further reads; the errors of ThrowRequestError when the server
// refuses a read; ServerFailure when it fails.
void CompleteRange(const Session& session, const std::string& dn, std::string_view base_name, std::string_view end,
                   int max_reads, std::vector<std::string>* values);

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_RANGED_ATTRIBUTES_H_
