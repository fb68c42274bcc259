#include "platform/TempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <utility>

#include "platform/Text.h"

namespace platform {

namespace {

void CloseKeepingErrno(int fd) {
  const int error = errno;
  ::close(fd);
  errno = error;
}

// fd is the file that path names right now (not one unlinked or replaced
// since it was opened).
bool IsLinkedAt(int fd, const std::string& path) {
  struct stat held {};
  struct stat named {};
  if (::fstat(fd, &held) != 0) return false;
  if (held.st_nlink == 0 || ::lstat(path.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
      held.st_ino != named.st_ino) {
    errno = ENOENT;
    return false;
  }
  return true;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The stem (prefix + number) of a temporary file's name, or empty.
std::string StemOf(const std::string& name, const std::string& prefix) {
  if (name.compare(0, prefix.size(), prefix) != 0) return {};
  std::size_t at = prefix.size();
  while (at < name.size() && at - prefix.size() < 4 && IsHexDigit(name[at])) ++at;
  if (at == prefix.size() || at >= name.size() || name[at] != '.' || at + 1 == name.size()) return {};
  return name.substr(0, at);
}

}  // namespace

FileLease::~FileLease() { Release(); }

FileLease::FileLease(FileLease&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLease& FileLease::operator=(FileLease&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool FileLease::Take(const std::u16string& path) {
  Release();
  const std::string file = ToUtf8(path);
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do rc = ::flock(fd, LOCK_SH);
  while (rc != 0 && errno == EINTR);
  // A cleaner may have held the reserve and removed it before we got it.
  if (rc != 0 || !IsLinkedAt(fd, file)) {
    CloseKeepingErrno(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void FileLease::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool CreateUniqueTempFile(const std::u16string& folder, const std::u16string& prefix, std::u16string& path,
                          FileLease& lease) {
  const std::string base = ToUtf8(folder) + ToUtf8(prefix.substr(0, 3));
  // Like GetTempFileName: a 16-bit number in hexadecimal, tried from a random
  // start until a name is free.
  std::random_device device;
  const unsigned start = device() & 0xFFFFu;
  for (unsigned i = 0; i < 0x10000u; ++i) {
    const unsigned number = ((start + i) & 0xFFFFu) ? (start + i) & 0xFFFFu : 1u;
    char name[16];
    std::snprintf(name, sizeof name, "%X.tmp", number);
    const std::string candidate = base + name;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno != EEXIST) return false;
      continue;
    }
    ::close(fd);
    // Unlinked already: a cleaner took it between our open and our flock.
    if (lease.Take(FromUtf8(candidate))) {
      path = FromUtf8(candidate);
      return true;
    }
  }
  errno = EEXIST;
  return false;
}

std::u16string TempFileReserve(const std::u16string& path) {
  const std::size_t dot = path.rfind(u'.');
  const std::size_t slash = path.rfind(u'/');
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) return {};
  return path.substr(0, dot) + u".tmp";
}

std::vector<std::u16string> RemoveAbandonedTempFiles(const std::u16string& folder, const std::u16string& prefix,
                                                     const std::vector<std::u16string>& spare) {
  std::vector<std::u16string> removed;
  const std::string dir = ToUtf8(folder);
  const std::string start = ToUtf8(prefix.substr(0, 3));
  if (start.empty()) return removed;

  std::set<std::string> spared;
  for (const std::u16string& path : spare) {
    const std::string text = ToUtf8(path);
    const std::size_t slash = text.rfind('/');
    if (slash == std::string::npos || text.compare(0, slash + 1, dir) != 0 || slash + 1 != dir.size()) continue;
    const std::string stem = StemOf(text.substr(slash + 1), start);
    if (!stem.empty()) spared.insert(stem);
  }

  // Stem -> the names that carry it.
  std::map<std::string, std::vector<std::string>> stems;
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return removed;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    const std::string stem = StemOf(name, start);
    if (!stem.empty() && spared.count(stem) == 0) stems[stem].push_back(name);
  }
  ::closedir(listing);

  for (const auto& [stem, names] : stems) {
    const std::string reserve = dir + stem + ".tmp";
    const int fd = ::open(reserve.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) continue;
    // Held: some running process uses the file. Replaced meanwhile: the
    // name belongs to whoever made it now.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !IsLinkedAt(fd, reserve)) {
      ::close(fd);
      continue;
    }
    for (const std::string& name : names) {
      if (name == stem + ".tmp") continue;
      const std::string path = dir + name;
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
      if (::unlink(path.c_str()) == 0) removed.push_back(FromUtf8(path));
    }
    if (::unlink(reserve.c_str()) == 0 &&
        std::find(names.begin(), names.end(), stem + ".tmp") != names.end()) {
      removed.push_back(FromUtf8(reserve));
    }
    ::close(fd);
  }
  return removed;
}

}  // namespace platform
