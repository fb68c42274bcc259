#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/Errors.h"
#include "platform/Stream.h"
#include "platform/Text.h"

extern char** environ;

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The program name: quotes only group, backslashes are plain characters.
std::size_t ReadProgramName(const std::string& line, std::string& name) {
  bool quoted = false;
  std::size_t i = 0;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && IsBlank(c)) {
      break;
    } else {
      name += c;
    }
  }
  return i;
}

// One later argument starting at i (not a blank); returns the index after it.
std::size_t ReadArgument(const std::string& line, std::size_t i, std::string& arg) {
  bool quoted = false;
  while (i < line.size()) {
    const char c = line[i];
    if (c == '\\') {
      std::size_t run = 0;
      while (i < line.size() && line[i] == '\\') {
        ++run;
        ++i;
      }
      if (i < line.size() && line[i] == '"') {
        arg.append(run / 2, '\\');
        if (run % 2 == 1) {
          arg += '"';
          ++i;
        }
        // With an even run the quote is read next as a delimiter.
      } else {
        arg.append(run, '\\');
      }
    } else if (c == '"') {
      if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        arg += '"';
        i += 2;
      } else {
        quoted = !quoted;
        ++i;
      }
    } else if (!quoted && IsBlank(c)) {
      break;
    } else {
      arg += c;
      ++i;
    }
  }
  return i;
}

std::uint32_t DecodeStatus(int status) {
  if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return static_cast<std::uint32_t>(WEXITSTATUS(status));
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::u16string& commandLine) {
  // Blanks, tabs, quotes and backslashes are ASCII, so splitting the UTF-8
  // bytes never cuts a character.
  const std::string line = ToUtf8(commandLine);
  std::vector<std::string> args(1);
  std::size_t i = ReadProgramName(line, args[0]);
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    args.emplace_back();
    i = ReadArgument(line, i, args.back());
  }
  return args;
}

std::u16string QuoteArgument(std::u16string_view text) {
  std::u16string quoted = u"\"";
  std::size_t backslashes = 0;
  for (const char16_t c : text) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      quoted.append(2 * backslashes + 1, u'\\');
    } else {
      quoted.append(backslashes, u'\\');
    }
    quoted += c;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, u'\\');
  quoted += u'"';
  return quoted;
}

void RestoreChildSignal() {
  struct sigaction current {};
  if (sigaction(SIGCHLD, nullptr, &current) != 0) return;
  const bool reapedByKernel = (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN;
  if (!reapedByKernel && (current.sa_flags & SA_NOCLDWAIT) == 0) return;
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(SIGCHLD, &standard, nullptr);
}

Process::~Process() { Close(); }

bool Process::Start(const std::u16string& commandLine, ProcessOutput output) {
  if (pid_ >= 0) {
    SetLastError(EBUSY);
    return false;
  }
  int pipeEnds[2] = {-1, -1};
  if (output == ProcessOutput::Collect && pipe2(pipeEnds, O_CLOEXEC) != 0) {
    SetLastError(static_cast<std::uint32_t>(errno));
    return false;
  }
  const bool started = Spawn(SplitCommandLine(commandLine), -1, pipeEnds[1]);
  std::uint32_t error = LastError();
  if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
  if (!started) {
    if (pipeEnds[0] >= 0) ::close(pipeEnds[0]);
    SetLastError(error);
    return false;
  }
  if (pipeEnds[0] >= 0) {
    const int flags = fcntl(pipeEnds[0], F_GETFL);
    if (flags < 0 || fcntl(pipeEnds[0], F_SETFL, flags | O_NONBLOCK) != 0) {
      error = static_cast<std::uint32_t>(errno);
      // The child runs already; without a pipe we can read it would block on
      // its first full one, so it is ended rather than left hanging.
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
      ::close(pipeEnds[0]);
      Close();
      SetLastError(error);
      return false;
    }
    outputFd_ = pipeEnds[0];
  }
  return true;
}

bool Process::StartWithInput(const std::vector<std::string>& arguments, std::string_view input,
                             std::uint32_t writeTimeoutMs) {
  if (pid_ >= 0) {
    SetLastError(EBUSY);
    return false;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    SetLastError(static_cast<std::uint32_t>(errno));
    return false;
  }
  // A pipe that holds the whole input lets us close our end at once, however
  // slowly the child starts reading. Raising it may be refused (the user's
  // pipe quota); the write below then waits for the reader instead.
  if (input.size() > 65536) fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(std::min<std::size_t>(input.size(), 1 << 20)));
  const bool started = Spawn(arguments, ends[0], -1);
  const std::uint32_t spawnError = LastError();
  close(ends[0]);
  if (!started) {
    close(ends[1]);
    SetLastError(spawnError);
    return false;
  }
  fcntl(ends[1], F_SETFL, O_NONBLOCK);
  const StreamResult written = WriteAll(ends[1], input, DeadlineIn(writeTimeoutMs));
  const std::uint32_t writeError = written == StreamResult::TimedOut ? kErrTimedOut : LastError();
  close(ends[1]);
  if (written != StreamResult::Complete) {
    SetLastError(writeError);
    return false;
  }
  return true;
}

