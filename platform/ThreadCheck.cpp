#include "platform/ThreadCheck.h"

#ifdef VEXARO_THREAD_CHECK

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

#include <map>
#include <memory>
#include <mutex>

namespace platform::threadcheck {

namespace {

bool RuntimeSeesClockLock() {
  static const bool seen = ::dlsym(RTLD_DEFAULT, "__interceptor_pthread_mutex_clocklock") != nullptr;
  return seen;
}

// One token per lock name for the life of the process; its address stands
// for the lock in the checker's eyes.
void* TokenFor(const std::string& name) {
  static std::mutex lock;
  static auto* tokens = new std::map<std::string, std::unique_ptr<char>>;
  std::lock_guard<std::mutex> guard(lock);
  std::unique_ptr<char>& token = (*tokens)[name];
  if (!token) {
    token = std::make_unique<char>(0);
    __tsan_mutex_create(token.get(), __tsan_mutex_write_reentrant);
  }
  return token.get();
}

}  // namespace

void LockCheck::Mapped(const std::string& name, pthread_mutex_t* mutexes, std::size_t count) {
  token_ = TokenFor(name);
  held_ = 0;
  if (RuntimeSeesClockLock()) return;
  // Recursive, and initialised without this process seeing it (linker_init:
  // no creation write to report against other threads' locks).
  for (std::size_t i = 0; i < count; ++i) {
    __tsan_mutex_create(&mutexes[i], __tsan_mutex_linker_init | __tsan_mutex_write_reentrant);
  }
}

void LockCheck::Unmapped() {
  token_ = nullptr;
  held_ = 0;
}

void LockCheck::BeforeWait(pthread_mutex_t* mutex) {
  if (!RuntimeSeesClockLock()) __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
}

void LockCheck::AfterWait(pthread_mutex_t* mutex, bool acquired) {
  if (!RuntimeSeesClockLock()) {
    __tsan_mutex_post_lock(mutex, acquired ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
                           0);
  }
  if (!acquired) return;
  __tsan_mutex_pre_lock(token_, __tsan_mutex_try_lock);
  __tsan_mutex_post_lock(token_, __tsan_mutex_try_lock, 0);
  ++held_;
}

void LockCheck::BeforeRelease() {
  // A release that does not own the mutex fails and releases nothing.
  if (held_ == 0) return;
  --held_;
  __tsan_mutex_pre_unlock(token_, 0);
  __tsan_mutex_post_unlock(token_, 0);
}

}  // namespace platform::threadcheck

#endif
