#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/NamedMutexObject.h"
#include "platform/RuntimeFolder.h"
#include "platform/Text.h"
#include "platform/ThreadCheck.h"

namespace platform {

namespace {

constexpr long kInitWaitMs = 2000;
constexpr std::size_t kObjectSize = sizeof(NamedMutexObject);

bool InitialiseMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (rc == 0) rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  if (rc == 0) rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (rc == 0) rc = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  errno = rc;
  return rc == 0;
}

void SleepMs(long ms) {
  timespec ts{0, ms * 1000000L};
  ::nanosleep(&ts, nullptr);
}

// flock(LOCK_EX) for at most kInitWaitMs. Whoever holds it is only ever
// initialising a few bytes; a holder that stalls longer is treated as a lock
// that cannot be used now (EAGAIN), never worked around.
bool LockDescriptor(int fd) {
  for (long waited = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; waited += 5) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (waited >= kInitWaitMs) {
      errno = EAGAIN;
      return false;
    }
    SleepMs(5);
  }
  return true;
}

void CloseKeepingErrno(int fd) {
  const int error = errno;
  ::close(fd);
  errno = error;
}

pthread_mutex_t* Slot(NamedMutexObject* object, std::uint32_t generation) {
  return &object->slots[generation % kNamedMutexSlots];
}

}  // namespace

// Lock names carry backslashes; everything but letters and digits is escaped,
// which keeps distinct lock names distinct file names.
std::string NamedMutexObjectName(const std::u16string& fullName) {
  std::string name = "lock-";
  for (unsigned char c : ToUtf8(fullName)) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      name += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      name += escaped;
    }
  }
  return ScopedRuntimeName(name);
}

std::string NamedMutexObjectPath(const std::u16string& fullName) {
  const std::u16string folder = RuntimeFolder();
  if (folder.empty()) return {};
  return ToUtf8(folder) + NamedMutexObjectName(fullName);
}

std::uint32_t NamedMutexReadyStamp() {
  static const std::uint32_t stamp = [] {
    char boot[64] = {};
    const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    ssize_t length = fd >= 0 ? ::read(fd, boot, sizeof boot - 1) : -1;
    if (fd >= 0) ::close(fd);
    std::uint32_t hash = 0x811C9DC5u;
    for (ssize_t i = 0; i < length; ++i) {
      hash ^= static_cast<unsigned char>(boot[i]);
      hash *= 0x01000193u;
    }
    return hash == 0 ? 1u : hash;
  }();
  return stamp;
}

bool IsUnusableObjectError(std::uint32_t error) { return error == EACCES || error == EAGAIN; }

NamedMutex::~NamedMutex() { Close(); }

bool NamedMutex::Create(const std::u16string& fullName) { return Attach(fullName, true); }

bool NamedMutex::Open(const std::u16string& fullName) { return Attach(fullName, false); }

bool NamedMutex::Attach(const std::u16string& fullName, bool create) {
  Close();
  const std::string name = NamedMutexObjectPath(fullName);
  if (name.empty()) return false;
  const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    CloseKeepingErrno(fd);
    return false;
  }
  // Only our own object counts. Nobody else can make one in the runtime
  // folder, but a file of ours that others may read or write must not guard
  // anything either.
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    ::close(fd);
    errno = EACCES;
    return false;
  }

  NamedMutexObject* object = nullptr;
  if (static_cast<std::size_t>(st.st_size) >= kObjectSize) {
    void* memory = ::mmap(nullptr, kObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
      CloseKeepingErrno(fd);
      return false;
    }
    object = static_cast<NamedMutexObject*>(memory);
  }
  if (object == nullptr || object->ready.load(std::memory_order_acquire) != NamedMutexReadyStamp()) {
    // Not (yet) made: the creator may be at work, stalled or dead. Whoever
    // holds the flock finishes it; the others then find it ready.
    bool ok = LockDescriptor(fd);
    if (ok && object == nullptr) {
      ok = ::fstat(fd, &st) == 0 &&
           (static_cast<std::size_t>(st.st_size) >= kObjectSize || ::ftruncate(fd, kObjectSize) == 0);
      if (ok) {
        void* memory = ::mmap(nullptr, kObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ok = memory != MAP_FAILED;
        if (ok) object = static_cast<NamedMutexObject*>(memory);
      }
    }
    if (ok && object->ready.load(std::memory_order_acquire) != NamedMutexReadyStamp()) {
      object->generation.store(0, std::memory_order_relaxed);
      ok = InitialiseMutex(Slot(object, 0));
      if (ok) object->ready.store(NamedMutexReadyStamp(), std::memory_order_release);
    }
    const int error = errno;
    ::flock(fd, LOCK_UN);
    if (!ok) {
      if (object != nullptr) ::munmap(object, kObjectSize);
      ::close(fd);
      errno = error;
      return false;
    }
  }
  check_.Mapped(name, object->slots, kNamedMutexSlots);
  shared_ = object;
  fd_ = fd;
  return true;
}