bool Process::Spawn(std::vector<std::string> args, int input, int output) {
  if (pid_ >= 0) {
    SetLastError(EBUSY);
    return false;
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  if (args.empty()) {
    SetLastError(kErrFileNotFound);
    return false;
  }

  // A start inherited with SIGCHLD ignored would have the kernel reap the
  // child, and its exit code would be lost.
  RestoreChildSignal();

  // Every file action and attribute must be in place: a child started
  // without them could inherit our descriptors or our ignored signals.
  posix_spawn_file_actions_t actions;
  int rc = posix_spawn_file_actions_init(&actions);
  if (rc != 0) {
    SetLastError(static_cast<std::uint32_t>(rc));
    return false;
  }
  posix_spawnattr_t attributes;
  rc = posix_spawnattr_init(&attributes);
  if (rc != 0) {
    posix_spawn_file_actions_destroy(&actions);
    SetLastError(static_cast<std::uint32_t>(rc));
    return false;
  }
  // dup2 clears close-on-exec on the copies only.
  if (input >= 0) rc = posix_spawn_file_actions_adddup2(&actions, input, 0);
  else rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) {
    rc = output >= 0 ? posix_spawn_file_actions_adddup2(&actions, output, 1)
                     : posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // Descriptors opened by libraries without close-on-exec must not leak into
  // a process that may outlive us.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  sigset_t signals;
  sigemptyset(&signals);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&attributes, &signals);
  // Ignored signals survive exec; the child must not inherit an ignored
  // SIGPIPE or SIGINT from us.
  sigfillset(&signals);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attributes, &signals);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(&attributes,
                                  POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }

  pid_t pid = -1;
  if (rc == 0) rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    SetLastError(static_cast<std::uint32_t>(rc));
    return false;
  }
  pid_ = pid;
  output_.clear();
  reaped_ = false;
  exitCode_ = 0;
  // Without pidfd support (old kernel, seccomp) Wait() falls back to polling.
  // (The raw call: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.)
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  return true;
}

bool Process::DrainOutput() {
  if (outputFd_ < 0) return false;
  char buffer[16384];
  for (;;) {
    const ssize_t count = ::read(outputFd_, buffer, sizeof buffer);
    if (count > 0) {
      output_.append(buffer, static_cast<std::size_t>(count));
      if (output_.size() > kMaxKeptOutput) output_.erase(0, output_.size() - kMaxKeptOutput);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    // The end (every writer gone) or an error: nothing more will come.
    ::close(outputFd_);
    outputFd_ = -1;
    return false;
  }
}

std::string Process::TakeOutput() {
  std::string taken;
  taken.swap(output_);
  return taken;
}

ProcessWait Process::Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode) {
  if (pid_ < 0) {
    SetLastError(ECHILD);
    return ProcessWait::Failed;
  }
  if (!reaped_) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto remainingMs = [&deadline] {
      // Rounded up, so that a wait never ends before its time.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      return static_cast<int>(std::max<long long>(left, 0));
    };
    int waitFlags = WNOHANG;
    if (pidfd_ >= 0) {
      for (;;) {
        pollfd entries[2] = {{pidfd_, POLLIN, 0}, {outputFd_, POLLIN, 0}};
        const nfds_t count = outputFd_ >= 0 ? 2 : 1;
        const int ready = poll(entries, count, remainingMs());
        if (ready < 0) {
          if (errno != EINTR) return ProcessWait::Failed;
          continue;
        }
        if (count == 2 && entries[1].revents != 0) DrainOutput();
        if (entries[0].revents != 0) break;
        if (ready == 0 || remainingMs() == 0) return ProcessWait::TimedOut;
      }
      waitFlags = 0;  // the pidfd says it has ended
    }
    for (;;) {
      int status = 0;
      const pid_t reaped = waitpid(pid_, &status, waitFlags);
      if (reaped == pid_) {
        exitCode_ = DecodeStatus(status);
        reaped_ = true;
        break;
      }
      if (reaped < 0 && errno != EINTR) return ProcessWait::Failed;
      if (reaped == 0) {
        DrainOutput();
        const int left = remainingMs();
        if (left == 0) return ProcessWait::TimedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 10)));
      }
    }
    // What it wrote last is in the pipe still. A grandchild holding the pipe
    // open does not keep the read going: only what is there now is taken.
    DrainOutput();
  }
  exitCode = exitCode_;
  return ProcessWait::Exited;
}

ProcessWait Process::Terminate(std::uint32_t graceMs, std::uint32_t& exitCode) {
  if (pid_ < 0) {
    SetLastError(ECHILD);
    return ProcessWait::Failed;
  }
  if (reaped_) return Wait(0, exitCode);
  // The child leads a session and a process group of its own (setsid), so the
  // group's id is its pid and the signal reaches whatever it started too. It
  // is not reaped yet, so the pid cannot have gone to another process.
  kill(-pid_, SIGTERM);
  ProcessWait outcome = Wait(graceMs, exitCode);
  if (outcome != ProcessWait::TimedOut) return outcome;
  kill(-pid_, SIGKILL);
  do {
    outcome = Wait(1000, exitCode);
  } while (outcome == ProcessWait::TimedOut);
  return outcome;
}

void Process::Close() {
  if (pid_ >= 0 && !reaped_) {
    int status = 0;
    waitpid(pid_, &status, WNOHANG);
  }
  if (pidfd_ >= 0) close(pidfd_);
  if (outputFd_ >= 0) close(outputFd_);
  pid_ = -1;
  pidfd_ = -1;
  outputFd_ = -1;
  output_.clear();
  reaped_ = false;
  exitCode_ = 0;
}

}  // namespace platform
