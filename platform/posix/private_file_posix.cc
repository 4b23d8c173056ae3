// Private files on POSIX systems: ownership and mode checked on an open
// descriptor (no race between the check and the read), replaced by
// rename(2).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/private_file.h"

namespace platform {
namespace {

constexpr char kFolderName[] = "userpolicy";

// Closes a descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string Describe(const char* step, const std::string& path, int error) {
  return std::string(step) + " " + path + ": " + std::strerror(error);
}

// Creates every missing folder of `folder`, each with mode 0700.
bool MakeFolders(const std::string& folder, std::string* error) {
  for (size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = Describe("cannot create", prefix, errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

}  // namespace

std::string UserCacheFile(std::string_view name) {
  std::string folder;
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  if (cache != nullptr && cache[0] == '/') {
    folder = std::string(cache) + "/" + kFolderName;
  } else if (home != nullptr && home[0] == '/') {
    folder = std::string(home) + "/.cache/" + kFolderName;
  } else {
    return std::string();
  }
  return folder + "/" + std::string(name);
}

bool ReadPrivateFile(const std::string& path, size_t max_bytes, std::string* contents) {
  contents->clear();
  const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (file.get() < 0) return false;
  struct stat status {};
  if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
      (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 || static_cast<size_t>(status.st_size) > max_bytes) {
    return false;
  }
  std::string text(static_cast<size_t>(status.st_size), '\0');
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t got = read(file.get(), text.data() + done, text.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  *contents = std::move(text);
  return true;
}

bool ReplacePrivateFile(const std::string& path, std::string_view contents, std::string* error) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), error)) return false;
  std::string temporary = path + ".XXXXXX";
  const Descriptor file(mkstemp(temporary.data()));  // mode 0600
  if (file.get() < 0) {
    *error = Describe("cannot create", temporary, errno);
    return false;
  }
  size_t done = 0;
  while (done < contents.size()) {
    const ssize_t wrote = write(file.get(), contents.data() + done, contents.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      *error = Describe("cannot write", temporary, errno);
      unlink(temporary.c_str());
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    *error = Describe("cannot replace", path, errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
