// What ThreadSanitizer must be told about the named locks.
//
// The checker learns about a mutex from the pthread calls it intercepts, and
// the runtimes we build with (GCC 12, clang 14) do not intercept
// pthread_mutex_clocklock. A named lock taken with it looks free to the
// checker, so every release is reported as the unlock of an unlocked mutex.
// Worse, each NamedMutex maps the shared object at an address of its own, so
// two threads taking the same lock through two objects look like two
// different mutexes, and what the lock guards (a store's IniFile) looks
// unguarded.
//
// LockCheck describes one NamedMutex to the checker: the mapping's mutexes,
// so that the intercepted unlock matches a lock, and one token per lock name
// in this process, which orders every holder of that name whatever its
// mapping. In other builds it is empty and costs nothing. A runtime that does
// intercept pthread_mutex_clocklock is detected and left to see the mapping
// itself.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <string>

#if defined(__SANITIZE_THREAD__)
#define VEXARO_THREAD_CHECK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEXARO_THREAD_CHECK 1
#endif
#endif

namespace platform::threadcheck {

#ifdef VEXARO_THREAD_CHECK

class LockCheck {
 public:
  // name: the lock's object name, the same in every mapping; mutexes: the
  // recursive pthread mutexes of this mapping (set up by whichever process
  // came first, so maybe unseen by this one).
  void Mapped(const std::string& name, pthread_mutex_t* mutexes, std::size_t count);
  void Unmapped();
  // Around the timed lock of one of those mutexes. acquired: it returned 0
  // or EOWNERDEAD.
  void BeforeWait(pthread_mutex_t* mutex);
  void AfterWait(pthread_mutex_t* mutex, bool acquired);
  // Before pthread_mutex_unlock.
  void BeforeRelease();

 private:
  void* token_ = nullptr;
  int held_ = 0;  // successful waits not yet released, through this object
};

#else

class LockCheck {
 public:
  void Mapped(const std::string&, pthread_mutex_t*, std::size_t) {}
  void Unmapped() {}
  void BeforeWait(pthread_mutex_t*) {}
  void AfterWait(pthread_mutex_t*, bool) {}
  void BeforeRelease() {}
};

#endif

}  // namespace platform::threadcheck
