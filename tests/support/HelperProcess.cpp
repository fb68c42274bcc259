#include "support/HelperProcess.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>

namespace testsupport {

std::map<std::string, HelperFunction>& Helpers() {
  static std::map<std::string, HelperFunction> helpers;
  return helpers;
}

bool RegisterHelper(const std::string& name, HelperFunction function) {
  Helpers()[name] = std::move(function);
  return true;
}

std::string SelfExe() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

HelperProcess::HelperProcess(const std::string& name, const std::vector<std::string>& args)
    : HelperProcess(name, args, {}, SelfExe()) {}

HelperProcess::HelperProcess(const std::string& name, const std::vector<std::string>& args,
                             const std::vector<std::string>& prefix, const std::string& program) {
  std::vector<std::string> argv = prefix;
  argv.push_back(program);
  argv.push_back("--vexaro-helper=" + name);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
}

HelperProcess::~HelperProcess() {
  if (!reaped_) Kill();
}

int HelperProcess::Wait() {
  if (!reaped_) {
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}

void HelperProcess::Kill() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  Wait();
}

bool WaitForFile(const std::string& path, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  struct stat st {};
  while (::stat(path.c_str(), &st) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testsupport
