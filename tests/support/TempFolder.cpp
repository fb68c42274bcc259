#include "support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <unistd.h>

#include "platform/Text.h"

namespace testsupport {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/vexaro-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // Tests may leave read-only folders behind (failed-write cases); make them
  // writable again so the removal gets everything.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::u16string TempFolder::File16(const std::string& name) const {
  return platform::FromUtf8(File(name));
}

namespace {

void Remember(const char* name, std::string& old, bool& had) {
  const char* value = std::getenv(name);
  had = value != nullptr;
  if (had) old = value;
}

void Restore(const char* name, const std::string& old, bool had) {
  if (had) ::setenv(name, old.c_str(), 1);
  else ::unsetenv(name);
}

}  // namespace

TempDataHome::TempDataHome() {
  Remember("XDG_DATA_HOME", oldData_, hadData_);
  Remember("XDG_CACHE_HOME", oldCache_, hadCache_);
  Remember("XDG_RUNTIME_DIR", oldRuntime_, hadRuntime_);
  Remember("VEXARO_LOCK_SCOPE", oldScope_, hadScope_);
  // The mkdtemp suffix: letters and digits only, so the lock object names
  // carry it unescaped.
  const std::string folderName = fs::path(root_.Path()).filename().string();
  scope_ = folderName.substr(folderName.size() - 6);
  ::setenv("VEXARO_LOCK_SCOPE", scope_.c_str(), 1);
  fs::create_directories(root_.File("runtime"));
  ::setenv("XDG_DATA_HOME", root_.File("data").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", root_.File("cache").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", root_.File("runtime").c_str(), 1);
}

TempDataHome::~TempDataHome() {
  Restore("XDG_DATA_HOME", oldData_, hadData_);
  Restore("XDG_CACHE_HOME", oldCache_, hadCache_);
  Restore("XDG_RUNTIME_DIR", oldRuntime_, hadRuntime_);
  Restore("VEXARO_LOCK_SCOPE", oldScope_, hadScope_);
  // A test that sent the runtime folder elsewhere (platform/RuntimeFolder.h)
  // may have left objects of its scope in a place shared with other runs.
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const char* home = std::getenv("HOME");
  const char* tmp = std::getenv("TMPDIR");
  const std::string uid = std::to_string(::geteuid());
  const std::string places[] = {
      "/run/user/" + uid + "/Vexaro",
      std::string(home != nullptr ? home : "/nonexistent") + "/.cache/Vexaro/runtime-" + host,
      std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/vexaro-" + uid,
  };
  std::error_code ignored;
  for (const std::string& place : places) {
    for (const auto& entry : fs::directory_iterator(place, ignored)) {
      const std::string name = entry.path().filename().string();
      if (name.size() > scope_.size() && name.compare(name.size() - scope_.size() - 1, std::string::npos, "@" + scope_) == 0)
        fs::remove(entry.path(), ignored);
    }
  }
}

std::string TempDataHome::DataFile(const std::string& name) const {
  return root_.File("data/Vexaro/" + name);
}

std::string TempDataHome::CacheFolder() const { return root_.File("cache/Vexaro"); }

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void PublishFile(const std::string& path, const std::string& bytes) {
  const std::string part = path + ".publishing";
  WriteFileBytes(part, bytes);
  std::filesystem::rename(part, path);
}

}  // namespace testsupport
