// Logging of fuzz targets. Rejected inputs are logged by the library (a
// malformed path raises a logged CDirectoryException, a bad settings file a
// warning); a target formats those lines as the library would, but writes
// them to /dev/null instead of flooding the fuzzer's output.
#ifndef USERPOLICY_FUZZ_FUZZ_LOGGING_H_
#define USERPOLICY_FUZZ_FUZZ_LOGGING_H_

namespace fuzz {

// Points the library's log at /dev/null unless USERPOLICY_LOG already names
// a destination. Call from LLVMFuzzerInitialize, before anything logs (the
// library reads the environment once).
void LogToDevNull();

}  // namespace fuzz

#endif  // USERPOLICY_FUZZ_FUZZ_LOGGING_H_
