#include "settings/Mutex.h"

#include "platform/Errors.h"
#include "platform/NamedMutex.h"
#include "settings/Settings.h"

namespace settings {

namespace {

constexpr int kLockErrorGroup = 13;

int Point(std::uint32_t errorBase, std::uint32_t offset) {
  return static_cast<int>(errorBase + offset);
}

}  // namespace

Mutex::Mutex(const std::u16string& name, std::uint32_t errorBase)
    : errorBase_(errorBase), name_(name) {
  auto mutex = std::make_unique<platform::NamedMutex>();
  const std::u16string globalName = u"Global\\Ombrel" + name_;
  const std::u16string localName = u"Local\\Ombrel" + name_;
  if (!mutex->Create(globalName)) {
    // A mutex that can only be opened is kept but not waited for: the caller
    // treats the lock as not taken.
    if (mutex->Open(globalName)) {
      handle_ = std::move(mutex);
      return;
    }
    if (!mutex->Create(localName)) {
      if (mutex->Open(localName)) handle_ = std::move(mutex);
      else ReportError(platform::LastError(), kLockErrorGroup, Point(errorBase_, 1), u"Mutex::CreateMutex");
      return;
    }
  }
  handle_ = std::move(mutex);

  switch (handle_->Wait(kLockTimeoutMs)) {
    case platform::WaitResult::Acquired:
      locked_ = true;
      break;
    case platform::WaitResult::TimedOut:
      ReportError(platform::LastError(), kLockErrorGroup, Point(errorBase_, 4),
                  u"Mutex::CreateMutex - Timeout");
      handle_.reset();
      break;
    case platform::WaitResult::Failed:
      ReportError(platform::LastError(), kLockErrorGroup, Point(errorBase_, 3),
                  u"Mutex::CreateMutex - Wait error");
      break;
    case platform::WaitResult::Abandoned:
      // The dead owner may have left its file half-written, so the caller
      // must not use it; the ownership is still ours to give back below.
      break;
  }
}

Mutex::~Mutex() {
  locked_ = false;
  if (!handle_) return;
  // A handle that was only opened, or whose wait failed, is not ours: the
  // release fails and that is reported, which is how a lock that another
  // process keeps from being waited on shows up in the error record.
  if (!handle_->Release()) {
    ReportError(platform::LastError(), kLockErrorGroup, Point(errorBase_, 2), u"Mutex::ReleaseMutex");
  }
  handle_.reset();
}

}  // namespace settings
