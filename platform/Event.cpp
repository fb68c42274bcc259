#include "platform/Event.h"

namespace platform {

void AutoResetEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_one();
}

bool AutoResetEvent::TryWait() {
  std::lock_guard lock(mutex_);
  const bool was = signalled_;
  signalled_ = false;
  return was;
}

bool AutoResetEvent::Wait(std::uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) return false;
  signalled_ = false;
  return true;
}

}  // namespace platform
