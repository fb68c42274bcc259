// Ctrl-C and SIGTERM as a request to stop, for command-line tools whose work
// must end cleanly (vexaro-store fetch cancels its download and removes the
// unfinished file, instead of dying with it on disk).
//
// Calling sequence: construct on the main thread before any other thread
// exists, so that every later thread inherits the blocked signals; the
// callback then runs on the watch's own thread, once per signal. The
// destructor stops the watch and restores the signal mask; a signal that
// arrived after the last callback is delivered then, as it would have been.
#pragma once

#include <functional>
#include <thread>

namespace platform {

class InterruptWatch {
 public:
  explicit InterruptWatch(std::function<void()> onInterrupt);
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  std::function<void()> onInterrupt_;
  int signalFd_ = -1;
  int stopFd_ = -1;
  bool blocked_ = false;
  std::thread thread_;
};

}  // namespace platform
