#include "platform/directory/ldap_ranged_attributes.h"

#include "platform/directory/directory_error.h"
#include "platform/directory/ldap_request_errors.h"
#include "platform/directory/ldap_value_typing.h"
#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr char kSource[] = "ldap_backend";

[[noreturn]] void ThrowBadRange(const Endpoint& endpoint, std::string_view base_name, const std::wstring& target,
                                const std::string& problem) {
  DirectoryErrorContext context;
  context.server = endpoint.name;
  context.operation = L"read range of " + platform::Utf8ToWide(base_name);
  context.target = target;
  context.ldap_result = ldap::kDecodingError;
  context.ldap_text = platform::Utf8ToWide(ldap::ResultText(ldap::kDecodingError));
  context.diagnostic = platform::Utf8ToWide(problem);
  DIRECTORY_THROW(kDirectoryProtocolError,
                  L"the directory server " + endpoint.name + L" answered " + platform::Utf8ToWide(base_name) +
                      L" in bad ranges",
                  context);
}

}  // namespace

void CompleteRange(const Session& session, const std::string& dn, std::string_view base_name, std::string_view end,
                   int max_reads, std::vector<std::string>* values) {
  const std::wstring target = platform::Utf8ToWide(dn);
  std::string range_end(end);
  for (int reads = 0; range_end != kRangeEndless; ++reads) {
    const std::optional<long long> last = ParseInteger(range_end);
    if (!last || *last < 0 || reads >= max_reads) {
      ThrowBadRange(*session.endpoint, base_name, target, "the range end '" + range_end + "' is malformed or endless");
    }
    const std::string next = std::string(base_name) + ";" + std::string(kRangeOption) + std::to_string(*last + 1) +
                             "-" + std::string(kRangeEndless);
    std::vector<ldap::Entry> entries;
    const ldap::Status status = session.Search(session.Request(dn, ldap::Scope::kBase, kAnyObjectFilter, {next}, 1),
                                               &entries, L"read range", target);
    if (!status.ok()) {
      ThrowRequestError(*session.endpoint, L"read range of " + platform::Utf8ToWide(base_name), target, status);
    }
    const ldap::Attribute* found = nullptr;
    if (!entries.empty()) {
      for (const ldap::Attribute& attribute : entries.front().attributes) {
        if (platform::EqualsIgnoringAsciiCase(BaseName(attribute.name), base_name) && RangeEnd(attribute.name)) {
          found = &attribute;
          break;
        }
      }
    }
    if (found == nullptr) return;  // nothing beyond what was read
    const std::string new_end(*RangeEnd(found->name));
    if (new_end != kRangeEndless) {
      const std::optional<long long> now = ParseInteger(new_end);
      if (!now || *now <= *last) {
        ThrowBadRange(*session.endpoint, base_name, target,
                      "the range end '" + new_end + "' does not advance past " + range_end);
      }
    }
    values->insert(values->end(), found->values.begin(), found->values.end());
    range_end = new_end;
  }
}

}  // namespace directory::ldap_backend_internal
