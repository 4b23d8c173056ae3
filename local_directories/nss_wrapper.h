// Host names for programs that talk to a local server by name, without
// touching /etc/hosts: Kerberos binds must reach the domain controller
// (samba_dc.h) by its host name, since the service ticket names it, and the
// machine's resolver does not know that name. nss_wrapper (Debian's
// libnss-wrapper) answers name lookups from a hosts file of our own, but it
// must be preloaded when the program starts and reads the file's name at
// the first lookup, so a program that needs it re-runs itself:
//
//   int main(int argc, char** argv) {
//     userpolicy::local_directories::RunUnderNssWrapper(argv, SambaDomainController::HostsLine());
//     ...  // runs in the child, where the controller's name resolves
//   }
//
// Child processes (the servers, ldapsearch) inherit the wrapper and the
// file. Linux only.
#ifndef USERPOLICY_LOCAL_DIRECTORIES_NSS_WRAPPER_H_
#define USERPOLICY_LOCAL_DIRECTORIES_NSS_WRAPPER_H_

#include <string>

namespace userpolicy::local_directories {

// Returns at once when this process runs under nss_wrapper with a hosts
// file. Otherwise writes `hosts_lines` ("ADDRESS NAME [NAME...]\n" lines)
// to a hosts file in a new temporary directory, runs this program again
// (/proc/self/exe, the same arguments) with LD_PRELOAD=libnss_wrapper.so and
// NSS_WRAPPER_HOSTS naming that file (and, for the sanitizers,
// verify_asan_link_order=0 in ASAN_OPTIONS, since the wrapper comes before
// AddressSanitizer's runtime, NSS_WRAPPER_DISABLE_DEEPBIND, since they
// refuse the RTLD_DEEPBIND the wrapper would open libc with, and a
// ThreadSanitizer suppression of the wrapper's own locking), waits for it, removes the directory and exits
// with the child's exit status (128 + the signal that ended it). The child
// dies with this process. When the wrapper did not load in the child
// (libnss-wrapper not installed), the child exits with status 1 and says so.
// REQUIRES: called before any thread starts and before any name lookup.
void RunUnderNssWrapper(char** argv, const std::string& hosts_lines);

// Whether `host` resolves (IPv4) to `address` in this process.
bool ResolvesTo(const std::string& host, const std::string& address);

}  // namespace userpolicy::local_directories

#endif  // USERPOLICY_LOCAL_DIRECTORIES_NSS_WRAPPER_H_
