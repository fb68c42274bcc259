#include "platform/RuntimeFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <tuple>

#include "platform/Text.h"

namespace platform {

namespace {

std::mutex& ProblemsLock() {
  static std::mutex lock;
  return lock;
}

struct Problems {
  std::set<std::tuple<int, std::string, std::uint32_t>> seen;
  std::vector<RuntimePlaceProblem> untaken;
};

Problems& TheProblems() {
  static auto* problems = new Problems;  // reports may come from threads still running at exit
  return *problems;
}

void Note(RuntimePlace place, const std::string& path, std::uint32_t error) {
  std::lock_guard<std::mutex> guard(ProblemsLock());
  Problems& problems = TheProblems();
  if (problems.seen.emplace(static_cast<int>(place), path, error).second) {
    problems.untaken.push_back({place, path, error});
  }
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string WithoutSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Whether nobody but root and us can change what folder stands under this
// path: every folder from / down to path is owned by root or us and, where
// others may write to it, sticky (so they cannot rename our entries away).
// path itself must be ours when ours is set.
bool Trusted(const std::string& path, bool ours) {
  if (path.empty() || path[0] != '/') {
    errno = ENOENT;
    return false;
  }
  const uid_t me = ::geteuid();
  std::size_t end = 0;
  for (;;) {
    end = path.find('/', end + 1);
    const std::string prefix = end == std::string::npos ? path : path.substr(0, end);
    struct stat st {};
    if (::stat(prefix.empty() ? "/" : prefix.c_str(), &st) != 0) return false;
    const bool last = end == std::string::npos;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    const bool ownerOk = last && ours ? st.st_uid == me : (st.st_uid == 0 || st.st_uid == me);
    const bool writeOk = (st.st_mode & 022) == 0 || (st.st_mode & S_ISVTX) != 0;
    if (!ownerOk || !writeOk) {
      errno = EACCES;
      return false;
    }
    if (last) return true;
  }
}

// parent/name, made (mode 0700) when missing, when it is ours: a real folder
// (a link planted under the name is refused, not followed) owned by us.
// private_ additionally asks for no access at all for group and others;
// otherwise only their write access is refused.
bool OurChild(const std::string& parent, const std::string& name, bool private_, std::string& folder) {
  folder = parent + "/" + name;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & (private_ ? 077 : 022)) != 0) {
    errno = EACCES;
    return false;
  }
  return true;
}

// base/Vexaro when base is a runtime folder of ours. Missing bases are not a
// problem; unusable ones are.
bool RuntimeBase(RuntimePlace place, const std::string& base, std::string& folder) {
  if (base.empty() || base[0] != '/') return false;
  struct stat st {};
  if (::stat(base.c_str(), &st) != 0 && errno == ENOENT) return false;
  if (Trusted(base, true) && OurChild(base, "Vexaro", true, folder)) return true;
  Note(place, base, static_cast<std::uint32_t>(errno));
  return false;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  std::string clean;
  for (const char* c = name; *c != '\0'; ++c) {
    const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                       *c == '.' || *c == '-' || *c == '_';
    clean += plain ? *c : '_';
  }
  return clean;
}

std::string PasswordHome() {
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return {};
  }
  return found->pw_dir;
}

bool HomePlace(const std::string& home, std::string& folder) {
  std::string cache, vexaro;
  if (Trusted(home, true) && OurChild(home, ".cache", false, cache) && OurChild(cache, "Vexaro", false, vexaro) &&
      OurChild(vexaro, "runtime-" + HostName(), true, folder)) {
    return true;
  }
  Note(RuntimePlace::Home, home, static_cast<std::uint32_t>(errno));
  return false;
}

bool TemporaryPlace(const std::string& temp, std::string& folder, std::uint32_t& error) {
  if (Trusted(temp, false) && OurChild(temp, "vexaro-" + std::to_string(::geteuid()), true, folder)) return true;
  error = static_cast<std::uint32_t>(errno);
  Note(RuntimePlace::Temporary, temp + "/vexaro-" + std::to_string(::geteuid()), error);
  return false;
}

// Place 5, made once per process with mkdtemp (new, ours, 0700).
bool ProcessOwnPlace(const std::vector<std::string>& temps, std::uint32_t error, std::string& folder) {
  static std::mutex lock;
  static std::string made;
  std::lock_guard<std::mutex> guard(lock);
  struct stat st {};
  if (!made.empty() && ::lstat(made.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
    folder = made;
    return true;
  }
  for (const std::string& temp : temps) {
    if (!Trusted(temp, false)) continue;
    std::string pattern = temp + "/vexaro-" + std::to_string(::geteuid()) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
      made = folder = pattern;
      Note(RuntimePlace::ProcessOwn, made, error);
      return true;
    }
  }
  return false;
}

struct Found {
  RuntimePlace place;
  std::string folder;
};

bool Find(Found& found) {
  const std::string xdg = WithoutSlash(Env("XDG_RUNTIME_DIR"));
  if (RuntimeBase(RuntimePlace::RuntimeDir, xdg, found.folder)) {
    found.place = RuntimePlace::RuntimeDir;
    return true;
  }
  const std::string system = "/run/user/" + std::to_string(::geteuid());
  if (system != xdg && RuntimeBase(RuntimePlace::SystemRuntimeDir, system, found.folder)) {
    found.place = RuntimePlace::SystemRuntimeDir;
    return true;
  }
  found.place = RuntimePlace::Home;
  const std::string home = WithoutSlash(Env("HOME"));
  if (!home.empty() && home[0] == '/' && HomePlace(home, found.folder)) return true;
  const std::string passwordHome = WithoutSlash(PasswordHome());
  if (!passwordHome.empty() && passwordHome != home && HomePlace(passwordHome, found.folder)) return true;
  if (home.empty() && passwordHome.empty()) Note(RuntimePlace::Home, "~", ENOENT);

  found.place = RuntimePlace::Temporary;
  const std::string tmpdir = WithoutSlash(Env("TMPDIR"));
  const std::string temp = !tmpdir.empty() && tmpdir[0] == '/' ? tmpdir : "/tmp";
  std::uint32_t error = 0;
  if (TemporaryPlace(temp, found.folder, error)) return true;
  std::vector<std::string> temps{temp};
  if (temp != "/tmp") temps.push_back("/tmp");
  found.place = RuntimePlace::ProcessOwn;
  return ProcessOwnPlace(temps, error, found.folder);
}

}  // namespace

std::u16string RuntimeFolder() {
  Found found;
  if (!Find(found)) return {};
  return FromUtf8(found.folder + "/");
}

RuntimePlace CurrentRuntimePlace() {
  Found found{RuntimePlace::ProcessOwn, {}};
  Find(found);
  return found.place;
}

std::vector<RuntimePlaceProblem> TakeRuntimeFolderProblems() {
  std::lock_guard<std::mutex> guard(ProblemsLock());
  std::vector<RuntimePlaceProblem> taken;
  taken.swap(TheProblems().untaken);
  return taken;
}

std::string ScopedRuntimeName(const std::string& base) {
  const std::string scope = Env("VEXARO_LOCK_SCOPE");
  return scope.empty() ? base : base + "@" + scope;
}

}  // namespace platform
