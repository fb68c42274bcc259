// Scope-bound named cross-process lock shared with the add-on.
//
// Construction opens (creating when needed) the lock object "Global\Ombrel" +
// name and waits at most 3,000 ms for it; IsLocked() tells whether the caller
// may touch the guarded file. Destruction releases whatever was acquired.
// Every way of not getting the lock is reported through ReportError with
// group 13 and point errorBase + 1 (the object cannot be made), + 2 (release),
// + 3 (wait), + 4 (timeout).
//
// On Linux every lock object of a user belongs to that user alone, so there
// is no second name to fall back to: an object that exists but cannot be used
// (not ours, not private, or its initialisation held up elsewhere) is a failed
// wait, reported as + 3, and is never a reason to lock some other object,
// which would let two processes hold "one" lock at once.
//
// Locks nest per thread: a thread that already holds a lock gets it again at
// once, and every object releases its own acquisition. Order: "SettingsFile"
// before "SettingsFileTab". A lock object belongs to one scope of one thread.
//
// A lock abandoned by a dead owner is acquired but reported as not locked (the
// file may be half-written by the dead owner's view); WasAbandoned() tells
// that case apart. It is released on destruction so the next attempt gets it
// normally. A mutex whose wait failed is not owned: destruction still tries
// the release, which fails and is reported as errorBase + 2.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {
class NamedMutex;
}

namespace settings {

// Lock names and error bases.
inline constexpr char16_t kConfigFileLock[] = u"ConfigFile";
inline constexpr std::uint32_t kConfigFileErrorBase = 95;
inline constexpr char16_t kDictionaryFileLock[] = u"DictionaryFile";
inline constexpr std::uint32_t kDictionaryFileErrorBase = 20;
inline constexpr char16_t kSettingsFileLock[] = u"SettingsFile";
inline constexpr std::uint32_t kSettingsFileErrorBase = 40;
inline constexpr char16_t kSettingsFileTabLock[] = u"SettingsFileTab";
inline constexpr std::uint32_t kSettingsFileTabErrorBase = 80;

// Every lock of the program, for tools that name a lock by its error base.
struct LockName {
  const char16_t* name;
  std::uint32_t errorBase;
};
inline constexpr LockName kLocks[] = {
    {kConfigFileLock, kConfigFileErrorBase},
    {kDictionaryFileLock, kDictionaryFileErrorBase},
    {kSettingsFileLock, kSettingsFileErrorBase},
    {kSettingsFileTabLock, kSettingsFileTabErrorBase},
};

inline constexpr std::uint32_t kLockTimeoutMs = 3000;

class Mutex {
 public:
  // Mutex::CreateMutex
  Mutex(const std::u16string& name, std::uint32_t errorBase);
  // Mutex::ReleaseMutex
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  bool IsLocked() const { return locked_; }
  // The previous owner ended without releasing; this object took the lock
  // over (and gives it back on destruction) but IsLocked() is false.
  bool WasAbandoned() const { return abandoned_; }

 private:
  std::unique_ptr<platform::NamedMutex> handle_;
  bool locked_ = false;
  bool abandoned_ = false;
  std::uint32_t errorBase_;
  std::u16string name_;
};

}  // namespace settings