bool NamedMutex::Renew(std::uint32_t seen) {
  if (!LockDescriptor(fd_)) return false;
  bool ok = true;
  // The caller saw `seen` unrecoverable, and an unrecoverable mutex never
  // becomes usable again, so only a renewal by someone else can have
  // happened meanwhile. (No trylock here: glibc's trylock leaves the lock word
  // of an unrecoverable mutex taken.)
  if (shared_->generation.load(std::memory_order_acquire) == seen) {
    ok = InitialiseMutex(Slot(shared_, seen + 1));
    if (ok) shared_->generation.store(seen + 1, std::memory_order_release);
  }
  const int error = errno;
  ::flock(fd_, LOCK_UN);
  errno = error;
  return ok;
}

WaitResult NamedMutex::Wait(std::uint32_t timeoutMs) {
  if (!shared_) {
    errno = EINVAL;
    return WaitResult::Failed;
  }
  timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (std::uint32_t renewals = 0;; ++renewals) {
    const std::uint32_t generation = shared_->generation.load(std::memory_order_acquire);
    pthread_mutex_t* mutex = Slot(shared_, generation);
    check_.BeforeWait(mutex);
    const int rc = ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
    check_.AfterWait(mutex, rc == 0 || rc == EOWNERDEAD);
    switch (rc) {
      case 0:
        lockedSlot_ = static_cast<int>(generation % kNamedMutexSlots);
        return WaitResult::Acquired;
      case ETIMEDOUT:
        errno = ETIMEDOUT;
        return WaitResult::TimedOut;
      case EOWNERDEAD:
        // We own it now; marking it consistent keeps it usable for everyone
        // after our release, as a Windows abandoned mutex is.
        ::pthread_mutex_consistent(mutex);
        lockedSlot_ = static_cast<int>(generation % kNamedMutexSlots);
        return WaitResult::Abandoned;
      case ENOTRECOVERABLE:
        // Nobody can hold this mutex any more, so nobody is inside the lock:
        // moving everyone to a fresh one loses no exclusion.
        if (renewals < kNamedMutexSlots && Renew(generation)) continue;
        errno = ENOTRECOVERABLE;
        return WaitResult::Failed;
      default:
        errno = rc;
        return WaitResult::Failed;
    }
  }
}

bool NamedMutex::Release() {
  if (!shared_) {
    errno = EINVAL;
    return false;
  }
  // The generation cannot move while we hold its mutex, so without a slot of
  // our own (we never waited) the live one answers EPERM.
  pthread_mutex_t* mutex = lockedSlot_ >= 0 ? &shared_->slots[lockedSlot_]
                                             : Slot(shared_, shared_->generation.load(std::memory_order_acquire));
  check_.BeforeRelease();
  const int rc = ::pthread_mutex_unlock(mutex);
  errno = rc;
  return rc == 0;
}

void NamedMutex::Close() {
  if (shared_) ::munmap(shared_, kObjectSize);
  if (fd_ >= 0) ::close(fd_);
  shared_ = nullptr;
  fd_ = -1;
  lockedSlot_ = -1;
  check_.Unmapped();
}

}  // namespace platform
