// An auto-reset event: Set() lets exactly one TryWait()/Wait() succeed, which
// consumes the signal. Signals do not count: two Set() calls before a wait
// still release one waiter, as with a Windows auto-reset event.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class AutoResetEvent {
 public:
  void Set();
  // Tests without waiting; consumes the signal when it finds one.
  bool TryWait();
  // Waits at most timeoutMs; consumes the signal when it finds one.
  bool Wait(std::uint32_t timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace platform
