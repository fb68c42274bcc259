#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Text.h"

namespace platform {

struct NamedMutex::Shared {
  // Set last by the creator, once the mutex is initialised; openers wait for
  // it because the object exists (empty) before that.
  std::atomic<std::uint32_t> ready;
  pthread_mutex_t mutex;
};

namespace {

constexpr std::uint32_t kReady = 0x56584D31;  // "VXM1"
constexpr int kInitWaitMs = 2000;

// Lock names carry backslashes; shared-memory names may not contain '/', so
// everything but letters and digits is escaped, which keeps distinct lock
// names distinct. The user id keeps users apart; VEXARO_LOCK_SCOPE, when set,
// keeps test runs apart from each other and from a running Vexaro.
std::string ObjectName(const std::u16string& fullName) {
  std::string name = "/vexaro-" + std::to_string(::geteuid()) + "-";
  const char* scope = std::getenv("VEXARO_LOCK_SCOPE");
  for (unsigned char c : ToUtf8(fullName) + (scope && *scope ? std::string("@") + scope : std::string())) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      name += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      name += escaped;
    }
  }
  return name;
}

bool InitialiseMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  int rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
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

}  // namespace

NamedMutex::~NamedMutex() { Close(); }

bool NamedMutex::Create(const std::u16string& fullName) { return Create(fullName, true); }

bool NamedMutex::Create(const std::u16string& fullName, bool mayRecover) {
  Close();
  const std::string name = ObjectName(fullName);
  int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    // We created it: size and initialise before anyone can see it ready.
    void* memory = MAP_FAILED;
    if (::ftruncate(fd, sizeof(Shared)) == 0)
      memory = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int error = errno;
    ::close(fd);
    if (memory == MAP_FAILED) {
      ::shm_unlink(name.c_str());
      errno = error;
      return false;
    }
    auto* shared = static_cast<Shared*>(memory);
    if (!InitialiseMutex(&shared->mutex)) {
      const int initError = errno;
      ::munmap(memory, sizeof(Shared));
      ::shm_unlink(name.c_str());
      errno = initError;
      return false;
    }
    shared->ready.store(kReady, std::memory_order_release);
    shared_ = shared;
    return true;
  }
  if (errno != EEXIST) return false;
  if (Open(fullName)) return true;
  if (errno != EAGAIN || !mayRecover) return false;
  // An object that never became ready lost its creator between creating and
  // initialising it; without this it would block the store for good.
  ::shm_unlink(name.c_str());
  return Create(fullName, false);
}

bool NamedMutex::Open(const std::u16string& fullName) {
  Close();
  const int fd = ::shm_open(ObjectName(fullName).c_str(), O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  struct stat st {};
  // Only our own object counts; anything else under the name could be used to
  // block or spy on our stores.
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    ::close(fd);
    errno = EACCES;
    return false;
  }
  // The creator may still be between shm_open and ftruncate.
  for (int waited = 0; st.st_size < static_cast<off_t>(sizeof(Shared)); waited += 5) {
    if (waited >= kInitWaitMs || ::fstat(fd, &st) != 0) {
      ::close(fd);
      errno = EAGAIN;
      return false;
    }
    SleepMs(5);
  }
  void* memory = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int error = errno;
  ::close(fd);
  if (memory == MAP_FAILED) {
    errno = error;
    return false;
  }
  auto* shared = static_cast<Shared*>(memory);
  for (int waited = 0; shared->ready.load(std::memory_order_acquire) != kReady; waited += 5) {
    if (waited >= kInitWaitMs) {
      ::munmap(memory, sizeof(Shared));
      errno = EAGAIN;
      return false;
    }
    SleepMs(5);
  }
  shared_ = shared;
  return true;
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
  const int rc = ::pthread_mutex_clocklock(&shared_->mutex, CLOCK_MONOTONIC, &deadline);
  switch (rc) {
    case 0:
      return WaitResult::Acquired;
    case ETIMEDOUT:
      errno = ETIMEDOUT;
      return WaitResult::TimedOut;
    case EOWNERDEAD:
      // We own it now; marking it consistent keeps it usable for everyone
      // after our release, as a Windows abandoned mutex is.
      ::pthread_mutex_consistent(&shared_->mutex);
      return WaitResult::Abandoned;
    default:
      errno = rc;
      return WaitResult::Failed;
  }
}

bool NamedMutex::Release() {
  if (!shared_) {
    errno = EINVAL;
    return false;
  }
  const int rc = ::pthread_mutex_unlock(&shared_->mutex);
  errno = rc;
  return rc == 0;
}

void NamedMutex::Close() {
  if (shared_) ::munmap(shared_, sizeof(Shared));
  shared_ = nullptr;
}

}  // namespace platform
