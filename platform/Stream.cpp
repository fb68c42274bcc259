#include "platform/Stream.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Errors.h"

namespace platform {

namespace {

// Waits until fd is ready for events; false on timeout (TimedOut) or failure.
StreamResult WaitReady(int fd, short events, Deadline deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, timeout);
    if (ready > 0) return StreamResult::Complete;  // readable, writable, hung up or in error: the call says which
    if (ready == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return StreamResult::TimedOut;
      continue;
    }
    if (errno != EINTR) {
      SetLastError(static_cast<std::uint32_t>(errno));
      return StreamResult::Failed;
    }
  }
}

// One read of at most want bytes appended to data; Complete when it gave
// something.
StreamResult ReadSome(int fd, std::size_t want, Deadline deadline, std::string& data) {
  char buffer[16384];
  for (;;) {
    const StreamResult ready = WaitReady(fd, POLLIN, deadline);
    if (ready != StreamResult::Complete) return ready;
    const ssize_t got = read(fd, buffer, std::min(want, sizeof buffer));
    if (got > 0) {
      data.append(buffer, static_cast<std::size_t>(got));
      return StreamResult::Complete;
    }
    if (got == 0) return StreamResult::Ended;
    // A non-blocking descriptor may poll ready and still have nothing.
    if (errno == EINTR || errno == EAGAIN) continue;
    SetLastError(static_cast<std::uint32_t>(errno));
    return StreamResult::Failed;
  }
}

}  // namespace

Deadline DeadlineIn(std::uint32_t ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

StreamResult ReadExactly(int fd, std::size_t count, Deadline deadline, std::string& data) {
  const std::size_t target = data.size() + count;
  while (data.size() < target) {
    const StreamResult result = ReadSome(fd, target - data.size(), deadline, data);
    if (result != StreamResult::Complete) return result;
  }
  return StreamResult::Complete;
}

StreamResult ReadToEnd(int fd, std::size_t limit, Deadline deadline, std::string& data) {
  const std::size_t start = data.size();
  for (;;) {
    // One byte more than allowed tells "exactly limit" from "too long".
    const std::size_t read = data.size() - start;
    const StreamResult result = ReadSome(fd, limit + 1 - read, deadline, data);
    if (result == StreamResult::Ended) return StreamResult::Complete;
    if (result != StreamResult::Complete) return result;
    if (data.size() - start > limit) {
      data.resize(start + limit);
      return StreamResult::TooLong;
    }
  }
}

StreamResult WriteAll(int fd, std::string_view data, Deadline deadline) {
  while (!data.empty()) {
    const StreamResult ready = WaitReady(fd, POLLOUT, deadline);
    if (ready != StreamResult::Complete) return ready;
    const ssize_t written = write(fd, data.data(), data.size());
    if (written >= 0) {
      data.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (errno == EINTR || errno == EAGAIN) continue;
    SetLastError(static_cast<std::uint32_t>(errno));
    return StreamResult::Failed;
  }
  return StreamResult::Complete;
}

void IgnoreBrokenPipe() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

int TakeStandardOutput() {
  const int kept = fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (kept < 0) {
    SetLastError(static_cast<std::uint32_t>(errno));
    return -1;
  }
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0 || dup2(null, 1) < 0) {
    SetLastError(static_cast<std::uint32_t>(errno));
    if (null >= 0) close(null);
    close(kept);
    return -1;
  }
  close(null);
  return kept;
}

}  // namespace platform
