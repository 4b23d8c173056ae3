// Named shared memory on POSIX shared-memory objects (shm_open), which Linux
// keeps in the tmpfs mounted at /dev/shm.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/ascii.h"
#include "platform/log.h"
#include "platform/module.h"
#include "platform/shared_memory.h"

namespace platform {
namespace {

constexpr char kSource[] = "platform_SharedMemory";
// Where Linux shows the shared-memory objects, to list them.
constexpr char kSharedMemoryDirectory[] = "/dev/shm";
constexpr size_t kMaxNameLength = 200;
// Read for everybody, write for the owner.
constexpr mode_t kSegmentMode = 0644;

bool IsValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..") return false;
  for (const char c : name) {
    const bool ok = platform::IsAsciiAlphanumeric(c) || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string SystemName(const std::string& name) { return "/" + name; }

HRESULT FromErrno(int error) {
  switch (error) {
    case ENOENT: return kSharedMemoryNotFound;
    case EACCES:
    case EPERM: return E_ACCESSDENIED;
    case ENOMEM:
    case ENOSPC:
    case EFBIG: return E_OUTOFMEMORY;
    case EINVAL:
    case ENAMETOOLONG: return E_INVALIDARG;
    default: return E_FAIL;
  }
}

// Logs a failed system call on `name` and returns its HRESULT.
HRESULT LogFailure(const char* call, const std::string& name, int error) {
  DBG::DebugLogEx(CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__,
                  L"%S(%S) failed: %S", call, name.c_str(), std::strerror(error));
  return FromErrno(error);
}

// Closes a descriptor at the end of a scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  const int fd_;
};

}  // namespace

SharedMemory::SharedMemory(std::string name, void* data, size_t size, bool writable)
    : name_(std::move(name)), data_(data), size_(size), writable_(writable) {}

SharedMemory::~SharedMemory() {
  if (!keep_mapped_) ::munmap(data_, size_);
}

HRESULT SharedMemory::Create(const std::string& name, size_t size,
                             std::unique_ptr<SharedMemory>* segment) {
  segment->reset();
  if (!IsValidName(name) || size == 0) return E_INVALIDARG;
  const std::string path = SystemName(name);

  int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kSegmentMode);
  if (fd < 0 && errno == EEXIST) {
    // A leftover of an earlier process with the same id, or of our own
    // earlier use: its readers keep their mapping, new readers see ours.
    ::shm_unlink(path.c_str());
    fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kSegmentMode);
  }
  if (fd < 0) return LogFailure("shm_open", path, errno);
  ScopedFd owned(fd);

  // The umask may have narrowed the mode; readers of other users need it.
  if (::fchmod(fd, kSegmentMode) != 0) {
    const int error = errno;
    ::shm_unlink(path.c_str());
    return LogFailure("fchmod", path, error);
  }
  // Reserves the pages now, so that a full /dev/shm fails here instead of
  // raising SIGBUS at the first write.
  const int fallocate_error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (fallocate_error != 0) {
    ::shm_unlink(path.c_str());
    return LogFailure("posix_fallocate", path, fallocate_error);
  }
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    const int error = errno;
    ::shm_unlink(path.c_str());
    return LogFailure("mmap", path, error);
  }
  segment->reset(new SharedMemory(name, data, size, /*writable=*/true));
  return S_OK;
}

HRESULT SharedMemory::OpenReadOnly(const std::string& name,
                                   std::unique_ptr<SharedMemory>* segment) {
  segment->reset();
  if (!IsValidName(name)) return E_INVALIDARG;
  const std::string path = SystemName(name);
  const int fd = ::shm_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return FromErrno(errno);
  ScopedFd owned(fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0) return FromErrno(errno);
  // A segment whose creator has not sized it yet has nothing to map.
  if (status.st_size <= 0) return E_FAIL;
  const size_t size = static_cast<size_t>(status.st_size);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return FromErrno(errno);
  segment->reset(new SharedMemory(name, data, size, /*writable=*/false));
  return S_OK;
}

HRESULT SharedMemory::Remove(const std::string& name) {
  if (!IsValidName(name)) return E_INVALIDARG;
  if (::shm_unlink(SystemName(name).c_str()) == 0) return S_OK;
  if (errno == ENOENT) return S_FALSE;
  return FromErrno(errno);
}

std::vector<std::string> SharedMemory::List(const std::string& prefix) {
  std::vector<std::string> names;
  DIR* directory = ::opendir(kSharedMemoryDirectory);
  if (directory == nullptr) return names;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view entry_name(entry->d_name);
    if (entry_name.starts_with(prefix) && IsValidName(entry_name)) names.emplace_back(entry_name);
  }
  ::closedir(directory);
  return names;
}

DWORD CurrentProcessId() { return static_cast<DWORD>(::getpid()); }

bool ProcessExists(DWORD pid) {
  // kill() reads 0 as "my process group" and negative ids as groups too.
  if (pid == 0 || pid > static_cast<DWORD>(INT_MAX)) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace platform
