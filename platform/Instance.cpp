#include "platform/Instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/RuntimeFolder.h"
#include "platform/Text.h"

namespace platform {

InstanceMarker::~InstanceMarker() { Release(); }

std::uint32_t InstanceMarker::Take() {
  if (fd_ >= 0) return 0;
  const std::u16string folder = RuntimeFolder();
  if (folder.empty()) return kInstanceDenied;
  const std::string path = ToUtf8(folder) + ScopedRuntimeName("instance");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return kInstanceDenied;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return error == EWOULDBLOCK ? kInstanceExists : kInstanceDenied;
  }
  fd_ = fd;
  return 0;
}

void InstanceMarker::Release() {
  if (fd_ < 0) return;
  // Closing the last descriptor drops the flock.
  ::close(fd_);
  fd_ = -1;
}

std::uint32_t CurrentUserId() { return static_cast<std::uint32_t>(::geteuid()); }

bool PeerUserId(std::intptr_t socketDescriptor, std::uint32_t& userId) {
  struct ucred credentials {};
  socklen_t length = sizeof credentials;
  if (::getsockopt(static_cast<int>(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
    return false;
  userId = static_cast<std::uint32_t>(credentials.uid);
  return true;
}

}  // namespace platform
