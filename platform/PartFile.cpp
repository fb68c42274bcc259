#include "platform/PartFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Text.h"
#include "platform/WriteAll.h"

namespace platform {

PartFile::~PartFile() { Close(); }

namespace {

void CloseKeepingErrno(int fd) {
  const int error = errno;
  ::close(fd);
  errno = error;
}

// Opens an unfinished file without following a link there (O_NONBLOCK: a
// fifo planted under the name must not hold the worker), and keeps it only
// when it is a plain file of this user's with no other name: anything else
// under the name was put there by someone else, and writing into it,
// emptying it or removing it would reach a file the download must not touch.
int OpenOwnFile(const std::string& name, int flags) {
  const int fd = ::open(name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    CloseKeepingErrno(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

}  // namespace

bool PartFile::Open(const std::u16string& path, bool truncate) {
  Close();
  const int fd = OpenOwnFile(ToUtf8(path), O_RDWR | O_CREAT);
  if (fd < 0) return false;
  if (::fcntl(fd, F_SETFL, 0) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      (truncate && ::ftruncate(fd, 0) != 0)) {
    CloseKeepingErrno(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool PartFile::WriteAt(const void* data, std::size_t size, std::uint64_t offset) {
  return detail::WriteAll(fd_, static_cast<const char*>(data), size, static_cast<long long>(offset));
}

bool PartFile::Sync() {
  int rc;
  do {
    rc = ::fdatasync(fd_);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool PartFile::Reserve(std::uint64_t size) {
  if (size == 0) return true;
  int rc;
  do {
    rc = ::fallocate(fd_, 0, 0, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  return errno == EOPNOTSUPP || errno == ENOSYS;
}

bool PartFile::Truncate(std::uint64_t size) { return ::ftruncate(fd_, static_cast<off_t>(size)) == 0; }

long long PartFile::Size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

bool PartFile::Close() {
  if (fd_ < 0) return true;
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0;
}

bool RemoveUnheldPartFile(const std::u16string& path) {
  const std::string name = ToUtf8(path);
  const int fd = OpenOwnFile(name, O_RDONLY);
  if (fd < 0) return false;
  // Held while removed, so no PartFile can take it in between.
  const bool removed = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(name.c_str()) == 0;
  CloseKeepingErrno(fd);
  return removed;
}

bool IsOutOfSpace(std::uint32_t error) {
  return error == static_cast<std::uint32_t>(ENOSPC) || error == static_cast<std::uint32_t>(EDQUOT) ||
         error == static_cast<std::uint32_t>(EFBIG);
}

}  // namespace platform
