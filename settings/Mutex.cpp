#include "settings/Mutex.h"

#include "platform/Errors.h"
#include "platform/NamedMutex.h"
#include "settings/ErrorSites.h"
#include "settings/Settings.h"

namespace settings {

namespace {

int Point(std::uint32_t errorBase, const errors::LockErrorKind& kind) {
  return static_cast<int>(errorBase + kind.offset);
}

}  // namespace

Mutex::Mutex(const std::u16string& name, std::uint32_t errorBase)
    : errorBase_(errorBase), name_(name) {
  // Before the lock is looked for: a report made while holding a lock could
  // wait for "SettingsFileTab" behind it.
  ReportRuntimeFolderProblems();
  auto mutex = std::make_unique<platform::NamedMutex>();
  if (!mutex->Create(u"Global\\Ombrel" + name_)) {
    const std::uint32_t error = platform::LastError();
    const errors::LockErrorKind& kind = platform::IsUnusableObjectError(error) ? errors::kLockWait : errors::kLockCreate;
    ReportError(error, errors::kLockGroup, Point(errorBase_, kind), kind.text);
    return;
  }
  handle_ = std::move(mutex);

  switch (handle_->Wait(kLockTimeoutMs)) {
    case platform::WaitResult::Acquired:
      locked_ = true;
      break;
    case platform::WaitResult::TimedOut:
      ReportError(platform::LastError(), errors::kLockGroup, Point(errorBase_, errors::kLockTimeout),
                  errors::kLockTimeout.text);
      handle_.reset();
      break;
    case platform::WaitResult::Failed:
      ReportError(platform::LastError(), errors::kLockGroup, Point(errorBase_, errors::kLockWait),
                  errors::kLockWait.text);
      break;
    case platform::WaitResult::Abandoned:
      // The dead owner may have left its file half-written, so the caller
      // must not use it; the ownership is still ours to give back below.
      abandoned_ = true;
      break;
  }
}

Mutex::~Mutex() {
  locked_ = false;
  if (!handle_) return;
  // A handle whose wait failed is not ours: the release fails and that is
  // reported, which is how a lock that cannot be waited on shows up in the
  // error record.
  if (!handle_->Release()) {
    ReportError(platform::LastError(), errors::kLockGroup, Point(errorBase_, errors::kLockRelease),
                errors::kLockRelease.text);
  }
  handle_.reset();
}

}  // namespace settings
