#include "platform/Folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Text.h"

namespace platform {

namespace {

std::string EnvUtf8(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::u16string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return FromUtf8(path);
}

// The XDG rules ignore relative values; an unusable HOME leaves no base.
std::u16string XdgFolder(const char* variable, const char* homeRelative) {
  std::string value = EnvUtf8(variable);
  if (!value.empty() && value[0] == '/') return WithSlash(value);
  const std::string home = EnvUtf8("HOME");
  if (home.empty() || home[0] != '/') {
    errno = ENOENT;
    return {};
  }
  return WithSlash(home + "/" + homeRelative);
}

}  // namespace

std::u16string DataHome() { return XdgFolder("XDG_DATA_HOME", ".local/share"); }

std::u16string CacheHome() { return XdgFolder("XDG_CACHE_HOME", ".cache"); }

std::u16string TempDir() {
  const std::string tmp = EnvUtf8("TMPDIR");
  if (!tmp.empty() && tmp[0] == '/') return WithSlash(tmp);
  return u"/tmp/";
}

std::u16string PrivateTempDir() {
  const std::string folder = ToUtf8(TempDir()) + "vexaro-" + std::to_string(::geteuid());
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  // lstat: a symbolic link planted under our name must not be followed.
  if (::lstat(folder.c_str(), &st) != 0) return {};
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    errno = EACCES;
    return {};
  }
  return FromUtf8(folder + "/");
}

bool CreateFolderTree(const std::u16string& path) {
  const std::string full = ToUtf8(path);
  struct stat st {};
  for (std::size_t pos = 1; pos <= full.size(); ++pos) {
    if (pos != full.size() && full[pos] != '/') continue;
    const std::string part = full.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  if (::stat(full.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

std::u16string GetEnv(const char* name) { return FromUtf8(EnvUtf8(name)); }

}  // namespace platform
