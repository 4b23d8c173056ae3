// upm's exit codes, the table --help and the man page show, and how an
// up_status and a batch of answers map to them.
#ifndef USERPOLICY_TOOLS_UPM_EXIT_CODES_H_
#define USERPOLICY_TOOLS_UPM_EXIT_CODES_H_

#include <string>

namespace upm {

inline constexpr int kExitFound = 0;          // every asked user or object found; the command did its job
inline constexpr int kExitNotFound = 1;       // some asked user or object not found, nothing failed
inline constexpr int kExitUsage = 2;          // bad command line or argument
inline constexpr int kExitUnreachable = 3;    // the directory could not be read or found
inline constexpr int kExitConfiguration = 4;  // the settings or options are unusable
inline constexpr int kExitInput = 5;          // the --file list cannot be read
inline constexpr int kExitInternal = 6;       // the library failed otherwise (out of memory, internal error)

// The exit code a failed library call with up_status `status` gives:
// UP_NOT_FOUND 1, UP_INVALID_ARGUMENT 2, UP_DIRECTORY_ERROR 3,
// UP_CONFIG_ERROR 4, anything else (UP_NOT_STARTED, UP_OUT_OF_MEMORY,
// UP_INTERNAL_ERROR, unknown) 6; UP_OK 0.
int ExitCodeForStatus(int status);

// Combines the exit codes of the answers of one run: the first failure
// (a code other than 0 and 1) in input order wins, else 1 when any answer
// was not found, else 0.
class ExitCodeCombiner {
 public:
  void Add(int exit_code);
  int result() const { return failure_ != 0 ? failure_ : (not_found_ ? kExitNotFound : kExitFound); }

 private:
  int failure_ = 0;
  bool not_found_ = false;
};

// The exit code table as --help and the man page print it, one code a line.
std::string ExitCodeTable();

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_EXIT_CODES_H_
