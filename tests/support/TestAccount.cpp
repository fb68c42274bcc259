#include "support/TestAccount.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
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

}  // namespace

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

std::vector<std::string> RunAs(const TestAccount& account, const std::map<std::string, std::string>& environment) {
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
