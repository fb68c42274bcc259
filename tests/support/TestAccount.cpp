#include "support/TestAccount.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "support/HelperProcess.h"

namespace testsupport {

namespace fs = std::filesystem;

namespace {

bool Find(const std::string& name, TestAccount& account) {
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
  account = {name, found->pw_uid, found->pw_gid};
  return true;
}

int Run(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  std::vector<std::string> copy = command;
  for (std::string& part : copy) argv.push_back(part.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The sanitizers' option parser splits flags at these.
bool IsFlagSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':'; }

// Where the value starting at begin ends: after its closing quote when it is
// quoted, else at the next separator.
std::size_t ValueEnd(const std::string& options, std::size_t begin) {
  if (begin < options.size() && (options[begin] == '\'' || options[begin] == '"')) {
    const std::size_t close = options.find(options[begin], begin + 1);
    return close == std::string::npos ? options.size() : close + 1;
  }
  std::size_t end = begin;
  while (end < options.size() && !IsFlagSeparator(options[end])) ++end;
  return end;
}

std::string Unquoted(const std::string& value) {
  if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// FNV-1a: the same name for the same bytes in every test program, whatever
// its standard library's std::hash does.
std::uint64_t ContentHash(const std::string& bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

// A world-readable copy of path in /tmp (sticky and open to every account),
// or empty.
std::string PublishReadableCopy(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return {};
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(ContentHash(bytes)));
  const std::string copy = "/tmp/vexaro-suppressions-" + std::string(hash) + "-" + fs::path(path).filename().string();
  // Tests running side by side publish the same copy: each writes a file of
  // its own and renames it over the name, which readers then find whole.
  std::string part = copy + ".XXXXXX";
  const int fd = ::mkstemp(part.data());
  if (fd < 0) return {};
  bool written = ::fchmod(fd, 0644) == 0;
  for (std::size_t done = 0; written && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  written = ::close(fd) == 0 && written;
  if (!written || ::rename(part.c_str(), copy.c_str()) != 0) {
    ::unlink(part.c_str());
    return {};
  }
  return copy;
}

}  // namespace

std::string ReadableSuppressions(const std::string& options) {
  static const std::string kFlag = "suppressions=";
  std::string result;
  std::size_t at = 0;
  while (at < options.size()) {
    if (IsFlagSeparator(options[at])) {
      result += options[at++];
      continue;
    }
    std::size_t equals = at;
    while (equals < options.size() && options[equals] != '=' && !IsFlagSeparator(options[equals])) ++equals;
    if (equals == options.size() || options[equals] != '=') {  // a flag without a value
      result.append(options, at, equals - at);
      at = equals;
      continue;
    }
    const std::size_t end = ValueEnd(options, equals + 1);
    if (options.compare(at, equals + 1 - at, kFlag) == 0) {
      const std::string value = options.substr(equals + 1, end - equals - 1);
      const std::string copy = PublishReadableCopy(Unquoted(value));
      result += kFlag + (copy.empty() ? value : copy);
    } else {
      result.append(options, at, end - at);
    }
    at = end;
  }
  return result;
}

bool EnsureTestAccount(const std::string& name, TestAccount& account, std::string& why) {
  if (::geteuid() != 0) {
    why = "needs root to act as a second local user";
    return false;
  }
  for (const char* tool : {"/usr/sbin/useradd", "/usr/bin/setpriv", "/usr/bin/env"}) {
    if (!fs::exists(tool)) {
      why = std::string("needs ") + tool;
      return false;
    }
  }
  // Parallel tests may race to make it; useradd locks the account files, and
  // whoever loses finds it made.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (Find(name, account)) return true;
    Run({"/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
         "/usr/sbin/nologin", "--user-group", name});
    if (Find(name, account)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  why = "useradd could not make the account " + name;
  return false;
}

std::vector<std::string> RunAs(const TestAccount& account, const std::map<std::string, std::string>& given) {
  std::map<std::string, std::string> environment = given;
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const auto set = given.find(name);
    const char* inherited = std::getenv(name);
    const std::string options = set != given.end() ? set->second : inherited ? inherited : "";
    if (options.empty()) continue;  // unset, or unset here
    const std::string readable = ReadableSuppressions(options);
    if (readable != options) environment[name] = readable;
  }
  std::vector<std::string> prefix{"/usr/bin/setpriv", "--reuid=" + std::to_string(account.uid),
                                  "--regid=" + std::to_string(account.gid), "--clear-groups", "--",
                                  "/usr/bin/env"};
  for (const auto& [name, value] : environment) {
    if (value.empty()) {
      prefix.push_back("-u");
      prefix.push_back(name);
    }
  }
  for (const auto& [name, value] : environment) {
    if (!value.empty()) prefix.push_back(name + "=" + value);
  }
  return prefix;
}

std::string ProgramCopyFor(const std::string& folder) {
  const std::string copy = folder + "/" + fs::path(SelfExe()).filename().string();
  std::error_code error;
  if (!fs::exists(copy) && !fs::copy_file(SelfExe(), copy, error)) return {};
  ::chmod(copy.c_str(), 0755);
  return copy;
}

void GiveTo(const TestAccount& account, const std::string& path) {
  if (::chown(path.c_str(), account.uid, account.gid) != 0) {
    // The test then fails where the account cannot use it, which says more.
  }
}

}  // namespace testsupport
