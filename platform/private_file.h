// Files the library keeps for itself between runs (a cache), that only the
// account it runs as may change: read back only when they are still that
// account's alone, replaced whole so that a reader never sees half of one.
//
//   const std::string path = platform::UserCacheFile("table");
//   std::string text;
//   if (platform::ReadPrivateFile(path, 1 << 20, &text)) ...
//   platform::ReplacePrivateFile(path, text, &error);
//
// Paths are UTF-8.
//
// Thread safety: thread-safe. Processes may read and replace the same file
// at once: each reader sees one whole version, and the last replacement
// wins.
#ifndef USERPOLICY_PLATFORM_PRIVATE_FILE_H_
#define USERPOLICY_PLATFORM_PRIVATE_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The file `name` in the library's folder of the account's cache:
// $XDG_CACHE_HOME/userpolicy (when that is an absolute path), else
// $HOME/.cache/userpolicy on POSIX systems; %LOCALAPPDATA%\userpolicy on
// Windows. Empty when the account has no such place. The folder need not
// exist yet.
std::string UserCacheFile(std::string_view name);

// Reads the file `path` into *contents. False, with *contents empty, when
// it does not exist, cannot be read, is larger than `max_bytes`, or is not
// private: on POSIX systems, a file that is not a regular file, is owned by
// another user, or may be written by its group or others (such a file may
// hold what someone else put there). On Windows the folder's own access
// rules decide (the account's local application data is its own).
bool ReadPrivateFile(const std::string& path, size_t max_bytes, std::string* contents);

// Replaces the file `path` with `contents`: written to a new file beside it
// (mode 0600 on POSIX systems), then renamed over it. Creates the missing
// folders of the path (mode 0700). False, with *error saying what failed
// and where, when it could not; `path` is then unchanged.
bool ReplacePrivateFile(const std::string& path, std::string_view contents, std::string* error);

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_PRIVATE_FILE_H_
