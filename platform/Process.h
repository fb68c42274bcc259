// Starting the converter from a Windows-style command line.
//
// Splitting follows the Microsoft C runtime (2008 and later), whose rules
// CommandLineToArgvW shares but for runs of quotes inside quotes:
//   - arguments are separated by blanks and tabs outside quotes;
//   - a double quote starts or ends a quoted part, which may sit inside a
//     larger argument ("a"b is ab); inside a quoted part, "" is a literal quote;
//   - 2n backslashes before a quote give n backslashes and the quote acts as
//     above; 2n+1 give n backslashes and a literal quote; backslashes not
//     before a quote are literal.
// The first argument, the program, knows no escapes: quotes only group, so a
// program path cannot contain a double quote. A command line that begins with
// a blank has an empty program name.
//
// Start() uses posix_spawn (no shell, no PATH search) and puts the child in a
// session of its own (setsid) so that it outlives the manager and gets no
// terminal signals. Like a converter started hidden with no inherited handles,
// it reads nothing: descriptor 0 is /dev/null, and 1 and 2 are /dev/null too
// unless the caller asks for its output (ProcessOutput::Collect: both go to one
// pipe that Wait() drains). Every other descriptor is closed. Signal
// dispositions and the signal mask are reset to the defaults; environment and
// current folder are the caller's.
// StartWithInput() starts a program the same way but for its standard input,
// which reads the bytes it is given and then end of file: a private channel,
// unlike the command line, which every local user can read in /proc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The arguments of commandLine, UTF-8.
std::vector<std::string> SplitCommandLine(const std::u16string& commandLine);

// The inverse for one argument after the first: text wrapped in double quotes,
// with inner quotes and the backslashes that precede a quote (or the closing
// quote) escaped, so that SplitCommandLine gives text back unchanged. Text
// without quotes and without a trailing backslash is only wrapped.
std::u16string QuoteArgument(std::u16string_view text);

// A browser may start us with SIGCHLD ignored (or with SA_NOCLDWAIT), which
// makes the kernel reap our children so that no exit code can be had. This
// puts back the default disposition in that case and leaves any other one
// alone. Call it first thing in main(); Process::Start() calls it as well.
void RestoreChildSignal();

enum class ProcessWait { Exited, TimedOut, Failed };

enum class ProcessOutput { Discard, Collect };

// One child process, used from one thread at a time.
class Process {
 public:
  Process() = default;
  ~Process();  // Close(): does not kill or wait.
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // False with LastError() set when the program cannot be started
  // (kErrFileNotFound when it does not exist or the program name is empty,
  // EACCES when it is not executable, ENOEXEC when it is no program), or when
  // any of the start's settings (descriptors, signals, session) cannot be
  // made; nothing is started then.
  // A Process starts at most one child; Close() it before starting another.
  bool Start(const std::u16string& commandLine, ProcessOutput output = ProcessOutput::Discard);

  // Starts arguments[0] (a path; no PATH search) with arguments as its argv
  // and input on its standard input through a pipe, written whole before
  // this returns (at most writeTimeoutMs; a child that reads nothing while a
  // large input does not fit the pipe makes it fail with kErrTimedOut). The
  // child may read input and end of file at its own pace after that. False
  // with LastError() set when the start or the write failed; after a failed
  // write the child runs on and has seen a cut input.
  bool StartWithInput(const std::vector<std::string>& arguments, std::string_view input,
                      std::uint32_t writeTimeoutMs);

  // Waits at most timeoutMs for the process to end. On Exited, exitCode holds
  // its exit status, or 128 + signal number when it was killed by a signal;
  // later calls return Exited with the same code. Failed (LastError set) when
  // no process was started or it cannot be waited for. With collected output,
  // whatever the child writes meanwhile is read (so it never blocks on a full
  // pipe) and kept for TakeOutput(); after Exited everything it wrote is there.
  ProcessWait Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode);

  // The collected output not taken yet. At most kMaxKeptOutput bytes are kept:
  // a child that writes faster than it is taken loses its oldest bytes.
  std::string TakeOutput();
  static constexpr std::size_t kMaxKeptOutput = 1 << 20;

  // Ends the child and its process group: SIGTERM, then SIGKILL when it has not
  // ended after graceMs. Returns once it has ended (Exited, with its code), or
  // Failed when it cannot be waited for.
  ProcessWait Terminate(std::uint32_t graceMs, std::uint32_t& exitCode);

  // Forgets the process, reaping it if it already ended. A child that still
  // runs goes on running (and, once it ends, stays a zombie until this
  // process ends, as nothing waits for it any more).
  void Close();

 private:
  // input: the descriptor to give the child as standard input, -1 for
  // /dev/null; output: the one for its standard output and error, -1 for
  // /dev/null.
  bool Spawn(std::vector<std::string> arguments, int input, int output);

  int pid_ = -1;
  int pidfd_ = -1;  // -1 when the kernel has no pidfd_open; Wait() then polls
  int outputFd_ = -1;  // read end of the output pipe, non-blocking
  std::string output_;
  bool reaped_ = false;
  std::uint32_t exitCode_ = 0;

  // Reads what the pipe holds now; false at its end (or on an error).
  bool DrainOutput();
};

}  // namespace platform
