// Helper processes for cross-process tests.
//
// A test program registers helpers by name (VEXARO_TEST_HELPER); the shared
// main() runs the helper instead of the tests when the program is started as
//   <test program> --vexaro-helper=NAME ARG...
// Helpers return their exit code. StartHelper() starts the current test
// program that way, with the current environment.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

using HelperFunction = std::function<int(const std::vector<std::string>& args)>;

bool RegisterHelper(const std::string& name, HelperFunction function);

#define VEXARO_TEST_HELPER(name)                                                 \
  static int name##_helper(const std::vector<std::string>& args);                \
  [[maybe_unused]] static const bool name##_registered =                         \
      ::testsupport::RegisterHelper(#name, name##_helper);                       \
  static int name##_helper([[maybe_unused]] const std::vector<std::string>& args)

class HelperProcess {
 public:
  HelperProcess(const std::string& name, const std::vector<std::string>& args);
  // Started through a prefix command (e.g. RunAs() below), which runs program
  // --vexaro-helper=NAME ARG...; program is this test program or a copy of it.
  HelperProcess(const std::string& name, const std::vector<std::string>& args, const std::vector<std::string>& prefix,
                const std::string& program);
  ~HelperProcess();  // kills (SIGKILL) and reaps a helper still running
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  int Pid() const { return pid_; }
  // Waits for the exit and returns the exit code (128 + signal when killed).
  int Wait();
  void Kill();  // SIGKILL, then reap

 private:
  int pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// Path of the running test program (/proc/self/exe).
std::string SelfExe();

// Blocks until path exists or timeoutMs passes; true when it exists. Helpers
// signal readiness by creating a file.
bool WaitForFile(const std::string& path, int timeoutMs);

}  // namespace testsupport
