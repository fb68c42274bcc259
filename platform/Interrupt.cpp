#include "platform/Interrupt.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt) : onInterrupt_(std::move(onInterrupt)) {
  const sigset_t set = StopSignals();
  blocked_ = ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
  signalFd_ = blocked_ ? ::signalfd(-1, &set, SFD_CLOEXEC) : -1;
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  // Without the descriptors the signals keep their default action.
  if (signalFd_ < 0 || stopFd_ < 0) return;
  thread_ = std::thread([this] {
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      signalfd_siginfo info{};
      if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) onInterrupt_();
    }
  });
}

InterruptWatch::~InterruptWatch() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopFd_, &one, sizeof one);
    thread_.join();
  }
  if (signalFd_ >= 0) ::close(signalFd_);
  if (stopFd_ >= 0) ::close(stopFd_);
  if (blocked_) {
    const sigset_t set = StopSignals();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

}  // namespace platform
