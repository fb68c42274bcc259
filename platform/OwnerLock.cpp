#include "platform/OwnerLock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/Errors.h"
#include "platform/Text.h"

namespace platform {

OwnerLock::~OwnerLock() { Release(); }

bool OwnerLock::Take(const std::u16string& path) {
  Release();
  const int fd = ::open(ToUtf8(path).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  fd_ = fd;
  return true;
}

void OwnerLock::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::vector<std::u16string> FilesIn(const std::u16string& folder) {
  std::vector<std::u16string> names;
  const std::string dir = ToUtf8(folder);
  DIR* listing = ::opendir(dir.c_str());
  if (!listing) return names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    struct stat st {};
    if (::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(FromUtf8(name));
  }
  ::closedir(listing);
  return names;
}

bool MakePrivate(const std::u16string& path) {
  struct stat st {};
  const std::string file = ToUtf8(path);
  if (::stat(file.c_str(), &st) != 0) return false;
  return ::chmod(file.c_str(), st.st_mode & 0700) == 0;
}

std::u16string RandomToken() {
  std::random_device device;
  const unsigned long long value = (static_cast<unsigned long long>(device()) << 32) | device();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", value);
  return FromUtf8(text);
}

}  // namespace platform
