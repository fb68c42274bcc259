#include "platform/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "platform/Text.h"
#include "platform/WriteAll.h"

namespace platform {

namespace detail {

bool WriteAll(int fd, const char* data, std::size_t size, long long offset) {
  while (size > 0) {
    const ssize_t n = offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    if (offset >= 0) offset += n;
  }
  return true;
}

}  // namespace detail

namespace {

int OpenForReading(const std::u16string& path, Share share) {
  const int fd = ::open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return -1;
  }
  if (share == Share::None && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Closes fd without letting close() overwrite the errno of an earlier failure.
void CloseKeepingErrno(int fd) {
  const int error = errno;
  ::close(fd);
  errno = error;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Temporary files of a replace are this prefix + six characters of mkostemp.
// The prefix is particular enough that nothing but a replace of that same
// file makes such a name.
std::string TemporaryPrefix(const std::string& target) { return target + ".vexaro-tmp-"; }

}  // namespace

InputFile::~InputFile() { Close(); }

InputFile::InputFile(InputFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool InputFile::Open(const std::u16string& path, Share share) {
  Close();
  fd_ = OpenForReading(path, share);
  return fd_ >= 0;
}

long long InputFile::Read(void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

long long InputFile::Size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

void InputFile::Close() {
  if (fd_ >= 0) CloseKeepingErrno(fd_);
  fd_ = -1;
}

OutputFile::~OutputFile() { Close(); }

bool OutputFile::Open(const std::u16string& path) {
  Close();
  fd_ = ::open(ToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd_ >= 0;
}

bool OutputFile::Write(const void* data, std::size_t size) {
  return detail::WriteAll(fd_, static_cast<const char*>(data), size);
}

bool OutputFile::Close() {
  if (fd_ < 0) return true;
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0;
}

bool CanOpen(const std::u16string& path, Share share) {
  const int fd = OpenForReading(path, share);
  if (fd < 0) return false;
  CloseKeepingErrno(fd);
  return true;
}

bool ReadWholeFile(const std::u16string& path, std::string& bytes) {
  InputFile file;
  if (!file.Open(path, Share::Read)) return false;
  bytes.clear();
  char buffer[65536];
  for (;;) {
    const long long n = file.Read(buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

namespace {

// Follows the chain of symbolic links at path (relative targets from each
// link's folder), as many hops as the kernel allows when it follows links
// itself, but only through links that owner has, when one is given. Returns
// where it stopped; complete is false when a link could not be read or the
// chain was too long (errno set).
std::string FollowChain(const std::string& path, const uid_t* owner, bool& complete) {
  std::string current = path;
  complete = false;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) || (owner && st.st_uid != *owner)) {
      complete = true;
      return current;
    }
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n <= 0) return current;
    target.resize(static_cast<std::size_t>(n));
    current = target[0] == '/' ? target : FolderOf(current) + "/" + target;
  }
  errno = ELOOP;
  return current;
}

// The file a chain of links at path ends in, or empty when it cannot be
// followed to its end.
std::string ResolveLinks(const std::string& path) {
  bool complete = false;
  std::string end = FollowChain(path, nullptr, complete);
  return complete ? end : std::string();
}

}  // namespace

std::u16string WrittenPath(const std::u16string& path) {
  const uid_t user = ::geteuid();
  bool complete = false;
  return FromUtf8(FollowChain(ToUtf8(path), &user, complete));
}

bool EntryExists(const std::u16string& path) {
  struct stat st {};
  return ::lstat(ToUtf8(path).c_str(), &st) == 0;
}

bool AtomicReplace(const std::u16string& path, std::string_view bytes) {
  const std::string target = ResolveLinks(ToUtf8(path));
  if (target.empty()) return false;
  const std::string folder = FolderOf(target);
  mode_t mode = 0600;
  struct stat existing {};
  // An unshared open of the current file holds its flock; replacing the file
  // under it would break that promise, so the replace collides the same way.
  int held = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
  if (held < 0 && errno == EACCES) held = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
  if (held < 0 && errno != ENOENT) return false;
  if (held >= 0) {
    if (::fstat(held, &existing) != 0) {
      CloseKeepingErrno(held);
      return false;
    }
    if (S_ISDIR(existing.st_mode)) {
      ::close(held);
      errno = EISDIR;
      return false;
    }
    if (::flock(held, LOCK_EX | LOCK_NB) != 0) {
      CloseKeepingErrno(held);
      return false;
    }
    mode = existing.st_mode & 07777;
  }

  // A name of our own beside the target: rename() is only atomic within one
  // file system, and a crash leaves at worst this stray file, never a torn
  // target (RemoveLeftoverTemporaries clears those).
  std::string temp = TemporaryPrefix(target) + "XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  bool ok = fd >= 0;
  if (ok) {
    ok = ::fchmod(fd, mode) == 0 && detail::WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    if (!ok) CloseKeepingErrno(fd);
    else ok = ::close(fd) == 0;
    if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
      const int error = errno;
      ::unlink(temp.c_str());
      errno = error;
    }
  }
  if (held >= 0) CloseKeepingErrno(held);
  if (!ok) return false;
  // The rename is durable only once the folder entry is on disk; a failure
  // here cannot be undone and the new content is already visible, so it does
  // not fail the replace.
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

int RemoveLeftoverTemporaries(const std::u16string& path) {
  const std::string target = ResolveLinks(ToUtf8(path));
  if (target.empty()) return 0;
  const std::string prefix = TemporaryPrefix(target);
  const std::string folder = FolderOf(target);
  const std::string namePrefix = prefix.substr(prefix.rfind('/') + 1);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() != namePrefix.size() + 6 || !name.starts_with(namePrefix)) continue;
    // Only what mkostemp makes: six letters or digits after the prefix.
    bool generated = true;
    for (const char c : name.substr(namePrefix.size())) generated = generated && std::isalnum(static_cast<unsigned char>(c));
    struct stat st {};
    if (!generated || ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
      continue;
    }
    if (::unlinkat(::dirfd(dir), entry->d_name, 0) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

bool CreateExclusive(const std::u16string& path, unsigned mode) {
  const int fd = ::open(ToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

long long FileSize(const std::u16string& path) {
  struct stat st {};
  if (::stat(ToUtf8(path).c_str(), &st) != 0) return -1;
  return st.st_size;
}

bool FileExists(const std::u16string& path) {
  struct stat st {};
  return ::stat(ToUtf8(path).c_str(), &st) == 0;
}

bool RemoveFile(const std::u16string& path) { return ::unlink(ToUtf8(path).c_str()) == 0; }

bool RenameFile(const std::u16string& from, const std::u16string& to) {
  return ::rename(ToUtf8(from).c_str(), ToUtf8(to).c_str()) == 0;
}

bool RenameNoReplace(const std::u16string& from, const std::u16string& to) {
  const std::string source = ToUtf8(from);
  const std::string destination = ToUtf8(to);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  if (::link(source.c_str(), destination.c_str()) != 0) return false;
  ::unlink(source.c_str());
  return true;
}

bool CreateFolder(const std::u16string& path) { return ::mkdir(ToUtf8(path).c_str(), 0700) == 0; }

}  // namespace platform
